#include "lexer/jinja_tags.hpp"

#include "lexer/block_scan.hpp"
#include "lexer/cursor.hpp"
#include "lexer/tag_scanner.hpp"

namespace trelm::lexer {
namespace {

using detail::Cursor;

constexpr std::string_view kOpener[2] = {"{{", "{%"};
constexpr std::string_view kCloser[2] = {"}}", "%}"};

// Bytes the tag scan has to look at are outside the kTagText class; runs of
// the others are skipped a block at a time. "%" is there for the "%}"
// closer ("}" already is, as a bracket).
bool is_tag_stop(unsigned char c) { return !detail::has_class(c, detail::kTagText); }

// Skips a quoted part opened by the quote at `pos`: up to and including the
// next same quote, a backslash hiding the byte after it. Returns the
// position after the closing quote, or nullopt at the end of input.
std::optional<std::size_t> skip_quoted_part(std::string_view s, std::size_t pos) {
  const char quote = s[pos];
  for (std::size_t i = detail::first_of(s, pos + 1, quote, '\\', '\\'); i < s.size();
       i = detail::first_of(s, i + 2, quote, '\\', '\\')) {
    if (s[i] == quote) return i + 1;
  }
  return std::nullopt;
}

bool is_whitespace_control_mark(int c) { return c == '-' || c == '+'; }
bool is_tag_name_space(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

TagMatch failure(std::string_view message) {
  TagMatch m;
  m.outcome = TagMatch::Outcome::Failure;
  m.message = message;
  return m;
}

TagMatch success(std::size_t length, cst::TokenKind kind) {
  TagMatch m;
  m.outcome = TagMatch::Outcome::Success;
  m.length = length;
  m.kind = kind;
  return m;
}

bool is_evaluated(cst::TokenKind kind) {
  return kind == cst::TokenKind::JinjaExpression || kind == cst::TokenKind::JinjaStatement;
}

TagMatch no_match() {
  TagMatch m;
  m.message = detail::kNoMatch;
  return m;
}

}  // namespace

// The hot loop of every tag: most bytes inside a tag are none of quotes,
// brackets or the closer, so they are skipped in runs. A closer whose first
// byte is no stop byte (neither "}}" nor "%}") makes every byte a stop.
std::optional<std::size_t> expression_tag(std::string_view input, std::string_view closer) {
  if (closer.size() != 2) return std::nullopt;
  const char c0 = closer[0];
  const char c1 = closer[1];
  const bool skip_runs = is_tag_stop(static_cast<unsigned char>(c0));
  const std::size_t n = input.size();
  std::size_t depth = 0;
  std::size_t i = 2;
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(input[i]);
    if (!is_tag_stop(c) && c != static_cast<unsigned char>(c0)) {
      i = skip_runs ? detail::tag_text_end(input, i + 1) : i + 1;
      continue;
    }
    if (depth == 0 && input[i] == c0 && i + 1 < n && input[i + 1] == c1) return i + 2;
    switch (c) {
      case '"':
      case '\'': {
        auto after = skip_quoted_part(input, i);
        if (!after) return std::nullopt;
        i = *after;
        continue;
      }
      case '(':
      case '[':
      case '{':
        ++depth;
        break;
      case ')':
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
    ++i;
  }
  return std::nullopt;
}

std::optional<std::string_view> tag_name(std::string_view tag_text) {
  if (!tag_text.starts_with("{%")) return std::nullopt;
  Cursor cur(tag_text, 2);
  if (is_whitespace_control_mark(cur.first())) cur.bump();
  while (is_tag_name_space(cur.first())) cur.bump();
  const std::size_t start = cur.pos();
  const std::size_t end = detail::tag_run_end(tag_text, start);
  if (end == start) return std::nullopt;
  return tag_text.substr(start, end - start);
}

TagMatch jinja_tag(std::string_view input) { return detail::TagScanner(input).at(0); }

std::vector<std::string_view> embedded_tags(std::string_view text) {
  std::vector<std::string_view> tags;
  detail::TagScanner scanner(text);
  Cursor cur(text);
  for (cur.skip_until('{'); !cur.at_end(); cur.skip_until('{')) {
    const TagMatch m = scanner.at(cur.pos());
    if (m.outcome == TagMatch::Outcome::Success) {
      // A comment or raw block is passed over whole: nothing in it is
      // evaluated, so no call in it is one.
      if (is_evaluated(m.kind)) tags.push_back(text.substr(cur.pos(), m.length));
      cur.bump(m.length);
    } else {
      cur.bump();  // unterminated or not a tag: the "{" is plain text here
    }
  }
  return tags;
}

namespace detail {

TagMatch TagScanner::at(std::size_t pos) {
  Cursor cur(text_, pos);
  if (cur.first() != '{') return no_match();
  switch (cur.second()) {
    case '{':
      if (auto length = tag_length_at(pos, kExpressionCloser)) {
        return success(*length, cst::TokenKind::JinjaExpression);
      }
      return failure(kExpressionUnterminated);
    case '%':
      return statement_at(pos);
    case '#':
      return comment_at(pos);
    default:
      return no_match();
  }
}

// A Jinja comment ends at the first "#}" after its opener; quotes and
// brackets mean nothing inside it.
TagMatch TagScanner::comment_at(std::size_t pos) {
  const std::size_t from = pos + 2;
  if (from < no_comment_closer_from_) {
    const std::size_t closer = text_.find("#}", from);
    if (closer != std::string_view::npos) {
      return success(closer + 2 - pos, cst::TokenKind::JinjaComment);
    }
    no_comment_closer_from_ = from;
  }
  return failure(kCommentUnterminated);
}

TagMatch TagScanner::statement_at(std::size_t pos) {
  const auto length = tag_length_at(pos, kStatementCloser);
  if (!length) return failure(kStatementUnterminated);
  const auto name = tag_name(text_.substr(pos, *length));
  if (name && *name == "raw") return raw_block_at(pos, *length);
  return success(*length, cst::TokenKind::JinjaStatement);
}

std::optional<std::size_t> TagScanner::tag_length_at(std::size_t pos, Closer closer) {
  // Cheap exact shortcut: the closer has to start at least two bytes in.
  if (pos + 2 >= no_closer_from_[closer]) return std::nullopt;
  // Set only by a failed scan: from then on each scan may cost the rest of
  // the text, so all of them are answered from one pass.
  if (no_closer_from_[closer] != kNever) return scan_index(closer).length_at(pos);
  const std::string_view closer_text = kCloser[closer];
  auto length = expression_tag(text_.substr(pos), closer_text);
  if (!length) {
    const std::size_t last = text_.rfind(closer_text);
    no_closer_from_[closer] = last == std::string_view::npos ? 0 : last + 1;
  }
  return length;
}

const TagScanIndex& TagScanner::scan_index(Closer closer) {
  if (!scans_[closer]) scans_[closer].emplace(text_, kOpener[closer], kCloser[closer]);
  return *scans_[closer];
}

// Only a "{" can start an endraw tag, so only the "{" bytes are tried.
std::size_t TagScanner::first_endraw_from(std::size_t pos) const {
  Cursor cur(text_, pos);
  for (cur.skip_until('{'); !cur.at_end(); cur.bump(), cur.skip_until('{')) {
    if (starts_endraw_tag(text_, cur.pos())) return cur.pos();
  }
  return kNever;
}

// The block ends with the first following endraw tag whose scan closes.
// That is nearly always the body's first endraw tag, scanned here on its
// own. Once a first one does not close, each later one could cost the rest
// of the text too, so the endraw tags are picked from the side-by-side scans
// of all statement tags, once, and kept for every later block.
TagMatch TagScanner::raw_block_at(std::size_t pos, std::size_t opening_length) {
  const std::size_t body = pos + opening_length;
  if (body >= no_endraw_from_) return failure(kRawUnterminated);
  if (!endraws_) {
    const std::size_t first = first_endraw_from(body);
    if (first == kNever) {
      no_endraw_from_ = body;
      return failure(kRawUnterminated);
    }
    if (const auto length = tag_length_at(first, kStatementCloser)) {
      return success(first + *length - pos, cst::TokenKind::JinjaRaw);
    }
    endraws_.emplace(text_, scan_index(kStatementCloser));
  }
  if (const auto end = endraws_->first_closing_from(body)) {
    return success(end->start + end->length - pos, cst::TokenKind::JinjaRaw);
  }
  return failure(kRawUnterminated);
}

}  // namespace detail
}  // namespace trelm::lexer
