#include "query/file_lineage.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "query/lineage.hpp"
#include "query/navigation.hpp"
#include "support/parsed.hpp"

namespace trelm::query {
namespace {

using testing::parse_ok;

// `kind:owner.column via a>b *(reason)`, each origin joined by "; ".
std::string rendered(const std::vector<LineageOrigin>& origins) {
  std::string out;
  for (const LineageOrigin& o : origins) {
    if (!out.empty()) out += "; ";
    out += o.kind + ":";
    if (!o.source_name.empty()) out += o.source_name + ".";
    if (!o.name.empty()) out += o.name + ".";
    out += o.column;
    for (std::size_t i = 0; i < o.via.size(); ++i) {
      out.append(i == 0 ? " via " : ">");
      out.append(o.via[i]);
    }
    if (o.star) out += " *";
    if (o.reason) {
      out.append(" (");
      out.append(*o.reason);
      out.append(")");
    }
  }
  return out;
}

struct Case {
  std::string text;
  std::string column;   // whose origins are checked
  std::string names;    // every output column, joined by ","
  std::string origins;  // as rendered()
  std::optional<RefColumns> refs = std::nullopt;
};

TEST(FileLineage, ResolvesEachOutputColumnWithinTheFile) {
  std::string many_refs = "c0";
  std::string many_origins = "ref:x.c0";
  for (int i = 1; i < 12; ++i) {
    many_refs += " + c" + std::to_string(i);
    many_origins += "; ref:x.c" + std::to_string(i);
  }
  for (int i = 11; i >= 0; --i) many_refs += " - c" + std::to_string(i);
  const std::vector<Case> cases = {
      {"with a as (select id, amount from {{ source('shop', 'orders') }}),\n"
       "b as (select id, amount * 2 as doubled from a)\nselect id, doubled from b",
       "doubled", "id,doubled", "source:shop.orders.amount via b>a"},
      {"select id from {{ ref('x') }} union all select user_id from {{ source('s', 't') }}", "id", "id",
       "ref:x.id; source:s.t.user_id"},
      {"select p.name, c.code as child from {{ ref('nodes') }} p join {{ ref('nodes') }} c on c.parent = p.id",
       "child", "name,child", "ref:nodes.code"},
      {"select total from (select sum(amount) as total from {{ source('s', 'pay') }}) as t", "total", "total",
       "source:s.pay.amount via t"},
      {"with a as (select id, secret, name from {{ source('s', 'u') }}) select * except (secret) from a", "name",
       "id,name", "source:s.u.name via a"},
      {"select id {% if var('wide') %}, extra{% endif %} from {{ source('s', 't') }}", "extra", "id,extra",
       "source:s.t.extra"},
      {"select name from {{ source('s', 'a') }} join {{ source('s', 'b') }} on a.id = b.id", "name", "name",
       "ambiguous:name ('name' could come from s.a, s.b)"},
      {"select o.id, amount from {{ ref('orders') }} o join (select 1 as amount) p on true", "amount", "id,amount",
       "ambiguous:amount ('amount' could come from o (orders), p (subquery))",
       RefColumns{{"orders", std::vector<std::string>{"id", "amount"}}}},
      {"select * from {{ ref('up') }}", "b", "a,b", "ref:up.b", RefColumns{{"up", std::vector<std::string>{"a", "b"}}}},
      {"with s as (select * from {{ source('s', 't') }}) select id from s", "id", "id", "source:s.t.id via s *"},
      // Calls however written; names in any case.
      {"select a from {{ ref( \"pkg\" , 'up' ) }}", "a", "a", "ref:up.a"},
      {"select a from {{ ref('it\\'s') }}", "a", "a", "ref:it's.a"},
      {"select a from {{ ref('x\\\\y') }}", "a", "a", "ref:x\\y.a"},
      {"select a from {{ ref('up',\n'x') }}", "a", "a", "ref:x.a"},
      {"select a from {{ source( 's','t' )}}", "a", "a", "source:s.t.a"},
      {"with Up as (select ID, Name as Full_Name from {{ ref('x') }}) select u.id, full_name from UP u", "full_name",
       "id,full_name", "ref:x.Name via UP"},
      // Upper case only in a long name's second eight bytes; a quoted name that unquoting changes.
      {"with long_cte_Name_x as (select customer_number_x from {{ ref('x') }})\n"
       "select long_cte_name_x.customer_numBer_x from long_cte_Name_x",
       "customer_numBer_x", "customer_numBer_x", "ref:x.customer_number_x via long_cte_Name_x"},
      {"with c as (select x as \"a\"\"b\" from {{ ref('x') }}) select \"a\"\"b\" from c", "a\"b", "a\"b",
       "ref:x.x via c"},
      // Many origins, some met again: each once, where first met.
      {"select " + many_refs + " as total from {{ ref('x') }}", "total", "total", many_origins},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    cst::Document doc = parse_ok(c.text);
    FileLineage found = file_lineage(doc, c.refs ? &*c.refs : nullptr);
    ASSERT_EQ(found.undecided, "");
    std::string names;
    const OutputColumn* wanted = nullptr;
    for (const OutputColumn& column : found.columns) {
      if (!names.empty()) names.append(",");
      names.append(column.name.value_or("?"));
      if (column.name == c.column && wanted == nullptr) wanted = &column;
    }
    EXPECT_EQ(names, c.names);
    ASSERT_NE(wanted, nullptr);
    EXPECT_EQ(rendered(wanted->origins), c.origins);
  }
}

// What needs another file is left to the caller, and so is what this
// module's own lower-casing would not decide as the caller's does.
TEST(FileLineage, LeavesUndecidedWhatTheFileAloneCannotSay) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"select * from {{ ref('up') }}", kNeedsRefColumns},
      {"select id from {{ ref('a') }} join {{ ref('b') }} using (k)", kNeedsRefColumns},
      {"select \"Ä\" from t", "a name that is not plain ASCII"},
      {"select \"abcdefghiÄjklmnopq\" from t", "a name that is not plain ASCII"},
  };
  for (const auto& [text, why] : cases) {
    SCOPED_TRACE(text);
    cst::Document doc = parse_ok(text);
    EXPECT_EQ(file_lineage(doc).undecided, why);
  }
}

