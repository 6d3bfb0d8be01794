// What a model file declares about itself: its configuration call (the
// first top-level expression tag that opens with `config(...)`), and the
// string arguments of its `ref(...)` and `source(...)` calls anywhere in the
// tree, Jinja embedded in comments, strings and quoted identifiers included.
// Results are fresh values; each function takes the read locks it needs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "jinja/call.hpp"
#include "tree/document.hpp"

namespace trelm::query {

// Position of the configuration tag among the root's children.
std::optional<std::size_t> config_index(const cst::Document& doc);
// Its full text, delimiters included.
std::optional<std::string> config_text(const cst::Document& doc);
// The configuration tag's text with the call read from it.
struct ConfigTag {
  std::string text;
  jinja::Call call;
};
std::optional<ConfigTag> config_tag(const cst::Document& doc);
// The keyword names of the configuration call, in order, repeats kept.
std::vector<std::string> config_keys(const cst::Document& doc);
// The Jinja source of keyword `key`'s value, exactly as written.
std::optional<std::string> config_source(const cst::Document& doc, std::string_view key);

// The string arguments of every call named `name` whose positional
// arguments are all string literals, in document order.
std::vector<std::vector<std::string>> call_string_args(const cst::Document& doc, std::string_view name);
// Distinct non-empty argument lists of `ref` calls, first occurrence first.
std::vector<std::vector<std::string>> refs(const cst::Document& doc);
// Distinct (source name, table name) pairs of two-argument `source` calls.
std::vector<std::pair<std::string, std::string>> sources(const cst::Document& doc);

}  // namespace trelm::query
