#include "jinja/literal_reader.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace trelm::jinja {
namespace {

using Tokens = std::vector<ExprToken>;

// ---- scalars -------------------------------------------------------------

// Resolves the escapes of a string's inner text: a backslash before n, t, r,
// a quote or a backslash stands for one character; a backslash before
// anything else, or at the very end, stays as written.
std::string unescape(std::string_view inner) {
  std::string out;
  out.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    const char c = inner[i];
    if (c != '\\' || i + 1 == inner.size()) {
      out += c;
      continue;
    }
    const char next = inner[i + 1];
    switch (next) {
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case '"':
      case '\'':
      case '\\': out += next; break;
      default:
        out += c;
        out += next;
        break;
    }
    ++i;
  }
  return out;
}

std::optional<Literal> string_literal(std::string_view token) {
  if (token.size() < 2 || token.front() != token.back()) return std::nullopt;
  return Literal::str(unescape(token.substr(1, token.size() - 2)));
}

std::optional<Literal> name_literal(std::string_view token) {
  if (token == "True" || token == "true") return Literal::boolean(true);
  if (token == "False" || token == "false") return Literal::boolean(false);
  if (token == "None" || token == "none") return Literal::none();
  return std::nullopt;
}

// A 64-bit integer when the digits fit, else a double by the decimal
// floating-point syntax; «0x1F», «1.2.3» and «1e» are neither. A double too
// small to represent reads as the zero or subnormal it rounds to; one too
// large is no literal, since an infinity could not be written back as read.
std::optional<Literal> number_literal(std::string_view token) {
  const char* first = token.data();
  const char* last = token.data() + token.size();
  std::int64_t i = 0;
  const auto as_int = std::from_chars(first, last, i);
  if (as_int.ec == std::errc() && as_int.ptr == last) return Literal::integer(i);
  double d = 0;
  const auto as_double = std::from_chars(first, last, d, std::chars_format::general);
  if (as_double.ptr != last) return std::nullopt;
  if (as_double.ec == std::errc::result_out_of_range) {
    d = std::strtod(std::string(token).c_str(), nullptr);
    if (std::isinf(d)) return std::nullopt;
  } else if (as_double.ec != std::errc()) {
    return std::nullopt;
  }
  return Literal::floating(d);
}

bool is_minus(std::string_view text, const ExprToken& t) {
  return t.is(ExprTokenKind::ExprOther) && t.text_in(text) == "-";
}

// Any run of "-" applies to the number after it; a minus before anything
// else (a string, a list, a name) makes no literal.
std::optional<Literal> signed_number(std::string_view text, const Tokens& tokens, std::size_t& pos) {
  bool negative = false;
  while (pos < tokens.size() && is_minus(text, tokens[pos])) {
    negative = !negative;
    ++pos;
  }
  if (pos >= tokens.size() || !tokens[pos].is(ExprTokenKind::ExprNumber)) return std::nullopt;
  std::optional<Literal> number = number_literal(tokens[pos].text_in(text));
  if (!number) return std::nullopt;
  ++pos;
  if (negative) {
    // The integer reader only sees unsigned digits, so negation cannot overflow.
    if (number->holds<Literal::Int>()) return Literal::integer(-number->as<Literal::Int>());
    return Literal::floating(-number->as<Literal::Float>());
  }
  return number;
}

// A literal that is not a list or dict, starting at `pos`; advances `pos`.
std::optional<Literal> scalar_at(std::string_view text, const Tokens& tokens, std::size_t& pos) {
  const ExprToken& t = tokens[pos];
  std::optional<Literal> result;
  switch (t.kind) {
    case ExprTokenKind::ExprString:
      result = string_literal(t.text_in(text));
      break;
    case ExprTokenKind::ExprName:
      result = name_literal(t.text_in(text));
      break;
    case ExprTokenKind::ExprNumber:
      result = number_literal(t.text_in(text));
      break;
    case ExprTokenKind::ExprOther:
      return signed_number(text, tokens, pos);
    default:
      return std::nullopt;
  }
  if (result) ++pos;
  return result;
}

// ---- containers ------------------------------------------------------------

// A list or dict being read: lists and tuples alike become lists.
struct Open {
  Literal value;
  char closer = ']';
  std::optional<Literal> key;  // a dict's key, read, waiting for its value
};

char closer_for(char open) { return open == '(' ? ')' : open == '[' ? ']' : '}'; }

Open open_container(const ExprToken& t) {
  Open o;
  o.closer = closer_for(t.ch);
  o.value = t.ch == '{' ? Literal::dict() : Literal::list();
  return o;
}

// After an element or pair: a comma is stepped over and the closer is left
// for the container to see; anything else ends the reading.
bool step_after_item(const Tokens& tokens, std::size_t& pos, char closer) {
  if (pos >= tokens.size()) return false;
  if (tokens[pos].is(ExprTokenKind::ExprComma)) {
    ++pos;
    return true;
  }
  return tokens[pos].is_close(closer);
}

}  // namespace

// Nested lists and dicts are kept on an explicit stack: the depth of a
// literal is bounded only by its text.
std::optional<std::pair<Literal, std::size_t>> literal_at(std::string_view text, const Tokens& tokens, std::size_t i) {
  std::vector<Open> open;
  std::size_t pos = i;
  while (true) {
    // At the start of a literal, or at the closer of the innermost container.
    if (pos >= tokens.size()) return std::nullopt;
    const ExprToken& t = tokens[pos];
    std::optional<Literal> done;
    if (!open.empty() && !open.back().key && t.is_close(open.back().closer)) {
      ++pos;
      done = std::move(open.back().value);
      open.pop_back();
    } else if (t.is(ExprTokenKind::ExprOpen)) {
      open.push_back(open_container(t));
      ++pos;
      continue;
    } else {
      done = scalar_at(text, tokens, pos);
      if (!done) return std::nullopt;
    }
    // Hand the finished literal to its container, or return it.
    while (true) {
      if (open.empty()) return std::make_pair(std::move(*done), pos);
      Open& parent = open.back();
      if (parent.value.holds<Literal::List>()) {
        parent.value.as<Literal::List>().push_back(std::move(*done));
      } else if (!parent.key) {
        // A key: a colon must follow, then the value.
        if (pos >= tokens.size() || !tokens[pos].is(ExprTokenKind::ExprColon)) return std::nullopt;
        ++pos;
        parent.key = std::move(*done);
        break;
      } else {
        parent.value.as<Literal::Dict>().emplace_back(std::move(*parent.key), std::move(*done));
        parent.key.reset();
      }
      if (!step_after_item(tokens, pos, parent.closer)) return std::nullopt;
      break;
    }
  }
}

std::optional<Literal> parse_literal(std::string_view text) {
  const Tokens tokens = tokenize(text);
  auto read = literal_at(text, tokens, 0);
  if (!read || read->second != tokens.size()) return std::nullopt;
  return std::move(read->first);
}

char quote_style(std::string_view text) {
  for (const ExprToken& t : tokenize(text)) {
    if (t.is(ExprTokenKind::ExprString)) return text[t.start];
  }
  return '"';
}

}  // namespace trelm::jinja
