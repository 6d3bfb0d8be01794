// What every fuzz target shares: a check that names the failed line before
// aborting (libFuzzer then keeps the input), and the lexer's messages.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace trelm::fuzz {

inline void check_at(bool ok, const char* file, int line) {
  if (ok) return;
  std::fprintf(stderr, "%s: check failed at line %d\n", file, line);
  std::abort();
}

inline bool is_lexer_message(std::string_view m) {
  return m == "unterminated `{{` tag" || m == "unterminated `{%` tag" || m == "unterminated `{% raw %}` block" ||
         m == "unterminated `{#` comment";
}

}  // namespace trelm::fuzz

#define CHECK(x) ::trelm::fuzz::check_at((x), __FILE__, __LINE__)
