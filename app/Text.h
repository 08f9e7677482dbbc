// Texts are byte strings joined piece by piece; fixed-width texts are cut and padded with
// printf-style widths and precisions.
#pragma once

#include <cstddef>
#include <string>

// printf into a string (no length limit).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The text of a fixed-width field: up to its first zero byte, never beyond its width.
std::string FieldText(const char* field, std::size_t width);
