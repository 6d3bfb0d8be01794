// The core alone, without Python: lexing, lexing plus grouping, the full
// parse and printing, in bytes per second over whole folders of model files
// (every *.sql below each folder given with --corpus=DIR). Before the timed
// runs it prints, per folder, the sizes of the tree types, the token and node
// counts, heap allocations per source byte and the heap bytes a parsed tree
// keeps per source byte. Asserts nothing about time.
//
//   core_bench --corpus=DIR [--corpus=DIR ...] [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "edit/select_edit.hpp"
#include "lexer/lexer.hpp"
#include "parser/group.hpp"
#include "parser/parse.hpp"
#include "query/navigation.hpp"
#include "tree/print.hpp"
#include "tree/traverse.hpp"

// Counting allocator for this binary only: a branch on a flag when off, so
// the timed runs pay next to nothing for it.
namespace {
bool g_counting = false;
std::size_t g_allocations = 0;

void* counted_alloc(std::size_t size) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace fs = std::filesystem;
using trelm::cst::Document;

struct Corpus {
  std::string name;
  std::vector<std::string> files;
  std::size_t bytes = 0;
};

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Corpus load_corpus(const fs::path& dir) {
  Corpus c;
  c.name = dir.filename().empty() ? dir.parent_path().filename().string() : dir.filename().string();
  std::vector<fs::path> paths;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().extension() == ".sql") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  for (const auto& p : paths) {
    c.files.push_back(read_file(p));
    c.bytes += c.files.back().size();
  }
  return c;
}

std::size_t heap_in_use() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

struct TreeCounts {
  std::size_t tokens = 0;
  std::size_t nodes = 0;
  std::size_t heap_texts = 0;      // tokens with a heap copy of their text
  std::size_t heap_text_bytes = 0;
  std::size_t slots = 0;           // child slots in use
  std::size_t slot_capacity = 0;   // child slots allocated

  void add(const TreeCounts& o) {
    tokens += o.tokens;
    nodes += o.nodes;
    heap_texts += o.heap_texts;
    heap_text_bytes += o.heap_text_bytes;
    slots += o.slots;
    slot_capacity += o.slot_capacity;
  }
};

TreeCounts count_tree(const Document& doc) {
  TreeCounts counts;
  auto lock = doc.root->read_lock();
  trelm::cst::for_each_token(doc.root->children, [&](const trelm::cst::Token& t) {
    ++counts.tokens;
    if (t.owns_text()) {
      ++counts.heap_texts;
      counts.heap_text_bytes += t.size();
    }
  });
  counts.nodes = 1;  // the root
  counts.slots = doc.root->children.size();
  counts.slot_capacity = doc.root->children.capacity();
  trelm::cst::for_each_descendant(doc.root->children, [&](const trelm::cst::NodeRef& n) {
    ++counts.nodes;
    auto node_lock = n->read_lock();
    counts.slots += n->children.size();
    counts.slot_capacity += n->children.capacity();
  });
  return counts;
}

