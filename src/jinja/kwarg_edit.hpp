// Rewriting one item of a bracketed list inside a tag's text: a keyword
// argument of a call, or an entry of a dict display (both described by a
// Call). Only the characters the edit concerns change, and an added item is
// laid out like the existing ones.
#pragma once

#include <cstddef>
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

// `text` with the value of item `index` of `list` replaced by `source`.
std::string replace_value(std::string_view text, const Call& list, std::size_t index, std::string_view source);

// `text` with `item` added after the last item of `list`: on its own line
// when the items stand one per line (leading commas kept), else inline.
std::string append_item(std::string_view text, const Call& list, std::string_view item);

// `text` without item `index` of `list`, the separators around it settled.
std::string remove_item(std::string_view text, const Call& list, std::size_t index);

// What stands between the first named item's name and its value ("=",
// " = ", ": "), so that an added item looks the same; `fallback` without one.
std::string_view name_separator(std::string_view text, const Call& list, std::string_view fallback);

}  // namespace trelm::jinja
