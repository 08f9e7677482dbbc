// The fake's files: real files on the host, under the fake's current directory, with
// the failures a test asks for.
#include "tests/fake/FakePlatform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/IniReader.h"
#include "platform/WinConstants.h"

namespace {

#if defined(O_BINARY)
constexpr int kBinaryOpen = O_BINARY;  // no line-end translation on Windows
#else
constexpr int kBinaryOpen = O_CLOEXEC;
#endif
#if defined(O_NONBLOCK)
constexpr int kNeverWait = O_NONBLOCK;  // a FIFO would wait for its other end
#else
constexpr int kNeverWait = 0;
#endif
constexpr win::DWORD kErrorFileExists = 80;

}  // namespace

bool FakePlatform::IsDevicePath(const char* path) {
  return std::strncmp(path, "\\\\.\\", 4) == 0 && path[4] && path[5] == ':' && !path[6];
}

std::string FakePlatform::FilePath(const char* path) const {
  std::size_t n = std::strlen(path);
  // A drive's root ("C:\\", "C:/") starts an absolute path; "A:B" is a name of its own.
  bool drive = n > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  if ((n > 0 && path[0] == '/') || drive) return std::string(path, n);
  std::string file;  // built in one allocation: the fuzz targets ask this for every call
  file.reserve(currentDirectory.size() + 1 + n);
  file.append(currentDirectory).append(1, '/').append(path, n);
  return file;
}

win::HANDLE FakePlatform::OpenFile(const char* path, win::DWORD access, win::DWORD disposition) {
  bool create = disposition == win::CREATE_ALWAYS || disposition == win::CREATE_NEW;
  if (create && refuseCreate) {
    lastError = kErrorAccessDenied;
    return win::InvalidHandleValue();
  }
  int flags = kBinaryOpen | kNeverWait;
  if (create) flags |= disposition == win::CREATE_NEW ? O_CREAT | O_EXCL : O_CREAT | O_TRUNC;
  flags |=
      (access & win::GENERIC_WRITE) ? ((access & win::GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
  int fd = open(FilePath(path).c_str(), flags, 0644);
  if (fd < 0) {
    lastError = errno == EACCES   ? kErrorAccessDenied
                : errno == EEXIST ? kErrorFileExists
                                  : kErrorFileNotFound;
    return win::InvalidHandleValue();
  }
  ++filesOpened;
  Object object{Object::Kind::File};
  object.fd = fd;
  object.path = FilePath(path);
  object.unreadable = !unreadableFile.empty() && unreadableFile == path;
  return NewObject(object);
}

int FakePlatform::FileDescriptor(win::HANDLE handle) {
  std::lock_guard<emu::Mutex> lock(mutex_);
  Object* object = Find(handle);
  if (!object || object->kind != Object::Kind::File) {
    lastError = kErrorInvalidHandle;
    return -1;
  }
  return object->fd;
}

bool FakePlatform::Unreadable(win::HANDLE handle) {
  std::lock_guard<emu::Mutex> lock(mutex_);
  Object* object = Find(handle);
  return object && object->unreadable;
}

win::BOOL FakePlatform::ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead,
                                 win::DWORD* read, void*) {
  if (read) *read = 0;
  int fd = FileDescriptor(file);
  if (fd < 0) return 0;
  if (Unreadable(file)) {
    lastError = kErrorIoDevice;
    return 0;
  }
  ssize_t got = ::read(fd, buffer, toRead);
  if (got < 0) {
    lastError = kErrorIoDevice;
    return 0;
  }
  if (read) *read = static_cast<win::DWORD>(got);
  return 1;
}

win::BOOL FakePlatform::WriteFile(win::HANDLE file, const void* buffer, win::DWORD toWrite,
                                  win::DWORD* written, void*) {
  if (written) *written = 0;
  int fd = FileDescriptor(file);
  if (fd < 0) return 0;
  win::DWORD allowed = toWrite;
  if (writeRoom) allowed = static_cast<win::DWORD>(std::min<std::uint64_t>(*writeRoom, toWrite));
  ssize_t put = ::write(fd, buffer, allowed);
  if (put < 0) {
    lastError = kErrorIoDevice;
    return 0;
  }
  if (writeRoom) *writeRoom -= static_cast<std::uint64_t>(put);
  if (written) *written = static_cast<win::DWORD>(put);
  if (static_cast<win::DWORD>(put) < toWrite) {
    lastError = 112;  // ERROR_DISK_FULL
    return 0;
  }
  return 1;
}

win::DWORD FakePlatform::SetFilePointer(win::HANDLE file, win::LONG distance,
                                        win::LONG* distanceHigh, win::DWORD method) {
  int fd = FileDescriptor(file);
  if (fd < 0) return win::INVALID_SET_FILE_POINTER;
  std::int64_t offset =
      distanceHigh ? (std::int64_t{*distanceHigh} << 32) | static_cast<std::uint32_t>(distance)
                   : distance;
  int whence = method == win::FILE_END ? SEEK_END : method == win::FILE_BEGIN ? SEEK_SET : SEEK_CUR;
  off_t position = lseek(fd, static_cast<off_t>(offset), whence);
  if (position < 0) {
    lastError = 131;  // ERROR_NEGATIVE_SEEK
    return win::INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh) *distanceHigh = static_cast<win::LONG>(std::int64_t{position} >> 32);
  return static_cast<win::DWORD>(position);
}

std::string FakePlatform::OpenPath(win::HANDLE handle) {
  std::lock_guard<emu::Mutex> lock(mutex_);
  Object* object = Find(handle);
  if (!object || object->kind != Object::Kind::File) {
    lastError = kErrorInvalidHandle;
    return "";
  }
  return object->path;
}

win::DWORD FakePlatform::GetFileType(win::HANDLE file) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::file_type type = fs::status(OpenPath(file), error).type();
  if (type == fs::file_type::character) return win::FILE_TYPE_CHAR;
  if (type == fs::file_type::fifo || type == fs::file_type::socket) return win::FILE_TYPE_PIPE;
  return error ? win::FILE_TYPE_UNKNOWN : win::FILE_TYPE_DISK;
}

