#include "query/column_refs.hpp"

#include <algorithm>
#include <array>

#include "query/select_item.hpp"
#include "query/thread_room.hpp"
#include "query/word_set.hpp"

namespace trelm::query {

namespace {

using cst::NodeTag;
using cst::TokenKind;

// Words that are SQL syntax wherever they stand bare: never a column.
constexpr std::array<std::string_view, 71> kKeywords = {
    "all",       "and",        "any",          "array",       "as",          "asc",
    "between",   "by",         "case",         "collate",     "cross",       "current",
    "current_date", "current_time", "current_timestamp", "current_user", "desc", "distinct",
    "else",      "end",        "escape",       "except",      "exclude",     "exists",
    "false",     "filter",     "first",        "following",   "from",        "full",
    "group",     "having",     "ignore",       "ilike",       "in",          "inner",
    "interval",  "is",         "join",         "last",        "lateral",     "left",
    "like",      "localtimestamp", "not",      "null",        "nulls",       "on",
    "or",        "order",      "outer",        "over",        "partition",   "preceding",
    "precision", "qualify",    "range",        "respect",     "right",       "rlike",
    "row",       "rows",       "select",       "similar",     "some",        "then",
    "true",      "unbounded",  "when",         "where",       "within"};

// Functions whose rows fold into one value.
constexpr std::array<std::string_view, 45> kAggregates = {
    "any_value",  "approx_count_distinct", "approx_percentile", "approx_quantiles", "array_agg",
    "array_concat_agg", "avg",     "bit_and",   "bit_or",     "bool_and",
    "bool_or",    "corr",          "count",     "count_if",   "countif",
    "covar_pop",  "covar_samp",    "every",     "group_concat", "hll_count",
    "listagg",    "logical_and",   "logical_or", "max",       "max_by",
    "median",     "min",           "min_by",    "mode",       "object_agg",
    "percentile_cont", "percentile_disc", "stddev", "stddev_pop", "stddev_samp",
    "string_agg", "sum",           "var_pop",   "var_samp",   "variance",
    "arrayagg",   "approx_top_count", "kurtosis", "skew",     "booland_agg"};

// Words a date function takes as a unit rather than a column.
constexpr std::array<std::string_view, 38> kDateParts = {
    "year",   "years",   "quarter", "quarters", "month",   "months",  "week",    "weeks",
    "isoweek", "day",    "days",    "dayofweek", "dayofyear", "dow",  "doy",     "hour",
    "hours",  "minute",  "minutes", "second",   "seconds", "millisecond", "milliseconds", "microsecond",
    "microseconds", "nanosecond", "epoch", "yyyy", "yy",   "mm",      "dd",      "hh",
    "mi",     "ss",      "isoyear", "weekday"};

constexpr std::array<std::string_view, 4> kNormalForms = {"nfc", "nfd", "nfkc", "nfkd"};

// Each list as a set, made once.
const WordSet& keywords() {
  static const WordSet set(kKeywords);
  return set;
}

const WordSet& aggregates() {
  static const WordSet set(kAggregates);
  return set;
}

const WordSet& date_parts() {
  static const WordSet set(kDateParts);
  return set;
}

const WordSet& normal_forms() {
  static const WordSet set(kNormalForms);
  return set;
}

bool is_plain_word(const Lexeme& l) { return l.is_token() && l.kind == TokenKind::Word; }

// Whether `text` holds `word` (in lower case), ignoring ASCII case.
bool holds_folded(std::string_view text, std::string_view word) {
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (cst::equals_folded(text.substr(i, word.size()), word)) return true;
  }
  return false;
}

bool is_named(std::string_view function, std::string_view name) {
  return function.size() == name.size() && cst::equals_folded(function, name);
}

// Functions taking a bare date part among their arguments; `function` as
// written, in any case.
bool takes_date_part(std::string_view function) {
  return holds_folded(function, "date") || holds_folded(function, "time") || is_named(function, "extract") ||
         is_named(function, "last_day") || is_named(function, "trunc");
}

bool is_open_bracket(const Lexeme& l) {
  return l.type == Lexeme::Type::Open && (l.tag == NodeTag::Paren || l.tag == NodeTag::Bracket);
}

bool is_comma(const Lexeme& l) { return l.is_token() && l.kind == TokenKind::Comma; }

bool is_literal(const Lexeme& l) {
  return l.is_token() && (l.kind == TokenKind::String || l.kind == TokenKind::Number);
}

// One open bracket of a scan. What a lookup needs from the frames below is
// copied up on entry, so that no lookup walks the stack: nesting stays linear.
struct ScanFrame {
  std::string_view function;  // as written: a view of the scan's lexemes
  bool window = false;
  std::string_view part;  // of a window: PARTITION BY or ORDER BY, a literal
  std::size_t window_frame = cst::npos;  // the innermost window frame, this one included
  std::size_t lambda_begin = 0;          // this frame's lambda parameters in the scan's list
  std::size_t close = 0;
};

// A scan's stacks: a file's reading scans thousands of small ranges, each
// with its thread's (see ThreadRoom).
struct ScanStacks {
  std::vector<ScanFrame> frames;
  std::vector<std::string_view> lambda;
  std::vector<std::size_t> parts;

