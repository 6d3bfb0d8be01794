// Rewriting one keyword argument of a call inside a tag's text, changing
// only the characters the edit concerns and laying out an added argument
// like the existing ones.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "jinja/call.hpp"

namespace trelm::jinja {

// `text` with keyword argument `key` of `call` (read from `text`) set to the
// Jinja source `source`: the value is replaced when the key is there, else
// a new argument is appended.
std::string set_kwarg(std::string_view text, const Call& call, std::string_view key, std::string_view source);

// `text` without the first keyword argument named `key`, or nullopt when
// the call has none.
std::optional<std::string> remove_kwarg(std::string_view text, const Call& call, std::string_view key);

}  // namespace trelm::jinja
