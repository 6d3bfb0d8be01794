#include "query/model_scan.hpp"

#include <cstring>
#include <tuple>
#include <unordered_set>

#include "jinja/call.hpp"
#include "jinja/config_args.hpp"
#include "lexer/jinja_tags.hpp"
#include "query/metadata.hpp"
#include "tree/positions.hpp"
#include "tree/traverse.hpp"

namespace trelm::query {
namespace {

using cst::TokenKind;

// Line and column of byte offsets into one text. Offsets mostly come in
// order, so lines are counted on from the last one asked.
class LineCounter {
 public:
  explicit LineCounter(std::string_view text) : text_(text) {}

  std::pair<std::size_t, std::size_t> at(std::size_t offset) {
    if (offset > text_.size()) offset = text_.size();
    if (offset < counted_) line_ = 1, counted_ = 0;  // out of order: count from the top
    for (const char* p = text_.data() + counted_, *end = text_.data() + offset;
         (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) != nullptr; ++p) {
      ++line_;
    }
    counted_ = offset;
    const std::size_t newline = offset == 0 ? std::string_view::npos : text_.rfind('\n', offset - 1);
    const std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
    return {line_, cst::count_chars(text_.substr(line_start, offset - line_start)) + 1};
  }

 private:
  std::string_view text_;
  std::size_t line_ = 1;
  std::size_t counted_ = 0;
};

bool is_config_tag(const cst::Token& t) {
  return t.kind() == TokenKind::JinjaExpression && t.text().find("config") != std::string_view::npos &&
         jinja::config_call(t.text()).has_value();
}

// Kinds whose text may carry Jinja tags inside it.
bool may_embed_tags(TokenKind k) {
  return k == TokenKind::LineComment || k == TokenKind::BlockComment || k == TokenKind::String ||
         k == TokenKind::QuotedIdentifier;
}

bool names_a_call_sought(std::string_view text) {
  return text.find("ref") != std::string_view::npos || text.find("source") != std::string_view::npos;
}

// The source of the last keyword argument named `key`.
std::optional<std::string_view> last_keyword(std::string_view tag, const jinja::Call& call, std::string_view key) {
  std::optional<std::string_view> found;
  for (const jinja::CallArg& arg : call.args) {
    if (arg.name && arg.name->text_in(tag) == key) found = arg.value.text_in(tag);
  }
  return found;
}

ScannedCall scanned(std::string_view tag, const jinja::NamedCall& named, std::pair<std::size_t, std::size_t> place,
                    bool is_ref, const jinja::CharacterNames* names) {
  ScannedCall out;
  out.text = std::string(tag.substr(named.name_start, named.call.close + 1 - named.name_start));
  out.line = place.first;
  out.column = place.second;
  out.strings = positional_strings(tag, named.call, names);
  if (is_ref) {
    std::optional<std::string_view> version = last_keyword(tag, named.call, "version");
    if (!version) version = last_keyword(tag, named.call, "v");
    if (version) {
      out.version_source = std::string(*version);
      out.version = jinja::parse_literal(*version, names);
    }
  }
  return out;
}

ScannedConfig scanned_config(std::string_view text, const jinja::CharacterNames* names) {
  ScannedConfig out;
  const std::optional<jinja::ConfigArgs> args = jinja::config_args(text);
  if (!args) return out;
  std::unordered_set<std::string> seen;
  for (std::string& key : args->key_names()) {
    if (!seen.insert(key).second) continue;
    std::optional<jinja::Literal> value;
    if (const std::optional<std::size_t> found = args->find(key)) {
      value = jinja::parse_literal(args->entries.args[*found].value.text_in(text), names);
    }
    out.entries.emplace_back(std::move(key), std::move(value));
  }
  return out;
}

}  // namespace

ModelScan scan_model(const cst::Document& doc, std::string_view text, const jinja::CharacterNames* names) {
  ModelScan out;
  LineCounter lines(text);
  auto lock = doc.root->read_lock();
  std::vector<const cst::Token*> config_tags;
  for (const cst::Child& child : doc.root->children) {
    const cst::Token* t = child.as_token();
    if (t != nullptr && is_config_tag(*t)) config_tags.push_back(t);
  }
  for (const cst::Token* t : config_tags) out.configs.push_back(scanned_config(t->text(), names));

  const auto visit_tag = [&](std::string_view tag, std::size_t tag_start) {
    if (!names_a_call_sought(tag)) return;
    for (const jinja::NamedCall& named : jinja::find_every_call(tag)) {
      const bool is_ref = named.name == "ref";
      if (!is_ref && named.name != "source") continue;
      const auto place = lines.at(tag_start + named.name_start);
      (is_ref ? out.refs : out.sources).push_back(scanned(tag, named, place, is_ref, names));
    }
  };
  std::size_t at = 0;
  cst::for_each_token(doc.root->children, [&](const cst::Token& t) {
    const std::string_view token = t.text();
    if (!config_tags.empty() && &t == config_tags.front()) {
      std::tie(out.config_line, out.config_column) = lines.at(at);
    }
    if (t.kind() == TokenKind::JinjaExpression || t.kind() == TokenKind::JinjaStatement) {
      visit_tag(token, at);
    } else if (may_embed_tags(t.kind()) && names_a_call_sought(token)) {
      for (std::string_view tag : lexer::embedded_tags(token)) {
        visit_tag(tag, at + static_cast<std::size_t>(tag.data() - token.data()));
      }
    }
    at += token.size();
  });
  return out;
}

}  // namespace trelm::query
