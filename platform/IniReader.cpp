#include "platform/IniReader.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

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

std::string StripQuotes(const std::string& v) {
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
    return v.substr(1, v.size() - 2);
  return v;
}

// Finds the value of key in the first section named section; false when either is
// missing or the key's line has no '='.
bool Lookup(std::istream& in, const std::string& section, const std::string& key,
            std::string* value) {
  bool inSection = false, sectionSeen = false;
  std::string raw;
  while (std::getline(in, raw)) {
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
    *value = StripQuotes(Trim(line.substr(eq + 1)));
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

}  // namespace

win::DWORD ReadPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, win::DWORD size, const std::string& fileName) {
  std::string value;
  std::ifstream file(fileName, std::ios::binary);
  if (file && Lookup(file, Trim(section), Trim(key), &value)) return CopyOut(value, buffer, size);
  std::string fallback = defaultValue ? defaultValue : "";
  while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
  return CopyOut(fallback, buffer, size);
}