// One untimed pass that parses every file, keeps every document and reports
// what the trees cost: allocations and retained heap bytes per source byte.
void report_memory(const Corpus& c) {
  std::vector<Document> docs;
  docs.reserve(c.files.size());
  std::size_t failed = 0;
  const std::size_t before = heap_in_use();
  g_allocations = 0;
  g_counting = true;
  for (const auto& text : c.files) {
    auto result = trelm::parser::parse(text);
    if (auto* doc = std::get_if<Document>(&result)) {
      docs.push_back(std::move(*doc));
    } else {
      ++failed;
    }
  }
  g_counting = false;
  const std::size_t allocations = g_allocations;
  const std::size_t retained = heap_in_use() - before;
  TreeCounts total;
  for (const auto& d : docs) total.add(count_tree(d));
  const double bytes = static_cast<double>(c.bytes);
  std::printf("corpus %s: %zu files, %.2f MB, %zu failed to parse\n", c.name.c_str(), c.files.size(), bytes / 1e6,
              failed);
  std::printf("  tokens %zu (%.2f bytes each), nodes %zu (%.1f tokens each)\n", total.tokens,
              bytes / static_cast<double>(total.tokens), total.nodes,
              static_cast<double>(total.tokens) / static_cast<double>(total.nodes));
  std::printf("  parse allocations %zu: %.3f per source byte, %.2f per token\n", allocations,
              static_cast<double>(allocations) / bytes,
              static_cast<double>(allocations) / static_cast<double>(total.tokens));
  std::printf("  token texts on the heap %zu (%.1f%% of tokens, %.2f bytes per source byte)\n", total.heap_texts,
              100.0 * static_cast<double>(total.heap_texts) / static_cast<double>(total.tokens),
              static_cast<double>(total.heap_text_bytes) / bytes);
  std::printf("  child slots %zu in use, %zu allocated (%zu bytes each): %.2f bytes per source byte\n", total.slots,
              total.slot_capacity, sizeof(trelm::cst::Child),
              static_cast<double>(total.slot_capacity * sizeof(trelm::cst::Child)) / bytes);
  std::printf("  heap kept by the trees %.2f MB: %.2f bytes per source byte\n", static_cast<double>(retained) / 1e6,
              static_cast<double>(retained) / bytes);
  // The same figures in the JSON output, for the script that writes the report.
  const std::string key = "memory/" + c.name + "/";
  benchmark::AddCustomContext(key + "bytes", std::to_string(c.bytes));
  benchmark::AddCustomContext(key + "tokens", std::to_string(total.tokens));
  benchmark::AddCustomContext(key + "nodes", std::to_string(total.nodes));
  benchmark::AddCustomContext(key + "allocations", std::to_string(allocations));
  benchmark::AddCustomContext(key + "retained_heap", std::to_string(retained));
  benchmark::AddCustomContext(key + "heap_texts", std::to_string(total.heap_texts));
  benchmark::AddCustomContext(key + "heap_text_bytes", std::to_string(total.heap_text_bytes));
  benchmark::AddCustomContext(key + "slots", std::to_string(total.slots));
  benchmark::AddCustomContext(key + "slot_capacity", std::to_string(total.slot_capacity));
}

void report_sizes() {
  benchmark::AddCustomContext("sizeof/Token", std::to_string(sizeof(trelm::cst::Token)));
  benchmark::AddCustomContext("sizeof/Child", std::to_string(sizeof(trelm::cst::Child)));
  benchmark::AddCustomContext("sizeof/Node", std::to_string(sizeof(trelm::cst::Node)));
  benchmark::AddCustomContext("sizeof/RwLock", std::to_string(sizeof(trelm::cst::RwLock)));
  std::printf("sizeof: Token %zu, Child %zu, Node %zu, RwLock %zu, std::string %zu, NodeKind %zu\n",
              sizeof(trelm::cst::Token), sizeof(trelm::cst::Child), sizeof(trelm::cst::Node),
              sizeof(trelm::cst::RwLock), sizeof(std::string), sizeof(trelm::cst::NodeKind));
}

void set_rate(benchmark::State& state, const Corpus& c) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c.bytes));
  state.counters["files"] = static_cast<double>(c.files.size());
}

void bench_lex(benchmark::State& state, const Corpus& c) {
  for (auto _ : state) {
    for (const auto& text : c.files) benchmark::DoNotOptimize(trelm::lexer::lex(text));
  }
  set_rate(state, c);
}

void bench_lex_group(benchmark::State& state, const Corpus& c) {
  for (auto _ : state) {
    for (const auto& text : c.files) {
      auto lexed = trelm::lexer::lex(text);
      if (auto* tokens = std::get_if<std::vector<trelm::cst::Token>>(&lexed)) {
        benchmark::DoNotOptimize(trelm::parser::group(std::move(*tokens)));
      }
    }
  }
  set_rate(state, c);
}

// Parsing includes freeing the tree, as it does for a caller that parses a
// file and drops it.
void bench_parse(benchmark::State& state, const Corpus& c) {
  for (auto _ : state) {
    for (const auto& text : c.files) benchmark::DoNotOptimize(trelm::parser::parse(text));
  }
  set_rate(state, c);
}

