// Internal to the lexer: recognizes Jinja constructs at positions of one
// text, remembering searches that ran off the end so that a caller trying
// many positions of the same text (the lexer, the embedded-tag scanner)
// does not rescan the same tail again and again.
//
// Tag scans run one by one until one with a given closer runs off the end.
// The lexer stops there, but the embedded-tag scanner goes on, and every
// later scan could cost the rest of the text again; so from the next scan
// with that closer on, all of them are answered from one side-by-side pass
// over the text (scan_index.hpp).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "lexer/jinja_tags.hpp"
#include "lexer/scan_index.hpp"

namespace trelm::lexer::detail {

inline constexpr std::string_view kExpressionUnterminated = "unterminated `{{` tag";
inline constexpr std::string_view kStatementUnterminated = "unterminated `{%` tag";
inline constexpr std::string_view kRawUnterminated = "unterminated `{% raw %}` block";
inline constexpr std::string_view kCommentUnterminated = "unterminated `{#` comment";
inline constexpr std::string_view kNoMatch = "syntax error";

class TagScanner {
 public:
  explicit TagScanner(std::string_view text) : text_(text) {}

  // The construct starting at `pos`; no match unless `pos` holds a "{".
  TagMatch at(std::size_t pos);

 private:
  enum Closer { kExpressionCloser = 0, kStatementCloser = 1 };

  TagMatch comment_at(std::size_t pos);
  TagMatch statement_at(std::size_t pos);
  TagMatch raw_block_at(std::size_t pos, std::size_t opening_length);
  std::optional<std::size_t> tag_length_at(std::size_t pos, Closer closer);
  const TagScanIndex& scan_index(Closer closer);
  std::size_t first_endraw_from(std::size_t pos) const;

  static constexpr std::size_t kNever = static_cast<std::size_t>(-1);

  std::string_view text_;
  // No "#}" starts at or after this position.
  std::size_t no_comment_closer_from_ = kNever;
  // No endraw tag starts at or after this position.
  std::size_t no_endraw_from_ = kNever;
  // Set after the first failed scan with that closer: no occurrence of the
  // closer starts at or after this position, so a scan whose closer would
  // have to start there cannot succeed.
  std::size_t no_closer_from_[2] = {kNever, kNever};
  // Built at the first scan with that closer after one failed.
  std::optional<TagScanIndex> scans_[2];
  // Built the first time a raw block's first endraw tag does not close.
  std::optional<EndrawIndex> endraws_;
};

}  // namespace trelm::lexer::detail
