// Text helpers shared by the suites.
#pragma once

#include <cstddef>
#include <string>

namespace testlib {

// The whole file, or "" when it cannot be read.
std::string read_file(const std::string& path);
// How often part occurs in text, overlaps included.
size_t count(const std::string& text, const std::string& part);

} // namespace testlib
