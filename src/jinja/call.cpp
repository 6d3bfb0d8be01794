#include "jinja/call.hpp"

#include "lexer/unicode.hpp"

namespace trelm::jinja {
namespace {

using Tokens = std::vector<ExprToken>;
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// For each opening bracket, the index of the closing bracket that brings the
// depth back (any closer closes any opener), or kNone. One pass for the
// whole text, so reading every call of a text stays linear however deeply
// calls nest.
std::vector<std::size_t> matching_closers(const Tokens& tokens) {
  std::vector<std::size_t> match(tokens.size(), kNone);
  std::vector<std::size_t> open;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].is(ExprTokenKind::ExprOpen)) {
      open.push_back(i);
    } else if (tokens[i].is(ExprTokenKind::ExprClose) && !open.empty()) {
      match[open.back()] = i;
      open.pop_back();
    }
  }
  return match;
}

// The argument made of tokens [first, last]: `key = value` when it starts
// with a name and "=" and holds a value, else positional.
CallArg make_arg(const Tokens& tokens, std::size_t first, std::size_t last, std::optional<std::size_t> comma) {
  CallArg arg;
  std::size_t value_first = first;
  if (last >= first + 2 && tokens[first].is(ExprTokenKind::ExprName) &&
      tokens[first + 1].is(ExprTokenKind::ExprAssign)) {
    arg.name = Span{tokens[first].start, tokens[first].end};
    value_first = first + 2;
  }
  arg.comma = comma;
  arg.value = Span{tokens[value_first].start, tokens[last].end};
  arg.span = Span{tokens[first].start, tokens[last].end};
  return arg;
}

// A dict entry made of tokens [first, last]: `key: value` around its one
// top-level colon, key and value both present; nullopt otherwise.
std::optional<CallArg> make_entry(const Tokens& tokens, const std::vector<std::size_t>& match, std::size_t first,
                                  std::size_t last, std::optional<std::size_t> comma) {
  std::size_t colon = kNone;
  for (std::size_t i = first; i <= last; ++i) {
    if (tokens[i].is(ExprTokenKind::ExprOpen)) {
      i = match[i];  // inside the dict's braces, so matched
    } else if (tokens[i].is(ExprTokenKind::ExprColon)) {
      if (colon != kNone) return std::nullopt;
      colon = i;
    }
  }
  if (colon == kNone || colon == first || colon == last) return std::nullopt;
  CallArg entry;
  entry.name = Span{tokens[first].start, tokens[colon - 1].end};
  entry.comma = comma;
  entry.value = Span{tokens[colon + 1].start, tokens[last].end};
  entry.span = Span{tokens[first].start, tokens[last].end};
  return entry;
}

// Splits the bracketed list at `open_index` into items at its top-level
// commas; bracketed groups inside an item are stepped over whole. `make`
// turns the tokens [first, last] of one item into a CallArg, or refuses the
// whole list with nullopt.
template <typename Make>
std::optional<Call> read_items(const Tokens& tokens, const std::vector<std::size_t>& match, std::size_t open_index,
                               Make make) {
  const std::size_t close = match[open_index];
  if (close == kNone) return std::nullopt;
  Call call;
  call.open = tokens[open_index].start;
  call.close = tokens[close].start;
  std::size_t begun = kNone;  // first token of the current item
  std::size_t last = kNone;   // its last token so far
  const auto finish = [&](std::optional<std::size_t> comma) {
    std::optional<CallArg> item = make(begun, last, comma);
    if (item) call.args.push_back(std::move(*item));
    return item.has_value();
  };
  for (std::size_t i = open_index + 1; i < close; ++i) {
    const ExprToken& t = tokens[i];
    if (t.is(ExprTokenKind::ExprComma)) {
      // Empty items (",," or a comma right after the opener) are not recorded.
      if (begun != kNone && !finish(t.start)) return std::nullopt;
      begun = kNone;
      continue;
    }
    if (begun == kNone) begun = i;
    if (t.is(ExprTokenKind::ExprOpen)) i = match[i];  // inside `close`, so matched
    last = i;
  }
  if (begun != kNone && !finish(std::nullopt)) return std::nullopt;
  return call;
}

std::optional<Call> read_call(const Tokens& tokens, const std::vector<std::size_t>& match, std::size_t open_index) {
  const auto make = [&](std::size_t first, std::size_t last, std::optional<std::size_t> comma) {
    return std::optional<CallArg>(make_arg(tokens, first, last, comma));
  };
  return read_items(tokens, match, open_index, make);
}

bool is_name(std::string_view text, const ExprToken& t, std::string_view name) {
  return t.is(ExprTokenKind::ExprName) && t.text_in(text) == name;
}

bool is_dot(std::string_view text, const ExprToken& t) {
  return t.is(ExprTokenKind::ExprOther) && t.text_in(text) == ".";
}

