// What a query reads, for column lineage: the relations of its FROM clause,
// the column references of each select item (and of the columns that only
// Jinja blocks hold), and the references that decide which rows are kept.
// Results are plain values: names, kinds and the ids of the first and last
// token of each piece, by which a PositionIndex tells where it is now.
// Each function takes the read locks it needs itself, unless it says that
// the caller holds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tree/document.hpp"

namespace trelm::query {

// A token of a subtree, or the start or end of a node in it: the subtree
// read flat, so that one pass sees every depth. Texts are views into the
// tree, valid while it is not edited.
struct Lexeme {
  enum class Type : std::uint8_t { Token, Open, Close };
  Type type = Type::Token;
  cst::TokenKind kind = cst::TokenKind::Other;
  cst::NodeTag tag = cst::NodeTag::Root;
  std::string_view text;
  cst::TokenId id;
  std::size_t partner = 0;   // an Open's Close, a Close's Open
  cst::Node* node = nullptr;  // of an Open or Close

  bool is_token() const { return type == Type::Token; }
  bool is_significant() const { return type != Type::Token || !cst::is_trivia_kind(kind); }
  bool is_punct(char c) const { return type == Type::Token && kind == cst::TokenKind::Other && text.size() == 1 && text[0] == c; }
  bool is_open(cst::NodeTag t) const { return type == Type::Open && tag == t; }
  // The first bytes, equal but for case, are tested inline: that turns
  // most words of the asked length away without a call.
  bool is_keyword(std::string_view word) const {
    return type == Type::Token && kind == cst::TokenKind::Word && text.size() == word.size() && !word.empty() &&
           ((static_cast<unsigned char>(text[0]) ^ static_cast<unsigned char>(word[0])) & ~0x20u) == 0 &&
           cst::equals_folded(text, word);
  }
};

// Children [begin, end) of a list whose owner's read lock the caller holds.
std::vector<Lexeme> flatten(const cst::Children& children, std::size_t begin = 0, std::size_t end = cst::npos);

// The lexemes of one piece and the walk's own stack, kept by a caller that
// flattens many pieces in turn, so that each reuses the room of the last.
struct LexemeBuffer {
  struct Frame {
    const cst::Child* next;
    const cst::Child* stop;
    cst::Node* node;  // null for the caller's list
    std::size_t open;
  };
  std::vector<Lexeme> lexemes;
  std::vector<Frame> frames;
};

// flatten(), into `buffer.lexemes` (cleared first).
void flatten_into(const cst::Children& children, std::size_t begin, std::size_t end, LexemeBuffer& buffer);

// [first, last] tokens of a piece of text.
struct TokenRange {
  cst::TokenId first;
  cst::TokenId last;
  bool operator==(const TokenRange&) const = default;
};

struct ColumnRef {
  std::optional<std::string> qualifier;  // unquoted parts before the name, joined by "."
  std::string name;                       // unquoted; "*" for `t.*`
  TokenRange range;
  // For a row-deciding reference: WHERE, ON, USING, GROUP BY, HAVING,
  // QUALIFY, PARTITION BY or ORDER BY (of a window). Empty otherwise.
  std::string clause;
};

enum class ColumnKind : std::uint8_t { Direct, Renamed, Expression, Aggregate, Constant, Star, Templated };
std::string_view kind_name(ColumnKind kind);

struct ItemLineage {
  ColumnKind kind = ColumnKind::Expression;
  std::vector<ColumnRef> references;
  std::vector<std::string> excluded;  // of `* except (...)`, unquoted
};

// The lineage of a SelectItem; the caller holds its read lock.
ItemLineage item_lineage(const cst::Children& item);
// The same, and the item's name (item_name) into `name`, its alias read once;
// the item is flattened into `buffer`.
ItemLineage item_lineage_and_name(const cst::Children& item, std::optional<std::string>& name, LexemeBuffer& buffer);

// A column that only a Jinja block of a SELECT list holds.
struct ConditionalItem {
  std::string text;
  std::optional<std::string> name;
  std::string condition;  // the tag that opens the branch holding it
  ItemLineage lineage;
  TokenRange range;
};

// The caller holds the SELECT clause's read lock.
std::vector<ConditionalItem> conditional_items(const cst::Children& select);

enum class RelationKind : std::uint8_t { Ref, Source, Cte, Subquery, Table, Templated, Function, Values };
std::string_view kind_name(RelationKind kind);

struct Relation {
  RelationKind kind = RelationKind::Table;
  std::string name;         // model, CTE, table or function name; a templated tag's text
  std::string source_name;  // for a source: (source_name, name)
  std::optional<std::string> alias;
  cst::NodeRef query;  // of a CTE or subquery
  TokenRange range;
};

// A select item as read for lineage: its node, output name and lineage.
struct ItemRead {
  cst::NodeRef node;
  std::optional<std::string> name;
  ItemLineage lineage;
};

// One SELECT clause of a query and its items.
struct SelectRead {
  cst::NodeRef node;
  std::vector<ItemRead> items;
};

// Relations and row-deciding references of one query, read together: the
// ON and USING references come from the same pass over FROM, the window
// references from the same pass over the select items.
struct QueryReads {
  std::vector<Relation> relations;
  std::vector<ColumnRef> filters;
  std::vector<SelectRead> selects;  // of each SELECT in order, when asked for
};

// `outer_ctes` are the CTE names visible from the enclosing queries.
// A CTE an enclosing query defines: its name and body (null when it has none).
struct OuterCte {
  std::string name;
  cst::NodeRef query;
};
// `with_selects`: keep what each SELECT's items are, for a caller that
// would otherwise read them again.
QueryReads query_reads(const cst::NodeRef& query, const std::vector<OuterCte>& outer_ctes, bool with_selects = false);
// The CTEs the queries enclosing `query` in the document define, outermost first.
std::vector<OuterCte> outer_ctes(const cst::Document& doc, const cst::NodeRef& query);

// A CTE as a reader that keeps the tree unedited sees it: its name and body
// (null when it has none), the body by address, so that no handle marks the
// tree as one to be freed node by node.
struct CteView {
  std::string name;
  cst::Node* query = nullptr;
};

// The CTEs `query` defines, in order, appended to `out`; takes the locks
// it needs.
void append_own_ctes(const cst::Node& query, std::vector<CteView>& out);

// Every Query node of the document, outermost first (as queries()), each
// with the CTEs outer_ctes() gives, in one walk: `visit(cst::Node& query,
// const std::vector<CteView>& outer)` is called with no lock held. The
// document must not be edited meanwhile: the walk keeps its nodes by address.
template <typename Visit>
void for_each_query(const cst::Document& doc, Visit&& visit) {
  // Over the nodes alone, with the CTEs of the queries on the path kept as
  // a stack beside it; the nodes still to visit are one stack too, each
  // frame's children a run at its top.
  struct Frame {
    std::size_t next;     // of the frame's children in `waiting`
    std::size_t visible;  // the CTE stack's size before this node's own CTEs
  };
  std::vector<cst::Node*> waiting;
  std::vector<CteView> visible;
  std::vector<Frame> path;
  // Lists the node's children on `waiting`, reversed so that the first is
  // on top; tells whether it is a query.
  const auto enter = [&waiting, &path, &visible](const cst::Node& node) {
    path.push_back(Frame{waiting.size(), visible.size()});
    auto lock = node.read_lock();
    for (std::size_t i = node.children.size(); i > 0; --i) {
      const cst::Child& c = node.children[i - 1];
      if (c.is_node()) waiting.push_back(c.node_ptr());
    }
    return node.kind.tag == cst::NodeTag::Query;
  };
  enter(*doc.root);
  while (!path.empty()) {
    if (waiting.size() == path.back().next) {
      visible.resize(path.back().visible);
      path.pop_back();
      continue;
    }
    cst::Node* child = waiting.back();
    waiting.pop_back();
    if (!enter(*child)) continue;
    // The query's children are listed already: its CTEs are pushed after,
    // and so are popped with its frame.
    visit(*child, static_cast<const std::vector<CteView>&>(visible));
    append_own_ctes(*child, visible);
  }
}

}  // namespace trelm::query
