// Renaming what ref() and source() calls name, in every Jinja tag of a
// document (those embedded in SQL comments and strings too, never inside a
// Jinja comment or raw block, which the engine does not evaluate). Only the
// string literals that change are rewritten, each in its own quote
// character; every other byte of the file stays.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include "jinja/literal_reader.hpp"
#include "tree/document.hpp"

namespace trelm::edit {

struct RenameCount {
  std::size_t changed = 0;  // calls rewritten
  // Calls that matched but were left alone: their new text would not read
  // back as the same token holding the same calls with the new names.
  std::size_t refused = 0;
};

// The model argument (the last positional one) of one- and two-argument
// refs whose positional arguments are all string literals; keyword
// arguments (versions) are kept.
// `names` answers the "\N{...}" escapes of string arguments; without it a
// string holding one matches nothing.
RenameCount rename_ref(cst::Document& doc, std::string_view old_model, std::string_view new_model,
                       const jinja::CharacterNames* names = nullptr);

using SourceName = std::pair<std::string_view, std::string_view>;  // (source, table)

// Two-argument sources whose arguments are both string literals.
RenameCount rename_source(cst::Document& doc, SourceName old_name, SourceName new_name,
                          const jinja::CharacterNames* names = nullptr);

}  // namespace trelm::edit
