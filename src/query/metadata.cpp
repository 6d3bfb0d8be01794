#include "query/metadata.hpp"

#include <stdexcept>
#include <unordered_set>

#include "jinja/call.hpp"
#include "jinja/expr_tokens.hpp"
#include "jinja/literal_reader.hpp"
#include "jinja/token_shapes.hpp"
#include "lexer/jinja_tags.hpp"
#include "tree/positions.hpp"
#include "tree/traverse.hpp"

namespace trelm::query {
namespace {

using cst::TokenKind;

bool is_config_tag(const cst::Child& child) {
  const cst::Token* t = child.as_token();
  return t != nullptr && t->kind() == TokenKind::JinjaExpression &&
         t->text().find("config") != std::string::npos && jinja::config_call(t->text()).has_value();
}

// Kinds whose text may carry Jinja tags inside it.
bool may_embed_tags(TokenKind k) {
  return k == TokenKind::LineComment || k == TokenKind::BlockComment || k == TokenKind::String ||
         k == TokenKind::QuotedIdentifier;
}

// Whether `value` holds nothing but quoted strings, parentheses and
// whitespace: only such a value can read as a string literal («'a' 'b'»,
// «('a')»). Deciding this from the value's start, stopping at the first
// other character, keeps nested calls linear: in «ref(ref(ref('a')))» each
// value runs to the end of the tag.
bool may_be_string_literal(std::string_view value) {
  bool has_string = false;
  for (std::size_t p = 0; p < value.size();) {
    const char c = value[p];
    if (c == '\'' || c == '"') {
      has_string = true;
      p = jinja::quoted_string_end(value, p);
    } else if (c == '(' || c == ')') {
      ++p;
    } else if (const std::size_t n = jinja::whitespace_length(value, p)) {
      p += n;
    } else {
      return false;
    }
  }
  return has_string;
}

void collect_calls(std::string_view piece, std::string_view name, const jinja::CharacterNames* names,
                   std::vector<std::vector<std::string>>& out) {
  for (const jinja::Call& call : jinja::find_calls(piece, name)) {
    if (auto strings = positional_strings(piece, call, names)) out.push_back(std::move(*strings));
  }
}

// A set key that tells argument lists apart exactly: each string with its
// length in front.
std::string identity_of(const std::vector<std::string>& strings) {
  std::string key;
  for (const std::string& s : strings) {
    key += std::to_string(s.size());
    key += ':';
    key += s;
  }
  return key;
}

}  // namespace

std::size_t config_count(const cst::Document& doc) {
  auto lock = doc.root->read_lock();
  std::size_t count = 0;
  for (const cst::Child& child : doc.root->children) count += is_config_tag(child) ? 1 : 0;
  return count;
}

std::optional<std::vector<std::string>> positional_strings(std::string_view text, const jinja::Call& call,
                                                           const jinja::CharacterNames* names) {
  std::vector<std::string> strings;
  for (const jinja::CallArg& arg : call.args) {
    if (arg.name) continue;
    if (!may_be_string_literal(arg.value.text_in(text))) return std::nullopt;
    std::optional<jinja::Literal> value = jinja::parse_literal(arg.value.text_in(text), names);
    if (!value || !value->holds<jinja::Literal::Str>()) return std::nullopt;
    strings.push_back(std::move(value->as<jinja::Literal::Str>()));
  }
  return strings;
}

std::optional<std::size_t> config_index(const cst::Document& doc, std::size_t nth) {
  auto lock = doc.root->read_lock();
  const cst::Children& children = doc.root->children;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (is_config_tag(children[i]) && seen++ == nth) return i;
  }
  return std::nullopt;
}

std::optional<cst::TokenId> config_tag_id(const cst::Document& doc, std::size_t nth) {
  const std::optional<std::size_t> index = config_index(doc, nth);
  if (!index) return std::nullopt;
  auto lock = doc.root->read_lock();
  return doc.root->children[*index].token().id();
}

std::optional<std::string> config_text(const cst::Document& doc, std::size_t nth) {
  const std::optional<std::size_t> index = config_index(doc, nth);
  if (!index) return std::nullopt;
  auto lock = doc.root->read_lock();
  return std::string(doc.root->children[*index].token().text());
}

// The tag was chosen because it reads as the call; not reading it again
// means the tree changed under us.
std::optional<ConfigTag> config_tag(const cst::Document& doc, std::size_t nth) {
  std::optional<std::string> text = config_text(doc, nth);
  if (!text) return std::nullopt;
  std::optional<jinja::ConfigArgs> args = jinja::config_args(*text);
  if (!args) throw std::logic_error("config_index found a config call");
  return ConfigTag{std::move(*text), std::move(*args)};
}

std::vector<std::string> config_keys(const cst::Document& doc, std::size_t nth) {
  const std::optional<ConfigTag> tag = config_tag(doc, nth);
  if (!tag) return {};
  return tag->args.key_names();
}

std::optional<std::string> config_source(const cst::Document& doc, std::string_view key, std::size_t nth) {
  const std::optional<ConfigTag> tag = config_tag(doc, nth);
  if (!tag) return std::nullopt;
  const std::optional<std::size_t> found = tag->args.find(key);
  if (!found) return std::nullopt;
  return std::string(tag->args.entries.args[*found].value.text_in(tag->text));
}

void for_each_tag(const cst::Document& doc, std::string_view hint, bool count_positions,
                  const std::function<void(const TagSite&)>& visit) {
  std::size_t at = 0;
  auto lock = doc.root->read_lock();
  cst::for_each_token(doc.root->children, [&](const cst::Token& t) {
    if (t.kind() == TokenKind::JinjaExpression || t.kind() == TokenKind::JinjaStatement) {
      visit(TagSite{t.text(), &t, at});
    } else if (may_embed_tags(t.kind()) && t.text().find(hint) != std::string::npos) {
      for (std::string_view tag : lexer::embedded_tags(t.text())) visit(TagSite{tag, &t, at});
    }
    if (count_positions) at += cst::count_chars(t.text());
  });
}

std::vector<std::vector<std::string>> call_string_args(const cst::Document& doc, std::string_view name,
                                                       const jinja::CharacterNames* names) {
  std::vector<std::vector<std::string>> out;
  for_each_tag(doc, name, false, [&](const TagSite& site) { collect_calls(site.tag, name, names, out); });
  return out;
}

std::vector<std::vector<std::string>> refs(const cst::Document& doc, const jinja::CharacterNames* names) {
  std::vector<std::vector<std::string>> kept;
  std::unordered_set<std::string> seen;
  for (std::vector<std::string>& args : call_string_args(doc, "ref", names)) {
    if (args.empty() || !seen.insert(identity_of(args)).second) continue;
    kept.push_back(std::move(args));
  }
  return kept;
}

std::vector<std::pair<std::string, std::string>> sources(const cst::Document& doc,
                                                         const jinja::CharacterNames* names) {
  std::vector<std::pair<std::string, std::string>> kept;
  std::unordered_set<std::string> seen;
  for (std::vector<std::string>& args : call_string_args(doc, "source", names)) {
    if (args.size() != 2 || !seen.insert(identity_of(args)).second) continue;
    kept.emplace_back(std::move(args[0]), std::move(args[1]));
  }
  return kept;
}

}  // namespace trelm::query
