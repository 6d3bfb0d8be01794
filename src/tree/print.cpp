#include "tree/print.hpp"

#include <optional>
#include <string_view>

#include "tree/walk.hpp"

namespace trelm::cst {

namespace {

// Appends token texts, joining the texts that lie side by side in one source
// buffer into one copy: an untouched stretch of a parsed file is copied in
// one go. A borrowed text stays valid until the end of the print (the node
// being printed keeps its buffer), so a pending run may span nodes; a token
// that owns its text is copied at once, while its node is still locked.
// The last run is written by an explicit flush, never by a destructor:
// appending may throw, and a print that fails is thrown away anyway.
class RunWriter {
 public:
  explicit RunWriter(std::string& out) : out_(out) {}
  RunWriter(const RunWriter&) = delete;
  RunWriter& operator=(const RunWriter&) = delete;

  void add(const Token& t) {
    if (t.owns_text()) {
      flush();
      out_.append(t.text());
    } else {
      add_borrowed(t.text());
    }
  }

  // A text that stays valid until the end of the print.
  void add_borrowed(std::string_view text) {
    if (run_ + length_ == text.data() && run_ != nullptr) {
      length_ += text.size();
    } else {
      flush();
      run_ = text.data();
      length_ = text.size();
    }
  }

  void flush() {
    if (length_ != 0) out_.append(run_, length_);
    run_ = nullptr;
    length_ = 0;
  }

 private:
  std::string& out_;
  const char* run_ = nullptr;
  std::size_t length_ = 0;
};

// The lists still to be finished above the one being printed, each with the
// node whose read lock is held for it; every lock still held is given back
// however the print ends.
struct PrintStack {
  struct Frame {
    const Child* next;
    const Child* end;
    const Node* locked;
  };
  std::vector<Frame> frames;
  const Node* current = nullptr;

  PrintStack() { frames.reserve(16); }
  PrintStack(const PrintStack&) = delete;
  PrintStack& operator=(const PrintStack&) = delete;
  ~PrintStack() {
    if (current != nullptr) current->mutex.unlock_shared();
    for (const Frame& f : frames) {
      if (f.locked != nullptr) f.locked->mutex.unlock_shared();
    }
  }
};

// The walk of detail::walk, specialised: printing is the hottest walk, and
// keeping the current list's position in locals lets the token loop stay in
// registers.
// A tree is printed in the order it was built, but its nodes lie wherever
// the allocator put them; asking for the nodes of a list as soon as the list
// is entered overlaps the cache misses the walk would otherwise wait on in
// turn.
void prefetch_nodes(const Child* next, const Child* end) {
  for (; next != end; ++next) {
    if (const Node* n = next->node_ptr()) __builtin_prefetch(n);
  }
}

void write_children(const Children& children, RunWriter& writer) {
  PrintStack stack;
  const Child* next = children.data();
  const Child* end = next + children.size();
  while (true) {
    while (next != end) {
      const Child& c = *next++;
      if (const Token* t = c.as_token()) {
        writer.add(*t);
        continue;
      }
      const Node* n = c.node_ptr();
      if (std::optional<std::string_view> text = n->source_text()) {
        writer.add_borrowed(*text);
        continue;
      }
      // Room first, so nothing can throw between locking and recording.
      if (stack.frames.size() == stack.frames.capacity()) stack.frames.reserve(2 * stack.frames.capacity());
      n->mutex.lock_shared();
      stack.frames.push_back({next, end, stack.current});
      stack.current = n;
      next = n->children.data();
      end = next + n->children.size();
      prefetch_nodes(next, end);
    }
    if (stack.frames.empty()) return;
    stack.current->mutex.unlock_shared();
    const PrintStack::Frame& f = stack.frames.back();
    next = f.next;
    end = f.end;
    stack.current = f.locked;
    stack.frames.pop_back();
  }
}

}  // namespace

void print_children(const Children& children, std::string& out) {
  RunWriter writer(out);
  write_children(children, writer);
  writer.flush();
}

namespace {

void print_node(const Node& n, std::string& out) {
  if (std::optional<std::string_view> text = n.source_text()) {
    out += *text;
    return;
  }
  auto lock = n.read_lock();
  print_children(n.children, out);
}

}  // namespace

void print_child(const Child& child, std::string& out) {
  if (const Token* t = child.as_token()) {
    out += t->text();
    return;
  }
  print_node(*child.node_ptr(), out);
}

std::string node_text(const NodeRef& node) {
  std::string out;
  print_node(*node, out);
  return out;
}

std::string document_text(const Document& doc) {
  std::string out;
  // An unedited document prints exactly its source; edits change the
  // length little, so this is usually the only allocation.
  if (const TextBuffer* source = doc.root->text.get()) out.reserve(source->view().size() + 64);
  print_node(*doc.root, out);
  return out;
}

}  // namespace trelm::cst
