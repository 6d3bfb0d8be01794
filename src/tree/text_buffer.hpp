// One parsed source held once: the tokens of a parse are views into it, so a
// token costs no allocation of its own. Every node of the parse keeps the
// buffer alive, which makes a node that outlives its document still readable.
//
// The buffer also holds the parse's nodes and their child lists: they are
// carved from a few large blocks instead of one allocation each, lie in the
// order they were made, and are given back all at once with the buffer.
// Only the parse carves (one thread, before anyone else can see the tree);
// nodes made later by edits, and lists that an edit grows, come from the
// heap.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace trelm::cst {

class TextBuffer {
 public:
  static TextBuffer* copy_of(std::string_view text) {
    auto* b = new TextBuffer(text.size());
    b->bytes_ = std::make_unique_for_overwrite<char[]>(text.size() == 0 ? 1 : text.size());
    if (!text.empty()) std::memcpy(b->bytes_.get(), text.data(), text.size());
    b->data_ = b->bytes_.get();
    return b;
  }

  // A buffer over bytes that belong to someone else, so a large source is
  // not held twice. `owner` keeps them alive and is let go of with the
  // buffer, on whichever thread drops the buffer last, possibly while it
  // holds a node's lock: its deleter must neither block nor call back.
  static TextBuffer* borrowing(std::string_view text, std::shared_ptr<const void> owner) {
    auto* b = new TextBuffer(text.size());
    b->data_ = text.data();
    b->owner_ = std::move(owner);
    return b;
  }

  std::string_view view() const { return {data_, size_}; }
  // What keeps borrowed bytes alive; empty for a copy.
  const std::shared_ptr<const void>& owner() const { return owner_; }

  static constexpr std::size_t kAlign = 8;

  // Room for one object of `size` bytes (a multiple of kAlign), aligned to
  // kAlign.
  void* carve(std::size_t size) {
    if (left_ < size) return carve_anew(size);
    void* p = next_;
    next_ += size;
    left_ -= size;
    return p;
  }

  // The stretches [begin, end) of the source that nodes of this parse
  // covered when they were write-locked, so that a node whose stretch holds
  // none of them knows nothing below it has changed. A few are kept; past
  // that, or for a node with no stretch, the whole parse counts as edited.
  // Marks are never taken back. A mark is made before the edit it announces,
  // so a print that misses a mark still being made prints the tree as it
  // was before that edit.
  void mark_edited(std::uint32_t begin, std::uint32_t end) {
    if (all_edited_.load(std::memory_order_relaxed)) return;
    const std::uint64_t mark = (std::uint64_t{begin} + 1) << 32 | end;
    const std::uint32_t made = std::min(marks_made_.load(std::memory_order_acquire), kMarks);
    for (std::uint32_t i = 0; i < made; ++i) {
      if (marks_[i].load(std::memory_order_relaxed) == mark) return;
    }
    const std::uint32_t slot = marks_made_.fetch_add(1, std::memory_order_acq_rel);
    if (slot >= kMarks) {
      mark_all_edited();
      return;
    }
    marks_[slot].store(mark, std::memory_order_release);
  }
  void mark_all_edited() { all_edited_.store(true, std::memory_order_release); }

  // Whether no node of this parse has been write-locked yet: the tree then
  // prints exactly view(). Every edit goes through a node of the tree, and
  // a node of another parse only gets in by an edit of this one.
  bool untouched() const {
    return !all_edited_.load(std::memory_order_acquire) && marks_made_.load(std::memory_order_acquire) == 0;
  }

  // Whether a node that covered [begin, end) may have changed below.
  bool edited_within(std::uint32_t begin, std::uint32_t end) const {
    if (all_edited_.load(std::memory_order_acquire)) return true;
    const std::uint32_t made = std::min(marks_made_.load(std::memory_order_acquire), kMarks);
    for (std::uint32_t i = 0; i < made; ++i) {
      const std::uint64_t mark = marks_[i].load(std::memory_order_acquire);
      if (mark == 0) continue;  // its edit has not started
      const auto b = static_cast<std::uint32_t>(mark >> 32) - 1;
      const auto e = static_cast<std::uint32_t>(mark);
      if (begin <= b && e <= end) return true;
    }
    return false;
  }

