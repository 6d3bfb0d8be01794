#include "jinja/render.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <variant>
#include <vector>

namespace trelm::jinja {
namespace {

// The exact inverse of the reader's unescaping.
void append_string(std::string& out, std::string_view s, char quote) {
  out += quote;
  for (char c : s) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c == quote) out += '\\';
        out += c;
        break;
    }
  }
  out += quote;
}

void append_int(std::string& out, std::int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Fixed notation always: an integral value with its exact digits and one
// digit after the point, anything else as the shortest text that reads back
// as the same double.
void append_float(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "NaN";
    return;
  }
  // An infinity is what the engine reads a float too large for a double as.
  if (std::isinf(d)) {
    out += d < 0 ? "-1e999" : "1e999";
    return;
  }
  // 309 integral digits for the largest double, 326 characters for the
  // smallest subnormal in fixed notation.
  char buf[400];
  const bool integral = std::trunc(d) == d;
  const auto r = integral ? std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, 0)
                          : std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
  out.append(buf, r.ptr);
  if (integral) out += ".0";
}

// Work left to do, in reverse order: a literal to render or a fixed piece.
using Work = std::variant<const Literal*, std::string_view>;

void push_list(std::vector<Work>& work, const Literal::List& list) {
  work.emplace_back(std::string_view("]"));
  for (std::size_t i = list.size(); i-- > 0;) {
    work.emplace_back(&list[i]);
    if (i > 0) work.emplace_back(std::string_view(", "));
  }
  work.emplace_back(std::string_view("["));
}

void push_dict(std::vector<Work>& work, const Literal::Dict& dict) {
  work.emplace_back(std::string_view("}"));
  for (std::size_t i = dict.size(); i-- > 0;) {
    work.emplace_back(&dict[i].second);
    work.emplace_back(std::string_view(": "));
    work.emplace_back(&dict[i].first);
    if (i > 0) work.emplace_back(std::string_view(", "));
  }
  work.emplace_back(std::string_view("{"));
}

}  // namespace

std::string render_literal(const Literal& literal, char quote) {
  std::string out;
  std::vector<Work> work{&literal};
  while (!work.empty()) {
    const Work item = work.back();
    work.pop_back();
    if (const auto* piece = std::get_if<std::string_view>(&item)) {
      out += *piece;
      continue;
    }
    const Literal::Value& v = std::get<const Literal*>(item)->value();
    switch (v.index()) {
      case 0: append_string(out, std::get<Literal::Str>(v), quote); break;
      case 1: append_int(out, std::get<Literal::Int>(v)); break;
      case 2: append_float(out, std::get<Literal::Float>(v)); break;
      case 3: out += std::get<Literal::Bool>(v) ? "True" : "False"; break;
      case 4: out += "None"; break;
      case 5: push_list(work, std::get<Literal::List>(v)); break;
      case 6: push_dict(work, std::get<Literal::Dict>(v)); break;
      case 7: out += std::get<Literal::BigInt>(v).digits; break;
    }
  }
  return out;
}

}  // namespace trelm::jinja
