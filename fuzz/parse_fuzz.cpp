// Invariants of parsing any text: it either fails on an unterminated Jinja
// construct at a "{", or prints back byte for byte; walking the queries and
// select items of the result never fails.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "parser/parse.hpp"
#include "query/navigation.hpp"
#include "query/select_item.hpp"
#include "tree/print.hpp"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto result = trelm::parser::parse(text);
  if (auto* err = std::get_if<trelm::parser::ParseError>(&result)) {
    check(err->offset < text.size() && text[err->offset] == '{');
    return 0;
  }
  const auto& doc = std::get<trelm::cst::Document>(result);
  check(trelm::cst::document_text(doc) == text);
  for (const auto& q : trelm::query::queries(doc)) {
    for (const auto& sel : trelm::query::selects(q)) {
      std::vector<trelm::cst::NodeRef> items;
      {
        auto lock = sel->read_lock();
        items = trelm::query::select_items(sel->children);
      }
      for (const auto& item : items) {
        auto lock = item->read_lock();
        (void)trelm::query::item_name(item->children);
        (void)trelm::query::item_expr(item->children);
      }
    }
    for (const auto& c : trelm::query::ctes(q)) {
      auto lock = c->read_lock();
      (void)trelm::query::cte_name(c->children);
    }
  }
  return 0;
}
