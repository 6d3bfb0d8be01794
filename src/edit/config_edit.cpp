#include "edit/config_edit.hpp"

#include <variant>

#include "jinja/call.hpp"
#include "jinja/kwarg_edit.hpp"
#include "jinja/literal_reader.hpp"
#include "jinja/render.hpp"
#include "lexer/lexer.hpp"
#include "query/metadata.hpp"

namespace trelm::edit {
namespace {

std::string_view trim_blanks(std::string_view s) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) + 1 - first);
}

// The tag's new text is put into the tree without lexing the file again, so
// it must lex on its own as exactly one expression tag: raw source can close
// the tag early («'x' }} {{ y») or leave a bracket open («f(») and make the
// printed file read differently from the tree.
bool is_one_expression_tag(std::string_view text) {
  const lexer::LexResult lexed = lexer::lex(text);
  const auto* tokens = std::get_if<std::vector<cst::Token>>(&lexed);
  return tokens != nullptr && tokens->size() == 1 && tokens->front().kind == cst::TokenKind::JinjaExpression;
}

// ... and still be the configuration call, now holding `key` = `source`.
bool reads_back_with(std::string_view text, std::string_view key, std::string_view source) {
  if (!is_one_expression_tag(text)) return false;
  const auto call = jinja::config_call(text);
  if (!call) return false;
  const auto found = call->kwarg(text, key);
  return found && found->value_text == trim_blanks(source);
}

bool reads_back_as_config(std::string_view text) {
  return is_one_expression_tag(text) && jinja::config_call(text).has_value();
}

}  // namespace

ConfigChange set_config(cst::Document& doc, std::string_view key, const jinja::Literal& value) {
  const std::optional<std::string> text = query::config_text(doc);
  if (!text) return ConfigChange::NoConfigCall;
  return set_config_source(doc, key, jinja::render_literal(value, jinja::quote_style(*text)));
}

ConfigChange set_config_source(cst::Document& doc, std::string_view key, std::string_view source) {
  const std::optional<query::ConfigTag> tag = query::config_tag(doc);
  if (!tag) return ConfigChange::NoConfigCall;
  std::string edited = jinja::set_kwarg(tag->text, tag->call, key, source);
  if (!reads_back_with(edited, key, source)) return ConfigChange::BreaksTag;
  set_config_text(doc, std::move(edited));
  return ConfigChange::Applied;
}

ConfigChange remove_config(cst::Document& doc, std::string_view key) {
  const std::optional<query::ConfigTag> tag = query::config_tag(doc);
  if (!tag) return ConfigChange::NoConfigCall;
  std::optional<std::string> edited = jinja::remove_kwarg(tag->text, tag->call, key);
  if (!edited) return ConfigChange::NoConfigCall;
  if (!reads_back_as_config(*edited)) return ConfigChange::BreaksTag;
  set_config_text(doc, std::move(*edited));
  return ConfigChange::Applied;
}

void set_config_text(cst::Document& doc, std::string text) {
  const std::optional<std::size_t> index = query::config_index(doc);
  if (!index) return;
  auto lock = doc.root->write_lock();
  doc.root->children[*index] = cst::Child(cst::Token(cst::TokenKind::JinjaExpression, text));
}

}  // namespace trelm::edit
