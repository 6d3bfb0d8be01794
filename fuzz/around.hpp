// The text an edit must leave alone: a document's text split around the
// bytes an edit may change.
#pragma once

#include <cstddef>
#include <string>

#include "query/metadata.hpp"
#include "tree/print.hpp"

namespace trelm::fuzz {

struct Around {
  std::string before;
  std::string after;

  bool kept_by(const std::string& printed) const {
    return printed.size() >= before.size() + after.size() && printed.starts_with(before) && printed.ends_with(after);
  }
};

// `text` split around the bytes [offset, offset + length).
inline Around around(const std::string& text, std::size_t offset, std::size_t length) {
  return {text.substr(0, offset), text.substr(offset + length)};
}

// `text` (the document's) split around its configuration tag (the `nth`
// one); all of it before when there is none.
inline Around around_config(const cst::Document& doc, const std::string& text, std::size_t nth = 0) {
  const auto index = query::config_index(doc, nth);  // takes the root's lock itself
  if (!index) return {text, ""};
  std::string before;
  std::size_t length = 0;
  {
    auto lock = doc.root->read_lock();
    for (std::size_t i = 0; i < *index; ++i) cst::print_child(doc.root->children[i], before);
    length = doc.root->children[*index].token().text().size();
  }
  return around(text, before.size(), length);
}

}  // namespace trelm::fuzz
