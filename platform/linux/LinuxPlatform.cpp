#include "platform/linux/LinuxPlatform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <future>
#include <system_error>
#include <utility>

#include "platform/IniReader.h"
#include "platform/ScsiPassThrough.h"
#include "platform/WinConstants.h"

namespace {

thread_local int lastError = 0;

constexpr win::DWORD kWaitFailed = 0xFFFFFFFFu;
constexpr win::DWORD kInfinite = 0xFFFFFFFFu;
constexpr win::UINT kDriveNoRootDir = 1;
constexpr win::DWORD kFileAttributeNormal = 0x80;
constexpr int kDriveLetters = 'Z' - 'D' + 1;
constexpr std::uint8_t kDidTimeOut = 0x03;     // host_status
constexpr std::uint8_t kDriverTimeout = 0x06;  // driver_status, low bits
constexpr const char* kAspiLayerFile = "libwnaspi32.so";

win::BOOL Fail(int error) {
  lastError = error;
  return 0;
}

int Descriptor(win::HANDLE handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

// Descriptor 0 would read as "no handle" to the program; keep handles above it.
win::HANDLE HandleOf(int fd) {
  if (fd == 0) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    fd = moved;
  }
  return reinterpret_cast<win::HANDLE>(static_cast<std::intptr_t>(fd));
}

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

std::string ExecutableFolder() {
  char path[PATH_MAX] = {};
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  std::string exe(path, static_cast<std::size_t>(length));
  std::size_t slash = exe.rfind('/');
  return slash == 0 ? "/" : exe.substr(0, slash);
}

int SystemSgIo(int fd, sg_io_hdr* header) {
  return ioctl(fd, SG_IO, header);
}

int OpenFlags(win::DWORD access, win::DWORD disposition) {
  int flags = O_CLOEXEC;
  bool read = access & win::GENERIC_READ, write = access & win::GENERIC_WRITE;
  flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  switch (disposition) {
    case 1:
      return flags | O_CREAT | O_EXCL;  // CREATE_NEW
    case 2:
      return flags | O_CREAT | O_TRUNC;  // CREATE_ALWAYS
    case 4:
      return flags | O_CREAT;  // OPEN_ALWAYS
    case 5:
      return flags | O_TRUNC;  // TRUNCATE_EXISTING
    default:
      return flags;  // OPEN_EXISTING
  }
}

// "\\.\X:" names the device of drive letter X.
char DeviceLetter(const char* path) {
  if (std::strncmp(path, "\\\\.\\", 4) != 0 || !path[4] || path[5] != ':' || path[6]) return 0;
  return static_cast<char>(std::toupper(static_cast<unsigned char>(path[4])));
}

// The record's own view of itself, checked before anything goes to the kernel.
bool ValidRecord(const SCSI_PASS_THROUGH_DIRECT& sptd, win::DWORD inSize, win::DWORD outSize) {
  if (inSize < sizeof sptd || outSize < sizeof sptd || sptd.Length != sizeof sptd) return false;
  if (sptd.CdbLength == 0 || sptd.CdbLength > sizeof sptd.Cdb) return false;
  if (sptd.DataIn > win::SCSI_IOCTL_DATA_IN && sptd.DataTransferLength != 0) return false;
  if (sptd.DataTransferLength != 0 && !sptd.DataBuffer) return false;
  if (sptd.SenseInfoLength == 0) return true;
  return sptd.SenseInfoOffset >= sizeof sptd &&
         static_cast<std::uint64_t>(sptd.SenseInfoOffset) + sptd.SenseInfoLength <= outSize;
}

sg_io_hdr ToSgIo(SCSI_PASS_THROUGH_DIRECT& sptd, unsigned char* sense) {
  sg_io_hdr header = {};
  header.interface_id = 'S';
  if (sptd.DataTransferLength == 0) {
    header.dxfer_direction = SG_DXFER_NONE;
  } else {
    header.dxfer_direction =
        sptd.DataIn == win::SCSI_IOCTL_DATA_IN ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
  }
  header.cmd_len = sptd.CdbLength;
  header.mx_sb_len = sptd.SenseInfoLength;
  header.dxfer_len = sptd.DataTransferLength;
  header.dxferp = sptd.DataBuffer;
  header.cmdp = sptd.Cdb;
  header.sbp = sense;
  std::uint64_t ms = static_cast<std::uint64_t>(sptd.TimeOutValue) * 1000;
  header.timeout = static_cast<unsigned>(std::min<std::uint64_t>(ms, UINT_MAX));
  return header;
}

// Status, sense and the length moved go back into the record as the Windows driver
// leaves them; returns the bytes of the record that now hold results.
win::DWORD FromSgIo(const sg_io_hdr& header, const unsigned char* sense, std::uint8_t* record) {
  auto& sptd = *reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(record);
  sptd.ScsiStatus = header.status;
  // A negative residual is an overrun: the buffer is full. One beyond the transfer tells
  // nothing of what moved: say nothing did.
  if (header.resid < 0) {
    sptd.DataTransferLength = header.dxfer_len;
  } else {
    auto resid = static_cast<unsigned>(header.resid);
    sptd.DataTransferLength = resid <= header.dxfer_len ? header.dxfer_len - resid : 0;
  }
  std::size_t senseBytes = std::min<std::size_t>(header.sb_len_wr, sptd.SenseInfoLength);
  if (senseBytes > 0) std::memcpy(record + sptd.SenseInfoOffset, sense, senseBytes);
  return static_cast<win::DWORD>(
      std::max<std::size_t>(sizeof sptd, senseBytes ? sptd.SenseInfoOffset + senseBytes : 0));
}

// Runs the blocking call on a thread of its own while this one keeps the window alive;
// without a thread the call is made here, and the window waits for it.
template <class Call>
auto CallAlive(Call call) {
  WaitHook* hook = InstalledWaitHook();
  if (!hook) return call();
  std::future<decltype(call())> result;
  try {
    result = std::async(std::launch::async, call);
  } catch (const std::system_error&) {
    return call();
  }
  while (result.wait_for(std::chrono::milliseconds(kKeepAliveSliceMs)) != std::future_status::ready)
    hook->KeepAlive();
  return result.get();
}

// The kernel returned, but did the command reach the drive and come back?
int TransportError(const sg_io_hdr& header) {
  bool hostTimeout = header.host_status == kDidTimeOut;
  bool driverTimeout = (header.driver_status & 0x07) == kDriverTimeout;
  if (hostTimeout || driverTimeout) return ETIMEDOUT;
  if (header.host_status != 0 || (header.driver_status & 0x07) != 0) return EIO;
  return 0;
}

}  // namespace

