#include "query/select_item.hpp"

#include <array>

#include "tree/print.hpp"
#include "tree/traverse.hpp"

namespace trelm::query {

namespace {

using cst::Child;
using cst::Children;
using cst::NodeTag;
using cst::Token;
using cst::TokenKind;

// Words that end an expression and are never a bare alias («x is null»,
// «a desc», «case ... end»).
constexpr std::array<std::string_view, 6> kFinalWords = {"null", "end", "true", "false", "asc", "desc"};

// Words after which the last child belongs to the expression («x is y»,
// «a between b», «interval day»), so it is no bare alias.
constexpr std::array<std::string_view, 26> kPrecedingWords = {
    "all",  "and",  "any",   "as", "between", "by",   "case", "collate", "distinct",
    "else", "escape", "exists", "ilike", "in", "interval", "is", "like",  "not",
    "on",   "or",   "over",  "similar", "some", "then", "when", "zone"};

template <std::size_t N>
bool is_one_of(const Token& t, const std::array<std::string_view, N>& words) {
  if (t.kind() != TokenKind::Word) return false;
  for (std::string_view w : words) {
    if (t.is_keyword(w)) return true;
  }
  return false;
}

bool is_name_token(const Token& t) { return t.kind() == TokenKind::Word || t.kind() == TokenKind::QuotedIdentifier; }

// Whether the child P right before a would-be bare alias lets the alias
// stand: a bracketed group, a literal, a tag or a name, but no operator and
// no word that asks for an operand.
bool allows_bare_alias_after(const Child& p) {
  if (!p.is_token()) {
    const cst::Node* node = p.node_ptr();  // by address: the caller holds the list, so the node stays
    auto lock = node->read_lock();
    const NodeTag tag = node->kind.tag;
    return tag == NodeTag::Paren || tag == NodeTag::Bracket;
  }
  const Token& t = p.token();
  switch (t.kind()) {
    case TokenKind::JinjaExpression:
    case TokenKind::String:
    case TokenKind::QuotedIdentifier:
    case TokenKind::Number:
      return true;
    case TokenKind::Word:
      return !is_one_of(t, kPrecedingWords);
    default:
      return false;
  }
}

}  // namespace

std::optional<AliasParts> alias_parts(const Children& item) {
  if (auto at = alias_at(item)) return AliasParts{at->expr_end, std::string(at->alias)};
  return std::nullopt;
}

std::optional<AliasAt> alias_at(const Children& item) {
  // Only the last three significant children matter, so scan back from the
  // end instead of listing them all.
  const std::size_t last = cst::last_significant_before(item, item.size());
  if (last == cst::npos) return std::nullopt;
  const std::size_t prev = cst::last_significant_before(item, last);
  if (prev == cst::npos) return std::nullopt;

  const Token* alias = item[last].as_token();
  if (alias == nullptr || !is_name_token(*alias)) return std::nullopt;

  const bool has_third = cst::last_significant_before(item, prev) != cst::npos;
  if (has_third && item[prev].is_keyword("as")) return AliasAt{prev, alias->text()};

  if (is_one_of(*alias, kFinalWords)) return std::nullopt;
  if (!allows_bare_alias_after(item[prev])) return std::nullopt;
  return AliasAt{last, alias->text()};
}

std::string item_expr(const Children& item) {
  std::size_t end = item.size();
  if (auto parts = alias_parts(item)) end = parts->expr_end;
  while (end > 0 && item[end - 1].is_trivia()) --end;
  std::string out;
  for (std::size_t i = 0; i < end; ++i) cst::print_child(item[i], out);
  return out;
}

std::optional<std::string> item_name(const Children& item) {
  if (auto parts = alias_parts(item)) return unquote(parts->alias);
  return reference_name(item);
}

std::optional<std::string> reference_name(const Children& item) {
  const Token* last = reference_last(item);
  if (last == nullptr) return std::nullopt;
  return unquote(last->text());
}

const Token* reference_last(const Children& item) {
  const Token* candidate = nullptr;
  std::size_t position = 0;
  for (const Child& c : item) {
    if (c.is_trivia()) continue;
    const Token* t = c.as_token();
    if (t == nullptr) return nullptr;
    if (position % 2 == 0) {
      if (!is_name_token(*t)) return nullptr;
      candidate = t;
    } else if (t->kind() != TokenKind::Other || t->text() != ".") {
      return nullptr;
    }
    ++position;
  }
  if (candidate == nullptr || position % 2 == 0) return nullptr;
  return candidate;
}

bool item_is_templated(const Children& item) { return cst::holds_jinja_tag(item); }

std::string unquote(std::string_view text) {
  if (text.size() < 2) return std::string(text);
  const char q = text.front();
  if ((q != '"' && q != '`') || text.back() != q) return std::string(text);

  const std::string_view inner = text.substr(1, text.size() - 2);
  std::string out;
  out.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    out += inner[i];
    if (inner[i] == q && i + 1 < inner.size() && inner[i + 1] == q) ++i;
  }
  return out;
}

}  // namespace trelm::query
