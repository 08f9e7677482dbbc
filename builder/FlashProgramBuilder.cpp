// The flash program builder: copies the program's own executable file, and in the copy
// replaces the payload's build header and firmware area with the chosen catalogue entry
// and firmware file.
//
// The copy runs byte by byte as far as its observable results go (the key search, the
// progress steps, the final length check), but the files are read and written in
// aligned blocks, the image straight from the firmware file into the block it lands in.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32) && (defined(__i386__) || defined(__x86_64__))
#include <emmintrin.h>
#endif

#include "app/FlashForm.h"
#include "app/Text.h"
#include "package/FlashPayload.h"
#include "platform/Platform.h"
#include "platform/WinConstants.h"

namespace {

constexpr int kProgressStep = 1024;
constexpr std::uint32_t kImageChunk = 16384;
#if defined(FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION)
// Small blocks, so that short programs reach every way the key and the window can lie
// across them.
constexpr std::size_t kBlockSize = 4096;
#else
constexpr std::size_t kBlockSize = 256 * 1024;
#endif
// Candidate names for the build until it is complete; never a file that exists.
constexpr int kPartialNames = 100;

// An open file handle, closed when it goes.
class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool Open(const std::string& path, win::DWORD access, win::DWORD share, win::DWORD disposition) {
    handle_ = Os().CreateFileA(path.c_str(), access, share, nullptr, disposition,
                               win::FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle_ != win::InvalidHandleValue();
  }
  bool OpenRead(const std::string& path) {
    return Open(path, win::GENERIC_READ, win::FILE_SHARE_READ, win::OPEN_EXISTING);
  }
  win::HANDLE Handle() const { return handle_; }
  void Close() {
    if (handle_ != win::InvalidHandleValue()) Os().CloseHandle(handle_);
    handle_ = win::InvalidHandleValue();
  }

 private:
  win::HANDLE handle_ = win::InvalidHandleValue();
};

// A file's length; false when the system cannot tell.
bool Length(const File& file, std::uint64_t* length) {
  win::DWORD high = 0;
  win::DWORD low = Os().GetFileSize(file.Handle(), &high);
  if (low == win::INVALID_FILE_SIZE && Os().GetLastError() != 0) return false;
  *length = std::uint64_t{high} << 32 | low;
  return true;
}

// Which file an open handle is: its volume and its index there. Asked only when needed:
// some systems take long to tell.
bool Identity(const File& file, std::uint64_t* volume, std::uint64_t* index) {
  win::BY_HANDLE_FILE_INFORMATION info = {};
  if (!Os().GetFileInformationByHandle(file.Handle(), &info)) return false;
  *volume = info.dwVolumeSerialNumber;
  *index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  return true;
}

bool Exists(const std::string& path) {
  return Os().GetFileAttributesA(path.c_str()) != win::INVALID_FILE_ATTRIBUTES;
}

// Whether the output name is the open program file by another name (a folder's own case
// rules, a hard link) too. A name that cannot be opened is not the program, which is.
bool IsProgram(const std::string& outputName, const File& program) {
  if (!Exists(outputName)) return false;
  File output;
  std::uint64_t volume[2], index[2];
  return output.Open(outputName, 0,
                     win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                     win::OPEN_EXISTING) &&
         Identity(output, &volume[0], &index[0]) && Identity(program, &volume[1], &index[1]) &&
         volume[0] == volume[1] && index[0] == index[1];
}

// The image is sent in whole chunks, and must not reach past the firmware area.
bool FitsFirmwareArea(std::uint64_t length) {
  return length <= kFirmwareAreaSize && length % kImageChunk == 0;
}

void PutField(std::uint8_t* at, const std::string& text, std::size_t width) {
  std::memcpy(at, text.data(), std::min(text.size(), width - 1));
}

std::vector<std::uint8_t> BuildHeader(const TFlashForm& form, int index,
                                      const std::string& binFileName, std::uint32_t length) {
  std::vector<std::uint8_t> header(kBuildHeaderSize, 0);
  const TStringList* lists[] = {form.ModelList.get(), form.InquiryList.get(),
                                form.FwRangeList.get(), form.VendorList.get(), form.NoteList.get()};
  for (std::size_t i = 0; i < 5; ++i)
    PutField(&header[i * kTextFieldSize], (*lists[i])[index], kTextFieldSize);
  for (std::size_t i = 0; i < 5 && i < binFileName.size(); ++i)
    header[125 + i] =
        static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(binFileName[i])));
  for (int i = 0; i < 4; ++i) header[133 + i] = static_cast<std::uint8_t>(length >> (8 * i));
  return header;
}

