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

// `gap` from its last line break on, a "\r\n" break copied whole so that a
// CRLF file stays CRLF; nullopt when `gap` holds no line break.
std::optional<std::string_view> from_last_break(std::string_view gap) {
  const std::size_t lf = gap.rfind('\n');
  if (lf == std::string_view::npos) return std::nullopt;
  return gap.substr(lf > 0 && gap[lf - 1] == '\r' ? lf - 1 : lf);
}

// The line break and indentation before the first item when items stand
// one per line, or nullopt for a single-line list.
std::optional<std::string_view> line_indentation(std::string_view text, const Call& list) {
  const std::size_t gap_start = list.open + 1;
  return from_last_break(text.substr(gap_start, list.args.front().span.start - gap_start));
}

// With leading commas («a\n    , b»: the comma before the last item opens
// its line), what opens that line: the break and indentation before the
// comma, the comma and the blanks after it. nullopt in any other layout.
std::optional<std::string> leading_comma_opening(std::string_view text, const Call& list) {
  const std::size_t n = list.args.size();
  if (n < 2 || list.args.back().comma) return std::nullopt;
  const CallArg& before = list.args[n - 2];
  const CallArg& last = list.args[n - 1];
  const std::optional<std::string_view> indentation =
      from_last_break(text.substr(before.span.end, *before.comma - before.span.end));
  const std::string_view after_comma = text.substr(*before.comma + 1, last.span.start - *before.comma - 1);
  if (!indentation || after_comma.find('\n') != std::string_view::npos) return std::nullopt;
  std::string opening(*indentation);
  opening += ',';
  opening += after_comma;
  return opening;
}

}  // namespace

std::string_view name_separator(std::string_view text, const Call& list, std::string_view fallback) {
  for (const CallArg& arg : list.args) {
    if (arg.name) return text.substr(arg.name->end, arg.value.start - arg.name->end);
  }
  return fallback;
}

std::string replace_value(std::string_view text, const Call& list, std::size_t index, std::string_view source) {
  const Span& value = list.args[index].value;
  return spliced(text, value.start, value.end, source);
}

std::string append_item(std::string_view text, const Call& list, std::string_view item) {
  if (list.args.empty()) return spliced(text, list.open + 1, list.close, item);
  const CallArg& last = list.args.back();
  if (std::optional<std::string> opening = leading_comma_opening(text, list)) {
    return spliced(text, last.span.end, last.span.end, *opening += item);
  }
  const std::optional<std::string_view> indentation = line_indentation(text, list);
  if (last.comma) {
    const std::size_t after_comma = *last.comma + 1;
    std::string inserted(indentation.value_or(" "));
    inserted += item;
    inserted += ',';
    return spliced(text, after_comma, after_comma, inserted);
  }
  std::string inserted(",");
  inserted += indentation.value_or(" ");
  inserted += item;
  return spliced(text, last.span.end, last.span.end, inserted);
}

std::string remove_item(std::string_view text, const Call& list, std::size_t index) {
  const std::size_t n = list.args.size();
  const CallArg& item = list.args[index];
  if (n == 1) return spliced(text, list.open + 1, list.close, "");
  if (index + 1 < n) return spliced(text, item.span.start, list.args[index + 1].span.start, "");
  // The last item: every item before it has a comma.
  const CallArg& before = list.args[index - 1];
  if (item.comma) return spliced(text, *before.comma + 1, *item.comma + 1, "");
  return spliced(text, before.span.end, item.span.end, "");
}

std::string set_kwarg(std::string_view text, const Call& call, std::string_view key, std::string_view source) {
  if (const auto existing = call.kwarg(text, key)) return replace_value(text, call, existing->index, source);
  std::string arg(key);
  arg += name_separator(text, call, "=");
  arg += source;
  return append_item(text, call, arg);
}

std::optional<std::string> remove_kwarg(std::string_view text, const Call& call, std::string_view key) {
  const auto found = call.kwarg(text, key);
  if (!found) return std::nullopt;
  return remove_item(text, call, found->index);
}

}  // namespace trelm::jinja
