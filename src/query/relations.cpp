// The relations of a FROM clause and the references that decide which rows
// a query keeps; the columns that only Jinja blocks of a SELECT list hold.
#include <array>
#include <algorithm>

#include "jinja/call.hpp"
#include "query/column_refs.hpp"
#include "query/lineage.hpp"
#include "query/metadata.hpp"
#include "query/navigation.hpp"
#include "query/select_item.hpp"
#include "query/word_set.hpp"

namespace trelm::query {

namespace {

using cst::NodeRef;
using cst::NodeTag;
using cst::TokenKind;

// Words after a relation that are no alias of it.
constexpr std::array<std::string_view, 33> kNotAliases = {
    "anti",    "any",     "asof",     "at",     "before",    "changes",  "cross",   "except", "for",
    "full",    "group",   "having",   "inner",  "intersect", "join",     "lateral", "left",   "limit",
    "match_recognize", "minus", "natural", "on", "order", "outer", "pivot", "qualify", "right",  "sample",
    "semi",    "tablesample", "union", "unpivot", "using"};

// Words that start the next join, ending an ON condition.
constexpr std::array<std::string_view, 9> kJoinStarts = {"join",  "left", "right", "full", "inner",
                                                         "cross", "natural", "lateral", "asof"};

// Whether the lexeme is a bare word of the set.
bool is_word_of(const Lexeme& l, const WordSet& words) {
  return l.type == Lexeme::Type::Token && l.kind == TokenKind::Word && words.contains(l.text);
}

const WordSet& not_aliases() {
  static const WordSet set(kNotAliases);
  return set;
}

const WordSet& join_starts() {
  static const WordSet set(kJoinStarts);
  return set;
}

bool is_block_edge(const Lexeme& l) {
  return l.type != Lexeme::Type::Token && (l.tag == NodeTag::JinjaBlock || l.tag == NodeTag::JinjaBranch);
}

bool is_paren(const Lexeme& l) { return l.is_open(NodeTag::Paren); }

// Text between the delimiters of an expression tag, trimmed.
std::string_view tag_body(std::string_view tag) {
  if (tag.size() < 4) return {};
  std::string_view body = tag.substr(2, tag.size() - 4);
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '-' || c == '+'; };
  while (!body.empty() && blank(body.front())) body.remove_prefix(1);
  while (!body.empty() && blank(body.back())) body.remove_suffix(1);
  return body;
}

// The arguments of `name('a', "b")` written plainly: strings of printable
// ASCII without escapes, spaces between. Most ref and source calls are so
// written, and read so without the Jinja reader; nullopt for any other form.
std::optional<std::vector<std::string>> plain_call_strings(std::string_view body, std::string_view name) {
  std::size_t i = name.size();
  const auto skip_spaces = [&body, &i] {
    while (i < body.size() && body[i] == ' ') ++i;
  };
  skip_spaces();
  if (i >= body.size() || body[i] != '(') return std::nullopt;
  ++i;
  std::vector<std::string> strings;
  for (;;) {
    skip_spaces();
    if (i >= body.size() || (body[i] != '\'' && body[i] != '"')) return std::nullopt;
    const char quote = body[i];
    std::size_t end = i + 1;
    for (; end < body.size() && body[end] != quote; ++end) {
      if (body[end] == '\\' || body[end] < 0x20 || body[end] > 0x7e) return std::nullopt;
    }
    if (end >= body.size()) return std::nullopt;
    strings.emplace_back(body.substr(i + 1, end - i - 1));
    i = end + 1;
    skip_spaces();
    if (i < body.size() && body[i] == ')' && i + 1 == body.size()) return strings;
    if (i >= body.size() || body[i] != ',') return std::nullopt;
    ++i;
  }
}

// The string arguments of the `name(...)` call that is all of `body`.
std::optional<std::vector<std::string>> whole_call(std::string_view body, std::string_view name) {
  if (body.substr(0, name.size()) != name) return std::nullopt;
  if (auto strings = plain_call_strings(body, name)) return strings;
  for (const jinja::Call& call : jinja::find_calls(body, name)) {
    std::string_view head = body.substr(0, call.open);
    while (!head.empty() && (head.back() == ' ' || head.back() == '\t')) head.remove_suffix(1);
    if (head != name || call.close + 1 != body.size()) continue;
    return positional_strings(body, call);
  }
  return std::nullopt;
}

void classify_tag(std::string_view tag, RelationView& rel) {
  std::string_view body = tag_body(tag);
  if (auto args = whole_call(body, "ref"); args && !args->empty()) {
    rel.kind = RelationKind::Ref;
    rel.name = std::move(args->back());
    return;
  }
  if (auto args = whole_call(body, "source"); args && args->size() == 2) {
    rel.kind = RelationKind::Source;
    rel.source_name = std::move((*args)[0]);
    rel.name = std::move((*args)[1]);
    return;
  }
  rel.kind = RelationKind::Templated;
  rel.name = std::string(tag);
}

class FromReader {
 public:
  FromReader(const std::vector<Lexeme>& lex, const std::vector<std::string_view>& ctes, std::vector<RelationView>& relations,
             std::vector<RefView>& filters, KeptTexts& kept)
      : lex_(lex), ctes_(ctes), relations_(relations), filters_(filters), kept_(kept) {}

