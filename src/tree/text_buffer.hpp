// One parsed source held once: the tokens of a parse are views into it, so a
// token costs no allocation of its own. Every node of the parse keeps the
// buffer alive, which makes a node that outlives its document still readable.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace trelm::cst {

class TextBuffer {
 public:
  static TextBuffer* copy_of(std::string_view text) {
    auto* b = new TextBuffer;
    b->size_ = text.size();
    b->bytes_ = std::make_unique_for_overwrite<char[]>(text.size() == 0 ? 1 : text.size());
    if (!text.empty()) std::memcpy(b->bytes_.get(), text.data(), text.size());
    return b;
  }

  std::string_view view() const { return {bytes_.get(), size_}; }

  void retain() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 private:
  TextBuffer() = default;
  std::atomic<std::size_t> refs_{0};
  std::size_t size_ = 0;
  std::unique_ptr<char[]> bytes_;
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

  TextBuffer* get() const { return b_; }
  explicit operator bool() const { return b_ != nullptr; }
  bool operator==(const TextRef& o) const { return b_ == o.b_; }

 private:
  TextBuffer* b_ = nullptr;
};

}  // namespace trelm::cst