  void clear() {
    frames.clear();
    lambda.clear();
    parts.clear();
  }
};


class Scanner {
 public:
  Scanner(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end, bool window_after_as,
          std::vector<RefView>& refs, KeptTexts& kept)
      : lex_(lex),
        begin_(begin),
        end_(end),
        window_after_as_(window_after_as),
        refs_(refs),
        first_ref_(refs.size()),
        kept_(kept) {}
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  ScanFacts run() {
    for (std::size_t i = begin_; i < end_;) i = step(i);
    scan_.bare = refs_.size() - first_ref_ == 1 && !opened_ && significant_lexemes() == ref_tokens_;
    return scan_;
  }

 private:
  using Frame = ScanFrame;

  std::size_t significant_lexemes() const {
    std::size_t count = 0;
    for (std::size_t i = begin_; i < end_; ++i) count += lex_[i].is_significant() ? 1 : 0;
    return count;
  }

  std::size_t next(std::size_t i) const { return next_significant_lexeme(lex_, i, end_); }
  std::size_t prev(std::size_t i) const { return prev_significant_lexeme(lex_, i, begin_); }
  bool at(std::size_t i) const { return i < end_ && i != cst::npos; }
  // The token right after `i`, trivia not skipped.
  bool glued_punct(std::size_t i, char c) const { return i + 1 < end_ && lex_[i + 1].is_punct(c); }

  std::size_t step(std::size_t i) {
    const Lexeme& l = lex_[i];
    switch (l.type) {
      case Lexeme::Type::Open:
        return open(i);
      case Lexeme::Type::Close:
        if (!frames_.empty() && frames_.back().close == i) {
          lambda_.resize(frames_.back().lambda_begin);
          frames_.pop_back();
        }
        return i + 1;
      case Lexeme::Type::Token:
        break;
    }
    if (l.kind == TokenKind::JinjaExpression || l.kind == TokenKind::JinjaStatement || l.kind == TokenKind::JinjaRaw) {
      scan_.jinja = true;
      return i + 1;
    }
    if (l.kind == TokenKind::Comma && !frames_.empty()) lambda_.resize(frames_.back().lambda_begin);
    if (is_name_lexeme(l)) return chain(i);
    return i + 1;
  }

  std::size_t open(std::size_t i) {
    const Lexeme& l = lex_[i];
    if (l.tag == NodeTag::Query) {
      scan_.subquery = true;
      return l.partner + 1;
    }
    if (!is_open_bracket(l)) return i + 1;
    opened_ = true;
    // «(x, y) -> ...»: the bracket names lambda parameters.
    std::size_t after = next(l.partner);
    if (at(after) && lex_[after].is_punct('-') && glued_punct(after, '>') && !frames_.empty()) {
      for (std::size_t k = i + 1; k < l.partner; ++k) {
        if (is_plain_word(lex_[k])) lambda_.push_back(lex_[k].text);
      }
      return l.partner + 1;
    }
    Frame f;
    if (pending_ == i) f.function = pending_function_;
    std::size_t before = prev(i);
    f.window = at(before) && (lex_[before].is_keyword("over") || (window_after_as_ && lex_[before].is_keyword("as")));
    f.close = l.partner;
    f.window_frame = f.window ? frames_.size() : (frames_.empty() ? cst::npos : frames_.back().window_frame);
    f.lambda_begin = lambda_.size();
    frames_.push_back(std::move(f));
    return i + 1;
  }