LinuxPlatform::LinuxPlatform() : LinuxPlatform(ExecutableFolder(), "/dev", SystemSgIo) {}

LinuxPlatform::LinuxPlatform(std::string programFolder, std::string deviceFolder, SgIoCall sgIo)
    : programFolder_(std::move(programFolder)),
      deviceFolder_(std::move(deviceFolder)),
      sgIo_(std::move(sgIo)) {}

std::string LinuxPlatform::DevicePath(char letter) const {
  if (letter < 'D' || letter > 'Z') return "";
  return deviceFolder_ + "/sr" + std::to_string(letter - 'D');
}

std::string LinuxPlatform::LibraryPath(const std::string& name) const {
  if (name.find('/') != std::string::npos) return name;
  std::string base;
  for (char c : name) base += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dll") == 0)
    base.resize(base.size() - 4);
  return programFolder_ + "/lib" + base + ".so";
}

bool LinuxPlatform::AspiLayerInstalled() const {
  return Exists(programFolder_ + "/" + kAspiLayerFile);
}

win::BOOL LinuxPlatform::GetVersionExA(win::OSVERSIONINFOA* info) {
  if (!info || info->dwOSVersionInfoSize != sizeof *info) return Fail(EINVAL);
  bool aspi = AspiLayerInstalled();
  info->dwMajorVersion = aspi ? 4 : 6;
  info->dwMinorVersion = aspi ? 10 : 1;
  info->dwBuildNumber = aspi ? 2222 : 7601;
  info->dwPlatformId = aspi ? 1 : win::VER_PLATFORM_WIN32_NT;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return 1;
}

