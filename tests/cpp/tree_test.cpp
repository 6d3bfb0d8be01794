#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "edit/config_edit.hpp"
#include "edit/rename.hpp"
#include "edit/select_edit.hpp"
#include "parser/parse.hpp"
#include "query/navigation.hpp"
#include "support/parsed.hpp"
#include "tree/print.hpp"
#include "tree/traverse.hpp"

namespace trelm {
namespace {

// A token's length lives in ten bits of its word; longer texts go to a
// record of their own, on the heap or in room the caller gives (a parse
// gives its blocks). Each length either side of that edge, borrowed or
// owned, must read back whole, copy to an owned text, move without a copy,
// and sit in a child slot beside a node without either being taken for
// the other.
TEST(Tree, TokensOfEveryLengthReadBack) {
  enum class Made { Owned, Borrowed, BorrowedWithRoom };
  alignas(8) std::byte room[64];
  const auto in_room = [&room](std::size_t bytes) -> void* { return bytes <= sizeof room ? room : nullptr; };
  for (std::size_t length : {0u, 1u, 1022u, 1023u, 1024u, 70000u}) {
    const std::string text(length, 'x');
    for (Made made : {Made::Owned, Made::Borrowed, Made::BorrowedWithRoom}) {
      const bool owned = made == Made::Owned;
      SCOPED_TRACE(std::to_string(length) + " made as " + std::to_string(static_cast<int>(made)));
      cst::Token t = owned                      ? cst::Token(cst::TokenKind::BlockComment, text)
                     : made == Made::Borrowed ? cst::Token::borrowing(cst::TokenKind::BlockComment, text)
                                              : cst::Token::borrowing(cst::TokenKind::BlockComment, text, in_room);
      EXPECT_EQ(t.text(), text);
      EXPECT_EQ(t.size(), length);
      EXPECT_EQ(t.kind(), cst::TokenKind::BlockComment);
      EXPECT_EQ(t.owns_text(), owned && length != 0);
      if (!owned) {
        EXPECT_EQ(t.text().data(), text.data());
      }

      const cst::Token copy = t;
      EXPECT_EQ(copy.text(), text);
      EXPECT_EQ(copy.owns_text(), length != 0);
      EXPECT_EQ(copy.kind(), cst::TokenKind::BlockComment);

      // Every copy of a text has a serial of its own; a borrowed text has none.
      EXPECT_EQ(t.serial() != 0, owned && length != 0);
      EXPECT_EQ(copy.serial() != 0 && copy.serial() != t.serial(), length != 0);

      const cst::TokenId before = t.id();
      cst::Token moved = std::move(t);
      EXPECT_EQ(moved.id(), before);
      EXPECT_EQ(moved.size(), length);

      cst::Children slots;
      slots.push_back(std::move(moved));
      slots.push_back(cst::make_node(cst::NodeTag::Paren, {cst::Token(cst::TokenKind::LParen, "(")}));
      slots.push_back(copy);
      EXPECT_TRUE(slots[0].is_token() && slots[2].is_token());
      EXPECT_TRUE(slots[1].is_node());
      // Only a record on the heap is the borrowing token's to free.
      const bool owns = owned ? length != 0 : made == Made::Borrowed && length >= 1023;
      EXPECT_EQ(slots[0].owns_nothing(), !owns);
      EXPECT_FALSE(slots[1].is_trivia() || slots[1].is_token_kind(cst::TokenKind::Other) ||
                   slots[1].is_token_kind(cst::TokenKind::Whitespace));
      EXPECT_EQ(slots[0].token().text(), text);
      EXPECT_EQ(cst::node_text(slots[1].node()), "(");
      const cst::Children again = slots;
      EXPECT_EQ(again[2].token().text(), text);
      EXPECT_TRUE(again[1].is_node() && again[1].node_ptr() == slots[1].node_ptr());
      cst::Child taken = std::move(slots[1]);
      EXPECT_TRUE(taken.is_node());
      EXPECT_FALSE(slots[1].is_node());
      EXPECT_EQ(slots[1].node_ptr(), nullptr);

      // Appending moves by bytes: the owned text and the node change hands
      // once (the sanitizer build sees a double free or a leak otherwise).
      slots[1] = std::move(taken);
      cst::Children gathered;
      gathered.append_moved(std::span<cst::Child>(slots.data(), slots.size()));
      EXPECT_TRUE(std::all_of(slots.begin(), slots.end(), [](const cst::Child& c) { return c.owns_nothing(); }));
      EXPECT_EQ(gathered[2].token().text(), text);
      EXPECT_EQ(cst::node_text(gathered[1].node()), "(");
    }
  }
}

// Tokens borrow their texts from the parse's source buffer; every node must
// keep that buffer, or a node held past its document reads freed memory
// (the sanitizer build turns that into a failure). A buffer over the
// caller's bytes holds their owner instead, and lets go of it exactly once,
// with the last node. The second text makes the parse group the file
// twice (an "end" tag inside a comment), in two buffers over the same bytes.
TEST(Tree, EveryNodeStaysReadableAfterItsDocumentIsGone) {
  // The last text's comment is longer than a token holds inline.
  const std::string long_comment = "/*" + std::string(3000, 'c') + "*/";
  for (const std::string& text : {std::string("with a as (select x[1] from t)\n"
                                              "select {% if f %}b, {% else %}c, {% endif %}(select 1) as d\n"
                                              "from a union all select 2"),
                                  std::string("{# {% endmark %} #}\n{% mark %}select (1), [2] from t"),
                                  "select (" + long_comment + " 1), [2 " + long_comment + "] from t"}) {
    for (const bool borrowed : {false, true}) {
      int released = 0;
      std::vector<std::pair<cst::NodeRef, std::string>> held;
      {
        auto* bytes = new std::string(text);
        std::shared_ptr<const void> owner(bytes, [&released](const std::string* s) {
          ++released;
          delete s;
        });
        parser::ParseResult result = parser::parse(*bytes, borrowed ? owner : nullptr);
        ASSERT_TRUE(std::holds_alternative<cst::Document>(result)) << text;
        const cst::Document& doc = std::get<cst::Document>(result);
        EXPECT_EQ(doc.root->text.get()->view().data() == bytes->data(), borrowed);
        auto lock = doc.root->read_lock();
        cst::for_each_descendant(doc.root->children,
                                 [&held](const cst::NodeRef& n) { held.emplace_back(n, cst::node_text(n)); });
        if (!borrowed) bytes->assign(bytes->size(), '#');  // the caller's text is not what the tree reads
        owner.reset();
      }
      ASSERT_GE(held.size(), 4u) << text;
      EXPECT_EQ(released, borrowed ? 0 : 1) << text;
      for (const auto& [node, node_text] : held) EXPECT_EQ(cst::node_text(node), node_text);
      held.clear();
      EXPECT_EQ(released, 1) << text;
    }
  }
}

// A node untouched since its parse prints as one copy of its source; any
// edit of any node of that parse must end that, for every node held from
// before the edit as well as the tree's own. Each case edits one way, then
// every node is compared with the walk of its tokens.
struct EditCase {
  const char* name;
  // Edits `doc`; `other` is a second parse of the same text, for the edits
  // that move a node between trees.
  void (*edit)(cst::Document& doc, cst::Document& other);
};

cst::NodeRef outer_select(const cst::Document& doc) { return query::first_select(*query::query(doc)).value(); }

cst::NodeRef last_item(const cst::NodeRef& select) {
  auto lock = select->read_lock();
  return query::select_items(select->children).back();
}

std::vector<cst::NodeRef> every_node(const cst::Document& doc) {
  std::vector<cst::NodeRef> nodes{doc.root};
  auto lock = doc.root->read_lock();
  cst::for_each_descendant(doc.root->children, [&nodes](const cst::NodeRef& n) { nodes.push_back(n); });
  return nodes;
}

const EditCase kEdits[] = {
    {"none", [](cst::Document&, cst::Document&) {}},
    {"rename", [](cst::Document& doc, cst::Document&) { EXPECT_EQ(edit::rename_ref(doc, "m", "n").changed, 1u); }},
    {"config", [](cst::Document& doc, cst::Document&) { edit::set_config_text(doc, "{{ config(style='view') }}"); }},
    {"insert",
     [](cst::Document& doc, cst::Document&) {
       cst::NodeRef s = outer_select(doc);
       auto lock = s->write_lock();
       EXPECT_TRUE(std::holds_alternative<cst::NodeRef>(edit::insert_item(*s, 1, "added")));
     }},
    {"remove",
     [](cst::Document& doc, cst::Document&) {
       cst::NodeRef s = outer_select(doc);
       cst::NodeRef item = last_item(s);
       auto lock = s->write_lock();
       EXPECT_FALSE(edit::remove_item(*s, item).has_value());
     }},
    {"retext item",
     [](cst::Document& doc, cst::Document&) {
       cst::NodeRef s = outer_select(doc);
       cst::NodeRef item = last_item(s);
       auto lock = s->write_lock();
       EXPECT_FALSE(edit::set_item_text_in(*s, item, "z + 1 as e").has_value());
     }},
    // An item of `other` goes into `doc`'s list, then is re-texted there:
    // the edit of a node from one parse must reach the print of another.
    {"shared then edited",
     [](cst::Document& doc, cst::Document& other) {
       cst::NodeRef foreign = last_item(outer_select(other));
       cst::NodeRef s = outer_select(doc);
       {
         auto lock = s->write_lock();
         edit::insert_at(*s, 0, {cst::Child(foreign), cst::Child(cst::Token(cst::TokenKind::Comma, ","))});
       }
       auto lock = foreign->write_lock();
       EXPECT_FALSE(edit::set_item_text(*foreign, "moved").has_value());
     }},
};

class EditedTree : public ::testing::TestWithParam<EditCase> {};

// Twice: as written, and with a comment long enough that the nodes around
// it are too long for a span and are walked while the nodes inside keep one.
TEST_P(EditedTree, EveryNodePrintsItsTokens) {
  for (const std::string& padding : {std::string(), "/*" + std::string(70'000, 'p') + "*/"}) {
    const std::string source =
        "{{ config(style='table') }}\n"
        "with a as (select x, y[1] " + padding + " from {{ ref('m') }})\n"
        "select e, {% if f %}b, {% else %}c, {% endif %}(select 1) as d\n"
        "from a -- end\n";
    cst::Document doc = testing::parse_ok(source);
    cst::Document other = testing::parse_ok(source);
    std::vector<cst::NodeRef> held = every_node(doc);
    GetParam().edit(doc, other);
    for (const cst::Document* d : {&doc, &other}) {
      for (const cst::NodeRef& n : every_node(*d)) held.push_back(n);
      EXPECT_EQ(cst::document_text(*d), testing::walked_text(d->root));
    }
    for (const cst::NodeRef& n : held) EXPECT_EQ(cst::node_text(n), testing::walked_text(n)) << testing::walked_text(n);
    EXPECT_EQ(cst::document_text(doc) == source, std::string_view(GetParam().name) == "none");
    EXPECT_EQ(doc.root->text.get()->untouched(), std::string_view(GetParam().name) == "none");
  }
}

INSTANTIATE_TEST_SUITE_P(Tree, EditedTree, ::testing::ValuesIn(kEdits), [](const auto& info) {
  std::string name = info.param.name;
  for (char& c : name) c = c == ' ' ? '_' : c;
  return name;
});

// Printers walk the whole tree under read locks while a writer adds and
// removes an item of an inner SELECT list: every print sees the edit whole
// or not at all. Run under the thread sanitizer too, which also reports any
// access that a lock does not order.
TEST(Tree, PrintsOverlapEdits) {
  std::string tail;
  for (int i = 0; i < 200; ++i) tail += ",\nc" + std::to_string(i) + " as (select " + std::to_string(i) + " from t)";
  const std::string source = "with a as (select x from t)" + tail + "\nselect y from a";
  cst::Document doc = testing::parse_ok(source);
  cst::NodeRef cte = query::cte(*query::query(doc), "a").value();
  cst::NodeRef inner = [&] {
    auto lock = cte->read_lock();
    return query::cte_query(cte->children).value();
  }();
  cst::NodeRef select = query::first_select(inner).value();
  const std::string with_item = "with a as (select x, added from t)" + tail + "\nselect y from a";

  std::thread writer([&] {
    for (int i = 0; i < 300; ++i) {
      auto lock = select->write_lock();
      auto added = std::get<cst::NodeRef>(edit::insert_item(*select, 1, "added"));
      lock.unlock();
      std::this_thread::yield();
      lock.lock();
      EXPECT_FALSE(edit::remove_item(*select, added).has_value());
    }
  });
  std::vector<std::thread> printers;
  for (int p = 0; p < 2; ++p) {
    printers.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        std::string text = cst::document_text(doc);
        EXPECT_TRUE(text == source || text == with_item) << text.substr(0, 60);
      }
    });
  }
  writer.join();
  for (std::thread& t : printers) t.join();
  EXPECT_EQ(cst::document_text(doc), source);
}

// The parse makes each list once, at its exact size, in room next to its
// node: carved from the parse's blocks, or in the node's own allocation
// when the tokens come without a buffer. A list that grew while it was
// built was counted wrong, and keeps a heap copy with slack for life.
TEST(Tree, ParsedListsAreMadeOnceAtTheirSize) {
  const char* const sources[] = {
      "select a, (b) from t where c in (select d from u);\n",
      "with a as (select 1), b as (select 2) select distinct on (x) x, y[1] as z from a, b",
      "{% if x %}select a{% elif y %}, b{% else %}c{% endif %} -- end\nselect 1; select 2",
      "select {% for c in cs %}{{ c }},{% endfor %} z from t group by 1 union all select 2",
      "((a) [b] (select 1 /* c */ ) ; ) ) {% endif %}",
  };
  for (const char* source : sources) {
    cst::Document doc = testing::parse_ok(source);
    cst::NodeRef grouped = cst::make_node(cst::NodeTag::Root, testing::grouped(source));
    std::vector<cst::NodeRef> nodes = every_node(doc);
    nodes.push_back(grouped);
    {
      auto lock = grouped->read_lock();
      cst::for_each_descendant(grouped->children, [&nodes](const cst::NodeRef& n) { nodes.push_back(n); });
    }
    for (const cst::NodeRef& n : nodes) {
      if (n == grouped) continue;  // its list comes from the grouper's stack
      auto lock = n->read_lock();
      EXPECT_TRUE(n->children.carved() && n->children.size() == n->children.capacity())
          << source << ": " << n->children.size() << " of " << n->children.capacity() << " in "
          << testing::dump(n->children);
    }
  }
}

// A list an edit grows moves to the heap, while its node keeps the buffer
// its tokens borrow from: held past its document, the node still prints,
// edits and, last, frees that buffer (the sanitizer build checks that all
// of it is given back, once).
TEST(Tree, EditedListOutlivesItsDocument) {
  using Edit = void (*)(cst::Node& select, const cst::NodeRef& item);
  const std::pair<Edit, const char*> cases[] = {
      {[](cst::Node& s, const cst::NodeRef&) { ASSERT_TRUE(std::holds_alternative<cst::NodeRef>(edit::insert_item(s, 0, "w"))); },
       "select w, x, (select 1) as y from t"},
      {[](cst::Node& s, const cst::NodeRef& item) { EXPECT_FALSE(edit::remove_item(s, item).has_value()); },
       "select x from t"},
      {[](cst::Node& s, const cst::NodeRef& item) { EXPECT_FALSE(edit::set_item_text_in(s, item, "[v]").has_value()); },
       "select x, [v] from t"},
  };
  for (const auto& [change, expected] : cases) {
    cst::NodeRef select;
    cst::NodeRef item;
    {
      cst::Document doc = testing::parse_ok("select x, (select 1) as y from t");
      select = outer_select(doc);
      item = last_item(select);
    }
    {
      auto lock = select->write_lock();
      change(*select, item);
    }
    item.reset();
    EXPECT_EQ(cst::node_text(select) + " from t", expected);
  }
}

}  // namespace
}  // namespace trelm