  void run() { run(0, lex_.size(), false); }

 private:
  // Reads relations and join conditions in [i, n); `expect` when a relation
  // comes first (inside the bracket of a parenthesised join).
  void run(std::size_t i, std::size_t n, bool expect) {
    while (i < n) {
      const Lexeme& l = lex_[i];
      if (!l.is_significant() || is_block_edge(l) || (l.is_token() && cst::is_jinja_kind(l.kind) && l.kind != TokenKind::JinjaExpression)) {
        ++i;
        continue;
      }
      if (expect) {
        expect = false;
        if (l.is_keyword("lateral")) {
          expect = true;
          ++i;
          continue;
        }
        i = relation(i);
        continue;
      }
      if (l.is_keyword("from") || l.is_keyword("join") || (l.is_token() && l.kind == TokenKind::Comma)) {
        expect = true;
        ++i;
        continue;
      }
      if (l.is_keyword("on")) {
        i = condition(i + 1);
        continue;
      }
      if (l.is_keyword("using")) {
        i = using_list(i);
        continue;
      }
      i = l.type == Lexeme::Type::Open ? l.partner + 1 : i + 1;
    }
  }

  std::size_t next(std::size_t i) const { return next_significant_lexeme(lex_, i, lex_.size()); }
  bool at(std::size_t i) const { return i < lex_.size(); }

  bool is_cte(std::string_view name) const {
    return std::any_of(ctes_.begin(), ctes_.end(), [&](std::string_view c) {
      return c.size() == name.size() && cst::equals_folded(c, name);
    });
  }

