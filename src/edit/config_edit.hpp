// Editing the configuration call in place: only its tag changes, and inside
// it only the characters the edit concerns. A file without a configuration
// call is never given one.
//
// Edits to one document must be serialized by the caller: the tag is found
// under the root's read lock and replaced under its write lock.
#pragma once

#include <string>
#include <string_view>

#include "jinja/literal.hpp"
#include "tree/document.hpp"

namespace trelm::edit {

enum class ConfigChange {
  Applied,
  NoConfigCall,  // no configuration call (or, on removal, no such key)
  // The new tag text would not read back as one expression tag that is
  // still the configuration call with the edit made: raw source such as
  // «'x' }} {{ y» or «f(». Nothing was changed.
  BreaksTag,
};

// Keys are not checked here; the caller checks them.
ConfigChange set_config(cst::Document& doc, std::string_view key, const jinja::Literal& value);
ConfigChange set_config_source(cst::Document& doc, std::string_view key, std::string_view source);
ConfigChange remove_config(cst::Document& doc, std::string_view key);

// Replaces the configuration tag with `text` as one expression token, not
// lexed again; nothing happens without a configuration tag.
void set_config_text(cst::Document& doc, std::string text);

}  // namespace trelm::edit
