"""Flash programs made the way the builder makes them: a copy of the built executable
with the build header and the firmware image written over its embedded payload. Quicker
than the builder's window for tests that need many; the builder's own output is checked
against build_header by the build-and-flash tests. The identification is padded with
spaces to 24 characters, as the catalogue reader stores it."""

import struct
from pathlib import Path

# Two pieces, so that no file but the program itself carries the key whole.
BUILD_KEY = b"Q731-4-" + b"2260958\0"
TEXT_FIELD = 25
HEADER_SIZE = 137
FIRMWARE_AREA = 0x80000


class PayloadError(Exception):
    pass


def _text(value):
    data = value.encode("latin-1")
    if len(data) > TEXT_FIELD:
        raise PayloadError(f"{value!r} is longer than {TEXT_FIELD} bytes")
    return data.ljust(TEXT_FIELD, b"\0")


def build_header(image_length, model, inquiry, fw_range, vendor, note, file_name):
    """The 137 bytes behind the key: five texts, the name's first five characters upper
    case, three zero bytes, the image length little-endian."""
    name = file_name.upper().encode("latin-1")[:5].ljust(5, b"\0")
    header = b"".join(_text(t) for t in (model, inquiry, fw_range, vendor, note))
    header += name + b"\0\0\0" + struct.pack("<I", image_length)
    assert len(header) == HEADER_SIZE
    return header


def key_offset(program_bytes):
    """Where the build key is; exactly one copy must exist."""
    at = program_bytes.find(BUILD_KEY)
    if at < 0:
        raise PayloadError("no build key in the program")
    if program_bytes.find(BUILD_KEY, at + 1) >= 0:
        raise PayloadError("the build key occurs twice")
    return at


def flash_program_bytes(program, image, file_name="QF05.BIN", model="KRW-52088S",
                        inquiry="KOR-VEL KRW-52088S".ljust(24), fw_range="QF01-QF2Z",
                        vendor="Korvel-XQ", note="Korvel"):
    """The program's bytes with the build header and image over its payload."""
    if not 0 < len(image) <= FIRMWARE_AREA:
        raise PayloadError(f"image of {len(image)} bytes")
    data = bytearray(program)
    header_at = key_offset(data) + len(BUILD_KEY)
    image_at = header_at + HEADER_SIZE
    if image_at + FIRMWARE_AREA > len(data):
        raise PayloadError("the payload is cut short")
    data[header_at:image_at] = build_header(len(image), model, inquiry, fw_range, vendor,
                                            note, file_name)
    data[image_at:image_at + len(image)] = image
    return bytes(data)


def make_flash_program(builder, target, image, file_name="QF05.BIN", **entry):
    """Writes the flash program for image to target; returns its path."""
    target = Path(target)
    target.write_bytes(flash_program_bytes(Path(builder).read_bytes(), image, file_name, **entry))
    return target


def built_difference(program, built, image, file_name):
    """Where a program the builder wrote from program, image and the example catalogue
    entry differs from what it must be, in words; None when it does not."""
    want = flash_program_bytes(program, image, file_name)
    if len(built) != len(want):
        return f"{len(built)} bytes instead of {len(want)}"
    if built == want:
        return None
    at = next(i for i in range(len(want)) if built[i] != want[i])
    header_at = key_offset(want) + len(BUILD_KEY)
    image_at = header_at + HEADER_SIZE
    where = ("before the build header" if at < header_at else
             "in the build header" if at < image_at else
             "in the image" if at < image_at + len(image) else "after the image")
    return (f"differs first at {at:#x}, {where}: {built[at:at + 16].hex()} instead of "
            f"{want[at:at + 16].hex()}")


def plain_image():
    """512 KiB of firmware with no profile variant: every byte recognisable, none of the
    variant markers, not the builder's own mark at its start."""
    image = bytearray(((i * 7) + (i >> 9)) & 0xFF for i in range(FIRMWARE_AREA))
    image[0:4] = b"IMG!"
    image[0x1100] = 0x00
    image[0x4000] = 0x02
    image[0x4008] = 0x82
    return bytes(image)


# ---- Running flash programs under Wine against emulated drives ---------------------------

FLASH_PROGRAM = "QF05.EXE"
DLL_OVERRIDES = "wnaspi32=n;mscoree,mshtml="


class FlashRuns:
    """Flash programs started one after another in one session, each in a directory of
    its own with the emulated drives' library beside it, reporting Windows 98."""

    def __init__(self, session, builder, aspi_library, work):
        if not aspi_library:
            raise PayloadError("no emulated ASPI library given (--aspi)")
        self.session = session
        self.builder = Path(builder)
        self.aspi_library = Path(aspi_library)
        self.work = Path(work)
        self.image = plain_image()
        session.set_registry(rf"HKCU\Software\Wine\AppDefaults\{FLASH_PROGRAM}", "Version",
                             "win98")

    def directory(self, name):
        return self.work / name

    def start(self, name, drives, trace=True):
        """Starts a flash program of the plain image against the drives; returns the
        process. The drives' committed images go to <dir>/image<n>.bin, the trace to
        <dir>/trace.txt."""
        import shutil

        from emulated_drives import write_config

        folder = self.directory(name)
        if folder.exists():
            shutil.rmtree(folder)
        folder.mkdir(parents=True)
        program = make_flash_program(self.builder, folder / FLASH_PROGRAM, self.image)
        shutil.copy2(self.aspi_library, folder / "WNASPI32.DLL")
        for n, drive in enumerate(drives):
            drive.image = folder / f"image{n}.bin"
        config = write_config(folder / "drives.txt", drives,
                              folder / "trace.txt" if trace else None)
        env = {"WINEDLLOVERRIDES": DLL_OVERRIDES, "KORVEL_EMULATOR_CONFIG": config}
        return self.session.start(program, cwd=folder, extra_env=env)