  const Frame* window_frame() const {
    if (frames_.empty() || frames_.back().window_frame == cst::npos) return nullptr;
    return &frames_[frames_.back().window_frame];
  }

  bool is_lambda_name(std::string_view word) const {
    return std::any_of(lambda_.begin(), lambda_.end(),
                       [&](std::string_view p) { return p.size() == word.size() && cst::equals_folded(p, word); });
  }

  // A whole argument that names a mode: «week(monday)», «normalize(x, nfd)».
  // `before` and `after` are the significant lexemes around `i`.
  bool is_mode_argument(std::size_t i, std::size_t before, std::size_t after) const {
    if (frames_.empty() || !whole_argument(before, after)) return false;
    const std::string_view f = frames_.back().function;
    if (is_named(f, "week")) return true;
    return (is_named(f, "normalize") || is_named(f, "normalize_and_casefold")) && normal_forms().contains(lex_[i].text);
  }

  // Whether what stands between `before` and `after` is a whole argument.
  bool whole_argument(std::size_t before, std::size_t after) const {
    const bool starts = at(before) && (lex_[before].kind == TokenKind::LParen || is_comma(lex_[before]));
    const bool ends = at(after) && (lex_[after].kind == TokenKind::RParen || is_comma(lex_[after]));
    return starts && ends;
  }

  // A bare date part: a whole argument of a date function, the unit of
  // «extract(year from d)» or of «interval '1' day».
  bool is_date_part(std::size_t i, std::size_t before, std::size_t after) const {
    // «extract(date from ts)»: whatever stands before FROM.
    if (!frames_.empty() && is_named(frames_.back().function, "extract") && at(after) && lex_[after].is_keyword("from") &&
        at(before) && lex_[before].kind == TokenKind::LParen) {
      return true;
    }
    if (!date_parts().contains(lex_[i].text)) return false;
    if (at(before) && is_literal(lex_[before])) {
      std::size_t earlier = prev(before);
      if (at(earlier) && lex_[earlier].is_keyword("interval")) return true;
    }
    if (at(before) && lex_[before].is_keyword("interval")) return true;
    if (frames_.empty() || !takes_date_part(frames_.back().function)) return false;
    return whole_argument(before, after);
  }

  // Past a type's parameters: «numeric(10, 2)», «array<struct<a int64>>».
  std::size_t past_type(std::size_t last) const {
    std::size_t after = next(last);
    if (at(after) && is_open_bracket(lex_[after])) return lex_[after].partner + 1;
    if (!at(after) || !lex_[after].is_punct('<')) return last + 1;
    std::size_t depth = 0;
    for (std::size_t k = after; k < end_; ++k) {
      if (lex_[k].is_punct('<')) ++depth;
      if (lex_[k].is_punct('>') && --depth == 0) return k + 1;
      if (lex_[k].type == Lexeme::Type::Open) k = lex_[k].partner;
    }
    return last + 1;
  }

