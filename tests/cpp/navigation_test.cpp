#include "query/navigation.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "support/parsed.hpp"

namespace trelm::query {
namespace {

using cst::Children;
using cst::NodeRef;
using cst::NodeTag;
using cst::Token;
using cst::TokenKind;
using testing::parse_ok;

// Lexed and grouped: no query structure, so these lists test navigation alone.
Children build(std::string_view text) { return testing::grouped(text); }

std::vector<std::string> texts(const std::vector<NodeRef>& nodes) {
  std::vector<std::string> out;
  for (const NodeRef& n : nodes) out.push_back(cst::node_text(n));
  return out;
}

std::optional<std::string> text_of(const std::optional<NodeRef>& node) {
  return node ? std::optional(cst::node_text(*node)) : std::nullopt;
}

std::vector<std::string> clause_names(const std::vector<NodeRef>& nodes) {
  std::vector<std::string> out;
  for (const NodeRef& n : nodes) {
    auto lock = n->read_lock();
    out.emplace_back(n->kind.name());
  }
  return out;
}

TEST(CteNameTest, ReadsTheFirstSignificantChild) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"a as (x)", "a"}, {"Mixed AS (x)", "Mixed"}, {"\"A b\" as (x)", "A b"}, {"`q``t` as (x)", "q`t"},
      {"-- lead\n /* c */ b as (x)", "b"}, {"{{ name }} as (x)", std::nullopt}, {"'s' as (x)", std::nullopt},
      {"(x)", std::nullopt}, {"-- only a comment", std::nullopt}, {"", std::nullopt},
  };
  for (const auto& [cte, name] : cases) EXPECT_EQ(cte_name(build(cte)), name) << cte;
}

NodeRef paren_around(NodeRef inner) {
  return cst::make_node(NodeTag::Paren, {Token(TokenKind::LParen, "("), std::move(inner), Token(TokenKind::RParen, ")")});
}

TEST(CteQueryTest, SkipsParensWithoutADirectQuery) {
  NodeRef body = cst::make_node(NodeTag::Query, build("select 1"));
  Children cte = build("x (a, b) as ");
  cte.emplace_back(paren_around(body));
  auto found = cte_query(cte);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->get(), body.get());  // the node in the tree, not a copy

  // A query two parens down is not the body of this CTE.
  Children nested = build("x as ");
  nested.emplace_back(paren_around(paren_around(cst::make_node(NodeTag::Query, build("select 1")))));
  EXPECT_FALSE(cte_query(nested).has_value());

  // Only Paren children count, not a Bracket that holds a query.
  Children bracketed = build("x as ");
  bracketed.emplace_back(cst::make_node(NodeTag::Bracket, {cst::make_node(NodeTag::Query, build("select 1"))}));
  EXPECT_FALSE(cte_query(bracketed).has_value());
}

TEST(SelectItemsTest, KeepsOnlySelectItemNodes) {
  NodeRef a = cst::make_node(NodeTag::SelectItem, build("a"));
  NodeRef b = cst::make_node(NodeTag::SelectItem, build("b as c"));
  Children clause = build("select distinct (x) ");
  clause.emplace_back(a);
  clause.emplace_back(Token(TokenKind::Comma, ","));
  clause.emplace_back(cst::make_node(NodeTag::Cte, build("z")));
  clause.emplace_back(Token(TokenKind::Whitespace, " "));
  clause.emplace_back(b);
  auto items = select_items(clause);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].get(), a.get());
  EXPECT_EQ(items[1].get(), b.get());
}

