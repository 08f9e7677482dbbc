// The flash program builder: copies the program's own executable file, and in the copy
// replaces the payload's build header and firmware area with the chosen catalogue entry
// and firmware file.
//
// The copy runs byte by byte as far as its observable results go (the key search, the
// progress steps, the final length check), but the files are read and written in
// blocks: one platform call per byte would make a build take minutes.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/FlashForm.h"
#include "app/Text.h"
#include "package/FlashPayload.h"
#include "platform/Platform.h"
#include "platform/WinConstants.h"

namespace {

constexpr int kProgressStep = 1024;
constexpr std::uint32_t kImageChunk = 16384;
constexpr std::size_t kBlockSize = 64 * 1024;
// The build is written here and takes the program's name only when complete.
constexpr const char* kPartialSuffix = ".building";

// A binary file stream over the platform's file calls, buffered both ways.
class BinaryFile {
 public:
  BinaryFile() : handle_(win::InvalidHandleValue()) {}
  ~BinaryFile() { Close(); }
  BinaryFile(const BinaryFile&) = delete;
  BinaryFile& operator=(const BinaryFile&) = delete;

  bool OpenRead(const std::string& path) {
    return Open(path, win::GENERIC_READ, win::OPEN_EXISTING);
  }
  // Created, or emptied if it exists.
  bool OpenWrite(const std::string& path) {
    return Open(path, win::GENERIC_WRITE, win::CREATE_ALWAYS);
  }

  // Seeks to the end, takes the position, seeks back to the start. False when the
  // length cannot be learnt, or is 4 GiB or more.
  bool Length(std::uint32_t* length) {
    win::LONG high = 0;
    win::DWORD end = Os().SetFilePointer(handle_, 0, &high, win::FILE_END);
    bool known = end != win::INVALID_SET_FILE_POINTER && high == 0;
    win::LONG zero = 0;
    known = Os().SetFilePointer(handle_, 0, &zero, win::FILE_BEGIN) == 0 && known;
    *length = known ? end : 0;
    return known;
  }

  // The bytes read ahead and not yet taken; refilled when empty. Empty at the end.
  std::size_t Peek(const std::uint8_t** data) {
    if (next_ == end_) Fill();
    *data = buffer_.data() + next_;
    return end_ - next_;
  }
  void Take(std::size_t count) { next_ += count; }

  // Up to count bytes; a read past the end delivers nothing.
  std::size_t Read(std::uint8_t* to, std::size_t count) {
    std::size_t done = 0;
    const std::uint8_t* data;
    while (done < count) {
      std::size_t n = std::min(Peek(&data), count - done);
      if (n == 0) break;
      std::memcpy(to + done, data, n);
      Take(n);
      done += n;
    }
    return done;
  }
  // What is not read ahead yet is sought over, not read. Past the end a later read
  // delivers nothing, as a read would have.
  void Skip(std::size_t count) {
    std::size_t buffered = std::min(count, end_ - next_);
    Take(buffered);
    if (count > buffered)
      Os().SetFilePointer(handle_, static_cast<win::LONG>(count - buffered), nullptr,
                          win::FILE_CURRENT);
  }

  void Write(const std::uint8_t* from, std::size_t count) {
    if (end_ == 0 && count >= kBlockSize) {  // large spans skip the buffer
      WriteOut(from, count);
      return;
    }
    while (count > 0) {
      std::size_t n = std::min(count, kBlockSize - end_);
      std::memcpy(buffer_.data() + end_, from, n);
      end_ += n;
      from += n;
      count -= n;
      if (end_ == kBlockSize) Flush();
    }
  }

  // False when any write failed.
  bool Close() {
    if (handle_ == win::InvalidHandleValue()) return !failed_;
    if (writing_) Flush();
    Os().CloseHandle(handle_);
    handle_ = win::InvalidHandleValue();
    return !failed_;
  }

