// Config edits on any parsed document: after every set, raw set or removal
// the document prints, parses again to the same text, keeps every byte
// outside the configuration tag, and reads back the value just written; a
// refused edit changes nothing. The input is a document, optionally followed
// by a NUL byte and raw Jinja source to write.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "around.hpp"
#include "fuzz_check.hpp"
#include "edit/config_edit.hpp"
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

void check_edit(cst::Document& doc, edit::ConfigChange change, const std::string& text_before,
                const Around& around) {
  const std::string text = cst::document_text(doc);
  if (change != edit::ConfigChange::Applied) {
    CHECK(text == text_before);
    return;
  }
  CHECK(around.kept_by(text));
  auto reparsed = parser::parse(text);
  CHECK(std::holds_alternative<cst::Document>(reparsed));
  const auto& again = std::get<cst::Document>(reparsed);
  CHECK(cst::document_text(again) == text);
  CHECK(query::config_text(again) == query::config_text(doc));
}

void run_edits(cst::Document& doc, std::string_view raw) {
  const jinja::Literal values[] = {
      jinja::Literal::str("it's \"x\" }} {% \\ \n"), jinja::Literal::integer(-7), jinja::Literal::floating(1e23),
      jinja::Literal::list({jinja::Literal::none(), jinja::Literal::dict({{jinja::Literal::str("k"), jinja::Literal::boolean(true)}})}),
  };
  const std::string_view sources[] = {raw, "var('s')", "'x' }} {{ y", "f(", "1, b=2", "", "'}}'", "[1, (2, 3)]"};
  const std::string_view keys[] = {"a", "style", "k"};
  for (std::string_view key : keys) {
    for (const jinja::Literal& value : values) {
      const std::string before = cst::document_text(doc);
      const Around around = fuzz::around_config(doc, before);
      const auto change = edit::set_config(doc, key, value);
      check_edit(doc, change, before, around);
      if (change == edit::ConfigChange::Applied) {
        CHECK(jinja::parse_literal(*query::config_source(doc, key)) == value);
      }
    }
    for (std::string_view source : sources) {
      const std::string before = cst::document_text(doc);
      const Around around = fuzz::around_config(doc, before);
      const auto change = edit::set_config_source(doc, key, source);
      check_edit(doc, change, before, around);
      if (change == edit::ConfigChange::Applied) CHECK(query::config_source(doc, key) == std::string(trim(source)));
    }
    const std::string before = cst::document_text(doc);
    const Around around = fuzz::around_config(doc, before);
    check_edit(doc, edit::remove_config(doc, key), before, around);
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
  if (doc == nullptr || !query::config_index(*doc)) return 0;
  run_edits(*doc, raw);
  return 0;
}