  // Reads «name (. name)*» from `start` and decides what it is.
  std::size_t chain(std::size_t start) {
    std::vector<std::size_t>& parts = parts_;
    parts.assign(1, start);
    std::size_t last = start;
    bool star = false;
    std::size_t after;  // the significant lexeme after the chain
    for (;;) {
      const std::size_t dot = next(last);
      after = dot;
      if (!at(dot) || !lex_[dot].is_punct('.')) break;
      std::size_t part = next(dot);
      if (at(part) && is_name_lexeme(lex_[part])) {
        parts.push_back(part);
        last = part;
        continue;
      }
      if (at(part) && lex_[part].is_punct('*')) {
        star = true;
        last = part;
        after = next(last);
      }
      break;
    }
    const std::size_t resume = last + 1;
    const std::size_t before = prev(start);

    // Part of a templated name: «{{ prefix }}_id».
    if ((start > begin_ && is_jinja_tag_lexeme(lex_[start - 1])) || (resume < end_ && is_jinja_tag_lexeme(lex_[resume]))) {
      scan_.jinja = true;
      return resume;
    }
    // A field of something else, «(x).f», or a path or type after a colon.
    if (at(before) && (lex_[before].is_punct('.') || lex_[before].is_punct(':'))) {
      if (lex_[before].is_punct(':') && before > begin_ && lex_[before - 1].is_punct(':') && at(after) &&
          is_open_bracket(lex_[after])) {
        return lex_[after].partner + 1;
      }
      return resume;
    }
    if (star) return resume;
    // A type: «cast(x as numeric(10, 2))».
    if (at(before) && lex_[before].is_keyword("as")) return past_type(last);
    // A call: remembered so that its bracket knows whose arguments it holds.
    if (at(after) && lex_[after].type == Lexeme::Type::Open && lex_[after].tag == NodeTag::Paren) {
      pending_ = after;
      pending_function_ = lex_[last].text;
      if (parts.size() == 1 && aggregates().contains(lex_[last].text)) scan_.aggregate = true;
      if (parts.size() == 1 && lex_[last].is_keyword("over")) scan_.aggregate = true;
      return resume;
    }
    if (parts.size() == 1 && lex_[start].kind == TokenKind::Word && !bare_word_is_column(start, before, after)) {
      return resume;
    }
    // «""» names nothing: a string where double quotes quote strings.
    if (parts.size() == 1 && lex_[start].kind == TokenKind::QuotedIdentifier && lex_[start].text.size() == 2) return resume;
    RefView& ref = refs_.emplace_back();
    if (parts.size() == 2) {
      ref.qualifier = unquoted(lex_[parts[0]].text, kept_);
      ref.qualified = true;
    } else if (parts.size() > 2) {
      std::string qualifier;
      for (std::size_t k = 0; k + 1 < parts.size(); ++k) {
        if (k > 0) qualifier += '.';
        qualifier += unquote(lex_[parts[k]].text);
      }
      ref.qualifier = kept_.emplace_back(std::move(qualifier));
      ref.qualified = true;
    }
    ref.name = unquoted(lex_[last].text, kept_);
    ref.range = TokenRange{lex_[start].id, lex_[last].id};
    if (const Frame* w = window_frame()) ref.clause = w->part;
    ref_tokens_ = 2 * parts.size() - 1;
    return resume;
  }

  // Whether the one-word chain at `i` names a column; records what the
  // syntax words it passes over say about windows and aggregates.
  // `before` and `after` are the significant lexemes around it.
  bool bare_word_is_column(std::size_t i, std::size_t before, std::size_t after) {
    const Lexeme& w = lex_[i];
    if (w.is_keyword("over")) {
      scan_.aggregate = true;
      return false;
    }
    if (!frames_.empty() && frames_.back().window) {
      if (w.is_keyword("partition")) frames_.back().part = "PARTITION BY";
      if (w.is_keyword("order")) frames_.back().part = "ORDER BY";
      if (w.is_keyword("rows") || w.is_keyword("range")) frames_.back().part = {};
    }
    if (keywords().contains(w.text)) return false;
    // A named window: «over w», «over (w)».
    if (at(before) && lex_[before].is_keyword("over")) return false;
    if (!frames_.empty() && frames_.back().window && at(before) && lex_[before].kind == TokenKind::LParen &&
        at(after) && lex_[after].kind == TokenKind::RParen) {
      return false;
    }
    // «at time zone».
    if (w.is_keyword("time") && at(before) && lex_[before].is_keyword("at") && at(after) && lex_[after].is_keyword("zone")) {
      return false;
    }
    if (w.is_keyword("at") && at(after) && lex_[after].is_keyword("time")) return false;
    if (w.is_keyword("zone") && at(before) && lex_[before].is_keyword("time")) return false;
    if (is_date_part(i, before, after) || is_mode_argument(i, before, after) || is_lambda_name(w.text)) return false;
    if (!at(after)) return true;
    const Lexeme& a = lex_[after];
    // A named argument «name => value».
    if (a.is_punct('=') && glued_punct(after, '>')) return false;
    // A lambda parameter «x -> x + 1»; a JSON path «col -> 'key'» is not one.
    if (a.is_punct('-') && glued_punct(after, '>')) {
      std::size_t body = next(after + 1);
      if (!at(body) || !is_literal(lex_[body])) {
        if (!frames_.empty()) lambda_.push_back(w.text);
        return false;
      }
    }
    // A typed literal: «date '2024-01-01'».
    if (a.is_token() && a.kind == TokenKind::String) return false;
    return true;
  }

