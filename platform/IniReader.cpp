#include "platform/IniReader.h"

#include <cctype>
#include <cstring>
#include <fstream>

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Windows ends a line at CR as well as at LF, so a lone CR splits a line in two.
bool NextLine(std::istream& in, std::string* line) {
  line->clear();
  int c;
  while ((c = in.get()) != EOF && c != '\r' && c != '\n') line->push_back(static_cast<char>(c));
  return c != EOF || !line->empty();
}

// Finds the value of key in the first section named section; false when either is
// missing or the key's line has no '='. Lines before the first section header form a
// section with an empty name, so a later "[]" is a second one and never found.
bool Lookup(std::istream& in, const std::string& section, const std::string& key,
            std::string* value) {
  bool inSection = section.empty(), sectionSeen = inSection;
  std::string raw;
  while (NextLine(in, &raw)) {
    std::string line = Trim(raw);
    if (line.empty()) continue;
    if (line[0] == '[') {
      std::size_t close = line.rfind(']');
      if (close != std::string::npos && close > 0) {
        if (inSection) return false;  // only the first matching section counts
        inSection = !sectionSeen && SameName(Trim(line.substr(1, close - 1)), section);
        sectionSeen = sectionSeen || inSection;
        continue;
      }
    }
    if (!inSection) continue;
    std::size_t eq = line.find('=');
    std::string name = Trim(line.substr(0, eq));
    if (!SameName(name, key)) continue;
    if (eq == std::string::npos) return false;
    *value = Trim(line.substr(eq + 1));
    return true;
  }
  return false;
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

}  // namespace

win::DWORD ReadPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, win::DWORD size, const std::string& fileName) {
  std::string value;
  std::ifstream file(fileName, std::ios::binary);
  if (file && Lookup(file, Trim(section), Trim(key), &value)) return CopyValue(value, buffer, size);
  std::string fallback = defaultValue ? defaultValue : "";
  while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
  return CopyOut(fallback, buffer, size);
}
