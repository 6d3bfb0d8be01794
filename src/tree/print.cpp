#include "tree/print.hpp"

#include "tree/walk.hpp"

namespace trelm::cst {

namespace {

// Appends token texts, joining the texts that lie side by side in one source
// buffer into one copy: an untouched stretch of a parsed file is copied in
// one go. A borrowed text stays valid until the end of the print (the node
// being printed keeps its buffer), so a pending run may span nodes; a token
// that owns its text is copied at once, while its node is still locked.
class RunWriter {
 public:
  explicit RunWriter(std::string& out) : out_(out) {}
  RunWriter(const RunWriter&) = delete;
  RunWriter& operator=(const RunWriter&) = delete;
  ~RunWriter() { flush(); }

  void add(const Token& t) {
    std::string_view text = t.text();
    if (t.owns_text()) {
      flush();
      out_.append(text);
    } else if (run_ != nullptr && run_ + length_ == text.data()) {
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

void write_children(const Children& children, RunWriter& writer) {
  detail::walk(
      children,
      [&writer](const Token& t) {
        writer.add(t);
        return true;
      },
      [](const Child&) {});
}

}  // namespace

void print_children(const Children& children, std::string& out) {
  RunWriter writer(out);
  write_children(children, writer);
}

void print_child(const Child& child, std::string& out) {
  if (const Token* t = child.as_token()) {
    out += t->text();
    return;
  }
  Node* n = child.node_ptr();
  auto lock = n->read_lock();
  print_children(n->children, out);
}

std::string node_text(const NodeRef& node) {
  std::string out;
  auto lock = node->read_lock();
  print_children(node->children, out);
  return out;
}

std::string document_text(const Document& doc) {
  std::string out;
  auto lock = doc.root->read_lock();
  // An unedited document prints exactly its source; edits change the
  // length little, so this is usually the only allocation.
  if (const TextBuffer* source = doc.root->text.get()) out.reserve(source->view().size() + 64);
  print_children(doc.root->children, out);
  return out;
}

}  // namespace trelm::cst
