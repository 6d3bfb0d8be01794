// Where parse time goes: lexing, grouping (with the paren query check) and
// the full parse with statement structuring, plus printing and freeing, on
// one file. Prints MB/s; asserts nothing.
//
//   parse_bench FILE [repeat]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "lexer/lexer.hpp"
#include "parser/group.hpp"
#include "parser/parse.hpp"
#include "tree/print.hpp"

namespace {

double best_seconds(int repeat, const std::function<void()>& fn) {
  double best = 1e300;
  for (int i = 0; i < repeat; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

void report(const char* what, double mb, double seconds) {
  std::printf("%-28s %8.1f MB/s  %8.1f ms\n", what, mb / seconds, seconds * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: parse_bench FILE [repeat]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int repeat = argc > 2 ? std::atoi(argv[2]) : 5;
  double mb = static_cast<double>(text.size()) / 1e6;
  std::printf("%s: %.2f MB\n", argv[1], mb);

  report("lex", mb, best_seconds(repeat, [&] { (void)trelm::lexer::lex(text); }));
  report("lex + group", mb, best_seconds(repeat, [&] {
           auto tokens = std::get<std::vector<trelm::cst::Token>>(trelm::lexer::lex(text));
           (void)trelm::parser::group(std::move(tokens));
         }));
  report("parse (with structuring)", mb, best_seconds(repeat, [&] { (void)trelm::parser::parse(text); }));
  auto doc = std::get<trelm::cst::Document>(trelm::parser::parse(text));
  report("print", mb, best_seconds(repeat, [&] { (void)trelm::cst::document_text(doc); }));
  return 0;
}
