#include "parser/query_builder.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "parser/select_items.hpp"
#include "support/parsed.hpp"
#include "tree/clause_keywords.hpp"

namespace trelm::parser {
namespace {

using cst::Children;
using cst::NodeRef;
using cst::NodeTag;
using testing::child_at;
using testing::parse_ok;

// The clause names of the first top-level query, joined by "|"; "-" when the
// root holds no query.
std::string clause_names(std::string_view text) {
  cst::Document doc = parse_ok(text);
  auto root_lock = doc.root->read_lock();
  for (const cst::Child& c : doc.root->children) {
    if (!c.is_node_tag(NodeTag::Query)) continue;
    auto query_lock = c.node()->read_lock();
    std::string names;
    for (const cst::Child& q : c.node()->children) {
      if (!q.is_node()) continue;
      auto clause_lock = q.node()->read_lock();
      if (!names.empty()) names += '|';
      names += q.node()->kind.tag == NodeTag::Clause ? q.node()->kind.name() : "<not a clause>";
    }
    return names;
  }
  return "-";
}

TEST(QueryBuilding, NamesClausesAfterTheirKeywords) {
  const std::vector<std::pair<std::string_view, std::string_view>> cases = {
      {"select a from t where x group by a having count(*) > 1 qualify r = 1 order by a limit 5 offset 2",
       "SELECT|FROM|WHERE|GROUP BY|HAVING|QUALIFY|ORDER BY|LIMIT|OFFSET"},
      {"select a window w as (partition by b) order by a", "SELECT|WINDOW|ORDER BY"},
      {"Select 1 Union All select 2", "SELECT|UNION ALL|SELECT"}, {"select 1 union select 2", "SELECT|UNION|SELECT"},
      {"select 1 union distinct select 2", "SELECT|UNION DISTINCT|SELECT"},
      {"select 1 intersect distinct select 2", "SELECT|INTERSECT DISTINCT|SELECT"},
      {"select 1 minus select 2", "SELECT|MINUS|SELECT"},
      {"select a except all select b", "SELECT|EXCEPT ALL|SELECT"},
      {"select 1 union /* c */\n all select 2", "SELECT|UNION ALL|SELECT"}, {"select 1 union", "SELECT|UNION"},
      {"select * except (a) from t", "SELECT|FROM"}, {"select a except select b", "SELECT|EXCEPT|SELECT"},
      {"select count(*) except select 1", "SELECT|EXCEPT|SELECT"},
      {"select a is distinct from b from t", "SELECT|FROM"}, {"select a is DISTINCT FROM b", "SELECT"},
      {"select t.from, x.order by", "SELECT"}, {"select a group b", "SELECT"}, {"select a group", "SELECT"},
      {"select \"from\" x", "SELECT"},  // a quoted word is no keyword
      {"select a order\n-- c\nBY b", "SELECT|ORDER BY"}, {"select a order (by) b", "SELECT"},
      {"with (select 1) select 2", "WITH|SELECT"}, {"WITH Recursive", "WITH RECURSIVE"}, {"with", "WITH"},
      // "with" is a keyword only where the query starts.
      {"select 1 with x", "SELECT"}, {"select a from (select b from c where d) where e", "SELECT|FROM|WHERE"},
  };
  for (const auto& [input, names] : cases) EXPECT_EQ(clause_names(input), names) << input;
}

// Every row of the keyword table, in three spellings: each is recognised
// where a clause may start, and refused in a stand-alone select item unless
// it is a keyword only where a query starts.
TEST(QueryBuilding, EveryClauseNameIsRecognisedInAnyCaseAndRefusedInAnItem) {
  const auto spellings = [](std::string_view name) {
    std::string lower(name), mixed(name);
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (name[i] >= 'A' && name[i] <= 'Z') lower[i] = static_cast<char>(name[i] + 32);
      if (i % 2 == 1) mixed[i] = lower[i];
    }
    return std::vector<std::string>{std::string(name), lower, mixed};
  };
  for (const cst::ClauseName& row : cst::kClauseNames) {
    for (const std::string& word : spellings(row.name)) {
      if (row.opens_query_only) {
        EXPECT_EQ(clause_names(word + " x as (select 1) select 2"), std::string(row.name) + "|SELECT") << word;
        continue;
      }
      EXPECT_EQ(clause_names("select a " + word + " b"), "SELECT|" + std::string(row.name)) << word;
      const SelectItemResult item = parse_select_item("a " + word + " b");
      const auto* err = std::get_if<ParseError>(&item);
      ASSERT_NE(err, nullptr) << word;
      EXPECT_EQ(err->message, "a select item cannot contain a clause keyword") << word;
    }
  }
}

TEST(QueryBuilding, ClauseShapesAndSelectModifiers) {
  const std::vector<std::pair<std::string_view, std::string_view>> cases = {
      {"select a,\n  b -- last\nfrom t",
       R"d(Query[Clause(SELECT)["select" " " SelectItem["a"] "," "\n  " SelectItem["b"] " " "-- last"] "\n" )d"
       R"d(Clause(FROM)["from" " " "t"]])d"},
      {"select a from t\n{% if flag %}\nwhere b > 1\n{% endif %}",
       R"d(Query[Clause(SELECT)["select" " " SelectItem["a"]] " " Clause(FROM)["from" " " "t" "\n" )d"
       R"d(JinjaBlock[JinjaBranch["{% if flag %}" "\n" "where" " " "b" " " ">" " " "1" "\n"] "{% endif %}"]]])d"},
      {"select 1\nunion all -- both\n\nselect 2",
       R"d(Query[Clause(SELECT)["select" " " SelectItem["1"]] "\n" Clause(UNION ALL)["union" " " "all" " " )d"
       R"d("-- both"] "\n\n" Clause(SELECT)["select" " " SelectItem["2"]]])d"},
      {"select a /* x */ -- y\n/* z */ from t",
       R"d(Query[Clause(SELECT)["select" " " SelectItem["a"] " " "/* x */" " " "-- y"] "\n" "/* z */" " " )d"
       R"d(Clause(FROM)["from" " " "t"]])d"},
      {"select a group by b",
       R"d(Query[Clause(SELECT)["select" " " SelectItem["a"]] " " Clause(GROUP BY)["group" " " "by" " " "b"]])d"},
      {"select distinct on (a) a, b from t",
       R"d(Query[Clause(SELECT)["select" " " "distinct" " " "on" " " Paren["(" "a" ")"] " " SelectItem["a"] "," )d"
       R"d(" " SelectItem["b"]] " " Clause(FROM)["from" " " "t"]])d"},
      {"select distinct on a", R"d(Query[Clause(SELECT)["select" " " "distinct" " " SelectItem["on" " " "a"]]])d"},
      {"select distinct top 10 a, b",
       R"d(Query[Clause(SELECT)["select" " " "distinct" " " "top" " " "10" " " SelectItem["a"] "," " " )d"
       R"d(SelectItem["b"]]])d"},
      {"select all a", R"d(Query[Clause(SELECT)["select" " " "all" " " SelectItem["a"]]])d"},
      {"SELECT Distinct ALL a", R"d(Query[Clause(SELECT)["SELECT" " " "Distinct" " " "ALL" " " SelectItem["a"]]])d"},
      {"select top (5) a",
       R"d(Query[Clause(SELECT)["select" " " "top" " " Paren["(" "5" ")"] " " SelectItem["a"]]])d"},
      {"select top", R"d(Query[Clause(SELECT)["select" " " "top"]])d"},
      {"select distinct", R"d(Query[Clause(SELECT)["select" " " "distinct"]])d"},
      {"select 'x' distinct", R"d(Query[Clause(SELECT)["select" " " SelectItem["'x'" " " "distinct"]]])d"},
      {"select (a) distinct", R"d(Query[Clause(SELECT)["select" " " SelectItem[Paren["(" "a" ")"] " " "distinct"]]])d"},
      {"select {{ x }} all", R"d(Query[Clause(SELECT)["select" " " SelectItem["{{ x }}" " " "all"]]])d"},
      {"with recursive r as (select 1) select * from r",
       R"d(Query[Clause(WITH RECURSIVE)["with" " " "recursive" " " Cte["r" " " "as" " " Paren["(" )d"
       R"d(Query[Clause(SELECT)["select" " " SelectItem["1"]]] ")"]]] " " Clause(SELECT)["select" " " )d"
       R"d(SelectItem["*"]] " " Clause(FROM)["from" " " "r"]])d"},
      {"with a as (select 1), b as (select 2) select * from b",
       R"d(Query[Clause(WITH)["with" " " Cte["a" " " "as" " " Paren["(" Query[Clause(SELECT)["select" " " )d"
       R"d(SelectItem["1"]]] ")"]] "," " " Cte["b" " " "as" " " Paren["(" Query[Clause(SELECT)["select" " " )d"
       R"d(SelectItem["2"]]] ")"]]] " " Clause(SELECT)["select" " " SelectItem["*"]] " " )d"
       R"d(Clause(FROM)["from" " " "b"]])d"},
      {"select (select 1) x",
       R"d(Query[Clause(SELECT)["select" " " SelectItem[Paren["(" Query[Clause(SELECT)["select" " " )d"
       R"d(SelectItem["1"]]] ")"] " " "x"]]])d"},
      {"( select 1 -- c\n )",
       R"d(Paren["(" " " Query[Clause(SELECT)["select" " " SelectItem["1"] " " "-- c"]] "\n " ")"])d"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(testing::root_dump(input), expected) << input;
}

TEST(QueryBuilding, ModelFileNodeByNode) {
  const std::string_view text =
      "{{ config(a=1) }}\n\nwith src as (\n    select * from {{ ref('x') }}\n)\n"
      "select id, name as n -- cols\nfrom src\nwhere id > 0";
  cst::Document doc = parse_ok(text);
  struct Step {
    std::vector<std::size_t> path;  // from the root
    std::string_view expected;      // dump of the node's children
  };
  const std::vector<Step> steps = {
      {{}, R"d("{{ config(a=1) }}" "\n\n" Query[...])d"},
      {{2}, R"d(Clause(WITH)[...] "\n" Clause(SELECT)[...] "\n" Clause(FROM)[...] "\n" Clause(WHERE)[...])d"},
      {{2, 0}, R"d("with" " " Cte[...])d"}, {{2, 0, 2}, R"d("src" " " "as" " " Paren[...])d"},
      {{2, 0, 2, 4}, R"d("(" "\n    " Query[...] "\n" ")")d"},
      {{2, 0, 2, 4, 2}, R"d(Clause(SELECT)[...] " " Clause(FROM)[...])d"},
      {{2, 0, 2, 4, 2, 0}, R"d("select" " " SelectItem[...])d"}, {{2, 0, 2, 4, 2, 0, 2}, R"d("*")d"},
      {{2, 0, 2, 4, 2, 2}, R"d("from" " " "{{ ref('x') }}")d"},
      {{2, 2}, R"d("select" " " SelectItem[...] "," " " SelectItem[...] " " "-- cols")d"}, {{2, 2, 2}, R"d("id")d"},
      {{2, 2, 5}, R"d("name" " " "as" " " "n")d"}, {{2, 4}, R"d("from" " " "src")d"},
      {{2, 6}, R"d("where" " " "id" " " ">" " " "0")d"},
  };
  // One level per step: nested nodes show as Kind[...].
  for (const Step& step : steps) {
    NodeRef node = child_at(doc.root, step.path);
    ASSERT_NE(node, nullptr) << "path of length " << step.path.size();
    auto lock = node->read_lock();
    EXPECT_EQ(testing::dump(node->children, false), step.expected) << "path of length " << step.path.size();
  }
}

TEST(QueryBuilding, DeeplyNestedSubqueries) {
  constexpr std::size_t kDepth = 100000;
  const std::string text = "select " + testing::repeat("(select ", kDepth) + "1" + std::string(kDepth, ')') + " from t";
  cst::Document doc = parse_ok(text);
  // Every level: query -> SELECT -> item -> paren -> query.
  NodeRef query = child_at(doc.root, {0});
  std::size_t depth = 0;
  while (query != nullptr) {
    {
      auto lock = query->read_lock();
      ASSERT_EQ(query->kind.tag, NodeTag::Query) << "depth " << depth;
    }
    NodeRef item = child_at(query, {0, 2});
    ASSERT_NE(item, nullptr) << "depth " << depth;
    query = child_at(item, {0, 1});
    ++depth;
  }
  EXPECT_EQ(depth, kDepth + 1);
  EXPECT_EQ(clause_names(text), "SELECT|FROM");
}

}  // namespace
}  // namespace trelm::parser
