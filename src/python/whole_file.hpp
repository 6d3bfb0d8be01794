// Model files read by the batch entries on their own threads.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace trelm::python {

// One whole read of a regular file that is not a symbolic link; nullopt
// for anything else.
std::optional<std::string> read_regular_file(const std::string& path);

// Strict UTF-8, as Python decodes it: no overlong forms, no surrogates,
// nothing past U+10FFFF.
bool is_utf8(std::string_view text);

}  // namespace trelm::python
