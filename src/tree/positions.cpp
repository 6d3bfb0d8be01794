#include "tree/positions.hpp"

#include <algorithm>
#include <bit>
#include <functional>

#include "tree/walk.hpp"

namespace trelm::cst {

std::size_t count_chars(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

namespace {

struct Frame {
  const Child* next;
  const Child* end;
  const Node* node;
  std::size_t start;
};

// The frames of the walk; whatever way the walk ends, the read locks it
// still holds are given back.
struct Frames {
  std::vector<Frame> stack;
  Frames() { stack.reserve(16); }
  Frames(const Frames&) = delete;
  Frames& operator=(const Frames&) = delete;
  ~Frames() {
    for (const Frame& f : stack) f.node->mutex.unlock_shared();
  }
  // Room first, so nothing can throw between locking and recording.
  void enter(const Node* n, std::size_t start) {
    if (stack.size() == stack.capacity()) stack.reserve(2 * stack.capacity());
    n->mutex.lock_shared();
    stack.push_back(Frame{n->children.data(), n->children.data() + n->children.size(), n, start});
  }
};

// Whether every byte of the text is ASCII: one OR over it, which the
// compiler does many bytes at a time.
bool is_ascii(std::string_view text) {
  unsigned char any = 0;
  for (char c : text) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

// The index of each line's first character, after those of `text`, which
// starts at character `at` and is ASCII.
void add_line_starts(std::string_view text, std::size_t at, std::vector<std::size_t>& out) {
  for (std::size_t i = text.find('\n'); i != std::string_view::npos; i = text.find('\n', i + 1)) {
    out.push_back(at + i + 1);
  }
}

}  // namespace

// One pass over the text: characters counted, line starts recorded. The
// loop is the cost of the whole index, so it looks at each byte once. While
// the tokens are the parsed text itself, in order, and it is ASCII (most
// files are), a token's characters are its bytes and the lines are found
// in the text afterwards, many bytes at a time.
PositionIndex::PositionIndex(const Document& doc) {
  line_starts_.push_back(0);
  std::size_t at = 0;
  const auto take_text = [&](std::string_view text) {
    std::size_t chars = 0;
    for (char c : text) {
      const auto b = static_cast<unsigned char>(c);
      chars += (b & 0xC0) != 0x80;
      if (b == '\n') line_starts_.push_back(at + chars);
    }
    return chars;
  };
  std::string_view source;
  // Room up front from the size of the parsed text.
  if (const TextBuffer* buffer = doc.root->text.get()) {
    source = buffer->view();
    nodes_.reserve(source.size() / 40);
  }
  bool plain = !source.empty() && is_ascii(source);  // so far the tokens are source[0, at)
  if (plain) {
    source_ = source.data();
    token_starts_.assign(source.size() / 64 + 1, 0);
  }
  Frames frames;
  frames.enter(doc.root.get(), 0);
  while (!frames.stack.empty()) {
    Frame& top = frames.stack.back();
    if (top.next == top.end) {
      nodes_.push_back(NodeAt{top.node, TextSpan{top.start, at}});
      top.node->mutex.unlock_shared();
      frames.stack.pop_back();
      continue;
    }
    const Child& c = *top.next++;
    if (const Token* t = c.as_token()) {
      const std::string_view text = t->text();
      if (plain && !text.empty() && (text.data() != source.data() + at || text.size() > source.size() - at)) {
        plain = false;  // the lines before this token are the source's
        add_line_starts(source.substr(0, at), 0, line_starts_);
        source_tokens_end_ = at;
        tokens_.reserve((source.size() - at) / 5);  // about five bytes a token
      }
      if (plain) {
        if (!text.empty()) token_starts_[at / 64] |= std::uint64_t{1} << (at % 64);
        at += text.size();
        continue;
      }
      const std::size_t chars = take_text(text);
      if (t->size() != 0) tokens_.push_back(TokenAt{text.data(), t->serial(), TextSpan{at, at + chars}});
      at += chars;
      continue;
    }
    frames.enter(c.node_ptr(), at);
  }
  if (plain) {
    add_line_starts(source.substr(0, at), 0, line_starts_);
    source_tokens_end_ = at;
  }
  length_ = at;
  // Stable: of two entries for one address (none is expected), the first
  // walked is the one found.
  const auto by_node = [](const NodeAt& a, const NodeAt& b) { return std::less<const Node*>()(a.node, b.node); };
  std::stable_sort(nodes_.begin(), nodes_.end(), by_node);
  const auto by_address = [](const TokenAt& a, const TokenAt& b) {
    return std::less<const char*>()(a.address, b.address);
  };
  if (!std::is_sorted(tokens_.begin(), tokens_.end(), by_address)) {
    std::stable_sort(tokens_.begin(), tokens_.end(), by_address);
  }
}

std::optional<TextSpan> PositionIndex::node_span(const Node* node) const {
  auto it = std::lower_bound(nodes_.begin(), nodes_.end(), node,
                             [](const NodeAt& a, const Node* n) { return std::less<const Node*>()(a.node, n); });
  if (it == nodes_.end() || it->node != node) return std::nullopt;
  return it->span;
}

std::optional<TextSpan> PositionIndex::source_token_span(const TokenId& id) const {
  const auto start = static_cast<std::size_t>(id.address - source_);
  std::size_t word = start / 64;
  const std::uint64_t bit = std::uint64_t{1} << (start % 64);
  if (id.serial != 0 || (token_starts_[word] & bit) == 0) return std::nullopt;
  // The next token's start, or the end of the tokens.
  std::uint64_t after = token_starts_[word] & ~(bit | (bit - 1));
  while (after == 0 && ++word < token_starts_.size()) after = token_starts_[word];
  const std::size_t end = after == 0 ? source_tokens_end_ : word * 64 + static_cast<std::size_t>(std::countr_zero(after));
  return TextSpan{start, std::min(end, source_tokens_end_)};
}

std::optional<TextSpan> PositionIndex::token_span(const TokenId& id) const {
  // Compared as integers: the address may lie anywhere.
  const auto address = reinterpret_cast<std::uintptr_t>(id.address);
  const auto source = reinterpret_cast<std::uintptr_t>(source_);
  if (source_ != nullptr && address >= source && address - source < source_tokens_end_) return source_token_span(id);
  auto it = std::lower_bound(tokens_.begin(), tokens_.end(), id.address, [](const TokenAt& a, const char* address) {
    return std::less<const char*>()(a.address, address);
  });
  if (it == tokens_.end() || it->address != id.address || it->serial != id.serial) return std::nullopt;
  return it->span;
}

LineColumn PositionIndex::location(std::size_t index) const {
  auto after = std::upper_bound(line_starts_.begin(), line_starts_.end(), index);
  const auto line = static_cast<std::size_t>(after - line_starts_.begin());
  return LineColumn{line, index - line_starts_[line - 1] + 1};
}

std::vector<TokenCopy> copy_tokens(const Document& doc) {
  std::vector<TokenCopy> out;
  auto lock = doc.root->read_lock();
  detail::walk(
      doc.root->children,
      [&out](const Token& t) {
        out.push_back(TokenCopy::of(t));
        return true;
      },
      [](const Child&) {});
  return out;
}

std::shared_ptr<const PositionIndex> PositionCache::current(const Document& doc) {
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    if (index_) return index_;
    generation = generation_;
  }
  auto built = std::make_shared<const PositionIndex>(doc);
  // An edit that came while the tree was walked has dropped the generation
  // the walk started from: the index is still this caller's answer, but it
  // is not kept.
  std::lock_guard lock(mutex_);
  if (generation_ == generation && !index_) index_ = built;
  return built;
}

std::uint64_t PositionCache::generation() {
  std::lock_guard lock(mutex_);
  return generation_;
}

void PositionCache::drop() {
  std::lock_guard lock(mutex_);
  ++generation_;
  index_.reset();
}

}  // namespace trelm::cst