  // Whether the parse's tree may be given back in one step when its root
  // goes: no edit touched it, and since the parse no handle was made to a
  // node of it below the root and none of its nodes was freed on its own.
  // Then nothing outside the tree can reach a node below the root (one is
  // only reached from a handle to a node above it), every node it made is
  // still in it, and those nodes own nothing but their references to this
  // buffer (count_node), which go back together.
  bool tree_goes_whole() const { return untouched() && loose_.load(std::memory_order_acquire) == 0; }
  // A handle was made to a node below the root (kHandle), or a node was
  // freed on its own (kFreed). Stays set: from then on the nodes are looked
  // at one by one.
  static constexpr std::uint8_t kHandle = 1, kFreed = 2;
  void note_loose(std::uint8_t why) {
    if ((loose_.load(std::memory_order_relaxed) & why) == 0) loose_.fetch_or(why, std::memory_order_release);
  }
  // The parse's own handles to nodes below the root are gone when it hands
  // the tree over; its thread still holds every reference then.
  void forget_parse_handles() {
    loose_.store(loose_.load(std::memory_order_relaxed) & kFreed, std::memory_order_relaxed);
  }
  // One more node of the parse holds a reference (see tree_goes_whole).
  void count_node() { ++nodes_; }
  std::size_t nodes() const { return nodes_; }

  void retain() { refs_.fetch_add(1, std::memory_order_relaxed); }
  // retain() for a thread that holds every reference there is.
  void retain_unshared() { refs_.store(refs_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
  void release(std::size_t count = 1) {
    if (refs_.fetch_sub(count, std::memory_order_acq_rel) == count) destroy();
  }

 private:
  static constexpr std::size_t kMinBlock = 1024;
  static constexpr std::size_t kMaxBlock = 64 * 1024;

  // A parse's nodes and lists take about 2 to 4 bytes per source byte
  // (a 40-byte node per 15 to 45 bytes, an 8-byte slot per 3 to 5, long
  // lists apart). A small file gets a first block of about the least of
  // that, and further blocks smaller still, so that a file needing a
  // little more than its first block wastes little; a large file gets
  // blocks small enough that the last one's unused room does not matter.
  // (Tried on the real corpus: first blocks of 2 to 3 times the file, later
  // ones of 3/4 to 3/2, keep 4.2 to 4.5 bytes per source byte, the source
  // copy included.)
  explicit TextBuffer(std::size_t size)
      : size_(size),
        first_block_(std::clamp<std::size_t>(size * 2, kMinBlock, kMaxBlock)),
        block_bytes_(std::clamp<std::size_t>(size * 3 / 4, kMinBlock, kMaxBlock)) {}

  // Out of line, so that the last release does not grow every node's
  // destructor it is inlined into.
  [[gnu::noinline]] void destroy() { delete this; }

  // An object too large for the room left: a large one (a long list) gets
  // a block of its own, so that the current block's room is not given up
  // for it; a small one starts a new block.
  void* carve_anew(std::size_t size) {
    if (size > first_block_ / 8) {
      blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
      return blocks_.back().get();
    }
    const std::size_t bytes = blocks_.empty() ? first_block_ : std::max(block_bytes_, size);
    blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(bytes));
    next_ = blocks_.back().get() + size;
    left_ = bytes - size;
    return blocks_.back().get();
  }

  std::atomic<std::size_t> refs_{0};
  static constexpr std::uint32_t kMarks = 8;
  std::atomic<std::uint32_t> marks_made_{0};
  std::atomic<bool> all_edited_{false};
  std::atomic<std::uint8_t> loose_{0};
  std::size_t nodes_ = 0;
  std::atomic<std::uint64_t> marks_[kMarks] = {};
  std::size_t size_ = 0;
  const char* data_ = nullptr;
  std::unique_ptr<char[]> bytes_;  // when the text is a copy
  std::shared_ptr<const void> owner_;  // when it is borrowed
  std::vector<std::unique_ptr<std::byte[]>> blocks_;
  std::byte* next_ = nullptr;
  std::size_t left_ = 0;
  std::size_t first_block_ = kMinBlock;
  std::size_t block_bytes_ = kMinBlock;
};

// A counted handle to a TextBuffer (null when the node borrows no text).
class TextRef {
 public:
  TextRef() = default;
  explicit TextRef(TextBuffer* b) : b_(b) {
    if (b_ != nullptr) b_->retain();
  }
  TextRef(const TextRef& o) : TextRef(o.b_) {}
  TextRef(TextRef&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  TextRef& operator=(TextRef o) noexcept {
    std::swap(b_, o.b_);
    return *this;
  }
  ~TextRef() {
    if (b_ != nullptr) b_->release();
  }

  // A copy of `o`, for a thread that holds every reference to its buffer.
  static TextRef unshared_copy(const TextRef& o) {
    TextRef r;
    r.b_ = o.b_;
    if (r.b_ != nullptr) r.b_->retain_unshared();
    return r;
  }

  TextBuffer* get() const { return b_; }
  explicit operator bool() const { return b_ != nullptr; }
  // Lets go of the buffer without giving the reference back: the caller
  // gives it back later, with others, through TextBuffer::release(count).
  void forget() { b_ = nullptr; }
  bool operator==(const TextRef& o) const { return b_ == o.b_; }

 private:
  TextBuffer* b_ = nullptr;
};

}  // namespace trelm::cst