  // Reads one relation from `i`, with its alias; returns where to go on.
  std::size_t relation(std::size_t i) {
    const Lexeme& l = lex_[i];
    RelationView rel;
    std::size_t last = i;
    if (l.is_token() && l.kind == TokenKind::JinjaExpression) {
      classify_tag(l.text, rel);
    } else if (is_paren(l)) {
      std::size_t inner = next(i + 1);
      if (inner >= l.partner) return l.partner + 1;
      if (lex_[inner].is_keyword("values")) {
        rel.kind = RelationKind::Values;
        rel.name = "values";
      } else if (!lex_[inner].is_open(NodeTag::Query)) {
        // «(a join b on ...)»: the relations inside are the query's own.
        run(inner, l.partner, true);
        return l.partner + 1;
      } else {
        rel.kind = RelationKind::Subquery;
        rel.query = lex_[inner].node;
      }
      last = l.partner;
    } else if (is_name_lexeme(l)) {
      std::string name = unquote(l.text);
      std::size_t parts = 1;
      for (;;) {
        std::size_t dot = next(last);
        if (!at(dot) || !lex_[dot].is_punct('.')) break;
        std::size_t part = next(dot);
        if (!at(part) || !is_name_lexeme(lex_[part])) break;
        name += '.';
        name += unquote(lex_[part].text);
        last = part;
        ++parts;
      }
      std::size_t after = next(last);
      if (at(after) && is_paren(lex_[after])) {
        rel.kind = RelationKind::Function;
        last = lex_[after].partner;
      } else {
        rel.kind = parts == 1 && is_cte(name) ? RelationKind::Cte : RelationKind::Table;
      }
      rel.name = std::move(name);
    } else {
      return i + 1;
    }
    std::size_t k = next(last);
    bool after_as = false;  // «as t(a, b)»: a bracket after the alias lists its columns
    if (at(k) && lex_[k].is_keyword("as")) {
      std::size_t a = next(k);
      if (at(a) && is_name_lexeme(lex_[a])) {
        k = a;
        after_as = true;
      }
    }
    if (at(k) && is_name_lexeme(lex_[k]) && !is_word_of(lex_[k], not_aliases()) &&
        (after_as || !(lex_[k].kind == TokenKind::Word && is_paren_after(k)))) {
      rel.alias = unquote(lex_[k].text);
      last = k;
      std::size_t columns = next(k);
      if (at(columns) && is_paren(lex_[columns])) last = lex_[columns].partner;
    }
    rel.range = token_range(lex_, i, last + 1);
    relations_.push_back(std::move(rel));
    return last + 1;
  }

  bool is_paren_after(std::size_t k) const {
    std::size_t after = next(k);
    return at(after) && is_paren(lex_[after]);
  }

  // The references of the ON condition from `i`, up to the next join.
  std::size_t condition(std::size_t i) {
    std::size_t stop = i;
    while (stop < lex_.size()) {
      const Lexeme& l = lex_[stop];
      if (is_block_edge(l) || (l.is_token() && l.kind == TokenKind::Comma)) break;
      // «left(name, 3)» is a call; JOIN before a bracket opens a subquery.
      if (l.is_keyword("join") || (is_word_of(l, join_starts()) && !is_paren_after(stop))) break;
      stop = l.type == Lexeme::Type::Open ? l.partner + 1 : stop + 1;
    }
    const std::size_t first = filters_.size();
    scan_ref_views(lex_, i, stop, false, filters_, kept_);
    for (std::size_t k = first; k < filters_.size(); ++k) filters_[k].clause = "ON";
    return stop;
  }

  std::size_t using_list(std::size_t i) {
    std::size_t k = next(i);
    if (!at(k) || !is_paren(lex_[k])) return i + 1;
    for (std::size_t m = k + 1; m < lex_[k].partner; ++m) {
      if (!is_name_lexeme(lex_[m])) continue;
      RefView& ref = filters_.emplace_back();
      ref.name = unquoted(lex_[m].text, kept_);
      ref.range = TokenRange{lex_[m].id, lex_[m].id};
      ref.clause = "USING";
    }
    return lex_[k].partner + 1;
  }