win::HANDLE LinuxPlatform::CreateFileA(const char* path, win::DWORD access, win::DWORD, void*,
                                       win::DWORD disposition, win::DWORD, win::HANDLE) {
  std::string file = path;
  int flags = OpenFlags(access, disposition);
  if (char letter = DeviceLetter(path)) {
    file = DevicePath(letter);
    if (file.empty()) {
      lastError = ENOENT;
      return win::InvalidHandleValue();
    }
    flags |= O_NONBLOCK;
  }
  // Opening a FIFO would wait for its other end; Windows never waits in CreateFileA.
  int fd = open(file.c_str(), flags | O_NONBLOCK, 0644);
  if (fd < 0) {
    lastError = errno;
    return win::InvalidHandleValue();
  }
  if (!(flags & O_NONBLOCK)) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return HandleOf(fd);
}

win::BOOL LinuxPlatform::DeviceIoControl(win::HANDLE device, win::DWORD code, void* in,
                                         win::DWORD inSize, void* out, win::DWORD outSize,
                                         win::DWORD* returned, void*) {
  if (returned) *returned = 0;
  if (code != win::IOCTL_SCSI_PASS_THROUGH_DIRECT) return Fail(ENOTTY);
  if (!in || !out) return Fail(EINVAL);
  if (in != out) std::memmove(out, in, std::min(inSize, outSize));
  auto* record = static_cast<std::uint8_t*>(out);
  auto& sptd = *reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(record);
  if (!ValidRecord(sptd, inSize, outSize)) return Fail(EINVAL);
  unsigned char sense[256] = {};
  sg_io_hdr header = ToSgIo(sptd, sense);
  // errno belongs to the thread that made the call.
  const int error = CallAlive([&] { return sgIo_(Descriptor(device), &header) < 0 ? errno : 0; });
  if (error) return Fail(error);
  win::DWORD filled = FromSgIo(header, sense, record);
  if (returned) *returned = filled;
  if (int error = TransportError(header)) return Fail(error);
  lastError = 0;
  return 1;
}

win::BOOL LinuxPlatform::CloseHandle(win::HANDLE handle) {
  int fd = Descriptor(handle);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    manualResetEvents_.erase(fd);
  }
  if (close(fd) != 0) return Fail(errno);
  return 1;
}

