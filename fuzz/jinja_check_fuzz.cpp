// Invariants of the Jinja syntax checker for any text: it never crashes and
// stays fast whatever the nesting; a problem points inside what was checked;
// and its verdict on an expression does not depend on the tag around it.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "jinja/syntax_check.hpp"
#include "jinja/template_check.hpp"

namespace {

using namespace trelm::jinja;

// Refused when read or when compiled: check_expression answers for both.
bool refused(std::string_view tag) {
  const TagCheck c = check_tag(tag);
  for (const auto& p : {c.problem, c.compile_problem}) {
    if (p) CHECK(p->start <= p->end && p->end <= tag.size() + 1);
  }
  return c.problem.has_value() || c.compile_problem.has_value();
}

// The same expression in every tag that reads one: a print tag with and
// without whitespace control, and the statements whose argument is one
// expression or a tuple. Text holding "}" is left out: it could close the
// tag early or join a marker.
void check_markers_do_not_matter(std::string_view text) {
  if (text.find('}') != std::string_view::npos) return;
  const std::string e(text);
  const bool as_tuple = refused("{{ " + e + " }}");
  CHECK(refused("{{- " + e + " -}}") == as_tuple);
  CHECK(refused("{{+ " + e + " }}") == as_tuple);
  CHECK(refused("{% do " + e + " %}") == as_tuple);
  CHECK(refused("{%- do " + e + " -%}") == as_tuple);
  const bool as_expression = check_expression(text).has_value();
  CHECK(refused("{% extends " + e + " %}") == as_expression);
  CHECK(refused("{%+ extends " + e + " +%}") == as_expression);
  // One expression is also a tuple of one.
  if (!as_expression) CHECK(!as_tuple);
}

void check_template_problems(std::string_view text) {
  std::size_t last = 0;
  for (const TemplateProblem& p : check_template(text)) {
    CHECK(p.start >= last && p.start < p.end && p.end <= text.size() + 1 && !p.message.empty());
    last = p.start;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto started = std::chrono::steady_clock::now();
  check_markers_do_not_matter(text);
  check_template_problems(text);
  refused("{% " + std::string(text) + " %}");
  // Every check is linear in the text: even a few kilobytes of nesting end
  // well within a second.
  const auto elapsed = std::chrono::steady_clock::now() - started;
  CHECK(elapsed < std::chrono::seconds(2) + std::chrono::milliseconds(size));
  return 0;
}
