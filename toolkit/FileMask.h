#pragma once

#include <string>

// Does a file name match a mask the way Windows matches it: letters without regard to
// case, '*' for any run of characters, '?' for any one character; "*.*" matches every
// name, with or without a dot.
bool MatchesFileMask(const std::string& name, const std::string& mask);
