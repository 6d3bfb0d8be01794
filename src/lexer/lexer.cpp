#include "lexer/lexer.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <unordered_map>
#include <vector>

#include "lexer/block_scan.hpp"
#include "lexer/cursor.hpp"
#include "lexer/tag_scanner.hpp"

namespace trelm::lexer {
namespace {

using cst::TokenKind;
using detail::Cursor;
using detail::Decoded;
using detail::decode_utf8;
using detail::kEnd;
using detail::TagScanner;

// Where one token ends and what it is.
struct Lexeme {
  TokenKind kind;
  std::size_t end;
};

// Positions from which a scan of one shape (a quoted token with one quote
// character, or a block comment) is known to run off the end of the input.
//
// A scan is a chain of steps, and the step taken at a position depends on
// nothing but the text from that position on. So when a scan that has
// reached position p fails, every scan that later reaches p fails too.
// Marks are set during every scan once the first failure has switched the
// memo on; marks left by a scan that then succeeds lie before the end of its
// token, and every later scan starts after that end, so no later scan ever
// consults them. This keeps runs like «'\'\'\'...» and «/* /* /* ...» with no
// closer linear instead of rescanning to the end at every opener.
class FailedScans {
 public:
  bool active() const { return !bits_.empty(); }
  void activate(std::size_t size) { bits_.assign(size / 64 + 1, 0); }
  bool known(std::size_t pos) const { return (bits_[pos / 64] >> (pos % 64)) & 1U; }
  void mark(std::size_t pos) { bits_[pos / 64] |= std::uint64_t{1} << (pos % 64); }

  // At each step boundary: true when the scan can stop as failed.
  bool known_then_mark(std::size_t pos) {
    if (!active()) return false;
    if (known(pos)) return true;
    mark(pos);
    return false;
  }

 private:
  std::vector<std::uint64_t> bits_;
};

// Every place in the input where a dollar delimiter «$tag$» stands, by tag.
//
// An occurrence of a delimiter is always a "$", then the whole run of tag
// characters after it, then a "$" (the "$" ends the run, since it is no tag
// character), so looking a delimiter up here finds exactly what a substring
// search would, without rescanning the tail for every unmatched opener.
class DollarDelimiters {
 public:
  explicit DollarDelimiters(std::string_view text);
  // Start of the first occurrence of «$tag$» at or after `from`, if any.
  std::optional<std::size_t> find(std::string_view tag, std::size_t from) const;

 private:
  std::unordered_map<std::string_view, std::vector<std::size_t>> places_;
};

enum class ScanStatus { Closed, Unclosed };

struct ScanEnd {
  ScanStatus status;
  std::size_t end = 0;  // Closed: position after the closer
};

DollarDelimiters::DollarDelimiters(std::string_view text) {
  Cursor cur(text);
  for (cur.skip_until('$'); !cur.at_end(); cur.skip_until('$')) {
    const std::size_t dollar = cur.pos();
    const std::size_t run_end = detail::tag_run_end(text, dollar + 1);
    if (run_end < text.size() && text[run_end] == '$') {
      places_[text.substr(dollar + 1, run_end - dollar - 1)].push_back(dollar);
    }
    cur.jump_to(run_end);  // runs hold no "$", so no opener is skipped
  }
}

std::optional<std::size_t> DollarDelimiters::find(std::string_view tag, std::size_t from) const {
  const auto it = places_.find(tag);
  if (it == places_.end()) return std::nullopt;
  const auto& places = it->second;
  const auto hit = std::lower_bound(places.begin(), places.end(), from);
  if (hit == places.end()) return std::nullopt;
  return *hit;
}

// The Jinja constructs of the text as the template engine finds them: it
// reads the template before any SQL, from the start, taking each construct
// whole. Every other scan of the lexer starts outside these and takes each
// construct it meets whole, so it meets the same ones; a dollar-quoted body
// looks its delimiter up by text instead of walking to it, and asks here
// whether the occurrence it found lies inside one. Walked on demand, once.
class EngineConstructs {
 public:
  explicit EngineConstructs(std::string_view text) : text_(text) {}

  enum class Place { Text, Construct, Unreadable };
  struct Found {
    Place place;
    std::size_t end = 0;  // Construct: the position after it
  };