win::BOOL LinuxPlatform::ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead,
                                  win::DWORD* read, void*) {
  if (read) *read = 0;
  auto* bytes = static_cast<char*>(buffer);
  win::DWORD done = 0;
  while (done < toRead) {
    ssize_t got = ::read(Descriptor(file), bytes + done, toRead - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail(errno);
    if (got == 0) break;  // the end of the file: a short read, not an error
    done += static_cast<win::DWORD>(got);
  }
  if (read) *read = done;
  return 1;
}

win::BOOL LinuxPlatform::WriteFile(win::HANDLE file, const void* buffer, win::DWORD toWrite,
                                   win::DWORD* written, void*) {
  if (written) *written = 0;
  const auto* bytes = static_cast<const char*>(buffer);
  win::DWORD done = 0;
  while (done < toWrite) {
    ssize_t put = ::write(Descriptor(file), bytes + done, toWrite - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return Fail(errno);
    done += static_cast<win::DWORD>(put);
    if (written) *written = done;
  }
  return 1;
}

win::DWORD LinuxPlatform::SetFilePointer(win::HANDLE file, win::LONG distance,
                                         win::LONG* distanceHigh, win::DWORD method) {
  // Without a high part the distance is a signed 32-bit value, as on Windows.
  std::int64_t offset =
      distanceHigh ? (std::int64_t{*distanceHigh} << 32) | static_cast<std::uint32_t>(distance)
                   : distance;
  int whence = method == win::FILE_END ? SEEK_END : method == win::FILE_BEGIN ? SEEK_SET : SEEK_CUR;
  off_t position = lseek(Descriptor(file), static_cast<off_t>(offset), whence);
  if (position < 0) {
    lastError = errno;
    return win::INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh) *distanceHigh = static_cast<win::LONG>(std::int64_t{position} >> 32);
  return static_cast<win::DWORD>(position);
}

win::DWORD LinuxPlatform::GetFileType(win::HANDLE file) {
  struct stat info;
  if (fstat(Descriptor(file), &info) != 0) {
    lastError = errno;
    return win::FILE_TYPE_UNKNOWN;
  }
  if (S_ISCHR(info.st_mode)) return win::FILE_TYPE_CHAR;
  if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return win::FILE_TYPE_PIPE;
  return win::FILE_TYPE_DISK;
}

win::DWORD LinuxPlatform::GetFileSize(win::HANDLE file, win::DWORD* high) {
  struct stat info;
  if (fstat(Descriptor(file), &info) != 0) {
    lastError = errno;
    return win::INVALID_FILE_SIZE;
  }
  auto size = static_cast<std::uint64_t>(info.st_size);
  if (high) *high = static_cast<win::DWORD>(size >> 32);
  lastError = 0;  // INVALID_FILE_SIZE can be a length's low half
  return static_cast<win::DWORD>(size);
}

win::BOOL LinuxPlatform::GetFileInformationByHandle(win::HANDLE file,
                                                    win::BY_HANDLE_FILE_INFORMATION* info) {
  struct stat st;
  if (!info) return Fail(EINVAL);
  if (fstat(Descriptor(file), &st) != 0) return Fail(errno);
  *info = {};
  info->dwFileAttributes = kFileAttributeNormal;
  if (S_ISDIR(st.st_mode)) info->dwFileAttributes = win::FILE_ATTRIBUTE_DIRECTORY;
  if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))
    info->dwFileAttributes = win::FILE_ATTRIBUTE_DEVICE;
  // The kernel's own device numbers fit in 32 bits: 12 of major, 20 of minor.
  info->dwVolumeSerialNumber = static_cast<win::DWORD>(major(st.st_dev) << 20 | minor(st.st_dev));
  auto size = static_cast<std::uint64_t>(st.st_size);
  info->nFileSizeHigh = static_cast<win::DWORD>(size >> 32);
  info->nFileSizeLow = static_cast<win::DWORD>(size);
  info->nNumberOfLinks = static_cast<win::DWORD>(st.st_nlink);
  auto inode = static_cast<std::uint64_t>(st.st_ino);
  info->nFileIndexHigh = static_cast<win::DWORD>(inode >> 32);
  info->nFileIndexLow = static_cast<win::DWORD>(inode);
  return 1;
}

win::BOOL LinuxPlatform::MoveFileExA(const char* existing, const char* newName, win::DWORD flags) {
  if (!(flags & win::MOVEFILE_REPLACE_EXISTING) && Exists(newName)) return Fail(EEXIST);
  if (rename(existing, newName) != 0) return Fail(errno);
  return 1;
}

win::BOOL LinuxPlatform::DeleteFileA(const char* path) {
  if (unlink(path) != 0) return Fail(errno);
  return 1;
}

win::BOOL LinuxPlatform::CopyPermissionBits(const char* from, const char* to) {
  struct stat info;
  if (stat(from, &info) != 0) return Fail(errno);
  if (chmod(to, info.st_mode & 07777) != 0) return Fail(errno);
  return 1;
}

