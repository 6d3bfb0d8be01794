#include "jinja/kwarg_edit.hpp"

namespace trelm::jinja {
namespace {

std::string spliced(std::string_view text, std::size_t from, std::size_t to, std::string_view insert) {
  std::string out;
  out.reserve(text.size() - (to - from) + insert.size());
  out.append(text.substr(0, from));
  out.append(insert);
  out.append(text.substr(to));
  return out;
}

// What stands between a keyword and its value in the call's first keyword
// argument ("=", " = ", ...), so that an added argument looks the same.
std::string_view assign_separator(std::string_view text, const Call& call) {
  for (const CallArg& arg : call.args) {
    if (arg.name) return text.substr(arg.name->end, arg.value.start - arg.name->end);
  }
  return "=";
}

// The line break and indentation before the first argument when arguments
// stand one per line, or nullopt for a single-line call. A "\r\n" break is
// copied whole, so a CRLF file stays CRLF.
std::optional<std::string> line_indentation(std::string_view text, const Call& call) {
  const std::size_t gap_start = call.open + 1;
  const std::string_view gap = text.substr(gap_start, call.args.front().span.start - gap_start);
  const std::size_t lf = gap.rfind('\n');
  if (lf == std::string_view::npos) return std::nullopt;
  const std::size_t from = lf > 0 && gap[lf - 1] == '\r' ? lf - 1 : lf;
  return std::string(gap.substr(from));
}

}  // namespace

std::string set_kwarg(std::string_view text, const Call& call, std::string_view key, std::string_view source) {
  if (const auto existing = call.kwarg(text, key)) {
    const Span& value = call.args[existing->index].value;
    return spliced(text, value.start, value.end, source);
  }
  std::string arg(key);
  arg += assign_separator(text, call);
  arg += source;
  if (call.args.empty()) return spliced(text, call.open + 1, call.close, arg);

  const CallArg& last = call.args.back();
  const std::optional<std::string> indentation = line_indentation(text, call);
  if (last.comma) {
    const std::size_t after_comma = *last.comma + 1;
    return spliced(text, after_comma, after_comma, (indentation ? *indentation : std::string(" ")) + arg + ",");
  }
  const std::size_t after_last = last.span.end;
  return spliced(text, after_last, after_last, (indentation ? "," + *indentation : std::string(", ")) + arg);
}

std::optional<std::string> remove_kwarg(std::string_view text, const Call& call, std::string_view key) {
  const auto found = call.kwarg(text, key);
  if (!found) return std::nullopt;
  const std::size_t i = found->index;
  const std::size_t n = call.args.size();
  const CallArg& arg = call.args[i];
  if (n == 1) return spliced(text, call.open + 1, call.close, "");
  if (i + 1 < n) return spliced(text, arg.span.start, call.args[i + 1].span.start, "");
  // The last argument: every argument before it has a comma.
  const CallArg& before = call.args[i - 1];
  if (arg.comma) return spliced(text, *before.comma + 1, *arg.comma + 1, "");
  return spliced(text, before.span.end, arg.span.end, "");
}

}  // namespace trelm::jinja