  // What holds the byte at `pos`: plain text, a construct, or nothing the
  // engine reads, past a construct that never closes.
  Found at(std::size_t pos, TagScanner& scanner);

 private:
  struct Span {
    std::size_t start;
    std::size_t end;
  };
  void walk_to(std::size_t pos, TagScanner& scanner);

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  std::string_view text_;
  std::vector<Span> spans_;       // by start
  std::size_t walked_ = 0;        // every construct starting before it is in spans_
  std::size_t unclosed_ = kNone;  // the "{" of a construct that never closes
};

void EngineConstructs::walk_to(std::size_t pos, TagScanner& scanner) {
  while (walked_ <= pos && unclosed_ == kNone) {
    const std::size_t brace = text_.find('{', walked_);
    if (brace == std::string_view::npos || brace > pos) {
      walked_ = brace == std::string_view::npos ? text_.size() + 1 : brace;
      return;
    }
    const TagMatch m = scanner.at(brace);
    switch (m.outcome) {
      case TagMatch::Outcome::Success:
        spans_.push_back({brace, brace + m.length});
        walked_ = brace + m.length;
        break;
      case TagMatch::Outcome::NoMatch:
        walked_ = brace + 1;
        break;
      case TagMatch::Outcome::Failure:
        unclosed_ = brace;
        break;
    }
  }
}

EngineConstructs::Found EngineConstructs::at(std::size_t pos, TagScanner& scanner) {
  walk_to(pos, scanner);
  if (unclosed_ < pos) return {Place::Unreadable};
  const auto after = std::upper_bound(spans_.begin(), spans_.end(), pos,
                                      [](std::size_t p, const Span& s) { return p < s.start; });
  if (after != spans_.begin() && pos < std::prev(after)->end) return {Place::Construct, std::prev(after)->end};
  return {Place::Text};
}

// What the first byte of a token says about the recognizer that takes it.
// The ASCII rows are disjoint, so one table lookup replaces trying the rules
// in order; only a non-ASCII lead byte needs decoding, and for it whitespace
// is tried before letters.
enum class Lead : std::uint8_t {
  Space,        // ASCII 9..13 and space
  Brace,        // "{": a Jinja tag when "{", "%" or "#" follows
  DoubleQuote,  // quoted identifier
  Backquote,    // quoted identifier
  SingleQuote,  // string
  Dollar,       // dollar-quoted string
  Dash,         // line comment when "-" follows
  Slash,        // block comment when "*" follows
  Letter,       // ASCII letter or "_": a word
  Digit,        // a number
  Dot,          // a number when a digit follows
  LParen,
  RParen,
  LBracket,
  RBracket,
  Comma,
  Semicolon,
  NonAscii,  // Unicode whitespace, a word, or one character of `Other`
  Punct,     // any other ASCII byte: one character of `Other`
};

constexpr std::array<Lead, 256> make_lead_table() {
  std::array<Lead, 256> t{};
  for (int c = 0; c < 256; ++c) {
    const auto b = static_cast<unsigned char>(c);
    Lead lead = Lead::Punct;
    if (c >= 0x80) {
      lead = Lead::NonAscii;
    } else if (detail::has_class(b, detail::kSpace)) {
      lead = Lead::Space;
    } else if (detail::has_class(b, detail::kWordStart)) {
      lead = Lead::Letter;
    } else if (detail::has_class(b, detail::kDigit)) {
      lead = Lead::Digit;
    }
    t[b] = lead;
  }
  t['{'] = Lead::Brace;
  t['"'] = Lead::DoubleQuote;
  t['`'] = Lead::Backquote;
  t['\''] = Lead::SingleQuote;
  t['$'] = Lead::Dollar;
  t['-'] = Lead::Dash;
  t['/'] = Lead::Slash;
  t['.'] = Lead::Dot;
  t['('] = Lead::LParen;
  t[')'] = Lead::RParen;
  t['['] = Lead::LBracket;
  t[']'] = Lead::RBracket;
  t[','] = Lead::Comma;
  t[';'] = Lead::Semicolon;
  return t;
}

inline constexpr std::array<Lead, 256> kLeads = make_lead_table();

bool is_non_ascii_at(std::string_view src, std::size_t pos) {
  return pos < src.size() && static_cast<unsigned char>(src[pos]) >= 0x80;
}

// Where a run of one class, which has reached a non-ASCII byte at `pos`,
// ends: each non-ASCII character of the class is followed by the ASCII run
// of the same class.
template <bool (*in_class)(const Decoded&), std::size_t (*ascii_run_end)(std::string_view, std::size_t)>
[[gnu::noinline]] std::size_t unicode_run_end(std::string_view src, std::size_t pos) {
  while (is_non_ascii_at(src, pos)) {
    const Decoded d = decode_utf8(src, pos);
    if (!in_class(d)) break;
    pos = ascii_run_end(src, pos + d.length);
  }
  return pos;
}

// Whitespace is a run of ASCII 9..13, space and Unicode White_Space; line
// breaks are part of the run. Where a run that has reached `pos` ends:
// nearly every run is ASCII; a non-ASCII byte after it takes the decoding
// path.
[[gnu::always_inline]] inline std::size_t whitespace_end(std::string_view src, std::size_t pos) {
  pos = detail::space_run_end(src, pos);
  return is_non_ascii_at(src, pos) ? unicode_run_end<detail::is_space_char, detail::space_run_end>(src, pos) : pos;
}

// A word (identifier or keyword) starts with a letter or "_". Where a word
// that has reached `pos` ends. This loop is the hottest in the lexer: ASCII
// bytes are classified a block at a time, and only non-ASCII bytes are
// decoded. Words and whitespace are inlined into the main loop: a call per
// token costs more than their block test itself.
[[gnu::always_inline]] inline std::size_t word_end(std::string_view src, std::size_t pos) {
  pos = detail::word_run_end(src, pos);
  return is_non_ascii_at(src, pos) ? unicode_run_end<detail::is_word_cont_char, detail::word_run_end>(src, pos) : pos;
}

// A space that is a whole whitespace run: the byte after it is ASCII and
// no whitespace (a non-ASCII one might be), or there is none.
[[gnu::always_inline]] inline bool is_lone_space_at(std::string_view src, std::size_t pos) {
  if (pos >= src.size() || src[pos] != ' ') return false;
  if (pos + 1 == src.size()) return true;
  const auto next = static_cast<unsigned char>(src[pos + 1]);
  return next < 0x80 && !detail::has_class(next, detail::kSpace);
}

class Lexer {
 public:
  explicit Lexer(std::string_view source) : src_(source), tags_(source) {}
  LexResult run();
  std::optional<LexError> run_into(TokenSink& sink);