win::HMODULE LinuxPlatform::LoadLibraryA(const char* name) {
  std::string path = LibraryPath(name);
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) lastError = Exists(path) ? ENOEXEC : ENOENT;
  return library;
}

win::FARPROC LinuxPlatform::GetProcAddress(win::HMODULE module, const char* name) {
  void* entry = dlsym(module, name);
  if (!entry) lastError = ENOENT;
  return reinterpret_cast<win::FARPROC>(entry);
}

win::BOOL LinuxPlatform::FreeLibrary(win::HMODULE module) {
  if (dlclose(module) != 0) return Fail(EINVAL);
  return 1;
}

win::HANDLE LinuxPlatform::CreateEventA(void*, win::BOOL manualReset, win::BOOL initialState,
                                        const char*) {
  int fd = eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    lastError = errno;
    return nullptr;
  }
  win::HANDLE handle = HandleOf(fd);
  if (manualReset) {
    std::lock_guard<std::mutex> lock(mutex_);
    manualResetEvents_.insert(Descriptor(handle));
  }
  return handle;
}

win::DWORD LinuxPlatform::WaitForSingleObject(win::HANDLE handle, win::DWORD milliseconds) {
  using Clock = std::chrono::steady_clock;
  int fd = Descriptor(handle);
  bool manual;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    manual = manualResetEvents_.count(fd) != 0;
  }
  WaitHook* hook = InstalledWaitHook();
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int wait = -1;
    if (milliseconds != kInfinite) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    }
    const bool last = wait == 0;
    if (hook && (wait < 0 || wait > static_cast<int>(kKeepAliveSliceMs)))
      wait = static_cast<int>(kKeepAliveSliceMs);
    pollfd entry = {fd, POLLIN, 0};
    int ready = poll(&entry, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (entry.revents & (POLLERR | POLLNVAL))) {
      lastError = ready < 0 ? errno : EBADF;
      return kWaitFailed;
    }
    if (ready == 0 && hook) hook->KeepAlive();
    if (ready == 0 && (last || !hook)) return win::WAIT_TIMEOUT;
    if (ready == 0) continue;
    if (manual) return win::WAIT_OBJECT_0;
    std::uint64_t count;
    // Reading takes the signal (auto-reset); another waiter may have been first.
    if (read(fd, &count, sizeof count) == sizeof count) return win::WAIT_OBJECT_0;
    if (errno != EAGAIN && errno != EINTR) {
      lastError = errno;
      return kWaitFailed;
    }
  }
}

win::BOOL LinuxPlatform::ResetEvent(win::HANDLE handle) {
  std::uint64_t count;
  if (read(Descriptor(handle), &count, sizeof count) < 0 && errno != EAGAIN) return Fail(errno);
  return 1;
}

