#include "fuzz/MemoryPlatform.h"

#include <algorithm>
#include <cstring>

#include "platform/WinConstants.h"

namespace {

constexpr win::DWORD kErrorFileExists = 80;
constexpr win::DWORD kErrorDiskFull = 112;
constexpr win::DWORD kErrorNegativeSeek = 131;
constexpr win::DWORD kErrorAlreadyExists = 183;
constexpr std::size_t kSparesKept = 8;

}  // namespace

std::shared_ptr<MemoryPlatform::Stored> MemoryPlatform::Make() {
  auto file = std::make_shared<Stored>();
  if (!spares_.empty()) {
    file->bytes = std::move(spares_.back());
    spares_.pop_back();
    file->bytes.clear();
  }
  file->index = nextIndex_++;
  return file;
}

// A file no handle holds any more gives its buffer to the next one.
void MemoryPlatform::Retire(std::shared_ptr<Stored> file) {
  if (file && file.use_count() == 1 && spares_.size() < kSparesKept)
    spares_.push_back(std::move(file->bytes));
}

MemoryPlatform::Handle* MemoryPlatform::Open(win::HANDLE handle) {
  auto found = handles_.find(handle);
  return found == handles_.end() ? nullptr : &found->second;
}

std::string& MemoryPlatform::NewFile(const std::string& path) {
  std::shared_ptr<Stored>& slot = files_[FilePath(path.c_str())];
  Retire(std::move(slot));
  slot = Make();
  return slot->bytes;
}

const std::string* MemoryPlatform::Find(const std::string& path) const {
  auto found = files_.find(FilePath(path.c_str()));
  return found == files_.end() ? nullptr : &found->second->bytes;
}

std::vector<std::string> MemoryPlatform::Paths() const {
  std::vector<std::string> paths;
  for (const auto& file : files_) paths.push_back(file.first);
  return paths;
}

void MemoryPlatform::Clear() {
  handles_.clear();
  for (auto& file : files_) Retire(std::move(file.second));
  files_.clear();
}

win::HANDLE MemoryPlatform::CreateFileA(const char* path, win::DWORD access, win::DWORD share,
                                        void* security, win::DWORD disposition, win::DWORD flags,
                                        win::HANDLE templateFile) {
  const bool create = disposition == win::CREATE_ALWAYS || disposition == win::CREATE_NEW;
  const bool device = IsDevicePath(path);
  auto found = device ? files_.end() : files_.find(FilePath(path));
  if (device || (!create && found == files_.end()))
    return FakePlatform::CreateFileA(path, access, share, security, disposition, flags,
                                     templateFile);
  opens.push_back(
      {path, access, share, disposition, flags, security != nullptr, templateFile != nullptr});
  if (create && refuseCreate) {
    lastError = kErrorAccessDenied;
    return win::InvalidHandleValue();
  }
  if (disposition == win::CREATE_NEW && found != files_.end()) {
    lastError = kErrorFileExists;
    return win::InvalidHandleValue();
  }
  if (found == files_.end())
    found = files_.emplace(FilePath(path), Make()).first;
  else if (create)
    found->second->bytes.clear();
  ++filesOpened;
  Handle handle;
  handle.file = found->second;
  // As the fake opens a file on disk: without GENERIC_WRITE, for reading only.
  handle.write = (access & win::GENERIC_WRITE) != 0;
  handle.read = !handle.write || (access & win::GENERIC_READ) != 0;
  handle.unreadable = !unreadableFile.empty() && unreadableFile == path;
  nextHandle_ += 4;
  auto key = reinterpret_cast<win::HANDLE>(nextHandle_);
  handles_[key] = handle;
  return key;
}

win::BOOL MemoryPlatform::CloseHandle(win::HANDLE handle) {
  auto found = handles_.find(handle);
  if (found == handles_.end()) return FakePlatform::CloseHandle(handle);
  handles_.erase(found);
  ++filesClosed;
  return 1;
}

win::BOOL MemoryPlatform::ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead,
                                   win::DWORD* read, void* overlapped) {
  Handle* h = Open(file);
  if (!h) return FakePlatform::ReadFile(file, buffer, toRead, read, overlapped);
  if (read) *read = 0;
  if (h->unreadable || !h->read) {
    lastError = kErrorIoDevice;
    return 0;
  }
  const std::string& bytes = h->file->bytes;
  std::uint64_t left = h->position < bytes.size() ? bytes.size() - h->position : 0;
  auto n = static_cast<win::DWORD>(std::min<std::uint64_t>(left, toRead));
  if (n != 0) std::memcpy(buffer, bytes.data() + h->position, n);
  h->position += n;
  if (read) *read = n;
  return 1;
}

win::BOOL MemoryPlatform::WriteFile(win::HANDLE file, const void* buffer, win::DWORD toWrite,
                                    win::DWORD* written, void* overlapped) {
  Handle* h = Open(file);
  if (!h) return FakePlatform::WriteFile(file, buffer, toWrite, written, overlapped);
  if (written) *written = 0;
  if (!h->write) {
    lastError = kErrorIoDevice;
    return 0;
  }
  win::DWORD put = toWrite;
  if (writeRoom) put = static_cast<win::DWORD>(std::min<std::uint64_t>(*writeRoom, toWrite));
  std::string& bytes = h->file->bytes;
  if (bytes.size() < h->position + put) bytes.resize(h->position + put, '\0');
  if (put != 0) std::memcpy(&bytes[h->position], buffer, put);
  h->position += put;
  if (writeRoom) *writeRoom -= put;
  if (written) *written = put;
  if (put < toWrite) {
    lastError = kErrorDiskFull;
    return 0;
  }
  return 1;
}

