// Editing a configuration call in place: only its tag changes, and inside
// it only the characters the edit concerns. A file without a configuration
// call is never given one. A call written as keyword arguments is edited
// through them, one written as a single dict through the dict's entries;
// keyword arguments are never written beside a dict.
//
// `nth` picks the configuration tag, in document order (see
// query::config_index). Edits to one document must be serialized by the
// caller: the tag is found under the root's read lock and replaced under
// its write lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "jinja/literal.hpp"
#include "tree/document.hpp"

namespace trelm::edit {

enum class ConfigChange {
  Applied,
  NoConfigCall,  // no configuration call (or, on removal, no such key)
  // The new tag text would not read back as one expression tag that is
  // still the configuration call, in the same form, with the edit made: raw
  // source such as «'x' }} {{ y» or «f(». Nothing was changed.
  BreaksTag,
  // The call has a positional argument other than one lone dict, or a dict
  // beside keyword arguments: no edit is safe. Nothing was changed.
  PositionalArguments,
  // The call takes keyword arguments and the key is not a name one can be
  // called by; only a call written as one dict takes any string key.
  // Nothing was changed.
  KeyNotAName,
};

// Whether `key` can be written as a keyword argument: an ASCII letter or
// underscore, then letters, digits and underscores.
bool is_argument_name(std::string_view key);

// Whether the nth configuration call could be given `key`: a name, or any
// key for a call written as one dict. True without such a call (its edits
// answer NoConfigCall), so that callers check keys before values.
bool takes_key(const cst::Document& doc, std::string_view key, std::size_t nth = 0);

// A key is written as a keyword argument or, in the dict form, as a quoted
// string key holding any text. Removing a key removes every entry that sets
// it (a dict may repeat one; the last one wins when the file is read).
ConfigChange set_config(cst::Document& doc, std::string_view key, const jinja::Literal& value, std::size_t nth = 0);
ConfigChange set_config_source(cst::Document& doc, std::string_view key, std::string_view source,
                               std::size_t nth = 0);
ConfigChange remove_config(cst::Document& doc, std::string_view key, std::size_t nth = 0);

// Replaces the configuration tag with `text` as one expression token, not
// lexed again; nothing happens without a configuration tag.
void set_config_text(cst::Document& doc, std::string text, std::size_t nth = 0);

}  // namespace trelm::edit
