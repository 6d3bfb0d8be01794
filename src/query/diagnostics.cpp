#include "query/diagnostics.hpp"

#include <algorithm>

#include "jinja/template_check.hpp"
#include "tree/print.hpp"
#include "tree/walk.hpp"

namespace trelm::query {
namespace {

using cst::Child;
using cst::NodeTag;
using cst::TokenKind;

const char* code_name(jinja::TemplateCode code) {
  switch (code) {
    case jinja::TemplateCode::Syntax:
      return "jinja-syntax";
    case jinja::TemplateCode::UnclosedBlock:
      return "unclosed-block";
    case jinja::TemplateCode::UnmatchedEndTag:
      return "unmatched-end-tag";
    case jinja::TemplateCode::MisplacedBranch:
      return "misplaced-branch";
    case jinja::TemplateCode::UnknownTag:
      return "unknown-tag";
  }
  return "jinja-syntax";
}

bool is_bracket(TokenKind k) {
  return k == TokenKind::LParen || k == TokenKind::RParen || k == TokenKind::LBracket || k == TokenKind::RBracket;
}

struct Frame {
  const Child* first;
  const Child* next;
  const Child* end;
  const cst::Node* locked;
  bool pairs_ends;  // a Paren or Bracket node: its first and last child pair
};

// SQL brackets that grouping left unpaired: every bracket token except the
// first and last child of a Paren or Bracket node. Offsets are bytes.
void unpaired_brackets(const cst::Document& doc, std::vector<Diagnostic>& out) {
  std::vector<Frame> stack;
  auto root_lock = doc.root->read_lock();
  const auto& top = doc.root->children;
  stack.push_back({top.data(), top.data(), top.data() + top.size(), nullptr, false});
  std::size_t offset = 0;
  // Locks still held when an exception leaves are given back.
  struct Unlock {
    std::vector<Frame>& frames;
    ~Unlock() {
      for (const Frame& f : frames) {
        if (f.locked != nullptr) f.locked->mutex.unlock_shared();
      }
    }
  } unlock{stack};
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.end) {
      if (f.locked != nullptr) f.locked->mutex.unlock_shared();
      stack.pop_back();
      continue;
    }
    const Child& c = *f.next++;
    if (const cst::Token* t = c.as_token()) {
      const bool paired = f.pairs_ends && (&c == f.first || f.next == f.end);
      if (is_bracket(t->kind()) && !paired) {
        Diagnostic d;
        d.code = "unbalanced-bracket";
        std::string message = "`";  // appended: g++ 12 misreads "`" + string as an overlapping copy
        (message += t->text()) += "` pairs with no bracket";
        d.message = std::move(message);
        d.is_error = false;
        d.start = offset;
        d.end = offset + t->size();
        out.push_back(std::move(d));
      }
      offset += t->size();
      continue;
    }
    cst::Node* n = c.node_ptr();
    // Room first, so nothing throws between locking and recording; grown by
    // doubling, as push_back would, or deep nesting copies the stack per level.
    if (stack.size() == stack.capacity()) stack.reserve(2 * stack.capacity() + 16);
    n->mutex.lock_shared();
    const bool pairs = n->kind.tag == NodeTag::Paren || n->kind.tag == NodeTag::Bracket;
    stack.push_back({n->children.data(), n->children.data(), n->children.data() + n->children.size(), n, pairs});
  }
}

// Fills in characters, line and column from the byte range. One pass over
// the text for all of them, in order.
void place(std::string_view text, std::vector<Diagnostic>& ds) {
  std::vector<std::pair<std::size_t, std::size_t*>> points;  // byte offset, where its character index goes
  for (Diagnostic& d : ds) {
    d.start = std::min(d.start, text.size());
    d.end = std::clamp(d.end, d.start, text.size());
    points.push_back({d.start, &d.char_start});
    points.push_back({d.end, &d.char_end});
  }
  std::sort(points.begin(), points.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::size_t byte = 0, chars = 0;
  for (auto& [offset, slot] : points) {
    for (; byte < offset; ++byte) {
      if ((static_cast<unsigned char>(text[byte]) & 0xC0) != 0x80) ++chars;
    }
    *slot = chars;
  }
  // Lines and columns of the starts.
  std::size_t line = 1, line_start_char = 0;
  byte = 0;
  chars = 0;
  std::vector<Diagnostic*> by_start;
  for (Diagnostic& d : ds) by_start.push_back(&d);
  std::sort(by_start.begin(), by_start.end(), [](auto* a, auto* b) { return a->start < b->start; });
  for (Diagnostic* d : by_start) {
    for (; byte < d->start; ++byte) {
      const auto b = static_cast<unsigned char>(text[byte]);
      if ((b & 0xC0) != 0x80) ++chars;
      if (b == '\n') {
        ++line;
        line_start_char = chars;
      }
    }
    d->line = line;
    d->column = chars - line_start_char + 1;
  }
}

}  // namespace

std::vector<Diagnostic> diagnostics(const cst::Document& doc, const jinja::ExtensionTags& extensions) {
  const std::string text = cst::document_text(doc);
  std::vector<Diagnostic> out;
  for (jinja::TemplateProblem& p : jinja::check_template(text, &extensions)) {
    Diagnostic d;
    d.code = code_name(p.code);
    // Extensions may add the tag: the engine is the judge of that.
    d.is_error = p.code != jinja::TemplateCode::UnknownTag;
    d.message = std::move(p.message);
    d.start = p.start;
    d.end = p.end;
    out.push_back(std::move(d));
  }
  unpaired_brackets(doc, out);
  std::stable_sort(out.begin(), out.end(), [](const Diagnostic& a, const Diagnostic& b) { return a.start < b.start; });
  place(text, out);
  return out;
}

std::vector<std::pair<std::size_t, std::size_t>> template_comments(const cst::Document& doc) {
  const std::string text = cst::document_text(doc);
  std::vector<std::pair<std::size_t, std::size_t>> out;
  std::size_t byte = 0, chars = 0;
  const auto chars_to = [&](std::size_t offset) {
    for (; byte < offset; ++byte) {
      if ((static_cast<unsigned char>(text[byte]) & 0xC0) != 0x80) ++chars;
    }
    return chars;
  };
  for (const jinja::ByteRange& r : jinja::template_comments(text)) {
    const std::size_t start = chars_to(r.start);
    out.emplace_back(start, chars_to(r.end));
  }
  return out;
}

}  // namespace trelm::query