win::DWORD FakePlatform::GetFileSize(win::HANDLE file, win::DWORD* high) {
  std::error_code error;
  std::uint64_t size = std::filesystem::file_size(OpenPath(file), error);
  if (error) {
    lastError = kErrorInvalidHandle;
    return win::INVALID_FILE_SIZE;
  }
  if (high) *high = static_cast<win::DWORD>(size >> 32);
  lastError = 0;
  return static_cast<win::DWORD>(size);
}

win::BOOL FakePlatform::GetFileInformationByHandle(win::HANDLE file,
                                                   win::BY_HANDLE_FILE_INFORMATION* info) {
  namespace fs = std::filesystem;
  std::string path = OpenPath(file);
  std::error_code error;
  fs::file_type type = fs::status(path, error).type();
  if (path.empty() || error) return 0;
  *info = {};
  info->dwFileAttributes = type == fs::file_type::directory ? win::FILE_ATTRIBUTE_DIRECTORY
                           : type == fs::file_type::block || type == fs::file_type::character
                               ? win::FILE_ATTRIBUTE_DEVICE
                               : win::FILE_ATTRIBUTE_NORMAL;
  std::uint64_t size = type == fs::file_type::regular ? fs::file_size(path, error) : 0;
  info->nFileSizeHigh = static_cast<win::DWORD>(size >> 32);
  info->nFileSizeLow = static_cast<win::DWORD>(size);
  info->nNumberOfLinks = 1;
  std::size_t index = 0;
  while (index < identities_.size() && !fs::equivalent(identities_[index], path, error)) ++index;
  if (index == identities_.size()) identities_.push_back(path);
  info->nFileIndexLow = static_cast<win::DWORD>(index + 1);
  return 1;
}

win::BOOL FakePlatform::MoveFileExA(const char* existing, const char* newName, win::DWORD flags) {
  std::string target = FilePath(newName);
  struct stat info;
  if (moveError ||
      (!(flags & win::MOVEFILE_REPLACE_EXISTING) && stat(target.c_str(), &info) == 0)) {
    lastError = moveError ? *moveError : 183;  // ERROR_ALREADY_EXISTS
    return 0;
  }
  std::error_code error;  // replaces an existing target on every system
  std::filesystem::rename(FilePath(existing), target, error);
  if (error) {
    lastError = kErrorFileNotFound;
    return 0;
  }
  return 1;
}

win::BOOL FakePlatform::DeleteFileA(const char* path) {
  if (unlink(FilePath(path).c_str()) != 0) {
    lastError = kErrorFileNotFound;
    return 0;
  }
  return 1;
}

win::BOOL FakePlatform::CopyPermissionBits(const char* from, const char* to) {
  struct stat info;
  if (stat(FilePath(from).c_str(), &info) != 0 ||
      chmod(FilePath(to).c_str(), info.st_mode & 07777) != 0) {
    lastError = kErrorAccessDenied;
    return 0;
  }
  return 1;
}

win::DWORD FakePlatform::GetFileAttributesA(const char* path) {
  struct stat info;
  if (!path || stat(FilePath(path).c_str(), &info) != 0) {
    lastError = kErrorFileNotFound;
    return win::INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(info.st_mode)) return win::FILE_ATTRIBUTE_DIRECTORY;
#if defined(S_ISBLK)
  if (S_ISBLK(info.st_mode) || S_ISCHR(info.st_mode)) return win::FILE_ATTRIBUTE_DEVICE;
#endif
  return win::FILE_ATTRIBUTE_NORMAL;
}

win::DWORD FakePlatform::GetPrivateProfileStringA(const char* section, const char* key,
                                                  const char* defaultValue, char* buffer,
                                                  win::DWORD size, const char* fileName) {
  return ReadPrivateProfileString(section, key, defaultValue, buffer, size, fileName);
}
