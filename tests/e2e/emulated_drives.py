"""The emulated drives' configuration for the ASPI library beside the program, and its
trace read back."""

from dataclasses import dataclass
from pathlib import Path


def wine_path(path):
    """A Unix path as a Windows program under Wine names it."""
    return "Z:" + str(Path(path).resolve())


@dataclass
class Drive:
    address: tuple = (0, 0, 0)
    vendor: str = "KOR-VEL"
    product: str = "KRW-52088S"
    revision: str = "QF01"
    revision_after_commit: str = "QF05"
    type: int = 5
    delay_ms: int = 1
    commit_delay_ms: int = 0  # the commit held this much longer
    image: Path = None  # where the drive writes what it commits
    faults: tuple = ()  # fault lines without the word "fault"

    def lines(self, name=wine_path):
        out = ["drive", "address {} {} {}".format(*self.address), f"type {self.type}",
               f"vendor {self.vendor}", f"product {self.product}", f"revision {self.revision}",
               f"revision-after-commit {self.revision_after_commit}",
               f"delay-ms {self.delay_ms}"]
        if self.commit_delay_ms:
            out.append(f"commit-delay-ms {self.commit_delay_ms}")
        if self.image:
            out.append(f"image {name(self.image)}")
        out += [f"fault {f}" for f in self.faults]
        return out


def write_config(path, drives, trace=None, windows=True):
    """Writes the configuration; returns its path as the program must be given it: the
    Windows program under Wine, or the Linux program (windows=False)."""
    name = wine_path if windows else (lambda p: str(Path(p).resolve()))
    lines = ["# written by the end-to-end tests"]
    if trace:
        lines.append(f"trace {name(trace)}")
    for drive in drives:
        lines += drive.lines(name)
    Path(path).write_text("\n".join(lines) + "\n")
    return name(path)


@dataclass
class TraceLine:
    drive: int
    cdb: bytes
    data_in: bool
    length: int
    moved: int
    digest: str
    outcome: str
    sense: str


def read_trace(path):
    path = Path(path)
    if not path.exists():
        return []
    entries = []
    for line in path.read_text().splitlines():
        drive, cdb, direction, length, moved, digest, outcome, sense = line.split()
        entries.append(TraceLine(int(drive), bytes.fromhex(cdb), direction == "I",
                                 int(length, 16), int(moved, 16), digest, outcome, sense))
    return entries


def is_commit(entry):
    return entry.cdb[:3] == b"\x3b\x05\x01" and entry.cdb[9] in (0x80, 0xA0)