  const std::vector<Lexeme>& lex_;
  std::size_t begin_;
  std::size_t end_;
  bool window_after_as_;
  std::vector<RefView>& refs_;  // the scan's are appended
  std::size_t first_ref_;       // the scan's first in refs_
  KeptTexts& kept_;
  ScanFacts scan_;
  ThreadRoom<ScanStacks> room_;
  ScanStacks& stacks_ = room_.get();
  std::vector<Frame>& frames_ = stacks_.frames;
  // Lambda parameters in scope, the outer frames' first.
  std::vector<std::string_view>& lambda_ = stacks_.lambda;
  std::size_t pending_ = cst::npos;
  std::string_view pending_function_;
  std::vector<std::size_t>& parts_ = stacks_.parts;  // of the chain being read: one buffer for all
  bool opened_ = false;
  std::size_t ref_tokens_ = 0;
};

// «*», «t.*», each maybe followed by EXCEPT/EXCLUDE/REPLACE/RENAME lists.
// Its reference, then those of its REPLACE expressions, are appended to the
// caller's list; its excluded names to the caller's (both only when it is
// one).
bool read_star(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end, std::vector<RefView>& refs,
               std::vector<std::string_view>& excluded, KeptTexts& kept) {
  std::size_t i = begin;
  while (i < end && !lex[i].is_significant()) ++i;
  std::size_t first = i;
  std::string_view qualifier;  // of one part: a view of it
  std::size_t parts = 0;
  std::string joined;          // of more
  while (i < end && is_name_lexeme(lex[i])) {
    std::size_t dot = next_significant_lexeme(lex, i, end);
    if (dot >= end || !lex[dot].is_punct('.')) return false;
    if (parts++ == 0) {
      qualifier = lex[i].text;
    } else {
      if (parts == 2) joined = unquote(qualifier);
      if (!joined.empty()) joined += '.';
      joined += unquote(lex[i].text);
    }
    i = next_significant_lexeme(lex, dot, end);
  }
  if (i >= end || !lex[i].is_punct('*')) return false;
  // Read to the end before anything is added: a form not known leaves the lists as they were.
  const std::size_t refs_before = refs.size();
  const std::size_t excluded_before = excluded.size();
  const auto not_star = [&] {
    refs.resize(refs_before);
    excluded.resize(excluded_before);
    return false;
  };
  RefView& star = refs.emplace_back();
  if (parts == 1) star.qualifier = unquoted(qualifier, kept);
  if (parts > 1 && !joined.empty()) star.qualifier = kept.emplace_back(std::move(joined));
  star.qualified = !star.qualifier.empty();  // an empty qualifier is none
  star.name = "*";
  star.range = TokenRange{lex[first].id, lex[i].id};
  for (std::size_t j = next_significant_lexeme(lex, i, end); j < end;) {
    const bool excluding = lex[j].is_keyword("except") || lex[j].is_keyword("exclude");
    const bool replacing = lex[j].is_keyword("replace");
    if (!excluding && !replacing && !lex[j].is_keyword("rename")) return not_star();
    std::size_t k = next_significant_lexeme(lex, j, end);
    if (k >= end) return not_star();
    if (excluding && is_name_lexeme(lex[k])) {
      excluded.push_back(unquoted(lex[k].text, kept));
      j = next_significant_lexeme(lex, k, end);
      continue;
    }
    if (!is_open_bracket(lex[k])) return not_star();
    if (excluding) {
      for (std::size_t m = k + 1; m < lex[k].partner; ++m) {
        if (is_name_lexeme(lex[m])) excluded.push_back(unquoted(lex[m].text, kept));
      }
    } else if (replacing) {
      Scanner(lex, k + 1, lex[k].partner, false, refs, kept).run();
    }
    j = next_significant_lexeme(lex, lex[k].partner, end);
  }
  return true;
}

// Whether a token may be a part of a reference's name.
bool is_name_part(const cst::Token& t) { return t.kind() == TokenKind::Word || t.kind() == TokenKind::QuotedIdentifier; }

bool is_dot(const cst::Token& t) { return t.kind() == TokenKind::Other && t.text() == "."; }

// The lineage of children [0, end) of a select item that are one reference
// and nothing else («t.id», trivia between), or one literal or lone word a
// scan takes for no column («'x'», «null»), read without flattening and
// scanning them: as lineage_views() reads such a range, whose checks of
// what stands around a name find nothing around it. None for anything else.
std::optional<ColumnKind> plain_reference(const cst::Children& item, std::size_t end,
                                          const std::optional<std::string_view>& name, std::vector<RefView>& refs,
                                          KeptTexts& kept) {
  const cst::Token* first = nullptr;
  const cst::Token* last = nullptr;
  bool literal = false;
  std::size_t parts = 0;
  std::size_t position = 0;  // of the significant children: names at even places, dots at odd
  for (std::size_t i = 0; i < end; ++i) {
    const cst::Child& c = item[i];
    if (c.is_trivia()) continue;
    const cst::Token* t = c.as_token();
    if (t == nullptr) return std::nullopt;
    if (position++ % 2 == 1) {
      if (!is_dot(*t)) return std::nullopt;
      continue;
    }
    if (position == 1 && (t->kind() == TokenKind::String || t->kind() == TokenKind::Number)) {
      literal = true;  // alone if nothing follows
      continue;
    }
    if (literal || !is_name_part(*t)) return std::nullopt;
    if (first == nullptr) first = t;
    last = t;
    ++parts;
  }
  if (position != 1 && (literal || position % 2 == 0)) return std::nullopt;
  if (literal) return ColumnKind::Constant;
  if (first == nullptr) return std::nullopt;
  if (parts == 1 && first->kind() == TokenKind::Word && keywords().contains(first->text())) {
    return first->is_keyword("over") ? ColumnKind::Aggregate : ColumnKind::Constant;  // «over» is taken for a window's
  }
  if (parts == 1 && first->kind() == TokenKind::QuotedIdentifier && first->text().size() == 2) return ColumnKind::Constant;
  RefView& ref = refs.emplace_back();
  if (parts == 2) {
    ref.qualifier = unquoted(first->text(), kept);
    ref.qualified = true;
  } else if (parts > 2) {
    std::string qualifier;
    std::size_t joined = 0;
    for (std::size_t i = 0; i < end && joined + 1 < parts; ++i) {
      const cst::Token* t = item[i].as_token();
      if (t == nullptr || !is_name_part(*t)) continue;
      if (joined++ > 0) qualifier += '.';
      qualifier += unquote(t->text());
    }
    ref.qualifier = kept.emplace_back(std::move(qualifier));
    ref.qualified = true;
  }
  ref.name = unquoted(last->text(), kept);
  ref.range = TokenRange{first->id(), last->id()};
  return name && ref.name.size() == name->size() && cst::equals_folded(ref.name, *name) ? ColumnKind::Direct
                                                                                        : ColumnKind::Renamed;
}

}  // namespace

