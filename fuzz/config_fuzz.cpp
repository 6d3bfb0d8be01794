// Config edits on any parsed document, through each of its first few
// configuration calls: after every set, raw set or removal the document
// prints, parses again to the same text, keeps every byte outside the edited
// tag, keeps the call's form (keywords stay keywords, a lone dict stays a
// lone dict) and reads back the value just written; a refused edit changes
// nothing, and a call with other positional arguments refuses every edit.
// The input is a document, optionally followed by a NUL byte and raw Jinja
// source to write.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "around.hpp"
#include "fuzz_check.hpp"
#include "edit/config_edit.hpp"
#include "jinja/config_args.hpp"
#include "jinja/literal_reader.hpp"
#include "jinja/render.hpp"
#include "parser/parse.hpp"
#include "query/metadata.hpp"
#include "tree/print.hpp"

namespace {

using namespace trelm;

std::string_view trim(std::string_view s) {
  const std::size_t first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") + 1 - first);
}

using fuzz::Around;

// Enough to reach a second and a third call without making long inputs slow.
constexpr std::size_t kCallsEdited = 3;

jinja::ConfigForm form_of(const cst::Document& doc, std::size_t nth) {
  const auto tag = query::config_tag(doc, nth);
  CHECK(tag.has_value());
  return tag->args.form;
}

void check_edit(cst::Document& doc, edit::ConfigChange change, const std::string& text_before,
                const Around& around, std::size_t nth, jinja::ConfigForm form) {
  const std::string text = cst::document_text(doc);
  CHECK((change == edit::ConfigChange::PositionalArguments) == (form == jinja::ConfigForm::Positional));
  if (change != edit::ConfigChange::Applied) {
    CHECK(text == text_before);
    return;
  }
  CHECK(around.kept_by(text));
  CHECK(form_of(doc, nth) == form);
  auto reparsed = parser::parse(text);
  CHECK(std::holds_alternative<cst::Document>(reparsed));
  const auto& again = std::get<cst::Document>(reparsed);
  CHECK(cst::document_text(again) == text);
  CHECK(query::config_text(again, nth) == query::config_text(doc, nth));
}

void run_edits(cst::Document& doc, std::string_view raw, std::size_t nth) {
  const jinja::Literal values[] = {
      jinja::Literal::str("it's \"x\" }} {% \\ \n"), jinja::Literal::integer(-7), jinja::Literal::floating(1e23),
      jinja::Literal::list({jinja::Literal::none(), jinja::Literal::dict({{jinja::Literal::str("k"), jinja::Literal::boolean(true)}})}),
  };
  const std::string_view sources[] = {raw,  "var('s')", "'x' }} {{ y", "f(", "1, b=2", "1, 'b': 2", "1}, b={",
                                      "",   "'}}'",     "[1, (2, 3)]"};
  const std::string_view keys[] = {"a", "style", "k", "pre-hook"};
  const jinja::ConfigForm form = form_of(doc, nth);
  for (std::string_view key : keys) {
    // Only a call of keyword arguments refuses a key that is no name.
    const bool refuses_key = form == jinja::ConfigForm::Keywords && !edit::is_argument_name(key);
    for (const jinja::Literal& value : values) {
      const std::string before = cst::document_text(doc);
      const Around around = fuzz::around_config(doc, before, nth);
      const auto change = edit::set_config(doc, key, value, nth);
      check_edit(doc, change, before, around, nth, form);
      CHECK((change == edit::ConfigChange::KeyNotAName) == refuses_key);
      if (change == edit::ConfigChange::Applied) {
        CHECK(jinja::parse_literal(*query::config_source(doc, key, nth)) == value);
      }
    }
    for (std::string_view source : sources) {
      const std::string before = cst::document_text(doc);
      const Around around = fuzz::around_config(doc, before, nth);
      const auto change = edit::set_config_source(doc, key, source, nth);
      check_edit(doc, change, before, around, nth, form);
      CHECK((change == edit::ConfigChange::KeyNotAName) == refuses_key);
      if (change == edit::ConfigChange::Applied) {
        CHECK(query::config_source(doc, key, nth) == std::string(trim(source)));
      }
    }
    const std::string before = cst::document_text(doc);
    const Around around = fuzz::around_config(doc, before, nth);
    const std::vector<std::string> keys_before = query::config_keys(doc, nth);
    const auto change = edit::remove_config(doc, key, nth);
    check_edit(doc, change, before, around, nth, form);
    // Every entry of the key goes (a dict may repeat one).
    const auto repeats = static_cast<std::size_t>(std::count(keys_before.begin(), keys_before.end(), key));
    if (change == edit::ConfigChange::Applied) {
      CHECK(query::config_keys(doc, nth).size() + repeats == keys_before.size());
      CHECK(!query::config_source(doc, key, nth).has_value());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view text = input.substr(0, nul);
  const std::string_view raw = nul == std::string_view::npos ? std::string_view("1") : input.substr(nul + 1);
  auto parsed = parser::parse(text);
  auto* doc = std::get_if<cst::Document>(&parsed);
  if (doc == nullptr) return 0;
  const std::size_t calls = query::config_count(*doc);
  for (std::size_t nth = 0; nth < calls && nth < kCallsEdited; ++nth) {
    run_edits(*doc, raw, nth);
    CHECK(query::config_count(*doc) == calls);
  }
  return 0;
}