 private:
  bool Open(const std::string& path, win::DWORD access, win::DWORD disposition) {
    handle_ = Os().CreateFileA(path.c_str(), access, win::FILE_SHARE_READ, nullptr, disposition,
                               win::FILE_ATTRIBUTE_NORMAL, nullptr);
    writing_ = access == win::GENERIC_WRITE;
    buffer_.resize(kBlockSize);
    return handle_ != win::InvalidHandleValue();
  }
  void Fill() {
    win::DWORD got = 0;
    if (!Os().ReadFile(handle_, buffer_.data(), kBlockSize, &got, nullptr)) got = 0;
    next_ = 0;
    end_ = got;
  }
  void Flush() {
    WriteOut(buffer_.data(), end_);
    end_ = 0;
  }
  void WriteOut(const std::uint8_t* from, std::size_t count) {
    win::DWORD put = 0;
    auto size = static_cast<win::DWORD>(count);
    if (size && (!Os().WriteFile(handle_, from, size, &put, nullptr) || put != size))
      failed_ = true;
  }

  win::HANDLE handle_;
  std::vector<std::uint8_t> buffer_;
  std::size_t next_ = 0, end_ = 0;
  bool writing_ = false, failed_ = false;
};

std::string BaseName(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Paths compared as Windows does: either separator, any case.
std::string Comparable(std::string path) {
  for (char& c : path)
    c = c == '\\' ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return path;
}

bool IsRunningProgram(const std::string& outputName, const std::string& programPath) {
  return Comparable(CurrentDirectory() + "/" + outputName) == Comparable(programPath);
}

// The image is sent in whole chunks, and must not reach past the firmware area.
bool FitsFirmwareArea(std::uint32_t length) {
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

// One build's copy: the byte counter j and the progress bar as the byte-wise copy
// would leave them.
class ProgramCopy {
 public:
  ProgramCopy(BinaryFile& program, BinaryFile& output, TProgressBar& bar, std::int64_t length)
      : program_(program), output_(output), bar_(bar), length_(length) {}

  // Copies up to and including the key's last byte; false when the key is not in the file.
  // A byte that breaks a partial match is not tried again as the key's first byte.
  bool CopyThroughKey() {
    const auto* key = reinterpret_cast<const std::uint8_t*>(Payload().BuildKey);
    std::size_t matched = 0;
    const std::uint8_t* data;
    while (j_ < length_) {
      std::size_t n = std::min<std::int64_t>(program_.Peek(&data), length_ - j_);
      if (n == 0) break;
      std::size_t used = 0;
      bool found = false;
      while (used < n && !found) {
        if (matched == 0) used = NextCandidate(data, used, n, key[0]);
        if (used == n) break;
        matched = data[used] == key[matched] ? matched + 1 : 0;
        found = matched == kBuildKeySize;
        ++used;
      }
      StepOver(j_, j_ + static_cast<std::int64_t>(used));
      output_.Write(data, used);
      program_.Take(used);
      j_ += used;
      if (found) {
        --j_;  // at the key's last byte
        return true;
      }
    }
    j_ = length_;
    return false;
  }

  // The build header and the image over the program's own bytes.
  void WriteOver(const std::vector<std::uint8_t>& header, BinaryFile& firmware,
                 std::uint32_t imageLength) {
    output_.Write(header.data(), header.size());
    program_.Skip(header.size());
    program_.Skip(imageLength);
    std::vector<std::uint8_t> image(imageLength);
    imageComplete_ = firmware.Read(image.data(), imageLength) == imageLength;
    output_.Write(image.data(), image.size());
    for (std::uint32_t i = 0; i < imageLength / kProgressStep; ++i) bar_.StepIt();
    j_ += static_cast<std::int64_t>(header.size()) + imageLength;
  }

  // The rest of the program; true when the output came out as long as the program.
  bool CopyRest() {
    const std::uint8_t* data;
    while (j_ < length_ - 1) {
      std::size_t n = std::min<std::int64_t>(program_.Peek(&data), length_ - 1 - j_);
      if (n == 0) break;
      StepOver(j_, j_ + static_cast<std::int64_t>(n));
      output_.Write(data, n);
      program_.Take(n);
      j_ += static_cast<std::int64_t>(n);
    }
    // A firmware file that delivered less than its length would leave a program
    // that flashes zeros.
    return j_ == length_ - 1 && imageComplete_;
  }

 private:
  // Where the key can start next: outside a partial match only its first byte counts.
  static std::size_t NextCandidate(const std::uint8_t* data, std::size_t from, std::size_t n,
                                   std::uint8_t first) {
    const void* hit = std::memchr(data + from, first, n - from);
    return hit ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data) : n;
  }
  // The steps of the byte counters from..to-1: one at every multiple of the step.
  void StepOver(std::int64_t from, std::int64_t to) {
    auto multiplesBelow = [](std::int64_t j) { return (j + kProgressStep - 1) / kProgressStep; };
    for (std::int64_t k = multiplesBelow(from); k < multiplesBelow(to); ++k) bar_.StepIt();
  }

  BinaryFile& program_;
  BinaryFile& output_;
  TProgressBar& bar_;
  std::int64_t length_;
  std::int64_t j_ = 0;
  bool imageComplete_ = false;
};

}  // namespace

bool TFlashForm::NewBuildFlashProgram() {
  GroupBox2.SetCaption("Building " + BinFileName + "  Please wait... ");
  GroupBox2.Repaint();
  int index = ComboBox.ItemIndex();
  if (!ModelList || index < 0 || index >= ModelList->Count()) {
    ShowMessage("Choose a model from the list first.");
    return false;
  }
  BinaryFile firmware;
  if (!firmware.OpenRead(FileListBox1.FileName()) || !firmware.Length(&BinLength)) {
    ShowMessage("Open " + BinFileName + " fail!");
    return false;
  }
  if (!FitsFirmwareArea(BinLength)) {
    ShowMessage(
        Format("%s is %u bytes long: a firmware image must be a multiple of 16384 "
               "bytes and at most 524288 bytes.",
               BinFileName.c_str(), static_cast<unsigned>(BinLength)));
    return false;
  }
  std::string programPath = ModuleFileName();
  std::string programName = BaseName(programPath);
  BinaryFile program;
  if (!program.OpenRead(programPath)) {
    ShowMessage("Open " + programPath + " fail!");
    return false;
  }
  std::uint32_t length = 0;
  if (!program.Length(&length) || length > 0x7FFFFFFFu) {
    ShowMessage("Open " + programPath + " fail!");
    return false;
  }
  ProgressBar.SetMin(0);
  ProgressBar.SetMax(static_cast<int>(length));
  ProgressBar.SetPosition(0);
  ProgressBar.SetStep(kProgressStep);

  // At most four characters as written: a shorter name is not padded ("A.B.EXE").
  std::string outputName = BinFileName.substr(0, 4) + ".EXE";
  if (IsRunningProgram(outputName, programPath)) {
    ShowMessage("Can't build " + outputName + " over the running program itself.");
    return false;
  }
  std::string partialName = outputName + kPartialSuffix;
  BinaryFile output;
  if (!output.OpenWrite(partialName)) {
    ShowMessage(Format("Create %4.4s.EXE Fail", BinFileName.c_str()));
    return false;
  }

  ProgramCopy copy(program, output, ProgressBar, length);
  if (!copy.CopyThroughKey()) {
    output.Close();
    Os().DeleteFileA(partialName.c_str());
    ShowMessage("Building fail: not found key-word in " + programName);
    return false;
  }
  copy.WriteOver(BuildHeader(*this, index, BinFileName, BinLength), firmware, BinLength);
  bool complete = copy.CopyRest();
  firmware.Close();
  program.Close();
  complete = output.Close() && complete;
  if (!complete) {
    Os().DeleteFileA(partialName.c_str());
    ShowMessage("Building fail: some problem in " + programName);
    return false;
  }
  Os().CopyPermissionBits(programPath.c_str(), partialName.c_str());
  if (!Os().MoveFileExA(partialName.c_str(), outputName.c_str(), win::MOVEFILE_REPLACE_EXISTING)) {
    Os().DeleteFileA(partialName.c_str());
    ShowMessage(Format("Create %4.4s.EXE Fail", BinFileName.c_str()));
    return false;
  }
  GroupBox2.SetCaption(Format("Build %4.4s.EXE complete!", BinFileName.c_str()));
  GroupBox2.Repaint();
  ProgressBar.SetPosition(0);
  return true;
}