std::string_view unquoted_after_quote(std::string_view text, KeptTexts& kept) {
  const char q = text.front();
  if (text.back() != q) return text;
  const std::string_view inner = text.substr(1, text.size() - 2);
  if (inner.find(q) == std::string_view::npos) return inner;
  return kept.emplace_back(unquote(text));
}

ColumnRef owned(const RefView& ref) {
  ColumnRef out;
  if (ref.qualified) out.qualifier = std::string(ref.qualifier);
  out.name = std::string(ref.name);
  out.range = ref.range;
  out.clause = std::string(ref.clause);
  return out;
}

TokenRange token_range(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end) {
  TokenRange range;
  for (std::size_t k = begin; k < end; ++k) {
    if (lex[k].is_token()) {
      range.first = lex[k].id;
      break;
    }
  }
  for (std::size_t k = end; k > begin;) {
    --k;
    if (lex[k].is_token()) {
      range.last = lex[k].id;
      break;
    }
  }
  return range;
}

ScanFacts scan_ref_views(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end, bool window_after_as,
                         std::vector<RefView>& refs, KeptTexts& kept) {
  return Scanner(lex, begin, end, window_after_as, refs, kept).run();
}

RefScan scan_refs(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end, bool window_after_as) {
  std::vector<RefView> views;
  KeptTexts kept;
  const ScanFacts facts = scan_ref_views(lex, begin, end, window_after_as, views, kept);
  RefScan out;
  out.refs.reserve(views.size());
  for (const RefView& v : views) out.refs.push_back(owned(v));
  out.aggregate = facts.aggregate;
  out.jinja = facts.jinja;
  out.subquery = facts.subquery;
  out.bare = facts.bare;
  return out;
}

