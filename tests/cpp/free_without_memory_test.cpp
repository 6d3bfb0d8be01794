// Freeing a tree or a literal must not allocate: it runs in destructors, also
// while a failed allocation unwinds, where a second failure would end the
// process. This binary counts every allocation made through operator new on
// the calling thread, the blocks still live, and can make one fail.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

#include "jinja/literal.hpp"
#include "support/parsed.hpp"

namespace {
thread_local std::size_t allocations = 0;
thread_local std::size_t live = 0;
thread_local std::size_t allowed = SIZE_MAX;  // allocations before one fails

// Out of line, so that the compiler does not pair this free with the new
// expressions of the code under test.
[[gnu::noinline]] void release(void* p) noexcept {
  if (p != nullptr) --live;
  std::free(p);
}
}  // namespace

void* operator new(std::size_t size) {
  if (allowed == 0) throw std::bad_alloc();
  if (allowed != SIZE_MAX) --allowed;
  ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    ++live;
    return p;
  }
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
// The nothrow forms too (temporary buffers of stable sorts use them), so that
// every form of delete below frees what a form of new here allocated.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  ++allocations;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p != nullptr) ++live;
  return p;
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace trelm {
namespace {

template <typename T>
std::size_t allocations_to_free(T value) {
  std::size_t before = allocations;
  { T dying = std::move(value); }
  return allocations - before;
}

// A copy of a child list that runs out of memory part way frees the
// children it had copied (tokens that own their text each allocate).
TEST(FreeWithoutMemory, AListCopyThatFailsPartWayLeavesNothing) {
  cst::Children owned;
  for (int i = 0; i < 6; ++i) {
    std::string word = "w";  // appended: g++ 12 misreads "w" + string as an overlapping copy
    word += std::to_string(i);
    owned.emplace_back(cst::Token(cst::TokenKind::Word, word));
  }
  for (std::size_t fail_at = 0; fail_at <= owned.size() + 1; ++fail_at) {
    const std::size_t live_before = live;
    allowed = fail_at;
    try {
      cst::Children copy(owned);
    } catch (const std::bad_alloc&) {
    }
    allowed = SIZE_MAX;
    EXPECT_EQ(live, live_before) << "failing allocation " << fail_at;
  }
}

TEST(FreeWithoutMemory, Trees) {
  const std::string repeated_queries = [] {
    std::string s;
    for (int i = 0; i < 20000; ++i) s += "select a, (b) from t where c in (select d from u);\n";
    return s;
  }();
  const std::string cases[] = {
      repeated_queries,
      std::string(50000, '(') + std::string(50000, ')'),
      std::string(50000, '['),
      [] {
        std::string s;
        for (int i = 0; i < 5000; ++i) s += "{% if x %}select (a, [b]) ";
        for (int i = 0; i < 5000; ++i) s += "{% else %}c{% endif %}";
        return s;
      }(),
  };
  for (const std::string& text : cases) {
    cst::Document doc = testing::parse_ok(text);
    EXPECT_EQ(allocations_to_free(std::move(doc.root)), 0u) << text.substr(0, 40);
  }
}

TEST(FreeWithoutMemory, Literals) {
  using jinja::Literal;
  Literal deep = Literal::list();
  for (int i = 0; i < 100000; ++i) {
    Literal::List pair;  // built by moves: an initializer list would copy the nest each time
    pair.push_back(Literal::integer(i));
    pair.push_back(std::move(deep));
    deep = Literal::list(std::move(pair));
  }
  Literal wide_dict = Literal::dict();
  for (int i = 0; i < 10000; ++i) {
    wide_dict.as<Literal::Dict>().emplace_back(Literal::list({Literal::str("key"), Literal::dict()}),
                                               Literal::list({Literal::integer(i), Literal::list({Literal::none()})}));
  }
  Literal deep_keys = Literal::none();
  for (int i = 0; i < 50000; ++i) {
    Literal::Dict d;
    d.emplace_back(std::move(deep_keys), Literal::str("value"));
    deep_keys = Literal::dict(std::move(d));
  }
  EXPECT_EQ(allocations_to_free(std::move(deep)), 0u);
  EXPECT_EQ(allocations_to_free(std::move(wide_dict)), 0u);
  EXPECT_EQ(allocations_to_free(std::move(deep_keys)), 0u);
}

}  // namespace
}  // namespace trelm
