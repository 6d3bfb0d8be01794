// What a model file declares about itself: its configuration calls (the
// top-level expression tags that open with `config(...)`), and the
// string arguments of its `ref(...)` and `source(...)` calls anywhere in the
// tree, Jinja embedded in comments, strings and quoted identifiers included.
// Results are fresh values; each function takes the read locks it needs.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "jinja/config_args.hpp"
#include "jinja/literal_reader.hpp"
#include "tree/document.hpp"

namespace trelm::query {

// A model may hold several configuration tags; `nth` picks one, in
// document order, the first by default. Later tags override earlier ones
// when the model runs.

// How many configuration tags the root holds.
std::size_t config_count(const cst::Document& doc);
// Position of the configuration tag among the root's children.
std::optional<std::size_t> config_index(const cst::Document& doc, std::size_t nth = 0);
// The id of its token (see TokenId); nullopt without one.
std::optional<cst::TokenId> config_tag_id(const cst::Document& doc, std::size_t nth = 0);
// Its full text, delimiters included.
std::optional<std::string> config_text(const cst::Document& doc, std::size_t nth = 0);
// The configuration tag's text with the arguments read from it.
struct ConfigTag {
  std::string text;
  jinja::ConfigArgs args;
};
std::optional<ConfigTag> config_tag(const cst::Document& doc, std::size_t nth = 0);
// The keys the configuration call sets, in order, repeats kept: keyword
// names, or the string keys of its one dict.
std::vector<std::string> config_keys(const cst::Document& doc, std::size_t nth = 0);
// The Jinja source of `key`'s value, exactly as written.
std::optional<std::string> config_source(const cst::Document& doc, std::string_view key, std::size_t nth = 0);

// One Jinja tag of a document: its text, the token that holds it (the tag
// itself, or the comment, string or quoted identifier it is embedded in) and
// where that token starts, in characters (0 when positions are not counted).
struct TagSite {
  std::string_view tag;
  const cst::Token* token = nullptr;
  std::size_t token_start = 0;
};

// Visits every expression and statement tag of the document, and every tag
// embedded in a comment, string or quoted identifier whose text holds
// `hint` (outside the Jinja comments and raw blocks there), in document
// order. The tree's read locks are held while `visit`
// runs.
void for_each_tag(const cst::Document& doc, std::string_view hint, bool count_positions,
                  const std::function<void(const TagSite&)>& visit);

// The positional arguments of `call` (read from `text`) as strings, when
// every one is a string literal; keyword arguments do not count.
// `names` answers "\N{...}" escapes; without it a string holding one is
// no string literal here.
std::optional<std::vector<std::string>> positional_strings(std::string_view text, const jinja::Call& call,
                                                           const jinja::CharacterNames* names = nullptr);

// The string arguments of every call named `name` whose positional
// arguments are all string literals, in document order.
std::vector<std::vector<std::string>> call_string_args(const cst::Document& doc, std::string_view name,
                                                       const jinja::CharacterNames* names = nullptr);
// Distinct non-empty argument lists of `ref` calls, first occurrence first.
std::vector<std::vector<std::string>> refs(const cst::Document& doc, const jinja::CharacterNames* names = nullptr);
// Distinct (source name, table name) pairs of two-argument `source` calls.
std::vector<std::pair<std::string, std::string>> sources(const cst::Document& doc,
                                                         const jinja::CharacterNames* names = nullptr);

}  // namespace trelm::query
