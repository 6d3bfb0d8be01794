// The arguments of a configuration call as the model sees them. A call
// written with keyword arguments sets one key per argument; a call whose
// only argument is a dict display sets one key per entry with a string key.
// Any other shape is read by its keyword arguments and never edited.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jinja/call.hpp"

namespace trelm::jinja {

enum class ConfigForm : std::uint8_t {
  Keywords,    // keyword arguments only, or none at all
  Dict,        // one positional dict display and nothing else
  Positional,  // anything else: another positional argument, or a dict beside keywords
};

struct ConfigArgs {
  ConfigForm form = ConfigForm::Keywords;
  Call call;     // the config(...) call itself
  Call entries;  // what the keys live in: `call`, or the dict's entries for Dict
  // Per item of `entries`, the key it sets: a keyword argument's name, a
  // dict entry's string key; nullopt for a positional argument or another key.
  std::vector<std::optional<std::string>> keys;

  // The keys in order, repeats kept.
  std::vector<std::string> key_names() const;
  // The item of `entries` that gives `key` its value: the first keyword
  // argument of that name, but the last dict entry, since a later entry
  // overrides an earlier one in a dict.
  std::optional<std::size_t> find(std::string_view key) const;
  bool editable() const { return form != ConfigForm::Positional; }
};

// The configuration call that opens the expression tag `text` («{{ ... }}»,
// delimiters included) with its form and keys, or nullopt.
std::optional<ConfigArgs> config_args(std::string_view text);

}  // namespace trelm::jinja