 private:
  std::optional<LexError> lex_all();
  [[gnu::noinline]] void hand_over() {
    sink_->take(tokens_);
    tokens_.clear();
  }

  std::optional<Lexeme> lex_token(std::size_t pos, Lead lead);
  Lexeme lex_non_ascii(std::size_t pos) const;
  std::optional<Lexeme> lex_jinja(std::size_t pos);
  std::optional<Lexeme> lex_quoted(std::size_t pos, TokenKind kind);
  Lexeme lex_dollar(std::size_t pos);
  std::optional<Lexeme> lex_line_comment(std::size_t pos);
  std::optional<Lexeme> lex_block_comment(std::size_t pos);
  Lexeme lex_number(std::size_t pos) const;
  Lexeme lex_punct(std::size_t pos) const;
  std::optional<Lexeme> closed_or_punct(std::size_t pos, cst::TokenKind kind, const ScanEnd& scan) const;

  bool is_digit_at(std::size_t pos) const;

  ScanEnd scan_quoted(std::size_t pos, FailedScans& memo);
  ScanEnd scan_block_comment(std::size_t pos, FailedScans& memo);
  template <class Scan>
  ScanEnd scan_with_memo(std::size_t pos, FailedScans& memo, Scan scan);
  std::optional<std::size_t> find_dollar_delimiter(std::string_view delimiter, std::size_t from);

  // A "{" inside a quoted token or comment: how far it reaches, or nullopt
  // after recording the error of an unterminated tag.
  std::optional<std::size_t> embedded_tag_end(std::size_t pos);
  std::optional<std::size_t> closed_tag_end(std::size_t pos);
  FailedScans& quoted_memo(char quote);

