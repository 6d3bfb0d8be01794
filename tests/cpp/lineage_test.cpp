#include "query/lineage.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "query/column_refs.hpp"
#include "query/navigation.hpp"
#include "support/parsed.hpp"

namespace trelm::query {
namespace {

using testing::parse_ok;

// Every Open is paired with its Close, and the walk gives back every lock
// it took: a writer can lock each node right after.
TEST(Lineage, FlatViewPairsNodesAndReleasesLocks) {
  cst::Document doc = parse_ok("select f((a), [b]) {% if x %}, c{% endif %} from (select 1) s");
  std::vector<Lexeme> lex;
  {
    auto lock = doc.root->read_lock();
    lex = flatten(doc.root->children);
  }
  std::size_t opens = 0;
  for (std::size_t i = 0; i < lex.size(); ++i) {
    if (lex[i].type != Lexeme::Type::Open) continue;
    ++opens;
    ASSERT_LT(i, lex[i].partner);
    EXPECT_EQ(lex[lex[i].partner].type, Lexeme::Type::Close);
    EXPECT_EQ(lex[lex[i].partner].partner, i);
    EXPECT_EQ(lex[lex[i].partner].tag, lex[i].tag);
    auto write = lex[i].node->write_lock();
  }
  EXPECT_GT(opens, 8u);
}

// A buffer flattened into again holds the new piece alone, as a fresh
// flatten gives it, whether the last piece was longer or shorter.
TEST(Lineage, AKeptBufferHoldsTheLastPieceAlone) {
  cst::Document doc = parse_ok("select f((a), [b]) as x, c from t");
  cst::NodeRef select = testing::first_select(doc);
  const std::vector<cst::NodeRef> items = testing::items_of(select);
  ASSERT_GE(items.size(), 2u);
  LexemeBuffer buffer;
  for (const cst::NodeRef& item : {items[0], items[1], items[0]}) {
    auto lock = item->read_lock();
    const std::vector<Lexeme> fresh = flatten(item->children);
    flatten_into(item->children, 0, cst::npos, buffer);
    ASSERT_EQ(buffer.lexemes.size(), fresh.size());
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      EXPECT_EQ(buffer.lexemes[i].text, fresh[i].text);
      EXPECT_EQ(buffer.lexemes[i].partner, fresh[i].partner);
      EXPECT_EQ(buffer.lexemes[i].node, fresh[i].node);
    }
    EXPECT_TRUE(buffer.frames.empty());
  }
}

struct KindCase {
  std::string item;
  ColumnKind kind;
  std::size_t references;
};

TEST(Lineage, ItemKinds) {
  const std::vector<KindCase> cases = {
      {"t.a", ColumnKind::Direct, 1},         {"a AS b", ColumnKind::Renamed, 1},
      {"a + b AS c", ColumnKind::Expression, 2}, {"max(a) AS m", ColumnKind::Aggregate, 1},
      {"1 AS one", ColumnKind::Constant, 0},  {"t.* except (a)", ColumnKind::Star, 1},
      {"{{ x }} AS y", ColumnKind::Templated, 0}, {"lag(a) over (order by b) AS p", ColumnKind::Aggregate, 2},
      // A function's name in any case: its bare date part or mode is no column.
      {"DATE_TRUNC(month, d) AS m", ColumnKind::Expression, 1}, {"Extract(Year from d) AS y", ColumnKind::Expression, 1},
      {"WEEK(monday) AS w", ColumnKind::Constant, 0},
  };
  for (const KindCase& c : cases) {
    cst::Document doc = parse_ok("select " + c.item + " from t");
    cst::NodeRef select = testing::first_select(doc);
    cst::NodeRef item = testing::items_of(select).front();
    auto lock = item->read_lock();
    ItemLineage found = item_lineage(item->children);
    EXPECT_EQ(found.kind, c.kind) << c.item;
    EXPECT_EQ(found.references.size(), c.references) << c.item;
  }
}

// A select item read for a file's lineage (a plain reference without a
// scan) reads as the scan of its lexemes does.
TEST(Lineage, ItemViewsReadAsTheScan) {
  const std::vector<std::string> items = {
      "id",        "t.id",          "s.t.id",         "\"Quoted\".\"I\"\"d\"", "a . /* c */ b", "t.id AS ID",
      "t.id other", "null",         "over",           "\"\"",                   "day",          "current_date",
      "a.b.c.d",   "`x`.y AS z",    "x AS \"x\"",     "t.* except (a)",         "a.b.",          "a + b AS c",
      "'x'",       "1 AS one",      "'a'.b",          "null AS n",              "2 x",           "'a' 'b'",
  };
  for (const std::string& text : items) {
    SCOPED_TRACE(text);
    cst::Document doc = parse_ok("select " + text + " from t");
    cst::NodeRef item = testing::items_of(testing::first_select(doc)).front();
    auto lock = item->read_lock();
    const ItemLineage scanned = item_lineage(item->children);
    std::optional<std::string_view> name;
    LexemeBuffer buffer;
    std::vector<RefView> refs;
    std::vector<std::string_view> excluded;
    KeptTexts kept;
    EXPECT_EQ(item_lineage_views(item->children, name, buffer, refs, excluded, kept), scanned.kind);
    ASSERT_EQ(refs.size(), scanned.references.size());
    for (std::size_t i = 0; i < refs.size(); ++i) {
      const ColumnRef viewed = owned(refs[i]);
      EXPECT_EQ(viewed.qualifier, scanned.references[i].qualifier);
      EXPECT_EQ(viewed.name, scanned.references[i].name);
      EXPECT_EQ(viewed.range, scanned.references[i].range);
      EXPECT_EQ(viewed.clause, scanned.references[i].clause);
    }
  }
}

}  // namespace
}  // namespace trelm::query