#if defined(_WIN32) && (defined(__i386__) || defined(__x86_64__))
// Sixteen bytes at a time, where the processor can.
__attribute__((target("sse2"))) std::size_t FindByteSse2(const std::uint8_t* data, std::size_t from,
                                                         std::size_t n, std::uint8_t byte) {
  const __m128i pattern = _mm_set1_epi8(static_cast<char>(byte));
  std::size_t i = from;
  for (; i + 16 <= n; i += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    if (int hits = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, pattern)))
      return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
  return std::find(data + i, data + n, byte) - data;
}
#endif

// The first byte equal to `byte` in data[from, n), or n. Windows' C library (Wine's, at
// least) searches a byte at a time.
std::size_t FindByte(const std::uint8_t* data, std::size_t from, std::size_t n, std::uint8_t byte) {
#if defined(_WIN32) && (defined(__i386__) || defined(__x86_64__))
  static const bool sse2 = __builtin_cpu_supports("sse2");
  if (sse2) return FindByteSse2(data, from, n, byte);
  return std::find(data + from, data + n, byte) - data;
#else
  const void* hit = std::memchr(data + from, byte, n - from);
  return hit ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data) : n;
#endif
}

// One build's copy. The output is the program file with a window written over it: the
// build header and the image, from the byte after the key. The byte counter j and the
// progress bar come out as the byte-wise copy leaves them.
class ProgramCopy {
 public:
  ProgramCopy(const File& program, const File& firmware, const File& output, TProgressBar& bar,
              std::int64_t length, const std::vector<std::uint8_t>& header,
              std::uint32_t imageLength)
      : program_(program.Handle()),
        firmware_(firmware.Handle()),
        output_(output.Handle()),
        bar_(bar),
        length_(length),
        header_(header),
        imageLength_(imageLength),
        // No bigger than the program: a block is all the copy holds at once.
        block_(new std::uint8_t[static_cast<std::size_t>(
            std::min<std::int64_t>(kBlockSize, std::max<std::int64_t>(length, 1)))]) {}

  enum class Result { Complete, KeyMissing, Incomplete };

  // As the byte-wise copy: the program file's end (or a failing read of it) ends the
  // copy, a failing write or firmware read only the result.
  Result Run() {
    bool whole = true;  // every read and write moved all it was asked
    for (std::int64_t at = 0; at < length_;) {
      auto n = static_cast<std::size_t>(std::min<std::int64_t>(kBlockSize, length_ - at));
      bool replaced = windowAt_ >= 0 && at >= windowAt_ &&
                      at + static_cast<std::int64_t>(n) <= windowAt_ + WindowSize();
      if (!replaced && !ReadProgram(at, n)) {
        whole = false;
        break;
      }
      if (windowAt_ < 0) Search(at, n);
      if (windowAt_ >= 0) whole = WriteOver(at, n) && whole;
      whole = Write(output_, block_.get(), n) && whole;
      at += static_cast<std::int64_t>(n);
    }
    if (windowAt_ < 0) return Result::KeyMissing;
    // The byte-wise copy ends with j at the program's last byte exactly when the window
    // ended inside the program.
    bool fits = windowAt_ + WindowSize() <= length_;
    return whole && fits ? Result::Complete : Result::Incomplete;
  }

 private:
  std::int64_t WindowSize() const {
    return static_cast<std::int64_t>(header_.size()) + imageLength_;
  }

  bool ReadProgram(std::int64_t at, std::size_t n) {
    if (programAt_ != at) {  // after the replaced blocks, which are not read
      win::LONG high = static_cast<win::LONG>(at >> 32);
      if (Os().SetFilePointer(program_, static_cast<win::LONG>(at), &high, win::FILE_BEGIN) ==
          win::INVALID_SET_FILE_POINTER)
        return false;
    }
    win::DWORD got = 0;
    bool read = Os().ReadFile(program_, block_.get(), static_cast<win::DWORD>(n), &got, nullptr);
    programAt_ = at + got;
    return read && got == n;
  }

