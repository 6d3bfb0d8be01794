#include "lexer/jinja_tags.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lexer/scan_index.hpp"
#include "support/parsed.hpp"

namespace trelm::lexer {
namespace {

using testing::repeat;

TEST(TagName, ReadsTheNameAfterOneMarkAndSpaces) {
  const std::vector<std::pair<std::string_view, std::optional<std::string_view>>> cases = {
      {"{%- endfor -%}", "endfor"}, {"{%raw%}", "raw"}, {"{%+ else %}", "else"}, {"{%\t\r\n  for x in y %}", "for"},
      {"{% endraw(x) %}", "endraw"},
      {"{% \xC3\xA9lan %}", "\xC3\xA9lan"},   // non-ASCII letters belong to the name
      {"{% x\xC2\xB2 %}", "x\xC2\xB2"},       // so do non-ASCII numerics
      {"{% a\xC2\xA7 %}", "a"},               // a section sign ends it
      {"{% - raw %}", std::nullopt},          // the mark must follow "{%" directly
      {"{%-- if %}", std::nullopt},           // only one mark is skipped
      {"{%\x0B if %}", std::nullopt},         // vertical tab is not skipped
      {"{%  %}", std::nullopt}, {"{%", std::nullopt}, {"{{ if }}", std::nullopt},
  };
  for (const auto& [text, name] : cases) EXPECT_EQ(tag_name(text), name) << text;
}

// Which tags are found is compared with the rules on random texts below;
// here, that the slices point into the text.
TEST(EmbeddedTags, SlicesPointIntoTheText) {
  const std::string text = "x {{ a }} y";
  EXPECT_EQ(embedded_tags(text).at(0).data(), text.data() + 2);
}

// ---- The rules, transcribed one step at a time -------------------------
// Slow on purpose: every attempt rescans, nothing is remembered, so the
// fast paths of the real scanner have something independent to agree with.

std::optional<std::size_t> rule_expression_tag(std::string_view input, std::string_view closer) {
  std::size_t depth = 0;
  for (std::size_t i = 2; i < input.size();) {
    if (depth == 0 && input.substr(i).starts_with(closer)) return i + 2;
    const char c = input[i];
    if (c == '"' || c == '\'') {
      std::size_t j = i + 1;
      while (j < input.size() && input[j] != c) j += input[j] == '\\' ? 2 : 1;
      if (j >= input.size()) return std::nullopt;
      i = j + 1;
      continue;
    }
    if (c == '(' || c == '[' || c == '{') ++depth;
    if ((c == ')' || c == ']' || c == '}') && depth > 0) --depth;
    ++i;
  }
  return std::nullopt;
}

std::optional<std::size_t> rule_raw_block(std::string_view input, std::size_t opening_length) {
  for (std::size_t p = opening_length; p < input.size();) {
    const auto length = rule_expression_tag(input.substr(p), "%}");
    if (length && tag_name(input.substr(p, *length)) == "endraw") return p + *length;
    p = input[p] == '{' ? p + 1 : std::min(input.find('{', p), input.size());
  }
  return std::nullopt;
}

// The length of the complete construct at the start of `input`, if any.
std::optional<std::size_t> rule_jinja_tag(std::string_view input) {
  if (input.starts_with("{{")) return rule_expression_tag(input, "}}");
  if (input.starts_with("{#")) {
    const std::size_t closer = input.find("#}", 2);
    if (closer == std::string_view::npos) return std::nullopt;
    return closer + 2;
  }
  if (!input.starts_with("{%")) return std::nullopt;
  const auto length = rule_expression_tag(input, "%}");
  if (length && tag_name(input.substr(0, *length)) == "raw") return rule_raw_block(input, *length);
  return length;
}

// Tag text between stop bytes is skipped sixteen bytes at a time: every run
// length around one and two blocks, ended by each byte the scan must see.
TEST(ExpressionTag, StopBytesAreSeenAcrossBlockBoundaries) {
  const std::vector<std::string_view> runs = {"x", " ", "\xC3\xA9", "#"};
  const std::vector<std::string_view> enders = {
      "}}", "%}", "' }}", "\" }}", "( }}", ") }}", "[ }}", "] }}", "{ }}", "} }}", "'}}' }}", "% }}", "",
  };
  for (const std::string_view opener : {"{{", "{%"}) {
    const std::string_view closer = opener == "{{" ? "}}" : "%}";
    for (const auto run : runs) {
      for (std::size_t length = 0; length <= 40; ++length) {
        for (const auto ender : enders) {
          const std::string input = std::string(opener) + repeat(run, length) + std::string(ender);
          EXPECT_EQ(expression_tag(input, closer), rule_expression_tag(input, closer)) << input;
        }
      }
    }
  }
}

struct RuleWalk {
  std::vector<std::string_view> tags;
  bool closed_after_a_failed_scan = false;  // the same opener failed earlier in the walk
};

RuleWalk rule_embedded_tags(std::string_view text) {
  RuleWalk walk;
  bool failed[2] = {false, false};  // "{{", "{%"
  for (std::size_t pos = text.find('{'); pos != std::string_view::npos;) {
    const std::string_view rest = text.substr(pos);
    const int opener = rest.starts_with("{{") ? 0 : rest.starts_with("{%") ? 1 : -1;
    const auto length = rule_jinja_tag(rest);
    if (opener >= 0 && !length) failed[opener] = true;
    if (opener >= 0 && length && failed[opener]) walk.closed_after_a_failed_scan = true;
    const bool evaluated = opener == 0 || (opener == 1 && length && tag_name(rest.substr(0, *length)) != "raw");
    if (length && evaluated) walk.tags.push_back(rest.substr(0, *length));
    pos = text.find('{', pos + (length ? *length : 1));
  }
  return walk;
}

struct Piece {
  Piece(const char* t, double w = 1) : text(t), weight(w) {}  // NOLINT: implicit, for plain tables
  std::string_view text;
  double weight;
};

std::string random_text(std::mt19937& rng, const std::vector<Piece>& pieces, int count) {
  std::vector<double> weights;
  for (const Piece& p : pieces) weights.push_back(p.weight);
  std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
  std::string text;
  for (int k = 0; k < count; ++k) text += pieces[pick(rng)].text;
  return text;
}

// Random texts made of what the scanner reacts to: tags fail and close in
// every order, inside each other's quoted parts and brackets.
TEST(EmbeddedTags, AgreeWithTheRulesOnRandomTexts) {
  // Braces come often enough that openers and closers do.
  const std::vector<Piece> kPieces = {{"{", 6}, {"}", 6}, {"%", 3}, {"#"}, {"(", 2}, {")", 3}, {"["}, {"]"},
                                      {"'", 2}, {"\"", 1}, {"\\"}, {"x", 2}, {" ", 2}, {"endraw"}, {"raw"}};
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> pieces(1, 80);
  int closed_after_a_failed_scan = 0;
  for (int round = 0; round < 8000; ++round) {
    const std::string text = random_text(rng, kPieces, round % 10 == 0 ? 400 : pieces(rng));
    SCOPED_TRACE(text);
    const RuleWalk expected = rule_embedded_tags(text);
    ASSERT_EQ(embedded_tags(text), expected.tags);
    closed_after_a_failed_scan += expected.closed_after_a_failed_scan;
  }
  // The texts must reach the answers given after a failed scan.
  EXPECT_GT(closed_after_a_failed_scan, 600);
}

using detail::ClosedTag;
using detail::EndrawIndex;
using detail::TagScanIndex;

std::string describe(const std::optional<ClosedTag>& tag) {
  return tag ? std::to_string(tag->start) + "+" + std::to_string(tag->length) : "none";
}

std::string describe(const std::optional<std::size_t>& length) {
  return length ? std::to_string(*length) : "none";
}

// For every position, the first endraw tag at or after it whose own scan
// closes, found by scanning each tag separately.
std::vector<std::optional<ClosedTag>> closing_endraws_one_by_one(std::string_view text) {
  std::vector<std::optional<ClosedTag>> first_from(text.size() + 1);
  for (std::size_t pos = text.size() + 1; pos-- > 0;) {
    if (pos + 1 < first_from.size()) first_from[pos] = first_from[pos + 1];
    if (!detail::starts_endraw_tag(text, pos)) continue;
    if (const auto length = rule_expression_tag(text.substr(pos), "%}")) first_from[pos] = ClosedTag{pos, *length};
  }
  return first_from;
}

EndrawIndex endraw_index(std::string_view text) { return EndrawIndex(text, TagScanIndex(text, "{%", "%}")); }

// Texts dense in what a tag scan reacts to, so that scans start inside each
// other's quoted parts, sit at many depths and meet again; each scan index
// must answer as one scan per opener, each endraw index as one scan per
// endraw tag, from every position.
TEST(TagScanIndex, MatchesOneScanPerOpenerAndEndrawTag) {
  const std::vector<Piece> kPieces = {
      "{{", "{{ (", "{%", "{% (", {"}}", 3}, {"%}", 3}, "(", {")", 2}, "[", {"]", 2}, "{", {"}", 2}, "'", "\"", "\\",
      "%", " ", "x", "{% endraw", "{% endraw (", "{%- endraw", "{%endraw%}", "{% endraw %}", "{% endraw '",
  };
  const std::vector<std::pair<std::string_view, std::string_view>> kinds = {{"{{", "}}"}, {"{%", "%}"}};
  std::mt19937 rng(77);
  std::uniform_int_distribution<int> pieces(1, 60);
  int closing = 0;
  int open = 0;
  int later_endraw_closes = 0;  // the first endraw tag does not close, a later one does
  int no_endraw_closes = 0;     // endraw tags present, none closes
  for (int round = 0; round < 6000; ++round) {
    const std::string text = random_text(rng, kPieces, round % 10 == 0 ? 400 : pieces(rng));
    SCOPED_TRACE(text);
    for (const auto& [opener, closer] : kinds) {
      const TagScanIndex index(text, opener, closer);
      for (std::size_t pos = text.find(opener); pos != std::string::npos; pos = text.find(opener, pos + 1)) {
        const auto expected = rule_expression_tag(std::string_view(text).substr(pos), closer);
        ASSERT_EQ(describe(index.length_at(pos)), describe(expected)) << opener << " at " << pos;
        ++(expected ? closing : open);
      }
    }
    const auto expected = closing_endraws_one_by_one(text);
    const EndrawIndex index = endraw_index(text);
    for (std::size_t from = 0; from <= text.size(); ++from) {
      ASSERT_EQ(describe(index.first_closing_from(from)), describe(expected[from])) << "from " << from;
    }
    std::size_t first = 0;
    while (first < text.size() && !detail::starts_endraw_tag(text, first)) ++first;
    if (first == text.size()) continue;
    later_endraw_closes += expected[0] && expected[0]->start != first;
    no_endraw_closes += !expected[0];
  }
  // The hard outcomes must be common for the comparison to mean much.
  EXPECT_GT(closing, 50000);
  EXPECT_GT(open, 45000);
  EXPECT_GT(later_endraw_closes, 1300);
  EXPECT_GT(no_endraw_closes, 350);
}

}  // namespace
}  // namespace trelm::lexer
