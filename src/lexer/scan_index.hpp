// Internal to the lexer: where the tag scans from every opener of one kind
// in a text close, worked out for all of them in one pass.
//
// A tag scan that finds no closer costs the rest of the text. Callers that
// try many positions of one text (the embedded-tag scanner, a raw block
// looking for its endraw tag) would pay that once per opener on texts such
// as «{{ ( }}» over and over, so after a first failed scan the scans are run
// side by side instead: scans in the same state at the same byte behave the
// same from there on and are merged, which keeps the number of live scan
// states small whatever the number of openers.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace trelm::lexer::detail {

struct ClosedTag {
  std::size_t start = 0;   // its "{"
  std::size_t length = 0;  // through its closer
};

// Every "{{" tag (closer "}}") or every "{%" tag (closer "%}") of a text.
class TagScanIndex {
 public:
  // `opener` and `closer` are two bytes each, the opener starting with "{".
  TagScanIndex(std::string_view text, std::string_view opener, std::string_view closer);

  // What `expression_tag(text.substr(pos), closer)` gives, for a `pos` that
  // holds the opener (any other `pos` reads as not closing).
  std::optional<std::size_t> length_at(std::size_t pos) const;

  // The tags whose scan closes, by start.
  const std::vector<ClosedTag>& closed() const { return closed_; }

 private:
  std::vector<ClosedTag> closed_;
};

// Whether a statement tag named exactly "endraw" starts at `pos`, judged on
// the text from `pos` on. Reading the name does not need the tag's extent:
// the name and the mark and spaces before it stop at the closer at the
// latest, so it reads the same on the rest of the text as on the tag.
bool starts_endraw_tag(std::string_view text, std::size_t pos);

// The endraw tags of a text whose scan closes, picked from its "{%" tags.
class EndrawIndex {
 public:
  EndrawIndex(std::string_view text, const TagScanIndex& statements);

  // The first endraw tag starting at or after `from` whose scan closes.
  std::optional<ClosedTag> first_closing_from(std::size_t from) const;

 private:
  std::vector<ClosedTag> closing_;  // by start
};

}  // namespace trelm::lexer::detail
