// Every call in the Jinja tags of a document, found by the same search as
// refs and sources, with the source text of its arguments and where it is.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "jinja/call.hpp"
#include "tree/document.hpp"
#include "tree/positions.hpp"

namespace trelm::query {

// One call. Its texts are views into the text of its tag, which all calls
// of the tag share: calls nested a thousand deep cost one copy of the tag,
// not a thousand growing ones.
struct FoundCall {
  std::string name;  // dotted: "ref", "adapter.dispatch"
  std::shared_ptr<const std::string> tag;
  jinja::Call call;  // byte offsets into *tag
  std::size_t name_start = 0;
  cst::TextSpan span;      // of text(), in characters of the document
  cst::TextSpan tag_span;  // of the whole tag
  // The token that holds the tag, and where it was: what tells where the
  // call is after an edit elsewhere.
  cst::TokenId token;
  cst::TextSpan token_span;

  // From the name to the closing bracket.
  std::string_view text() const;
  // Each positional argument's source text, trimmed.
  std::vector<std::string_view> args() const;
  // Keyword and source text of each keyword argument, in order.
  std::vector<std::pair<std::string_view, std::string_view>> kwargs() const;
};

// In document order, outer calls before those in their arguments; only
// those named `name` when it is given.
std::vector<FoundCall> calls(const cst::Document& doc, std::optional<std::string_view> name);

}  // namespace trelm::query
