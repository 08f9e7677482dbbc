#include "toolkit/FileMask.h"

#include <cctype>

namespace {

bool SameLetter(char a, char b) {
  return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
}

// Iterative wildcard match with one backtrack point, linear in practice.
bool Match(const std::string& name, const std::string& mask) {
  std::size_t n = 0, m = 0, starMask = std::string::npos, starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || (mask[m] != '*' && SameLetter(mask[m], name[n])))) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      starMask = m++;
      starName = n;
    } else if (starMask != std::string::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace

bool MatchesFileMask(const std::string& name, const std::string& mask) {
  if (mask.empty()) return false;
  // Windows treats a trailing ".*" as optional: "*.*" and "QF*.*" also match names
  // without an extension.
  if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0 &&
      name.find('.') == std::string::npos)
    return Match(name, mask.substr(0, mask.size() - 2));
  return Match(name, mask);
}
