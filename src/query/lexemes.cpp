#include <algorithm>
#include <mutex>

#include "query/lineage.hpp"

namespace trelm::query {

std::vector<Lexeme> flatten(const cst::Children& children, std::size_t begin, std::size_t end) {
  std::vector<Lexeme> out;
  LexemeBuffer buffer;
  flatten_into(children, begin, end, buffer);
  out.swap(buffer.lexemes);
  return out;
}

void flatten_into(const cst::Children& children, std::size_t begin, std::size_t end, LexemeBuffer& buffer) {
  if (end > children.size()) end = children.size();
  std::vector<Lexeme>& out = buffer.lexemes;
  out.clear();
  // Most of a piece is its own tokens: room for them and as many again
  // below saves the early regrowths.
  out.reserve(2 * (end - std::min(begin, end)) + 8);
  using Frame = LexemeBuffer::Frame;
  std::vector<Frame>& stack = buffer.frames;
  stack.clear();
  // Locks still held when something throws are given back.
  struct Unlock {
    std::vector<Frame>& frames;
    ~Unlock() {
      for (const Frame& f : frames) {
        if (f.node != nullptr) f.node->mutex.unlock_shared();
      }
      frames.clear();
    }
  } unlock{stack};
  stack.push_back(Frame{children.data() + begin, children.data() + end, nullptr, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.stop) {
      if (top.node != nullptr) {
        cst::Node* n = top.node;
        out.push_back(Lexeme{Lexeme::Type::Close, cst::TokenKind::Other, n->kind.tag, {}, {}, top.open, n});
        out[top.open].partner = out.size() - 1;
        stack.pop_back();
        n->mutex.unlock_shared();
        continue;
      }
      stack.pop_back();
      continue;
    }
    const cst::Child& c = *top.next++;
    if (const cst::Token* t = c.as_token()) {
      out.push_back(Lexeme{Lexeme::Type::Token, t->kind(), cst::NodeTag::Root, t->text(), t->id(), 0, nullptr});
      continue;
    }
    cst::Node* n = c.node_ptr();
    out.push_back(Lexeme{Lexeme::Type::Open, cst::TokenKind::Other, cst::NodeTag::Root, {}, {}, 0, n});
    // Room first, so nothing can throw between locking and recording; by
    // doubling, so deep nesting stays linear.
    if (stack.size() == stack.capacity()) stack.reserve(2 * stack.capacity() + 8);
    n->mutex.lock_shared();
    out.back().tag = n->kind.tag;
    stack.push_back(Frame{n->children.data(), n->children.data() + n->children.size(), n, out.size() - 1});
  }
}

}  // namespace trelm::query
