#include "parser/parse.hpp"

#include <utility>

#include "parser/group.hpp"

namespace trelm::parser {
namespace {

// Lends a parse the room of this thread's position records, and takes it
// back, emptied, when the parse ends: a tool parses thousands of small
// files, and these records grew anew for every one.
class BorrowedRecords {
 public:
  explicit BorrowedRecords(Scratch& scratch) : scratch_(scratch) { swap_with(spare()); }
  ~BorrowedRecords() {
    scratch_.queries.clear();
    scratch_.clauses.clear();
    scratch_.items.clear();
    swap_with(spare());
    keep_if_small(spare());
  }
  // Records of a huge file are given back rather than kept.
  static void keep_if_small(Scratch& s) {
    constexpr std::size_t kLargest = 1 << 14;
    if (s.queries.capacity() > kLargest) s.queries = {};
    if (s.clauses.capacity() > kLargest) s.clauses = {};
    if (s.items.capacity() > kLargest) s.items = {};
  }
  BorrowedRecords(const BorrowedRecords&) = delete;
  BorrowedRecords& operator=(const BorrowedRecords&) = delete;

 private:
  static Scratch& spare() {
    thread_local Scratch records;
    return records;
  }
  void swap_with(Scratch& other) {
    scratch_.queries.swap(other.queries);
    scratch_.clauses.swap(other.clauses);
    scratch_.items.swap(other.items);
  }

  Scratch& scratch_;
};

}  // namespace

ParseResult parse(std::string_view source, std::shared_ptr<const void> owner) {
  // Every node of the tree keeps the buffer of the source that its tokens
  // borrow their texts from.
  Scratch scratch;
  BorrowedRecords records(scratch);
  auto grouped = group_source(source, scratch, std::move(owner));
  if (auto* err = std::get_if<lexer::LexError>(&grouped)) return error_at(source, err->offset, err->message);
  return cst::Document{std::get<cst::NodeRef>(std::move(grouped))};
}

}  // namespace trelm::parser
