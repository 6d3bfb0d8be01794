// Function calls found in the text of one Jinja tag: where the parentheses
// and each argument's name, value and comma lie, as byte offsets into that
// text. Nothing is evaluated.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jinja/expr_tokens.hpp"

namespace trelm::jinja {

struct Span {
  std::size_t start = 0;
  std::size_t end = 0;

  std::string_view text_in(std::string_view text) const { return text.substr(start, end - start); }
};

struct CallArg {
  std::optional<Span> name;          // the keyword of `key=value`; a dict entry's key
  std::optional<std::size_t> comma;  // the top-level comma ending the argument
  Span value;                        // first value token to last token
  Span span;                         // first token (keyword included) to last
};

struct KwargMatch {
  std::size_t index = 0;         // into Call::args
  std::string_view value_text;   // a view into the text the call came from
};

// Every argument but the last has a comma; the last has one exactly when
// the list ends with a trailing comma. The entries of a dict display are
// described the same way, `open` and `close` then being its braces.
struct Call {
  std::vector<CallArg> args;
  std::size_t open = 0;   // the "("
  std::size_t close = 0;  // the bracket that closed the call

  // The first keyword argument named exactly `key`; positional arguments
  // never match. `text` is the text the call was read from.
  std::optional<KwargMatch> kwarg(std::string_view text, std::string_view key) const;
};

// The call whose "(" is token `open_index` of `tokens` (scanned from the
// text the offsets refer to); nullopt when the tokens end before it closes.
std::optional<Call> parse_call(const std::vector<ExprToken>& tokens, std::size_t open_index);

// The entries of the dict display whose "{" is token `open_index`, each
// `key: value` with its key as `name`; nullopt when the braces never close
// or an entry is not one key, one colon and one value.
std::optional<Call> parse_dict(const std::vector<ExprToken>& tokens, std::size_t open_index);

// Every call named `name` in `text`, outer calls before the ones nested in
// their arguments; a name after "." is a method, not a call of that name.
std::vector<Call> find_calls(std::string_view text, std::string_view name);

// A call with its dotted name («adapter.dispatch»): the names joined by "."
// without the blanks between them, and where the first name starts.
struct NamedCall {
  Call call;
  std::string name;
  std::size_t name_start = 0;
};

// Every call in `text`, whatever its name, in the order of find_calls. A
// call on anything but a name («x().y()», «'a'.upper()») is not counted,
// nor a bracket after a Jinja operator word («not (a)», «if (b)»).
std::vector<NamedCall> find_every_call(std::string_view text);

// The `config(...)` call that opens the expression tag `text` («{{ ... }}»,
// delimiters included), or nullopt.
std::optional<Call> config_call(std::string_view text);
// The same test on `text` already cut into `tokens`: the index of the
// call's "(" token, or nullopt.
std::optional<std::size_t> config_open(std::string_view text, const std::vector<ExprToken>& tokens);

}  // namespace trelm::jinja
