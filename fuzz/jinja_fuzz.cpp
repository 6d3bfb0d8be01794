// Invariants of reading and writing Jinja expressions for any text: the
// tokens cover the text, literals read back from their rendering, call
// positions fall on token boundaries, and keyword-argument edits change
// nothing outside the call's parentheses and read back as the edit.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "jinja/call.hpp"
#include "jinja/kwarg_edit.hpp"
#include "jinja/literal_reader.hpp"
#include "jinja/render.hpp"
#include "jinja/token_shapes.hpp"

namespace {

using namespace trelm::jinja;

// The whitespace character at `i`, which must be one: only whitespace lies
// between tokens.
std::size_t blank_at(std::string_view text, std::size_t i) {
  const std::size_t n = whitespace_length(text, i);
  CHECK(n != 0);
  return n == 0 ? 1 : n;
}

void check_tokens_cover(std::string_view text, const std::vector<ExprToken>& tokens) {
  std::size_t pos = 0;
  for (const ExprToken& t : tokens) {
    CHECK(t.start >= pos && t.start < t.end && t.end <= text.size());
    for (std::size_t i = pos; i < t.start;) i += blank_at(text, i);
    pos = t.end;
  }
  for (std::size_t i = pos; i < text.size();) i += blank_at(text, i);
}

void check_round_trip(const Literal& value) {
  for (char quote : {'"', '\''}) {
    const std::string rendered = render_literal(value, quote);
    const auto back = parse_literal(rendered);
    CHECK(back.has_value() && *back == value);
  }
}

bool starts_token(const std::vector<ExprToken>& tokens, std::size_t offset) {
  return std::any_of(tokens.begin(), tokens.end(), [&](const ExprToken& t) { return t.start == offset; });
}
bool ends_token(const std::vector<ExprToken>& tokens, std::size_t offset) {
  return std::any_of(tokens.begin(), tokens.end(), [&](const ExprToken& t) { return t.end == offset; });
}

void check_call_positions(std::string_view text, const Call& call) {
  const std::vector<ExprToken> tokens = tokenize(text);
  CHECK(call.open < call.close && call.close < text.size() && text[call.open] == '(');
  CHECK(starts_token(tokens, call.open) && starts_token(tokens, call.close));
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    const CallArg& arg = call.args[i];
    CHECK(call.open < arg.span.start && arg.span.end <= call.close);
    CHECK(starts_token(tokens, arg.span.start) && ends_token(tokens, arg.span.end));
    CHECK(starts_token(tokens, arg.value.start) && arg.value.end == arg.span.end);
    CHECK(i + 1 == call.args.size() || arg.comma.has_value());
    if (arg.comma) CHECK(text[*arg.comma] == ',' && *arg.comma >= arg.span.end);
  }
}

// The call whose "(" stands at `open` in `text`, read again.
std::optional<Call> call_at(std::string_view text, std::size_t open) {
  const std::vector<ExprToken> tokens = tokenize(text);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].start == open) return parse_call(tokens, i);
  }
  return std::nullopt;
}

bool keeps_outside(std::string_view before, std::string_view after, const Call& call) {
  const std::size_t tail = before.size() - call.close;
  return after.size() >= call.open + 1 + tail && after.substr(0, call.open + 1) == before.substr(0, call.open + 1) &&
         after.substr(after.size() - tail) == before.substr(call.close);
}

void check_kwarg_edits(std::string_view text, const Call& call) {
  for (std::string_view key : {"k", "a"}) {
    const std::string set = set_kwarg(text, call, key, "1");
    CHECK(keeps_outside(text, set, call));
    const auto reread = call_at(set, call.open);
    CHECK(reread.has_value());
    const auto found = reread->kwarg(set, key);
    CHECK(found.has_value() && found->value_text == "1");
    CHECK(reread->args.size() == call.args.size() + (call.kwarg(text, key) ? 0 : 1));

    if (const auto removed = remove_kwarg(text, call, key)) {
      CHECK(keeps_outside(text, *removed, call));
      const auto after = call_at(*removed, call.open);
      CHECK(after.has_value() && after->args.size() + 1 == call.args.size());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_tokens_cover(text, tokenize(text));
  if (const auto value = parse_literal(text)) check_round_trip(*value);
  check_round_trip(Literal::str(std::string(text)));
  check_round_trip(Literal::list({Literal::str(std::string(text)), Literal::dict({{Literal::none(), Literal::boolean(true)}})}));
  for (const Call& call : find_calls(text, "f")) {
    check_call_positions(text, call);
    check_kwarg_edits(text, call);
  }
  const std::string tag = "{{ " + std::string(text) + " }}";
  if (const auto call = config_call(tag)) {
    check_call_positions(tag, *call);
    check_kwarg_edits(tag, *call);
  }
  return 0;
}
