#include "edit/config_edit.hpp"

#include <optional>
#include <variant>
#include <vector>

#include "jinja/config_args.hpp"
#include "jinja/kwarg_edit.hpp"
#include "jinja/literal_reader.hpp"
#include "jinja/render.hpp"
#include "lexer/lexer.hpp"
#include "query/metadata.hpp"

namespace trelm::edit {
namespace {

using jinja::ConfigArgs;
using jinja::ConfigForm;

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
  return tokens != nullptr && tokens->size() == 1 && tokens->front().kind() == cst::TokenKind::JinjaExpression;
}

// ... and still be the configuration call in the same form, setting exactly
// the keys `keys`, `key` (when given) to `source`. Raw source such as
// «1, b=2» or «1, "b": 2» would add a key; «1}, x={» would change the form.
bool reads_back(std::string_view text, ConfigForm form, const std::vector<std::string>& keys,
                std::optional<std::string_view> key = std::nullopt, std::string_view source = {}) {
  if (!is_one_expression_tag(text)) return false;
  const std::optional<ConfigArgs> args = jinja::config_args(text);
  if (!args || args->form != form || args->key_names() != keys) return false;
  if (!key) return true;
  const std::optional<std::size_t> found = args->find(*key);
  return found && args->entries.args[*found].value.text_in(text) == trim_blanks(source);
}

// A new dict entry's key, in the quote the dict's string keys use (the
// tag's own quote when it has none), escaped as a string literal is.
std::string quoted_key(const query::ConfigTag& tag, std::string_view key) {
  char quote = jinja::quote_style(tag.text);
  for (std::size_t i = 0; i < tag.args.keys.size(); ++i) {
    if (tag.args.keys[i]) {
      quote = tag.text[tag.args.entries.args[i].name->start];
      break;
    }
  }
  return jinja::render_literal(jinja::Literal::str(std::string(key)), quote);
}

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// The tag's text with `key` set to `source`: the value replaced when the key
// is there, else a new argument or entry appended.
std::string with_value(const query::ConfigTag& tag, std::string_view key, std::string_view source) {
  const ConfigArgs& args = tag.args;
  if (const std::optional<std::size_t> found = args.find(key)) {
    return jinja::replace_value(tag.text, args.entries, *found, source);
  }
  std::string item = args.form == ConfigForm::Dict ? quoted_key(tag, key) : std::string(key);
  item += jinja::name_separator(tag.text, args.entries, args.form == ConfigForm::Dict ? ": " : "=");
  item += source;
  return jinja::append_item(tag.text, args.entries, item);
}

}  // namespace

bool is_argument_name(std::string_view key) {
  if (key.empty() || !(key[0] == '_' || is_ascii_letter(key[0]))) return false;
  for (char c : key) {
    if (!(c == '_' || is_ascii_letter(c) || is_ascii_digit(c))) return false;
  }
  return true;
}

bool takes_key(const cst::Document& doc, std::string_view key, std::size_t nth) {
  if (is_argument_name(key)) return true;
  const std::optional<query::ConfigTag> tag = query::config_tag(doc, nth);
  return !tag || tag->args.form != ConfigForm::Keywords;
}

ConfigChange set_config(cst::Document& doc, std::string_view key, const jinja::Literal& value, std::size_t nth) {
  const std::optional<std::string> text = query::config_text(doc, nth);
  if (!text) return ConfigChange::NoConfigCall;
  return set_config_source(doc, key, jinja::render_literal(value, jinja::quote_style(*text)), nth);
}

ConfigChange set_config_source(cst::Document& doc, std::string_view key, std::string_view source, std::size_t nth) {
  const std::optional<query::ConfigTag> tag = query::config_tag(doc, nth);
  if (!tag) return ConfigChange::NoConfigCall;
  if (!tag->args.editable()) return ConfigChange::PositionalArguments;
  if (tag->args.form == ConfigForm::Keywords && !is_argument_name(key)) return ConfigChange::KeyNotAName;
  std::vector<std::string> keys = tag->args.key_names();
  if (!tag->args.find(key)) keys.emplace_back(key);
  std::string edited = with_value(*tag, key, source);
  if (!reads_back(edited, tag->args.form, keys, key, source)) return ConfigChange::BreaksTag;
  set_config_text(doc, std::move(edited), nth);
  return ConfigChange::Applied;
}

ConfigChange remove_config(cst::Document& doc, std::string_view key, std::size_t nth) {
  const std::optional<query::ConfigTag> tag = query::config_tag(doc, nth);
  if (!tag) return ConfigChange::NoConfigCall;
  if (!tag->args.editable()) return ConfigChange::PositionalArguments;
  if (!tag->args.find(key)) return ConfigChange::NoConfigCall;
  std::vector<std::string> left = tag->args.key_names();
  std::erase(left, std::string(key));
  // One entry at a time, each found in the text as the last removal left
  // it; a text that no longer reads as the call stops the loop and is
  // refused below.
  std::string edited = tag->text;
  std::optional<ConfigArgs> args = tag->args;
  for (std::optional<std::size_t> found; args && (found = args->find(key));) {
    edited = jinja::remove_item(edited, args->entries, *found);
    args = jinja::config_args(edited);
  }
  if (!reads_back(edited, tag->args.form, left)) return ConfigChange::BreaksTag;
  set_config_text(doc, std::move(edited), nth);
  return ConfigChange::Applied;
}

void set_config_text(cst::Document& doc, std::string text, std::size_t nth) {
  const std::optional<std::size_t> index = query::config_index(doc, nth);
  if (!index) return;
  auto lock = doc.root->write_lock();
  doc.root->children[*index] = cst::Child(cst::Token(cst::TokenKind::JinjaExpression, text));
}

}  // namespace trelm::edit
