#include "lexer/jinja_tags.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lexer/endraw_index.hpp"

namespace trelm::lexer {
namespace {

using Outcome = TagMatch::Outcome;
using cst::TokenKind;

TEST(TagName, ReadsTheNameAfterOneMarkAndSpaces) {
  const std::vector<std::pair<std::string_view, std::optional<std::string_view>>> cases = {
      {"{% if x %}", "if"}, {"{%- endfor -%}", "endfor"}, {"{%raw%}", "raw"}, {"{%+ else %}", "else"},
      {"{%\t\r\n  for x in y %}", "for"}, {"{% if_1 %}", "if_1"}, {"{% endraw(x) %}", "endraw"},
      {"{% \xC3\xA9lan %}", "\xC3\xA9lan"},   // non-ASCII letters belong to the name
      {"{% x\xC2\xB2 %}", "x\xC2\xB2"},       // so do non-ASCII numerics
      {"{% a\xC2\xA7 %}", "a"},               // a section sign ends it
      {"{% RAW %}", "RAW"},                   // case is kept
      {"{% 'x' %}", std::nullopt},
      {"{% - raw %}", std::nullopt},          // the mark must follow "{%" directly
      {"{%-- if %}", std::nullopt},           // only one mark is skipped
      {"{%  %}", std::nullopt}, {"{%", std::nullopt}, {"{{ if }}", std::nullopt}, {"", std::nullopt},
      {"{%\x0B if %}", std::nullopt},         // vertical tab is not skipped
  };
  for (const auto& [text, name] : cases) EXPECT_EQ(tag_name(text), name) << text;
}

struct ExpressionCase {
  std::string_view input;
  std::string_view closer;
  std::optional<std::size_t> length;
};

TEST(ExpressionTag, FindsTheCloserAtDepthZeroOutsideQuotes) {
  const std::vector<ExpressionCase> cases = {
      {"{{ x }}", "}}", 7}, {"{{}}", "}}", 4}, {"{% a %}", "%}", 7}, {"{%%}", "%}", 4},
      {"{%}", "%}", std::nullopt},             // the opener's "%" is never looked at
      {"{{ x }}}", "}}", 7}, {"{{ x }} y }}", "}}", 7}, {"{{ '}}' }}", "}}", 10},
      {"{{ \"\\\"}}\" }}", "}}", 12},         // an escaped quote does not end the part
      {"{{ {'a': '}}'} }}", "}}", 17}, {"{{ f( }}", "}}", std::nullopt}, {"{{ f( }} ) }}", "}}", 13},
      {"{{ } }}", "}}", 7},                   // depth never goes below zero
      {"{{ ) ( }}", "}}", std::nullopt},    // ")" at depth 0 is lost, "(" is not
      {"{{ ) ( ] }}", "}}", 11},
      {"{{ { }} }}", "}}", 10},               // "}}" at depth 1 closes the brace first
      {"{{ [a] }}", "}}", 9},
      {"{{ 'x }}", "}}", std::nullopt},       // unclosed quote hides every closer
      {"{{ 'x\\", "}}", std::nullopt},        // backslash at the very end
      {"{% if '%}' %}", "%}", 13}, {"{% x }}", "%}", std::nullopt}, {"{{", "}}", std::nullopt},
      {"", "}}", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(expression_tag(c.input, c.closer), c.length);
  }
}

struct JinjaTagCase {
  std::string_view input;
  Outcome outcome;
  std::size_t length;      // Success
  TokenKind kind;          // Success
  std::string_view message;  // Failure
};

TEST(JinjaTag, RecognizesEachConstruct) {
  const auto ok = [](std::string_view in, std::size_t len, TokenKind k) {
    return JinjaTagCase{in, Outcome::Success, len, k, {}};
  };
  const auto fail = [](std::string_view in, std::string_view msg) {
    return JinjaTagCase{in, Outcome::Failure, 0, TokenKind::JinjaExpression, msg};
  };
  const auto none = [](std::string_view in) {
    return JinjaTagCase{in, Outcome::NoMatch, 0, TokenKind::JinjaExpression, "syntax error"};
  };
  const std::vector<JinjaTagCase> cases = {
      ok("{{ x }} rest", 7, TokenKind::JinjaExpression), ok("{% if x %}a", 10, TokenKind::JinjaStatement),
      ok("{# c #}", 7, TokenKind::JinjaComment), ok("{% raw %}{{ x {% endraw %}z", 26, TokenKind::JinjaRaw),
      ok("{% raw whatever %}{%endraw%}", 28, TokenKind::JinjaRaw),
      ok("{% raw %}{% raw %}{% endraw %}{% endraw %}", 30, TokenKind::JinjaRaw),
      ok("{% raw %}{% endrawx %}{% endraw %}", 34, TokenKind::JinjaRaw),
      ok("{% raw %}{% ENDRAW %}{% endraw %}", 33, TokenKind::JinjaRaw),
      // A candidate whose scan never closes is passed over.
      ok("{% raw %}{% endraw ( %}{% endraw %} )", 35, TokenKind::JinjaRaw),
      ok("{% RAW %}x", 9, TokenKind::JinjaStatement), ok("{% rawx %}", 10, TokenKind::JinjaStatement),
      fail("{{ x", "unterminated `{{` tag"), fail("{% if", "unterminated `{%` tag"),
      fail("{#}", "unterminated `{#` comment"), fail("{% raw %}{% endraw", "unterminated `{% raw %}` block"),
      fail("{% raw %}{% endraw ( %}", "unterminated `{% raw %}` block"), none("{ {"), none("x{{ y }}"), none(""),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const TagMatch m = jinja_tag(c.input);
    ASSERT_EQ(m.outcome, c.outcome);
    if (c.outcome == Outcome::Success) {
      EXPECT_EQ(m.length, c.length);
      EXPECT_EQ(m.kind, c.kind);
    } else {
      EXPECT_EQ(m.message, c.message);
    }
  }
}

TEST(EmbeddedTags, ListsCompleteConstructsAndSkipsTheRest) {
  const std::vector<std::pair<std::string_view, std::vector<std::string_view>>> cases = {
      {"-- {{ ref('a') }} and {{ broken", {"{{ ref('a') }}"}},
      {"a {# c #} {% if x %} {{ y }}", {"{# c #}", "{% if x %}", "{{ y }}"}}, {"{{ {{ x }}", {"{{ x }}"}},
      {"{% raw %}{{ x }}{% endraw %}", {"{% raw %}{{ x }}{% endraw %}"}}, {"{% raw %} {{ a }}", {"{{ a }}"}},
      {"{% raw %}{% raw %}{{ b }}", {"{{ b }}"}},
      // A failed scan must not hide a later tag that does close.
      {"{{ ( }} {{ y }}", {"{{ y }}"}}, {"{% ( %} {% y %}", {"{% y %}"}}, {"{# a {# b #}", {"{# a {# b #}"}},
      {"{#} {# c #}", {"{#} {# c #}"}}, {"{#} x", {}}, {"{ } {", {}}, {"", {}},
  };
  for (const auto& [text, tags] : cases) EXPECT_EQ(embedded_tags(text), tags) << text;
  const std::string text = "x {{ a }} y";  // slices point into the text
  EXPECT_EQ(embedded_tags(text).at(0).data(), text.data() + 2);
}

using detail::EndrawIndex;
using detail::EndrawTag;

// For every position, the first endraw tag at or after it whose own scan
// closes, found by scanning each tag separately.
std::vector<std::optional<EndrawTag>> closing_endraws_one_by_one(std::string_view text) {
  std::vector<std::optional<EndrawTag>> first_from(text.size() + 1);
  for (std::size_t pos = text.size() + 1; pos-- > 0;) {
    if (pos + 1 < first_from.size()) first_from[pos] = first_from[pos + 1];
    if (!detail::starts_endraw_tag(text, pos)) continue;
    if (const auto length = expression_tag(text.substr(pos), "%}")) first_from[pos] = EndrawTag{pos, *length};
  }
  return first_from;
}

std::string describe(const std::optional<EndrawTag>& tag) {
  return tag ? std::to_string(tag->start) + "+" + std::to_string(tag->length) : "none";
}

// Texts dense in what a tag scan reacts to, so that scans start inside each
// other's quoted parts, sit at many depths and meet again.
TEST(EndrawIndex, MatchesOneScanPerTagFromEveryPosition) {
  const std::vector<std::string_view> kPieces = {
      "{% endraw", "{% endraw (", "{%- endraw", "{%endraw%}", "{% endraw %}", "{% endraw '",
      "(", ")", "[", "]", "{", "}", "'", "\"", "\\", "%}", "%", " ", "x", "{% raw %}", "{%",
  };
  std::mt19937 rng(424242);
  std::uniform_int_distribution<std::size_t> pick(0, kPieces.size() - 1);
  std::uniform_int_distribution<int> pieces(1, 60);
  int later_tag_closes = 0;  // the first endraw tag does not close, a later one does
  int none_closes = 0;       // endraw tags present, none closes
  for (int round = 0; round < 6000; ++round) {
    std::string text;
    for (int k = round % 10 == 0 ? 400 : pieces(rng); k > 0; --k) text += kPieces[pick(rng)];
    SCOPED_TRACE(text);
    const auto expected = closing_endraws_one_by_one(text);
    const EndrawIndex index(text);
    for (std::size_t from = 0; from <= text.size(); ++from) {
      ASSERT_EQ(describe(index.first_closing_from(from)), describe(expected[from])) << "from " << from;
    }
    std::size_t first = 0;
    while (first < text.size() && !detail::starts_endraw_tag(text, first)) ++first;
    if (first == text.size()) continue;
    if (!expected[0]) {
      ++none_closes;
    } else if (expected[0]->start != first) {
      ++later_tag_closes;
    }
  }
  // Both hard outcomes must be common for the comparison to mean much.
  EXPECT_GT(later_tag_closes, 1500);
  EXPECT_GT(none_closes, 250);
}

struct EndrawIndexCase {
  std::string text;
  std::size_t from;
  std::optional<EndrawTag> first;
};

TEST(EndrawIndex, FindsTheFirstClosingTag) {
  const std::vector<EndrawIndexCase> cases = {
      {"", 0, std::nullopt}, {"{% endraw %}", 0, EndrawTag{0, 12}}, {"{% endraw %}", 1, std::nullopt},
      {"{% endraw ( %}{% endraw %}", 0, EndrawTag{14, 12}},
      // The "(" is closed later, so the first tag spans the second.
      {"{% endraw ( %}{% endraw %} ) %}", 0, EndrawTag{0, 31}},
      // The second tag starts inside the first one's quoted part.
      {"{% endraw ' {% endraw %}", 0, EndrawTag{12, 12}}, {"{% endraw ' {% endraw ' %}", 0, EndrawTag{0, 26}},
      {"{% endraw \"\\\" {% endraw %}\" %}", 0, EndrawTag{0, 30}},
      // The scans swap in and out of quoted parts; only the second sees a closer.
      {"{% endraw ' {% endraw \"'\" %}", 0, EndrawTag{12, 16}},
      {"{% endraw ) ) %}", 0, EndrawTag{0, 16}},  // depth stays at 0
      {"{% endraw } %}", 0, EndrawTag{0, 14}}, {"{% endraw %", 0, std::nullopt},
      {"{% endrawx %}{% ENDRAW %}", 0, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(describe(EndrawIndex(c.text).first_closing_from(c.from)), describe(c.first));
  }
}

}  // namespace
}  // namespace trelm::lexer
