// Everything in a document that the template engine would refuse, and SQL
// brackets that pair with nothing, each placed by byte range and by the
// line, column and character index a reader of the text would use.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "jinja/template_check.hpp"
#include "tree/document.hpp"

namespace trelm::query {

struct Diagnostic {
  std::string code;     // "jinja-syntax", "unclosed-block", "unknown-tag", ...
  std::string message;
  bool is_error = true;  // else a warning
  std::size_t start = 0;  // byte range in the document's text
  std::size_t end = 0;
  std::size_t char_start = 0;  // the same range counted in characters
  std::size_t char_end = 0;
  std::size_t line = 1;    // 1-based
  std::size_t column = 1;  // 1-based, in characters
};

// In document order; takes the root's read lock itself. A statement tag
// that neither the engine nor `extensions` knows is a warning (unknown-tag).
std::vector<Diagnostic> diagnostics(const cst::Document& doc, const jinja::ExtensionTags& extensions = {});

// The comments «{# ... #}» of the document's template, as the engine finds
// them (inside SQL strings and comments too): (start, end) in characters.
std::vector<std::pair<std::size_t, std::size_t>> template_comments(const cst::Document& doc);

}  // namespace trelm::query