win::DWORD LinuxPlatform::GetTickCount() {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<win::DWORD>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

win::DWORD LinuxPlatform::GetLogicalDriveStringsA(win::DWORD length, char* buffer) {
  std::string roots;
  for (int n = 0; n < kDriveLetters; ++n) {
    char letter = static_cast<char>('D' + n);
    if (Exists(DevicePath(letter))) roots += std::string{letter, ':', '\\', '\0'};
  }
  win::DWORD needed = static_cast<win::DWORD>(roots.size() + 1);
  if (!buffer || needed > length) return needed;
  std::memcpy(buffer, roots.data(), roots.size());
  buffer[roots.size()] = '\0';
  return needed - 1;
}

win::UINT LinuxPlatform::GetDriveTypeA(const char* root) {
  if (!root || !root[0] || root[1] != ':') return kDriveNoRootDir;
  if (root[2] && (root[2] != '\\' || root[3])) return kDriveNoRootDir;
  char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
  std::string device = DevicePath(letter);
  return !device.empty() && Exists(device) ? win::DRIVE_CDROM : kDriveNoRootDir;
}

win::DWORD LinuxPlatform::GetLastError() {
  return static_cast<win::DWORD>(lastError);
}

win::DWORD LinuxPlatform::FormatMessageA(win::DWORD flags, const void*, win::DWORD messageId,
                                         win::DWORD, char* buffer, win::DWORD size, void*) {
  const char* text = nullptr;
  if ((flags & win::FORMAT_MESSAGE_FROM_SYSTEM) && messageId <= INT_MAX) {
    text = strerrordesc_np(static_cast<int>(messageId));
  }
  if (!text) {
    lastError = ENOENT;
    return 0;
  }
  std::string line = std::string(text) + "\n";
  if (!buffer || line.size() + 1 > size) {
    lastError = ERANGE;
    return 0;
  }
  std::memcpy(buffer, line.c_str(), line.size() + 1);
  return static_cast<win::DWORD>(line.size());
}

win::DWORD LinuxPlatform::GetModuleFileNameA(win::HMODULE module, char* buffer, win::DWORD size) {
  if (module || !buffer || size == 0) return Fail(EINVAL);
  char path[PATH_MAX] = {};
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length < 0) return Fail(errno);
  // Cut to the buffer and terminated; a cut path returns the buffer's size.
  auto copied = std::min<std::size_t>(static_cast<std::size_t>(length), size - 1);
  std::memcpy(buffer, path, copied);
  buffer[copied] = '\0';
  if (copied < static_cast<std::size_t>(length)) {
    lastError = ENAMETOOLONG;
    return size;
  }
  return static_cast<win::DWORD>(copied);
}

win::DWORD LinuxPlatform::GetCurrentDirectoryA(win::DWORD size, char* buffer) {
  char path[PATH_MAX] = {};
  if (!getcwd(path, sizeof path)) return Fail(errno);
  std::size_t length = std::strlen(path);
  if (!buffer || length + 1 > size) return static_cast<win::DWORD>(length + 1);
  std::memcpy(buffer, path, length + 1);
  return static_cast<win::DWORD>(length);
}

win::DWORD LinuxPlatform::GetFileAttributesA(const char* path) {
  struct stat info;
  if (!path || stat(path, &info) != 0) {
    lastError = path ? errno : EINVAL;
    return win::INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(info.st_mode)) return win::FILE_ATTRIBUTE_DIRECTORY;
  if (S_ISBLK(info.st_mode) || S_ISCHR(info.st_mode)) return win::FILE_ATTRIBUTE_DEVICE;
  return kFileAttributeNormal;
}

win::DWORD LinuxPlatform::GetPrivateProfileStringA(const char* section, const char* key,
                                                   const char* defaultValue, char* buffer,
                                                   win::DWORD size, const char* fileName) {
  return ReadPrivateProfileString(section, key, defaultValue, buffer, size, fileName);
}

void LinuxPlatform::Sleep(win::DWORD milliseconds) {
  WaitHook* hook = InstalledWaitHook();
  for (;;) {
    const win::DWORD step =
        hook ? std::min<win::DWORD>(milliseconds, kKeepAliveSliceMs) : milliseconds;
    timespec left = {static_cast<time_t>(step / 1000), static_cast<long>(step % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    milliseconds -= step;
    if (milliseconds == 0) return;
    hook->KeepAlive();
  }
}

bool LinuxPlatform::EnableShutdownPrivilege() {
  return true;
}

win::BOOL LinuxPlatform::ExitWindowsEx(win::UINT, win::DWORD) {
  char program[] = "systemctl";
  char verb[] = "reboot";
  char* arguments[] = {program, verb, nullptr};
  pid_t child = 0;
  int error = posix_spawnp(&child, program, nullptr, nullptr, arguments, environ);
  if (error != 0) return Fail(error);
  return 1;
}