std::string_view kind_name(ColumnKind kind) {
  switch (kind) {
    case ColumnKind::Direct:
      return "direct";
    case ColumnKind::Renamed:
      return "renamed";
    case ColumnKind::Expression:
      return "expression";
    case ColumnKind::Aggregate:
      return "aggregate";
    case ColumnKind::Constant:
      return "constant";
    case ColumnKind::Star:
      return "star";
    case ColumnKind::Templated:
      return "templated";
  }
  return "expression";
}

ColumnKind lineage_views(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end,
                          std::optional<std::string_view> name, std::vector<RefView>& refs,
                          std::vector<std::string_view>& excluded, KeptTexts& kept) {
  if (read_star(lex, begin, end, refs, excluded, kept)) return ColumnKind::Star;
  const std::size_t first = refs.size();
  const ScanFacts scan = scan_ref_views(lex, begin, end, false, refs, kept);
  if (scan.jinja) return ColumnKind::Templated;
  if (scan.aggregate) return ColumnKind::Aggregate;
  if (scan.bare) {
    const std::string_view ref_name = refs[first].name;
    return name && ref_name.size() == name->size() && cst::equals_folded(ref_name, *name) ? ColumnKind::Direct
                                                                                          : ColumnKind::Renamed;
  }
  if (refs.size() == first && !scan.subquery) return ColumnKind::Constant;
  return ColumnKind::Expression;
}

ItemLineage lineage_of(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end,
                       const std::optional<std::string>& name) {
  std::vector<RefView> refs;
  std::vector<std::string_view> excluded;
  KeptTexts kept;
  ItemLineage out;
  out.kind = lineage_views(lex, begin, end, name ? std::optional<std::string_view>(*name) : std::nullopt, refs,
                           excluded, kept);
  out.references.reserve(refs.size());
  for (const RefView& r : refs) out.references.push_back(owned(r));
  out.excluded.assign(excluded.begin(), excluded.end());
  return out;
}

ItemLineage item_lineage(const cst::Children& item) {
  std::optional<std::string> name;
  LexemeBuffer buffer;
  return item_lineage_and_name(item, name, buffer);
}

ColumnKind item_lineage_views(const cst::Children& item, std::optional<std::string_view>& name, LexemeBuffer& buffer,
                              std::vector<RefView>& refs, std::vector<std::string_view>& excluded, KeptTexts& kept) {
  std::size_t expr_end = item.size();
  name.reset();
  if (auto at = alias_at(item)) {
    expr_end = at->expr_end;
    name = unquoted(at->alias, kept);
  } else if (const cst::Token* last = reference_last(item)) {
    name = unquoted(last->text(), kept);  // the reference's last part, as item_name() gives it
  }
  if (std::optional<ColumnKind> kind = plain_reference(item, expr_end, name, refs, kept)) return *kind;
  flatten_into(item, 0, expr_end, buffer);
  return lineage_views(buffer.lexemes, 0, buffer.lexemes.size(), name, refs, excluded, kept);
}

ItemLineage item_lineage_and_name(const cst::Children& item, std::optional<std::string>& name, LexemeBuffer& buffer) {
  std::size_t expr_end = item.size();
  if (auto parts = alias_parts(item)) {
    expr_end = parts->expr_end;
    name = unquote(parts->alias);
  } else {
    name = reference_name(item);  // item_name(), the alias already looked for
  }
  flatten_into(item, 0, expr_end, buffer);
  return lineage_of(buffer.lexemes, 0, buffer.lexemes.size(), name);
}

}  // namespace trelm::query