TEST(NavigationTest, FindsTopLevelQueryAndAllQueriesInPreOrder) {
  struct Case {
    std::string source;
    std::optional<std::string> query;
    std::vector<std::string> queries;
  };
  const std::string with_two = "with a as (select 1), b as (select 2) select * from a";
  const std::vector<Case> cases = {
      {"", std::nullopt, {}}, {"{{ config(a=1) }}\n-- c\n{# x #}\n", std::nullopt, {}},
      {"select 1; select 2", "select 1", {"select 1", "select 2"}},
      {"{% if x %}select 1{% endif %}", std::nullopt, {"select 1"}},
      {"{{ config(a=1) }}\n\nselect a from t\n", "select a from t", {"select a from t"}},
      {with_two, with_two, {with_two, "select 1", "select 2"}},
      {"select 1 from (select 2) join (select 3)",
       "select 1 from (select 2) join (select 3)",
       {"select 1 from (select 2) join (select 3)", "select 2", "select 3"}},
      {"select (select (select 1) + (select 2))",
       "select (select (select 1) + (select 2))",
       {"select (select (select 1) + (select 2))", "select (select 1) + (select 2)", "select 1", "select 2"}},
      {"select 1 union all select 2", "select 1 union all select 2", {"select 1 union all select 2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    cst::Document doc = parse_ok(c.source);
    EXPECT_EQ(text_of(query(doc)), c.query);
    EXPECT_EQ(texts(queries(doc)), c.queries);
  }
}

TEST(NavigationTest, ListsClausesAndSelects) {
  struct Case {
    std::string source;
    std::vector<std::string> clauses;
    std::vector<std::string> selects;
  };
  const std::vector<Case> cases = {
      {"select 1 union all select 2", {"SELECT", "UNION ALL", "SELECT"}, {"select 1", "select 2"}},
      {"Select a From t Where b", {"SELECT", "FROM", "WHERE"}, {"Select a"}},
      {"with x as (select 1) select 2", {"WITH", "SELECT"}, {"select 2"}},
      {"with recursive r as (select 1) select * from r", {"WITH RECURSIVE", "SELECT", "FROM"}, {"select *"}},
      {"select 1 except select 2 intersect select 3",
       {"SELECT", "EXCEPT", "SELECT", "INTERSECT", "SELECT"},
       {"select 1", "select 2", "select 3"}},
      {"with a as (select 1)", {"WITH"}, {}},  // a WITH clause alone is still a query
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    cst::Document doc = parse_ok(c.source);
    auto q = query(doc);
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(clause_names(clauses(*q)), c.clauses);
    auto s = selects(*q);
    EXPECT_EQ(texts(s), c.selects);
    auto first = first_select(*q);
    EXPECT_EQ(first ? first->get() : nullptr, s.empty() ? nullptr : s.front().get());
  }
}

TEST(NavigationTest, FindsCtesByFoldedName) {
  struct Lookup {
    std::string name;
    int index;  // into ctes(), -1 when nothing is found
  };
  struct Case {
    std::string source;
    std::vector<std::optional<std::string>> names;
    std::vector<std::optional<std::string>> bodies;
    std::vector<Lookup> lookups;
  };
  const std::vector<Case> cases = {
      {"with a as (select 1), b as (select 2) select * from a",
       {"a", "b"}, {"select 1", "select 2"},
       {{"A", 0}, {"b", 1}, {"B", 1}, {"c", -1}, {" a", -1}, {"", -1}}},
      {"with \"a\" as (select 1) select 1", {"a"}, {"select 1"}, {{"A", 0}, {"\"a\"", -1}}},
      {"with \"A b\" as (select 1) select 1", {"A b"}, {"select 1"}, {{"a B", 0}, {"ab", -1}}},
      {"with `q``t` as (select 1) select 1", {"q`t"}, {"select 1"}, {{"Q`T", 0}}},
      {"with \"\xC3\x84\" as (select 1) select 1", {"\xC3\x84"}, {"select 1"}, {{"\xC3\x84", 0}, {"\xC3\xA4", -1}}},
      {"with {{ name }} as (select 1), x as (select 2) select 1",
       {std::nullopt, "x"}, {"select 1", "select 2"},
       {{"{{ name }}", -1}, {"name", -1}, {"X", 1}}},
      {"WITH RECURSIVE r AS (select 1 union all select 2) SELECT * FROM r",
       {"r"}, {"select 1 union all select 2"},
       {{"R", 0}}},
      {"with x (a, b) as (select 1, 2) select * from x", {"x"}, {"select 1, 2"}, {{"x", 0}}},
      {"with dup as (select 1), DUP as (select 2) select 1", {"dup", "DUP"}, {"select 1", "select 2"}, {{"Dup", 0}}},
      {"select 1", {}, {}, {{"a", -1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    cst::Document doc = parse_ok(c.source);
    auto q = query(doc);
    ASSERT_TRUE(q.has_value());
    auto all = ctes(*q);
    std::vector<std::optional<std::string>> names;
    std::vector<std::optional<std::string>> bodies;
    for (const NodeRef& node : all) {
      auto lock = node->read_lock();
      names.push_back(cte_name(node->children));
      auto body = cte_query(node->children);
      lock.unlock();  // the body's text takes its own locks
      bodies.push_back(text_of(body));
    }
    EXPECT_EQ(names, c.names);
    EXPECT_EQ(bodies, c.bodies);
    for (const Lookup& l : c.lookups) {
      SCOPED_TRACE("cte(\"" + l.name + "\")");
      auto found = cte(*q, l.name);
      EXPECT_EQ(found ? found->get() : nullptr, l.index < 0 ? nullptr : all.at(l.index).get());
    }
  }
}

// Readers navigate while a writer keeps replacing the SELECT list; every
// read goes through a lock, so (under a thread sanitizer in particular) this
// shows no race and no self-deadlock.
TEST(NavigationTest, ReadersAndAWriterShareTheTree) {
  cst::Document doc = parse_ok("with a as (select 1) select x, y from a");
  auto q = query(doc);
  ASSERT_TRUE(q.has_value());
  NodeRef select = first_select(*q).value();
  Children original;
  {
    auto lock = select->read_lock();
    original = select->children;
  }
  Children shorter(original.begin(), original.begin() + 3);  // "select" " " x

  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      auto lock = select->write_lock();
      select->children = (i % 2 == 0) ? shorter : original;
    }
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(queries(doc).size(), 2u);
        EXPECT_TRUE(cte(*q, "A").has_value());
        auto s = first_select(*q);
        auto lock = (*s)->read_lock();
        auto n = select_items((*s)->children).size();
        EXPECT_TRUE(n == 1 || n == 2);
      }
    });
  }
  writer.join();
  for (auto& t : readers) t.join();
}

TEST(NavigationTest, DeeplyNestedSubqueries) {
  constexpr std::size_t kDepth = 100000;
  const std::string source = "select " + testing::repeat("(select ", kDepth) + "1" + std::string(kDepth, ')');
  cst::Document doc = parse_ok(source);
  EXPECT_TRUE(query(doc).has_value());
  auto all = queries(doc);
  ASSERT_EQ(all.size(), kDepth + 1);
  // Pre-order: each query is nested in the one before it, so the texts shrink.
  EXPECT_EQ(cst::node_text(all.back()), "select 1");
  EXPECT_EQ(cst::node_text(all.front()), source);
}

}  // namespace
}  // namespace trelm::query