win::DWORD MemoryPlatform::SetFilePointer(win::HANDLE file, win::LONG distance,
                                          win::LONG* distanceHigh, win::DWORD method) {
  Handle* h = Open(file);
  if (!h) return FakePlatform::SetFilePointer(file, distance, distanceHigh, method);
  std::int64_t offset =
      distanceHigh ? (std::int64_t{*distanceHigh} << 32) | static_cast<std::uint32_t>(distance)
                   : distance;
  std::int64_t base = method == win::FILE_END     ? static_cast<std::int64_t>(h->file->bytes.size())
                      : method == win::FILE_BEGIN ? 0
                                                  : static_cast<std::int64_t>(h->position);
  if (base + offset < 0) {
    lastError = kErrorNegativeSeek;
    return win::INVALID_SET_FILE_POINTER;
  }
  h->position = static_cast<std::uint64_t>(base + offset);
  if (distanceHigh) *distanceHigh = static_cast<win::LONG>(h->position >> 32);
  return static_cast<win::DWORD>(h->position);
}

win::DWORD MemoryPlatform::GetFileType(win::HANDLE file) {
  return Open(file) ? win::FILE_TYPE_DISK : FakePlatform::GetFileType(file);
}

win::DWORD MemoryPlatform::GetFileSize(win::HANDLE file, win::DWORD* high) {
  Handle* h = Open(file);
  if (!h) return FakePlatform::GetFileSize(file, high);
  std::uint64_t size = h->file->bytes.size();
  if (high) *high = static_cast<win::DWORD>(size >> 32);
  lastError = 0;
  return static_cast<win::DWORD>(size);
}

win::BOOL MemoryPlatform::GetFileInformationByHandle(win::HANDLE file,
                                                     win::BY_HANDLE_FILE_INFORMATION* info) {
  Handle* h = Open(file);
  if (!h) return FakePlatform::GetFileInformationByHandle(file, info);
  *info = {};
  info->dwFileAttributes = win::FILE_ATTRIBUTE_NORMAL;
  std::uint64_t size = h->file->bytes.size();
  info->nFileSizeHigh = static_cast<win::DWORD>(size >> 32);
  info->nFileSizeLow = static_cast<win::DWORD>(size);
  info->nNumberOfLinks = 1;
  info->nFileIndexLow = h->file->index;
  return 1;
}

win::BOOL MemoryPlatform::MoveFileExA(const char* existing, const char* newName, win::DWORD flags) {
  auto source = files_.find(FilePath(existing));
  if (source == files_.end()) return FakePlatform::MoveFileExA(existing, newName, flags);
  const std::string target = FilePath(newName);
  const win::DWORD error = lastError;
  bool exists = files_.count(target) != 0 ||
                FakePlatform::GetFileAttributesA(newName) != win::INVALID_FILE_ATTRIBUTES;
  lastError = error;
  if (moveError || (!(flags & win::MOVEFILE_REPLACE_EXISTING) && exists)) {
    lastError = moveError ? *moveError : kErrorAlreadyExists;
    return 0;
  }
  if (source->first == target) return 1;
  std::shared_ptr<Stored> moved = std::move(source->second);
  files_.erase(source);
  std::shared_ptr<Stored>& slot = files_[target];
  Retire(std::move(slot));
  slot = std::move(moved);
  return 1;
}

win::BOOL MemoryPlatform::DeleteFileA(const char* path) {
  auto found = files_.find(FilePath(path));
  if (found == files_.end()) return FakePlatform::DeleteFileA(path);
  std::shared_ptr<Stored> file = std::move(found->second);
  files_.erase(found);
  Retire(std::move(file));
  return 1;
}

// Memory keeps no permission bits: between two of its files there are none to copy.
win::BOOL MemoryPlatform::CopyPermissionBits(const char* from, const char* to) {
  if (files_.count(FilePath(from)) && files_.count(FilePath(to))) return 1;
  return FakePlatform::CopyPermissionBits(from, to);
}

win::DWORD MemoryPlatform::GetFileAttributesA(const char* path) {
  if (path && files_.count(FilePath(path))) return win::FILE_ATTRIBUTE_NORMAL;
  return FakePlatform::GetFileAttributesA(path);
}

// Parsed again only when the text changed: a catalogue is read a key at a time.
win::DWORD MemoryPlatform::GetPrivateProfileStringA(const char* section, const char* key,
                                                    const char* defaultValue, char* buffer,
                                                    win::DWORD size, const char* fileName) {
  auto found = files_.find(FilePath(fileName));
  if (found == files_.end())
    return FakePlatform::GetPrivateProfileStringA(section, key, defaultValue, buffer, size,
                                                  fileName);
  if (!iniText_ || iniBytes_ != found->second->bytes) {
    iniBytes_ = found->second->bytes;
    iniText_ = std::make_unique<IniText>(iniBytes_);
  }
  return ReadProfileValue(iniText_.get(), section, key, defaultValue, buffer, size);
}
