#pragma once

#include <string>

#include "platform/WinTypes.h"

// Reads one value of an INI file by the Windows private-profile rules: section and key
// names without regard to case, blanks around names and values removed, one pair of
// enclosing quotes removed, the first matching section and key taken, the result cut
// to size - 1 characters. Returns the number of characters copied, as
// GetPrivateProfileStringA does.
win::DWORD ReadPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, win::DWORD size, const std::string& fileName);