  const std::vector<Lexeme>& lex_;
  const std::vector<std::string_view>& ctes_;
  std::vector<RelationView>& relations_;
  std::vector<RefView>& filters_;
  KeptTexts& kept_;
};

bool decides_rows(std::string_view clause) {
  return clause == "WHERE" || clause == "GROUP BY" || clause == "HAVING" || clause == "QUALIFY";
}

// Columns of one branch of a block: its body cut at top-level commas;
// blocks nested in it go to `nested`.
void branch_items(const NodeRef& branch, std::vector<ConditionalItem>& out, std::vector<NodeRef>& nested) {
  auto lock = branch->read_lock();
  if (branch->kind.tag != NodeTag::JinjaBranch || branch->children.empty()) return;
  const cst::Token* tag = branch->children[0].as_token();
  std::string condition = tag != nullptr ? std::string(tag->text()) : std::string();
  std::vector<Lexeme> lex = flatten(branch->children, 1);
  auto take = [&](std::size_t begin, std::size_t end) {
    std::size_t first = begin;
    while (first < end && (!lex[first].is_significant() || (lex[first].is_token() && lex[first].kind == TokenKind::JinjaStatement))) ++first;
    if (first == end) return;
    std::size_t last = end - 1;
    while (last > first && !lex[last].is_significant()) --last;
    ConditionalItem item;
    item.condition = condition;
    item.range = token_range(lex, first, last + 1);
    for (std::size_t k = first; k <= last; ++k) {
      if (lex[k].is_token()) item.text += lex[k].text;
    }
    std::size_t expr_end = last + 1;
    if (is_name_lexeme(lex[last])) {
      std::size_t prev = prev_significant_lexeme(lex, last, first);
      if (prev != cst::npos && lex[prev].is_keyword("as") && prev > first) {
        item.name = unquote(lex[last].text);
        expr_end = prev;
      }
    }
    if (!item.name && is_name_lexeme(lex[last])) {
      std::size_t prev = prev_significant_lexeme(lex, last, first);
      if (prev == cst::npos || lex[prev].is_punct('.')) item.name = unquote(lex[last].text);
    }
    item.lineage = lineage_of(lex, first, expr_end, item.name);
    out.push_back(std::move(item));
  };
  std::size_t start = 0;
  for (std::size_t i = 0; i < lex.size();) {
    const Lexeme& l = lex[i];
    if (l.is_open(NodeTag::JinjaBlock)) {
      take(start, i);
      nested.emplace_back(l.node);
      i = l.partner + 1;
      start = i;
      continue;
    }
    if (l.is_token() && l.kind == TokenKind::Comma) {
      take(start, i);
      start = i + 1;
    }
    i = l.type == Lexeme::Type::Open ? l.partner + 1 : i + 1;
  }
  take(start, lex.size());
}

}  // namespace

std::string_view kind_name(RelationKind kind) {
  switch (kind) {
    case RelationKind::Ref:
      return "ref";
    case RelationKind::Source:
      return "source";
    case RelationKind::Cte:
      return "cte";
    case RelationKind::Subquery:
      return "subquery";
    case RelationKind::Table:
      return "table";
    case RelationKind::Templated:
      return "templated";
    case RelationKind::Function:
      return "function";
    case RelationKind::Values:
      return "values";
  }
  return "table";
}

namespace {

// The CTE names visible in a query: the enclosing queries', then its own
// (`own`), views of both, into `visible` (cleared first).
template <typename Outer>
void visible_ctes(const std::vector<Outer>& outer_ctes, const std::vector<CteView>& own,
                  std::vector<std::string_view>& visible) {
  visible.clear();
  visible.reserve(outer_ctes.size() + own.size());
  for (const Outer& c : outer_ctes) visible.push_back(c.name);
  for (const CteView& c : own) visible.push_back(c.name);
}

cst::Node* body_of(const CteView& cte) { return cte.query; }
cst::Node* body_of(const OuterCte& cte) { return cte.query.get(); }

// A CTE relation reads that CTE's body: the query's own, else the
// innermost enclosing query's that has the name.
template <typename Outer>
void find_cte_bodies(std::vector<RelationView>& relations, const std::vector<CteView>& own,
                     const std::vector<Outer>& outer_ctes) {
  auto same_name = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && cst::equals_folded(a, b);
  };
  for (RelationView& rel : relations) {
    if (rel.kind != RelationKind::Cte) continue;
    bool found = false;
    for (const CteView& c : own) {
      if (same_name(c.name, rel.name)) {
        if (c.query != nullptr) rel.query = c.query;
        found = true;
        break;
      }
    }
    for (auto c = outer_ctes.rbegin(); !found && c != outer_ctes.rend(); ++c) {
      if (same_name(c->name, rel.name)) {
        rel.query = body_of(*c);
        found = true;
      }
    }
  }
}

// The Clause children of a query, by address, into `out` (cleared first).
void clause_nodes(const cst::Node& query, std::vector<const cst::Node*>& out) {
  out.clear();
  auto lock = query.read_lock();
  for (const cst::Child& c : query.children) {
    const cst::Node* n = c.node_ptr();
    if (n == nullptr) continue;
    auto child_lock = n->read_lock();
    if (n->kind.tag == NodeTag::Clause) out.push_back(n);
  }
}

