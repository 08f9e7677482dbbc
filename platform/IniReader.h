#pragma once

#include <string>
#include <unordered_map>
#include <utility>

#include "platform/WinTypes.h"

// Reads one value of an INI file by the Windows private-profile rules: section and key
// names without regard to case, blanks around names and values removed, one pair of
// enclosing quotes removed, the first matching section and key taken, the result cut
// to size - 1 characters. Returns the number of characters copied, as
// GetPrivateProfileStringA does. A file is parsed once and kept while its identity, size
// and modification time stay, so a whole catalogue costs one parse; not thread-safe.
win::DWORD ReadPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, win::DWORD size, const std::string& fileName);

class IniText;

// The same read from a text already parsed; nullptr reads as a file that cannot be read.
win::DWORD ReadProfileValue(const IniText* text, const char* section, const char* key,
                            const char* defaultValue, char* buffer, win::DWORD size);

// The text of an INI file, indexed by section. A UTF-8 or UTF-16 byte-order mark is
// honoured (UTF-16 becomes UTF-8); Ctrl-Z counts as a blank; a zero byte ends a name
// or value.
class IniText {
 public:
  explicit IniText(const std::string& bytes);
  // The value of key in the first section named section; false when either is
  // missing or the key's line has no '='. The value keeps its quotes.
  bool Find(const std::string& section, const std::string& key, std::string* value) const;

 private:
  std::string text_;
  // Each section name (lower case) to the body of its first occurrence. Lines before
  // the first header are the section with an empty name.
  std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> sections_;
};
