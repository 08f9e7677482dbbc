#include "app/Text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(&out[0], out.size() + 1, format, again);
  va_end(again);
  return out;
}

std::string FieldText(const char* field, std::size_t width) {
  const void* end = std::memchr(field, 0, width);
  return std::string(field, end ? static_cast<const char*>(end) - field : width);
}