  // The key in this block, taken up in the state the block before left it. A byte that
  // breaks a partial match is not tried again as the key's first byte.
  void Search(std::int64_t at, std::size_t n) {
    const auto* key = reinterpret_cast<const std::uint8_t*>(Payload().BuildKey);
    const std::uint8_t* data = block_.get();
    std::size_t i = 0;
    for (; i < n; ++i) {
      if (matched_ == 0 && (i = FindByte(data, i, n, key[0])) == n) break;
      matched_ = data[i] == key[matched_] ? matched_ + 1 : 0;
      if (matched_ == kBuildKeySize) break;
    }
    if (i == n) {
      StepOver(at, at + static_cast<std::int64_t>(n));
      return;
    }
    std::int64_t keyEnd = at + static_cast<std::int64_t>(i);  // j stops at the key's last byte
    StepOver(at, keyEnd + 1);
    for (std::uint32_t k = 0; k < imageLength_ / kProgressStep; ++k) bar_.StepIt();
    windowAt_ = keyEnd + 1;
  }

  // The window's part in this block, and the steps of the bytes copied after it: there
  // the counter j runs one behind the byte it copies, and stops before the last.
  bool WriteOver(std::int64_t at, std::size_t n) {
    std::int64_t end = at + static_cast<std::int64_t>(n);
    std::int64_t imageAt = windowAt_ + static_cast<std::int64_t>(header_.size());
    std::int64_t windowEnd = imageAt + imageLength_;
    for (std::int64_t i = std::max(at, windowAt_); i < std::min(end, imageAt); ++i)
      block_[static_cast<std::size_t>(i - at)] = header_[static_cast<std::size_t>(i - windowAt_)];
    bool whole = true;
    std::int64_t from = std::max(at, imageAt), to = std::min(end, windowEnd);
    if (from < to) {
      win::DWORD got = 0, size = static_cast<win::DWORD>(to - from);
      whole =
          Os().ReadFile(firmware_, block_.get() + (from - at), size, &got, nullptr) && got == size;
    }
    StepOver(std::max(at, windowEnd - 1), std::min(end, length_ - 1));
    return whole;
  }

  static bool Write(win::HANDLE file, const std::uint8_t* data, std::size_t n) {
    win::DWORD put = 0;
    return Os().WriteFile(file, data, static_cast<win::DWORD>(n), &put, nullptr) && put == n;
  }

  // The steps of the byte counters from..to-1: one at every multiple of the step.
  void StepOver(std::int64_t from, std::int64_t to) {
    auto multiplesBelow = [](std::int64_t j) { return (j + kProgressStep - 1) / kProgressStep; };
    for (std::int64_t k = multiplesBelow(from); k < multiplesBelow(to); ++k) bar_.StepIt();
  }

  win::HANDLE program_, firmware_, output_;
  TProgressBar& bar_;
  std::int64_t length_;
  const std::vector<std::uint8_t>& header_;
  std::uint32_t imageLength_;
  std::unique_ptr<std::uint8_t[]> block_;  // not zero-filled: every byte is read or written
  std::int64_t programAt_ = 0;
  std::int64_t windowAt_ = -1;  // the first byte after the key, once found
  std::size_t matched_ = 0;
};

// One build; returns the message of its failure, or "" when the program was written.
class Build {
 public:
  explicit Build(TFlashForm& form) : form_(form), name_(form.BinFileName) {}

