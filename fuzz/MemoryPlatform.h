// The fake platform with its files in memory, for the fuzz targets: a builder's program,
// firmware and output never touch a disk, and their buffers serve the next input. A file
// in memory hides one of the same path on disk, and every new file is made in memory;
// what memory lacks the fake finds on disk. The fake's
// failures on request (refuseCreate, writeRoom, moveError, unreadableFile) hold as they
// do for its files on disk. An INI file in memory is read by the same rules as on disk.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/IniReader.h"
#include "tests/fake/FakePlatform.h"

class MemoryPlatform : public FakePlatform {
 public:
  // The file at path (taken as the fake takes a path), empty, to be filled.
  std::string& NewFile(const std::string& path);
  const std::string* Find(const std::string& path) const;  // nullptr when absent
  std::vector<std::string> Paths() const;
  // Every file gone, and every handle to one closed; their buffers are kept.
  void Clear();

  win::HANDLE CreateFileA(const char* path, win::DWORD access, win::DWORD share, void* security,
                          win::DWORD disposition, win::DWORD flags,
                          win::HANDLE templateFile) override;
  win::BOOL CloseHandle(win::HANDLE handle) override;
  win::BOOL ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead, win::DWORD* read,
                     void* overlapped) override;
  win::BOOL WriteFile(win::HANDLE file, const void* buffer, win::DWORD toWrite, win::DWORD* written,
                      void* overlapped) override;
  win::DWORD SetFilePointer(win::HANDLE file, win::LONG distance, win::LONG* distanceHigh,
                            win::DWORD method) override;
  win::DWORD GetFileType(win::HANDLE file) override;
  win::DWORD GetFileSize(win::HANDLE file, win::DWORD* high) override;
  win::BOOL GetFileInformationByHandle(win::HANDLE file,
                                       win::BY_HANDLE_FILE_INFORMATION* info) override;
  win::BOOL MoveFileExA(const char* existing, const char* newName, win::DWORD flags) override;
  win::BOOL DeleteFileA(const char* path) override;
  win::BOOL CopyPermissionBits(const char* from, const char* to) override;
  win::DWORD GetFileAttributesA(const char* path) override;
  win::DWORD GetPrivateProfileStringA(const char* section, const char* key,
                                      const char* defaultValue, char* buffer, win::DWORD size,
                                      const char* fileName) override;

 private:
  struct Stored {
    std::string bytes;
    std::uint32_t index = 0;  // the file's identity
  };
  struct Handle {
    std::shared_ptr<Stored> file;
    std::uint64_t position = 0;
    bool read = false, write = false, unreadable = false;
  };
  std::shared_ptr<Stored> Make();
  void Retire(std::shared_ptr<Stored> file);
  Handle* Open(win::HANDLE handle);

  std::map<std::string, std::shared_ptr<Stored>> files_;
  std::map<win::HANDLE, Handle> handles_;
  std::vector<std::string> spares_;
  std::string iniBytes_;  // what iniText_ was parsed from
  std::unique_ptr<IniText> iniText_;
  std::uintptr_t nextHandle_ = 0x40000000;  // far from the fake's own handles
  std::uint32_t nextIndex_ = 0x10000;
};