// Places are in characters, lines and columns 1-based, whether the text
// is ASCII or not, and however far into it a character of several bytes is.
TEST(FileLineage, FiltersAndWhereColumnsAreWritten) {
  struct Placed {
    std::string text;
    std::size_t column_line, column_at, filter_line, filter_at;
  };
  std::string accents;
  for (int i = 0; i < 40; ++i) accents += "\u00e9";
  const std::vector<Placed> cases = {
      {"select\n  a.id\nfrom {{ ref('x') }} a\nwhere a.ok", 2, 3, 4, 7},
      {"select\n  /* \u00e9 */ a.id\nfrom {{ ref('x') }} a\nwhere a.ok", 2, 11, 4, 7},
      {"-- " + accents + "\nselect\n  /* \u00e9 */ a.id\nfrom {{ ref('x') }} a\nwhere  a.ok", 3, 11, 5, 8},
  };
  for (const Placed& c : cases) {
    SCOPED_TRACE(c.text);
    cst::Document doc = parse_ok(c.text);
    FileLineage found = file_lineage(doc);
    ASSERT_EQ(found.columns.size(), 1u);
    ASSERT_TRUE(found.columns[0].where);
    EXPECT_EQ(found.columns[0].where->line, c.column_line);
    EXPECT_EQ(found.columns[0].where->column, c.column_at);
    ASSERT_EQ(found.filters.size(), 1u);
    EXPECT_EQ(found.filters[0].text, "a.ok");
    EXPECT_EQ(found.filters[0].clause, "WHERE");
    ASSERT_TRUE(found.filters[0].where);
    EXPECT_EQ(found.filters[0].where->line, c.filter_line);
    EXPECT_EQ(found.filters[0].where->column, c.filter_at);
    EXPECT_EQ(rendered(found.filters[0].origins), "ref:x.ok");
  }
}

// The one walk that reads every query gives each the CTEs around it, as
// the walk from the root for that query alone does, in document order.
TEST(FileLineage, EachQueryMeetsTheCtesAroundIt) {
  const std::vector<std::string> texts = {
      "with a as (select 1 as x), b as (select x from a) select * from b, (select 2 as y) s",
      "with a as (with i as (select 1 as x) select x from i) select (select max(x) from a) as m "
      "union all select 3 from (with j as (select 4 as z) select z from j) t",
      "select 1",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    cst::Document doc = parse_ok(text);
    std::vector<const cst::Node*> walked;
    for_each_query(doc, [&](cst::Node& query, const std::vector<CteView>& outer) {
      walked.push_back(&query);
      const std::vector<OuterCte> alone = outer_ctes(doc, cst::NodeRef(&query));
      ASSERT_EQ(outer.size(), alone.size());
      for (std::size_t i = 0; i < outer.size(); ++i) {
        EXPECT_EQ(outer[i].name, alone[i].name);
        EXPECT_EQ(outer[i].query, alone[i].query.get());
      }
    });
    std::vector<const cst::Node*> all;
    for (const cst::NodeRef& query : queries(doc)) all.push_back(query.get());
    EXPECT_EQ(walked, all);
  }
}

}  // namespace
}  // namespace trelm::query