  std::string Run() {
    int index = form_.ComboBox.ItemIndex();
    if (!form_.ModelList || index < 0 || index >= form_.ModelList->Count())
      return "Choose a model from the list first.";
    if (std::string refused = OpenFirmware(); !refused.empty()) return refused;
    std::string programPath = ModuleFileName();
    programName_ = BaseName(programPath);
    std::uint64_t length = 0;
    if (!program_.OpenRead(programPath) || !Length(program_, &length) || length > 0x7FFFFFFFu)
      return "Open " + programPath + " fail!";
    form_.ProgressBar.SetMin(0);
    form_.ProgressBar.SetMax(static_cast<int>(length));
    form_.ProgressBar.SetPosition(0);
    form_.ProgressBar.SetStep(kProgressStep);

    // At most four characters as written: a shorter name is not padded ("A.B.EXE").
    std::string outputName = name_.substr(0, 4) + ".EXE";
    if (IsProgram(outputName, program_))
      return "Can't build " + outputName + " over the running program itself.";
    std::string createFailed = Format("Create %4.4s.EXE Fail", name_.c_str());
    if (!CreatePartial(outputName)) return createFailed;
    std::string failure = Copy(index, static_cast<std::int64_t>(length));
    firmware_.Close();  // the output's name may be the firmware file's
    program_.Close();
    partial_.Close();
    if (failure.empty()) {
      Os().CopyPermissionBits(programPath.c_str(), partialName_.c_str());
      if (Os().MoveFileExA(partialName_.c_str(), outputName.c_str(),
                           win::MOVEFILE_REPLACE_EXISTING))
        return "";
      failure = createFailed;
    }
    Os().DeleteFileA(partialName_.c_str());
    return failure;
  }

 private:
  // Only a regular file of a firmware image's length is taken; a folder, device or pipe
  // is refused before anything is read from it.
  std::string OpenFirmware() {
    std::string path = form_.FileListBox1.FileName();
    std::string notAFile = name_ + " is not a file: a firmware image is read from a file.";
    win::DWORD attributes = Os().GetFileAttributesA(path.c_str());
    if (attributes != win::INVALID_FILE_ATTRIBUTES &&
        (attributes & (win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_DEVICE)) != 0)
      return notAFile;
    std::uint64_t length = 0;
    if (!firmware_.OpenRead(path)) return "Open " + name_ + " fail!";
    if (Os().GetFileType(firmware_.Handle()) != win::FILE_TYPE_DISK) return notAFile;
    if (!Length(firmware_, &length)) return "Open " + name_ + " fail!";
    form_.BinLength = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, 0xFFFFFFFFu));
    if (!FitsFirmwareArea(length))
      return name_ + " is " + std::to_string(length) +
             " bytes long: a firmware image must be a multiple of 16384 bytes and at most "
             "524288 bytes.";
    return "";
  }

  // The build is written under a name of its own in the output's folder and takes the
  // output's name only when complete. The name is created new, so it is never a file
  // that was there: not the firmware file, not the program.
  bool CreatePartial(const std::string& outputName) {
    for (int n = 0; n < kPartialNames; ++n) {
      partialName_ =
          n == 0 ? outputName + ".building" : Format("%s.%d.building", outputName.c_str(), n);
      if (partial_.Open(partialName_, win::GENERIC_WRITE, 0, win::CREATE_NEW)) return true;
      if (!Exists(partialName_)) return false;
    }
    return false;
  }

  std::string Copy(int index, std::int64_t length) {
    std::vector<std::uint8_t> header = BuildHeader(form_, index, name_, form_.BinLength);
    ProgramCopy copy(program_, firmware_, partial_, form_.ProgressBar, length, header,
                     form_.BinLength);
    switch (copy.Run()) {
      case ProgramCopy::Result::Complete:
        return "";
      case ProgramCopy::Result::KeyMissing:
        return "Building fail: not found key-word in " + programName_;
      case ProgramCopy::Result::Incomplete:
        break;
    }
    // A firmware file that delivered less than its length would leave a program that
    // flashes zeros.
    return "Building fail: some problem in " + programName_;
  }

  TFlashForm& form_;
  const std::string name_;
  std::string programName_, partialName_;
  File firmware_, program_, partial_;
};

}  // namespace

bool TFlashForm::NewBuildFlashProgram() {
  GroupBox2.SetCaption("Building " + BinFileName + "  Please wait... ");
  GroupBox2.Repaint();
  std::string failure = Build(*this).Run();
  if (!failure.empty()) {
    // Whatever stopped the build, it is not running any more.
    GroupBox2.SetCaption("Building " + BinFileName + " failed.");
    GroupBox2.Repaint();
    ShowMessage(failure);
    return false;
  }
  GroupBox2.SetCaption(Format("Build %4.4s.EXE complete!", BinFileName.c_str()));
  GroupBox2.Repaint();
  ProgressBar.SetPosition(0);
  return true;
}
