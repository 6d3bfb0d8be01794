// What a project needs of one model file, read in one walk of its tree:
// every ref() and source() call with its literal arguments and where it
// is, and the literal arguments of each configuration call. Plain values,
// no tree: the caller may scan many files on several threads and turn the
// results into its own values afterwards.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "jinja/literal.hpp"
#include "jinja/literal_reader.hpp"
#include "tree/document.hpp"

namespace trelm::query {

struct ScannedCall {
  std::string text;         // from the name to the closing bracket
  std::size_t line = 1;     // 1-based
  std::size_t column = 1;   // 1-based, in characters
  // The positional arguments' values when every one is a string literal.
  std::optional<std::vector<std::string>> strings;
  // ref: the source of the last `version=` argument, else of the last `v=`,
  // and its value when it is a literal.
  std::optional<std::string> version_source;
  std::optional<jinja::Literal> version;
};

// One configuration call: each key it sets, once, in order, with the value
// that key reads as (a keyword's first argument, a dict's last entry) when
// it is a literal.
struct ScannedConfig {
  std::vector<std::pair<std::string, std::optional<jinja::Literal>>> entries;
};

struct ModelScan {
  std::vector<ScannedCall> refs;
  std::vector<ScannedCall> sources;
  std::vector<ScannedConfig> configs;  // in document order
  std::size_t config_line = 1;         // of the first configuration tag
  std::size_t config_column = 1;
};

// `text` is the text `doc` was parsed from, which it prints back. `names`
// answers "\N{...}" escapes; without it a string holding one is no literal.
ModelScan scan_model(const cst::Document& doc, std::string_view text, const jinja::CharacterNames* names = nullptr);

}  // namespace trelm::query