  std::string_view src_;
  std::vector<cst::Token> tokens_;
  TokenSink* sink_ = nullptr;
  std::size_t batch_limit_ = SIZE_MAX;  // no limit without a sink
  detail::TagScanner tags_;
  std::optional<LexError> error_;
  FailedScans single_quoted_, double_quoted_, backquoted_, block_comments_;
  std::optional<DollarDelimiters> dollar_index_;  // built at the first unmatched delimiter
  std::optional<EngineConstructs> constructs_;    // made at the first dollar-quoted body
};

LexResult Lexer::run() {
  // Model files average three to six bytes per token; reserving for three
  // avoids regrowth on nearly every file without holding much unused memory.
  tokens_.reserve(src_.size() / 3 + 1);
  if (auto err = lex_all()) return *std::move(err);
  return std::move(tokens_);
}

std::optional<LexError> Lexer::run_into(TokenSink& sink) {
  // 32 KB of tokens: small enough to stay in cache between the lexer
  // writing them and the sink reading them. Each thread keeps its batch's
  // room from one lex to the next: a tool lexes thousands of small files,
  // and the room is bounded by the batch.
  constexpr std::size_t kBatch = 4096;
  thread_local std::vector<cst::Token> spare;
  tokens_.swap(spare);
  tokens_.clear();
  sink_ = &sink;
  batch_limit_ = kBatch;
  tokens_.reserve(std::min(kBatch, src_.size() / 3 + 1));
  std::optional<LexError> err = lex_all();
  if (!err && !tokens_.empty()) hand_over();
  tokens_.clear();
  tokens_.swap(spare);
  return err;
}

std::optional<LexError> Lexer::lex_all() {
  // Local copies: the compiler cannot tell a token store from a store to
  // the members, and would reload them after every token.
  const std::string_view src = src_;
  // The one place a token is made from a slice of the source; it borrows
  // the slice rather than copying it. A streamed lex first hands over a
  // full batch.
  const auto emit = [&](TokenKind kind, std::size_t begin, std::size_t end) {
    if (tokens_.size() == batch_limit_) [[unlikely]] hand_over();
    tokens_.push_back(cst::Token::borrowing(kind, src.substr(begin, end - begin), [this](std::size_t bytes) {
      return sink_ != nullptr ? sink_->record_room(bytes) : nullptr;
    }));
  };
  std::size_t pos = 0;
  while (pos < src.size()) {
    // Words and whitespace, two tokens in three, are taken before the
    // dispatch: the branch predictor learns their alternation far better
    // than it predicts the dispatch's one indirect jump.
    const Lead lead = kLeads[static_cast<unsigned char>(src[pos])];
    Lexeme lexeme;
    if (lead == Lead::Letter) {
      lexeme = {TokenKind::Word, word_end(src, pos + 1)};
    } else if (lead == Lead::Space) {
      lexeme = {TokenKind::Whitespace, whitespace_end(src, pos + 1)};
    } else if (const auto other = lex_token(pos, lead)) {
      lexeme = *other;
    } else {
      return error_;
    }
    emit(lexeme.kind, pos, lexeme.end);
    pos = lexeme.end;
    // One space between two tokens is by far the most common whitespace
    // token; taking it right here saves a trip through the dispatch.
    if (is_lone_space_at(src, pos)) {
      emit(TokenKind::Whitespace, pos, pos + 1);
      ++pos;
    }
  }
  return std::nullopt;
}

// The lead byte picks the recognizer; the two-byte openers ("{{", "--",
// "/*", ".5") look at the byte after it.
std::optional<Lexeme> Lexer::lex_token(std::size_t pos, Lead lead) {
  switch (lead) {
    case Lead::Letter:
      return Lexeme{TokenKind::Word, word_end(src_, pos + 1)};
    case Lead::Space:
      return Lexeme{TokenKind::Whitespace, whitespace_end(src_, pos + 1)};
    case Lead::Punct:
      return Lexeme{TokenKind::Other, pos + 1};
    case Lead::Comma:
      return Lexeme{TokenKind::Comma, pos + 1};
    case Lead::LParen:
      return Lexeme{TokenKind::LParen, pos + 1};
    case Lead::RParen:
      return Lexeme{TokenKind::RParen, pos + 1};
    case Lead::LBracket:
      return Lexeme{TokenKind::LBracket, pos + 1};
    case Lead::RBracket:
      return Lexeme{TokenKind::RBracket, pos + 1};
    case Lead::Semicolon:
      return Lexeme{TokenKind::Semicolon, pos + 1};
    case Lead::Digit:
      return lex_number(pos);
    case Lead::Brace: {
      const int c2 = Cursor(src_, pos).second();
      if (c2 == '{' || c2 == '%' || c2 == '#') return lex_jinja(pos);
      return Lexeme{TokenKind::Other, pos + 1};
    }
    case Lead::DoubleQuote:
    case Lead::Backquote:
      return lex_quoted(pos, TokenKind::QuotedIdentifier);
    case Lead::SingleQuote:
      return lex_quoted(pos, TokenKind::String);
    case Lead::Dollar:
      return lex_dollar(pos);
    case Lead::Dash:
      if (Cursor(src_, pos).second() == '-') return lex_line_comment(pos);
      return Lexeme{TokenKind::Other, pos + 1};
    case Lead::Slash:
      if (Cursor(src_, pos).second() == '*') return lex_block_comment(pos);
      return Lexeme{TokenKind::Other, pos + 1};
    case Lead::Dot:
      if (is_digit_at(pos + 1)) return lex_number(pos);
      return Lexeme{TokenKind::Other, pos + 1};
    case Lead::NonAscii:
      return lex_non_ascii(pos);
  }
  return lex_punct(pos);
}

Lexeme Lexer::lex_non_ascii(std::size_t pos) const {
  const Decoded d = decode_utf8(src_, pos);
  if (detail::is_space_char(d)) return {TokenKind::Whitespace, whitespace_end(src_, pos + d.length)};
  if (detail::is_word_start_char(d)) return {TokenKind::Word, word_end(src_, pos + d.length)};
  return {TokenKind::Other, pos + d.length};
}

bool Lexer::is_digit_at(std::size_t pos) const {
  return pos < src_.size() && detail::has_class(static_cast<unsigned char>(src_[pos]), detail::kDigit);
}

// "{{", "{%" or "{#": one Jinja token, or the end of lexing.
std::optional<Lexeme> Lexer::lex_jinja(std::size_t pos) {
  const TagMatch m = tags_.at(pos);
  if (m.outcome == TagMatch::Outcome::Success) return Lexeme{m.kind, pos + m.length};
  error_ = LexError{std::string(m.message), pos};
  return std::nullopt;
}

// Where a tag met inside a line comment ends; a tag that never closes ends
// lexing there.
std::optional<std::size_t> Lexer::embedded_tag_end(std::size_t pos) {
  const auto end = closed_tag_end(pos);
  if (!end) error_ = LexError{std::string(tags_.at(pos).message), pos};
  return end;
}

// Where a tag met inside a quote or a block comment ends; none when it never
// closes. That tag would take the rest of the file, so the quote or comment
// cannot close either: it is unclosed, and whatever follows its opening
// character is lexed on its own, where the tag reports its own error if it
// is still one. Failing here instead would make the quote's verdict hang on
// a "}}" far further on, so that removing that "}}" changed how the text
// before it reads.
std::optional<std::size_t> Lexer::closed_tag_end(std::size_t pos) {
  const TagMatch m = tags_.at(pos);
  switch (m.outcome) {
    case TagMatch::Outcome::Success:
      return pos + m.length;
    case TagMatch::Outcome::NoMatch:
      return pos + 1;  // a lone "{" is an ordinary character
    case TagMatch::Outcome::Failure:
      break;
  }
  return std::nullopt;
}

FailedScans& Lexer::quoted_memo(char quote) {
  if (quote == '\'') return single_quoted_;
  if (quote == '"') return double_quoted_;
  return backquoted_;
}

// Runs `scan`; the first time a scan of this shape fails, switches the memo
// on and walks the failed scan once more so that its positions get marked.
template <class Scan>
ScanEnd Lexer::scan_with_memo(std::size_t pos, FailedScans& memo, Scan scan) {
  ScanEnd result = scan(pos, memo);
  if (result.status == ScanStatus::Unclosed && !memo.active()) {
    memo.activate(src_.size() + 1);
    scan(pos, memo);
  }
  return result;
}

// String (single quote) or quoted identifier (double quote, backquote).
// Unclosed, it is only its opening quote, and lexing resumes after it.
std::optional<Lexeme> Lexer::lex_quoted(std::size_t pos, TokenKind kind) {
  const ScanEnd scan = scan_with_memo(pos, quoted_memo(src_[pos]), [this](std::size_t p, FailedScans& m) {
    return scan_quoted(p, m);
  });
  return closed_or_punct(pos, kind, scan);
}

// Inside quotes: Jinja tags are taken whole, a doubled quote is one quote,
// and in single quotes a backslash takes the next byte with it unless that
// is a "{" (the byte after is a continuation byte or starts a character of
// its own, so taking one byte ends the token in the same place as taking
// one character).
ScanEnd Lexer::scan_quoted(std::size_t pos, FailedScans& memo) {
  const char quote = src_[pos];
  const bool backslash_escapes = quote == '\'';
  Cursor cur(src_, pos + 1);
  while (true) {
    if (memo.known_then_mark(cur.pos())) return {ScanStatus::Unclosed};
    const int c = cur.first();
    if (c == kEnd) return {ScanStatus::Unclosed};
    if (c == '{') {
      const auto end = closed_tag_end(cur.pos());
      if (!end) return {ScanStatus::Unclosed};
      cur.jump_to(*end);
    } else if (c == quote) {
      if (cur.second() != quote) return {ScanStatus::Closed, cur.pos() + 1};
      cur.bump(2);
    } else if (c == '\\' && backslash_escapes) {
      const int escaped = cur.second();
      if (escaped == kEnd) return {ScanStatus::Unclosed};
      // The engine reads its tags before any SQL: a backslash cannot hide
      // the "{" of one, which the next step takes whole.
      cur.bump(escaped == '{' ? 1 : 2);
    } else if (backslash_escapes) {
      cur.jump_to(detail::first_of(src_, cur.pos(), quote, '{', '\\'));
    } else {
      cur.jump_to(detail::first_of(src_, cur.pos(), quote, '{', '{'));
    }
  }
}

// "$", an optional tag that does not start with a digit, "$", a body in
// which nothing but Jinja is read, and the same delimiter again outside any
// Jinja construct. Without its closing delimiter it is only the "$".
Lexeme Lexer::lex_dollar(std::size_t pos) {
  const std::size_t tag_end = detail::tag_run_end(src_, pos + 1);
  const bool digit_first = tag_end > pos + 1 && is_digit_at(pos + 1);
  if (digit_first || tag_end >= src_.size() || src_[tag_end] != '$') return lex_punct(pos);
  const std::string_view delimiter = src_.substr(pos, tag_end + 1 - pos);
  if (!constructs_) constructs_.emplace(src_);
  for (std::size_t from = tag_end + 1;;) {
    const auto closer = find_dollar_delimiter(delimiter, from);
    if (!closer) return lex_punct(pos);
    const EngineConstructs::Found holder = constructs_->at(*closer, tags_);
    switch (holder.place) {
      case EngineConstructs::Place::Text:
        return {TokenKind::String, *closer + delimiter.size()};
      case EngineConstructs::Place::Unreadable:
        return lex_punct(pos);
      case EngineConstructs::Place::Construct:
        from = holder.end;
        break;
    }
  }
}

std::optional<std::size_t> Lexer::find_dollar_delimiter(std::string_view delimiter, std::size_t from) {
  if (dollar_index_) {
    return dollar_index_->find(delimiter.substr(1, delimiter.size() - 2), from);
  }
  const std::size_t hit = src_.find(delimiter, from);
  if (hit != std::string_view::npos) return hit;
  // Searches that succeed end a token and are never repeated; failed ones
  // would each rescan the tail, so from now on the index answers.
  dollar_index_.emplace(src_);
  return std::nullopt;
}

// "--" up to the line feed, which is not part of it. Jinja tags inside are
// taken whole, so a line feed inside a tag does not end the comment.
std::optional<Lexeme> Lexer::lex_line_comment(std::size_t pos) {
  Cursor cur(src_, pos + 2);
  while (true) {
    cur.jump_to(detail::first_of(src_, cur.pos(), '\n', '{', '{'));
    if (cur.first() != '{') return Lexeme{TokenKind::LineComment, cur.pos()};
    const auto end = embedded_tag_end(cur.pos());
    if (!end) return std::nullopt;
    cur.jump_to(*end);
  }
}

// "/*" through the first "*/" outside Jinja tags. Unclosed, it is only the
// "/", so that it never swallows the rest of the file.
std::optional<Lexeme> Lexer::lex_block_comment(std::size_t pos) {
  const ScanEnd scan = scan_with_memo(pos, block_comments_, [this](std::size_t p, FailedScans& m) {
    return scan_block_comment(p, m);
  });
  return closed_or_punct(pos, TokenKind::BlockComment, scan);
}

ScanEnd Lexer::scan_block_comment(std::size_t pos, FailedScans& memo) {
  Cursor cur(src_, pos + 2);
  while (true) {
    if (memo.known_then_mark(cur.pos())) return {ScanStatus::Unclosed};
    const int c = cur.first();
    if (c == kEnd) return {ScanStatus::Unclosed};
    if (c == '{') {
      const auto end = closed_tag_end(cur.pos());
      if (!end) return {ScanStatus::Unclosed};
      cur.jump_to(*end);
    } else if (c == '*') {
      if (cur.second() == '/') return {ScanStatus::Closed, cur.pos() + 2};
      cur.bump();
    } else {
      cur.jump_to(detail::first_of(src_, cur.pos(), '*', '{', '{'));
    }
  }
}

// Digits and dots in any mix, then an exponent only when it has a digit.
Lexeme Lexer::lex_number(std::size_t pos) const {
  Cursor cur(src_, pos);
  for (int c = cur.first(); (c >= '0' && c <= '9') || c == '.'; c = cur.first()) cur.bump();
  if (cur.first() == 'e' || cur.first() == 'E') {
    std::size_t k = 1;
    if (cur.peek(k) == '+' || cur.peek(k) == '-') ++k;
    const int d = cur.peek(k);
    if (d >= '0' && d <= '9') {
      cur.bump(k);
      cur.eat_ascii(detail::kDigit);
    }
  }
  return {TokenKind::Number, cur.pos()};
}

// A scanned construct becomes its token when it closed and only its opening
// character when it did not.
std::optional<Lexeme> Lexer::closed_or_punct(std::size_t pos, TokenKind kind, const ScanEnd& scan) const {
  if (scan.status == ScanStatus::Closed) return Lexeme{kind, scan.end};
  return lex_punct(pos);
}

// Exactly one character; an undecodable byte counts as one.
Lexeme Lexer::lex_punct(std::size_t pos) const {
  return {TokenKind::Other, pos + decode_utf8(src_, pos).length};
}

}  // namespace

LexResult lex(std::string_view source) { return Lexer(source).run(); }

std::optional<LexError> lex_into(std::string_view source, TokenSink& sink) { return Lexer(source).run_into(sink); }

// Each of these openers becomes a one-character `Other` token only when its
// scan ran off the end (see lex_quoted, lex_block_comment, lex_dollar).
std::string_view unclosed_construct(std::string_view source, std::size_t offset) {
  switch (source[offset]) {
    case '\'':
      return "string";
    case '"':
    case '`':
      return "quoted identifier";
    case '/':
      return Cursor(source, offset).second() == '*' ? "block comment" : "";
    case '$': {
      const std::size_t tag_end = detail::tag_run_end(source, offset + 1);
      const bool digit_first =
          tag_end > offset + 1 && detail::has_class(static_cast<unsigned char>(source[offset + 1]), detail::kDigit);
      const bool delimiter = !digit_first && tag_end < source.size() && source[tag_end] == '$';
      return delimiter ? "dollar-quoted string" : "";
    }
    default:
      return "";
  }
}

}  // namespace trelm::lexer