// What may stand between "{{" and the config name: whitespace-control marks
// first, then blanks.
bool is_tag_opening(std::string_view between) {
  std::size_t marks = 0;
  while (marks < between.size() && (between[marks] == '-' || between[marks] == '+')) ++marks;
  return lexer::unicode::is_all_white_space(between.substr(marks));
}

// Words of Jinja's expression grammar that a bracket may follow without
// making a call.
bool is_operator_word(std::string_view word) {
  for (std::string_view w : {"and", "or", "not", "in", "is", "if", "elif", "else", "for"}) {
    if (word == w) return true;
  }
  return false;
}

// The first token of the dotted name that ends at token `last`.
std::size_t dotted_name_start(std::string_view text, const Tokens& tokens, std::size_t last) {
  std::size_t first = last;
  while (first >= 2 && is_dot(text, tokens[first - 1]) && tokens[first - 2].is(ExprTokenKind::ExprName)) first -= 2;
  return first;
}

}  // namespace

std::optional<KwargMatch> Call::kwarg(std::string_view text, std::string_view key) const {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i].name && args[i].name->text_in(text) == key) return KwargMatch{i, args[i].value.text_in(text)};
  }
  return std::nullopt;
}

std::optional<Call> parse_call(const Tokens& tokens, std::size_t open_index) {
  if (open_index >= tokens.size() || !tokens[open_index].is_open('(')) return std::nullopt;
  return read_call(tokens, matching_closers(tokens), open_index);
}

std::vector<Call> find_calls(std::string_view text, std::string_view name) {
  std::vector<Call> calls;
  if (text.find(name) == std::string_view::npos) return calls;  // cheap common case
  const Tokens tokens = tokenize(text);
  const std::vector<std::size_t> match = matching_closers(tokens);
  const auto try_call_at = [&](std::size_t open_index) {
    if (auto call = read_call(tokens, match, open_index)) calls.push_back(std::move(*call));
  };
  if (tokens.size() >= 2 && is_name(text, tokens[0], name) && tokens[1].is_open('(')) try_call_at(1);
  for (std::size_t i = 0; i + 2 < tokens.size(); ++i) {
    if (is_name(text, tokens[i + 1], name) && !is_dot(text, tokens[i]) && tokens[i + 2].is_open('(')) {
      try_call_at(i + 2);
    }
  }
  return calls;
}

std::optional<Call> parse_dict(const Tokens& tokens, std::size_t open_index) {
  if (open_index >= tokens.size() || !tokens[open_index].is_open('{')) return std::nullopt;
  const std::vector<std::size_t> match = matching_closers(tokens);
  const auto make = [&](std::size_t first, std::size_t last, std::optional<std::size_t> comma) {
    return make_entry(tokens, match, first, last, comma);
  };
  return read_items(tokens, match, open_index, make);
}

std::vector<NamedCall> find_every_call(std::string_view text) {
  std::vector<NamedCall> calls;
  if (text.find('(') == std::string_view::npos) return calls;
  const Tokens tokens = tokenize(text);
  const std::vector<std::size_t> match = matching_closers(tokens);
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    if (!tokens[i].is_open('(') || !tokens[i - 1].is(ExprTokenKind::ExprName)) continue;
    const std::size_t first = dotted_name_start(text, tokens, i - 1);
    if (first > 0 && is_dot(text, tokens[first - 1])) continue;  // a method of some value
    if (first == i - 1 && is_operator_word(tokens[first].text_in(text))) continue;
    std::optional<Call> call = read_call(tokens, match, i);
    if (!call) continue;
    NamedCall named{std::move(*call), std::string(), tokens[first].start};
    for (std::size_t k = first; k < i; k += 2) {
      if (k > first) named.name += '.';
      named.name += tokens[k].text_in(text);
    }
    calls.push_back(std::move(named));
  }
  return calls;
}

std::optional<std::size_t> config_open(std::string_view text, const Tokens& tokens) {
  std::size_t name = 0;
  while (name < tokens.size() && !tokens[name].is(ExprTokenKind::ExprName)) ++name;
  if (name + 1 >= tokens.size() || tokens[name].text_in(text) != "config" || !tokens[name + 1].is_open('(')) {
    return std::nullopt;
  }
  const std::size_t opener_end = text.size() < 2 ? text.size() : 2;
  if (tokens[name].start < opener_end || !is_tag_opening(text.substr(opener_end, tokens[name].start - opener_end))) {
    return std::nullopt;
  }
  return name + 1;
}

std::optional<Call> config_call(std::string_view text) {
  const Tokens tokens = tokenize(text);
  const std::optional<std::size_t> open = config_open(text, tokens);
  if (!open) return std::nullopt;
  return parse_call(tokens, *open);
}

}  // namespace trelm::jinja