// The references of a clause that decides rows (or WINDOW), as filters.
void add_clause_filters(const std::vector<Lexeme>& lex, std::string_view name, std::vector<RefView>& filters,
                        KeptTexts& kept) {
  const bool window = name == "WINDOW";
  const std::size_t first = filters.size();
  scan_ref_views(lex, 0, lex.size(), window, filters, kept);
  std::size_t out = first;
  for (std::size_t k = first; k < filters.size(); ++k) {
    if (window && filters[k].clause.empty()) continue;
    if (!window) filters[k].clause = name;
    filters[out++] = filters[k];
  }
  filters.resize(out);
}

}  // namespace

QueryReads query_reads(const NodeRef& query, const std::vector<OuterCte>& outer_ctes, bool with_selects) {
  QueryReads out;
  std::vector<CteView> own;
  append_own_ctes(*query, own);
  std::vector<std::string_view> visible;
  visible_ctes(outer_ctes, own, visible);
  LexemeBuffer buffer;  // one for every clause and item
  const std::vector<Lexeme>& lex = buffer.lexemes;
  std::vector<RefView> filters;
  std::vector<RelationView> relations;
  KeptTexts kept;
  for (const NodeRef& clause : clauses(query)) {
    auto lock = clause->read_lock();
    const std::string_view name = clause->kind.name();
    if (name == "FROM" || decides_rows(name) || name == "WINDOW") {
      flatten_into(clause->children, 0, cst::npos, buffer);
      filters.clear();
      if (name == "FROM") {
        FromReader(lex, visible, relations, filters, kept).run();
      } else {
        add_clause_filters(lex, name, filters, kept);
      }
      // Made owned while the clause is locked.
      for (const RefView& r : filters) out.filters.push_back(owned(r));
    } else if (name == "SELECT") {
      SelectRead select{clause, {}};
      for (const NodeRef& item : select_items(clause->children)) {
        auto item_lock = item->read_lock();
        std::optional<std::string> item_name;
        ItemLineage lineage = item_lineage_and_name(item->children, item_name, buffer);
        for (const ColumnRef& r : lineage.references) {
          if (!r.clause.empty()) out.filters.push_back(r);
        }
        if (with_selects) select.items.push_back({item, std::move(item_name), std::move(lineage)});
      }
      if (with_selects) out.selects.push_back(std::move(select));
    }
  }
  find_cte_bodies(relations, own, outer_ctes);
  out.relations.reserve(relations.size());
  for (RelationView& r : relations) {
    out.relations.push_back(Relation{r.kind, std::move(r.name), std::move(r.source_name), std::move(r.alias),
                                     NodeRef(r.query), r.range});
  }
  return out;
}

void QueryViews::clear() {
  relations.clear();
  filters.clear();
  refs.clear();
  excluded.clear();
  items.clear();
  selects.clear();
  own_ctes.clear();
}

void read_query_views(const cst::Node& query, const std::vector<CteView>& outer_ctes, QueryViews& out,
                      KeptTexts& kept) {
  out.clear();
  append_own_ctes(query, out.own_ctes);
  visible_ctes(outer_ctes, out.own_ctes, out.visible);
  LexemeBuffer& buffer = out.buffer;
  const std::vector<Lexeme>& lex = buffer.lexemes;
  clause_nodes(query, out.clauses);
  for (const cst::Node* clause : out.clauses) {
    auto lock = clause->read_lock();
    const std::string_view name = clause->kind.name();
    if (name == "FROM") {
      flatten_into(clause->children, 0, cst::npos, buffer);
      FromReader(lex, out.visible, out.relations, out.filters, kept).run();
    } else if (decides_rows(name) || name == "WINDOW") {
      flatten_into(clause->children, 0, cst::npos, buffer);
      add_clause_filters(lex, name, out.filters, kept);
    } else if (name == "SELECT") {
      SelectView& select = out.selects.emplace_back();
      select.node = clause;
      select.items_begin = out.items.size();
      for (const cst::Child& child : clause->children) {
        if (child.is_node_tag(NodeTag::JinjaBlock)) select.has_blocks = true;
        if (!child.is_node_tag(NodeTag::SelectItem)) continue;  // as select_items(), without the list
        const cst::Node* item = child.node_ptr();
        auto item_lock = item->read_lock();
        ItemView& read = out.items.emplace_back();
        read.node = item;
        read.refs_begin = out.refs.size();
        read.excluded_begin = out.excluded.size();
        read.kind = item_lineage_views(item->children, read.name, buffer, out.refs, out.excluded, kept);
        read.excluded_end = out.excluded.size();
        read.refs_end = out.refs.size();
        for (std::size_t k = read.refs_begin; k < read.refs_end; ++k) {
          if (!out.refs[k].clause.empty()) out.filters.push_back(out.refs[k]);
        }
      }
      select.items_end = out.items.size();
    }
  }
  find_cte_bodies(out.relations, out.own_ctes, outer_ctes);
}

