#include "platform/IniReader.h"

#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

// Windows counts Ctrl-Z, the old end-of-file mark, as a blank.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

struct Range {
  std::size_t begin, end;
};

Range Trim(const std::string& s, Range r) {
  while (r.begin < r.end && IsBlank(s[r.begin])) ++r.begin;
  while (r.end > r.begin && IsBlank(s[r.end - 1])) --r.end;
  return r;
}

std::string Trim(const std::string& s) {
  Range r = Trim(s, {0, s.size()});
  return s.substr(r.begin, r.end - r.begin);
}

// Names and values are C strings to Windows: a zero byte ends them, after the trim.
std::string Text(const std::string& s, Range r) {
  const char* from = s.data() + r.begin;
  const void* zero = std::memchr(from, '\0', r.end - r.begin);
  return std::string(from, zero ? static_cast<const char*>(zero) : s.data() + r.end);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void AppendUtf8(std::uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
    return;
  }
  int extra = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
  static const unsigned char lead[] = {0, 0xC0, 0xE0, 0xF0};
  out->push_back(static_cast<char>(lead[extra] | (code >> (6 * extra))));
  for (int i = extra - 1; i >= 0; --i)
    out->push_back(static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F)));
}

// A lone surrogate becomes U+FFFD; an odd last byte is dropped.
std::string Utf16ToUtf8(const std::string& bytes, bool littleEndian) {
  auto unit = [&](std::size_t i) -> std::uint32_t {
    auto lo = static_cast<unsigned char>(bytes[i + (littleEndian ? 0 : 1)]);
    auto hi = static_cast<unsigned char>(bytes[i + (littleEndian ? 1 : 0)]);
    return std::uint32_t{hi} << 8 | lo;
  };
  std::string out;
  out.reserve(bytes.size() / 2);
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    std::uint32_t code = unit(i);
    if (code >= 0xD800 && code < 0xDC00 && i + 3 < bytes.size()) {
      std::uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    AppendUtf8(code >= 0xD800 && code < 0xE000 ? 0xFFFD : code, &out);
  }
  return out;
}

std::string Decode(const std::string& bytes) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
  if (bytes.compare(0, 2, "\xFF\xFE") == 0) return Utf16ToUtf8(bytes, true);
  if (bytes.compare(0, 2, "\xFE\xFF") == 0) return Utf16ToUtf8(bytes, false);
  return bytes;
}

// Windows ends a line at CR as well as at LF, so a lone CR splits a line in two.
// Returns the line [from, end) and moves from past its end.
Range NextLine(const std::string& s, std::size_t* from, std::size_t limit) {
  std::size_t end = *from;
  while (end < limit && s[end] != '\r' && s[end] != '\n') ++end;
  Range line{*from, end};
  *from = end < limit ? end + 1 : limit;
  return line;
}

win::DWORD CopyOut(const std::string& text, char* buffer, win::DWORD size) {
  if (!buffer || size == 0) return 0;
  std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<win::DWORD>(n);
}

// One pair of enclosing quotes goes, as Windows does it: the opening quote is skipped,
// the rest is cut to the buffer, and the closing quote is dropped only when the buffer
// could have held the whole rest, so a quoted value that only just fits loses its last
// character.
win::DWORD CopyValue(const std::string& value, char* buffer, win::DWORD size) {
  bool quoted =
      value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0];
  if (!quoted) return CopyOut(value, buffer, size);
  std::string rest = value.substr(1);
  win::DWORD n = CopyOut(rest, buffer, size);
  if (n > 0 && size >= rest.size()) buffer[--n] = '\0';
  return n;
}

// What tells a changed file from the one parsed: identity, size and modification time.
struct Stamp {
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t modified = 0;  // nanoseconds
  bool operator==(const Stamp& o) const {
    return device == o.device && inode == o.inode && size == o.size && modified == o.modified;
  }
};

// File times come from a coarse clock (a few milliseconds; two seconds on FAT): a file
// rewritten at the same size that soon after it was read can keep its stamp. Such a
// recent parse is not trusted.
constexpr std::int64_t kTimeGrainNs = 2000000000;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// False for anything but a regular file: reading a pipe could wait forever.
bool ReadStamp(const std::string& path, Stamp* stamp) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
#if defined(_WIN32)
  // Windows reads catalogues itself; here this reader serves tests and keeps nothing.
  stamp->modified = NowNs();
#else
  *stamp = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
            static_cast<std::uint64_t>(info.st_size),
            std::int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec};
#endif
  return true;
}

struct ParsedFile {
  std::string path;
  Stamp stamp;
  std::int64_t readAt;
  IniText text;
};

// The last file read; nullptr when it cannot be read.
const IniText* Load(const std::string& path) {
  static std::unique_ptr<ParsedFile> last;
  Stamp stamp;
  if (!ReadStamp(path, &stamp)) return nullptr;
  if (last && last->path == path && last->stamp == stamp &&
      stamp.modified < last->readAt - kTimeGrainNs)
    return &last->text;
  last.reset();
  std::int64_t readAt = NowNs();
  std::ifstream file(path, std::ios::binary);
  if (!file) return nullptr;
  std::string bytes(std::istreambuf_iterator<char>(file), {});
  last.reset(new ParsedFile{path, stamp, readAt, IniText(bytes)});
  return &last->text;
}

}  // namespace

IniText::IniText(const std::string& bytes) : text_(Decode(bytes)) {
  auto* body = &sections_.emplace("", std::make_pair(std::size_t{0}, text_.size())).first->second;
  for (std::size_t next = 0; next < text_.size();) {
    std::size_t start = next;
    Range line = Trim(text_, NextLine(text_, &next, text_.size()));
    if (line.begin == line.end || text_[line.begin] != '[') continue;
    std::size_t close = line.end - 1;
    while (close > line.begin && text_[close] != ']') --close;
    if (close == line.begin) continue;
    if (body) body->second = start;
    std::string name = Lower(Text(text_, Trim(text_, {line.begin + 1, close})));
    auto added = sections_.emplace(name, std::make_pair(next, text_.size()));
    body = added.second ? &added.first->second : nullptr;  // only the first one counts
  }
}

bool IniText::Find(const std::string& section, const std::string& key, std::string* value) const {
  auto found = sections_.find(Lower(section));
  if (found == sections_.end()) return false;
  std::string wanted = Lower(key);
  for (std::size_t next = found->second.first; next < found->second.second;) {
    Range line = Trim(text_, NextLine(text_, &next, found->second.second));
    if (line.begin == line.end) continue;
    const void* eq = std::memchr(text_.data() + line.begin, '=', line.end - line.begin);
    std::size_t nameEnd =
        eq ? static_cast<std::size_t>(static_cast<const char*>(eq) - text_.data()) : line.end;
    if (Lower(Text(text_, Trim(text_, {line.begin, nameEnd}))) != wanted) continue;
    if (!eq) return false;
    *value = Text(text_, Trim(text_, {nameEnd + 1, line.end}));
    return true;
  }
  return false;
}

win::DWORD ReadPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, win::DWORD size, const std::string& fileName) {
  return ReadProfileValue(Load(fileName), section, key, defaultValue, buffer, size);
}

win::DWORD ReadProfileValue(const IniText* text, const char* section, const char* key,
                            const char* defaultValue, char* buffer, win::DWORD size) {
  std::string value;
  if (text && text->Find(Trim(section), Trim(key), &value)) return CopyValue(value, buffer, size);
  std::string fallback = defaultValue ? defaultValue : "";
  while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
  return CopyOut(fallback, buffer, size);
}
