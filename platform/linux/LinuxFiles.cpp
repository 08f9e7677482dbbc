// Files and paths on Linux: the device nodes and disk files CreateFileA opens, their
// reads, writes and identity, the program's own path, the current directory, INI reads.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/IniReader.h"
#include "platform/WinConstants.h"
#include "platform/linux/LinuxInternal.h"
#include "platform/linux/LinuxPlatform.h"

using namespace linuxplatform;

namespace {

constexpr win::DWORD kFileAttributeNormal = 0x80;

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

}  // namespace

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