std::vector<OuterCte> outer_ctes(const cst::Document& doc, const NodeRef& query) {
  // Depth first over the nodes alone (tokens are most of a tree), keeping
  // the path from the root; each node is locked while its children are
  // listed.
  struct Frame {
    NodeRef node;
    std::vector<NodeRef> children;
    std::size_t next = 0;
  };
  auto frame_of = [](NodeRef node) {
    Frame f{std::move(node), {}, 0};
    auto lock = f.node->read_lock();
    for (const cst::Child& c : f.node->children) {
      if (c.is_node()) f.children.push_back(c.node());
    }
    return f;
  };
  std::vector<Frame> path;
  path.push_back(frame_of(doc.root));
  bool found = false;
  while (!path.empty() && !found) {
    Frame& top = path.back();
    if (top.next == top.children.size()) {
      path.pop_back();
      continue;
    }
    NodeRef child = top.children[top.next++];
    if (child == query) {
      found = true;
      break;
    }
    path.push_back(frame_of(std::move(child)));
  }
  std::vector<OuterCte> found_ctes;
  if (!found) return found_ctes;
  for (const Frame& f : path) {
    bool is_query = false;
    {
      auto lock = f.node->read_lock();
      is_query = f.node->kind.tag == NodeTag::Query;
    }
    if (!is_query) continue;
    for (const NodeRef& c : ctes(f.node)) {
      auto lock = c->read_lock();
      if (auto name = cte_name(c->children)) {
        found_ctes.push_back({std::move(*name), cte_query(c->children).value_or(NodeRef{})});
      }
    }
  }
  return found_ctes;
}

void append_own_ctes(const cst::Node& query, std::vector<CteView>& out) {
  // As ctes(): the Cte children of each WITH clause, in order.
  auto lock = query.read_lock();
  for (const cst::Child& c : query.children) {
    const cst::Node* clause = c.node_ptr();
    if (clause == nullptr) continue;
    auto clause_lock = clause->read_lock();
    if (clause->kind.tag != NodeTag::Clause || !is_with_clause_name(clause->kind.name())) continue;
    for (const cst::Child& k : clause->children) {
      if (!k.is_node_tag(NodeTag::Cte)) continue;
      const cst::Node* cte = k.node_ptr();
      auto cte_lock = cte->read_lock();
      if (auto name = cte_name(cte->children)) out.push_back({std::move(*name), cte_body(cte->children)});
    }
  }
}

std::vector<ConditionalItem> conditional_items(const cst::Children& select) {
  std::vector<ConditionalItem> out;
  std::vector<NodeRef> blocks;
  for (const cst::Child& c : select) {
    if (c.is_node_tag(NodeTag::JinjaBlock)) blocks.push_back(c.node());
  }
  // Outer blocks first, each block's branches in order.
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    NodeRef block = blocks[b];
    std::vector<NodeRef> branches;
    {
      auto lock = block->read_lock();
      for (const cst::Child& c : block->children) {
        if (c.is_node_tag(NodeTag::JinjaBranch)) branches.push_back(c.node());
      }
    }
    for (const NodeRef& branch : branches) branch_items(branch, out, blocks);
  }
  return out;
}

}  // namespace trelm::query