void bench_print(benchmark::State& state, const Corpus& c) {
  std::vector<Document> docs;
  for (const auto& text : c.files) {
    auto result = trelm::parser::parse(text);
    if (auto* doc = std::get_if<Document>(&result)) docs.push_back(std::move(*doc));
  }
  for (auto _ : state) {
    for (const auto& d : docs) benchmark::DoNotOptimize(trelm::cst::document_text(d));
  }
  set_rate(state, c);
}

// The same, after one column was added to the first SELECT list of each
// document: the path from the root to the edited list is walked, the rest
// still copied whole.
void bench_print_edited(benchmark::State& state, const Corpus& c) {
  std::vector<Document> docs;
  for (const auto& text : c.files) {
    auto result = trelm::parser::parse(text);
    auto* doc = std::get_if<Document>(&result);
    if (doc == nullptr) continue;
    if (auto q = trelm::query::query(*doc)) {
      if (auto select = trelm::query::first_select(*q)) {
        auto lock = (*select)->write_lock();
        benchmark::DoNotOptimize(trelm::edit::insert_item(**select, 0, "added"));
      }
    }
    docs.push_back(std::move(*doc));
  }
  for (auto _ : state) {
    for (const auto& d : docs) benchmark::DoNotOptimize(trelm::cst::document_text(d));
  }
  set_rate(state, c);
}

// Each document printed right after its own parse, the way a tool parses,
// edits and writes one file: its tree is still in the cache. Only the
// printing is timed.
void bench_print_after_parse(benchmark::State& state, const Corpus& c) {
  for (auto _ : state) {
    double seconds = 0;
    for (const auto& text : c.files) {
      auto result = trelm::parser::parse(text);
      auto* doc = std::get_if<Document>(&result);
      if (doc == nullptr) continue;
      auto start = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(trelm::cst::document_text(*doc));
      seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.SetIterationTime(seconds);
  }
  set_rate(state, c);
}

// Pulls our own --corpus=DIR flags out of argv, leaving the rest to Google
// Benchmark.
std::vector<fs::path> take_corpus_flags(int& argc, char** argv) {
  static constexpr std::string_view kFlag = "--corpus=";
  std::vector<fs::path> dirs;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.substr(0, kFlag.size()) == kFlag) {
      dirs.emplace_back(std::string(arg.substr(kFlag.size())));
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return dirs;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> dirs = take_corpus_flags(argc, argv);
  if (dirs.empty()) {
    std::fprintf(stderr, "usage: core_bench --corpus=DIR [--corpus=DIR ...] [benchmark flags]\n");
    return 2;
  }
  // Kept alive for the whole run: the registered benchmarks refer to them.
  static std::vector<Corpus> corpora;
  for (const auto& d : dirs) {
    if (!fs::is_directory(d)) {
      std::fprintf(stderr, "core_bench: no folder %s\n", d.string().c_str());
      return 2;
    }
    corpora.push_back(load_corpus(d));
  }
  report_sizes();
  for (const auto& c : corpora) report_memory(c);
  std::fflush(stdout);

  for (const auto& c : corpora) {
    const Corpus* cp = &c;
    benchmark::RegisterBenchmark(("lex/" + c.name).c_str(), [cp](benchmark::State& s) { bench_lex(s, *cp); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("lex_group/" + c.name).c_str(),
                                 [cp](benchmark::State& s) { bench_lex_group(s, *cp); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("parse/" + c.name).c_str(), [cp](benchmark::State& s) { bench_parse(s, *cp); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("print/" + c.name).c_str(), [cp](benchmark::State& s) { bench_print(s, *cp); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("print_edited/" + c.name).c_str(),
                                 [cp](benchmark::State& s) { bench_print_edited(s, *cp); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("print_after_parse/" + c.name).c_str(),
                                 [cp](benchmark::State& s) { bench_print_after_parse(s, *cp); })
        ->UseManualTime()
        // Each round parses everything but times only the prints, so a
        // round count from the printing time alone would run for minutes.
        ->Iterations(30)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
