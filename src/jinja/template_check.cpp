#include "jinja/template_check.hpp"

#include <algorithm>
#include <functional>
#include <iterator>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "jinja/syntax_check.hpp"
#include "lexer/jinja_tags.hpp"
#include "lexer/unicode.hpp"

namespace trelm::jinja {
namespace {

std::size_t skip_space(std::string_view s, std::size_t p) {
  while (p < s.size()) {
    const auto b = static_cast<unsigned char>(s[p]);
    if (b < 0x80) {
      if (!(b == ' ' || (b >= 9 && b <= 13) || (b >= 0x1C && b <= 0x1F))) break;
      ++p;
    } else {
      const std::size_t n = lexer::unicode::white_space_length(s, p);
      if (n == 0) break;
      p += n;
    }
  }
  return p;
}

bool at(std::string_view s, std::size_t p, std::string_view what) { return s.substr(p, what.size()) == what; }

// «{%», a sign, `word` alone, the closer: the engine's raw and endraw tags
// are exactly this shape. Returns the end of the tag, or nullopt.
std::optional<std::size_t> bare_tag_end(std::string_view s, std::size_t p, std::string_view word, bool plus_closer) {
  if (!at(s, p, "{%")) return std::nullopt;
  p += 2;
  if (p < s.size() && (s[p] == '-' || s[p] == '+')) ++p;
  p = skip_space(s, p);
  if (!at(s, p, word)) return std::nullopt;
  p = skip_space(s, p + word.size());
  if (at(s, p, "-%}") || (plus_closer && at(s, p, "+%}"))) return p + 3;
  if (at(s, p, "%}")) return p + 2;
  return std::nullopt;
}

constexpr std::size_t kNone = std::string_view::npos;

struct ScannedTag {
  std::size_t start;
  std::size_t end;
  TagCheck check;
  std::size_t text_before = kNone;  // the first byte other than whitespace since the tag before, if any
  bool output = false;               // «{{ ... }}» or `print`
};

struct OpenBlock {
  const ScannedTag* tag;
  std::string name;
  bool past_else = false;
  bool in_loop = false;  // `break` and `continue` here are inside a loop's body
  bool top_level = false;  // only `if` blocks around: `extends` may stand here
  bool own_output = false;  // in a set block, macro, call block or block: output here is compiled after `extends`
  bool required = false;
  bool reported = false;  // a problem inside was reported already
};

// The engine compiles macros, call blocks and blocks to functions of their
// own, so a loop around them does not reach their bodies.
bool starts_function(std::string_view name) { return name == "macro" || name == "call" || name == "block"; }

// Blocks whose output the engine compiles even after a top-level `extends`.
bool has_own_output(std::string_view name) { return starts_function(name) || name == "set"; }

std::string statement(std::string_view name) { return "`{% " + std::string(name) + " %}`"; }

// Tags the engine adds to the template language's own, with their end tags.
constexpr std::string_view kEngineTags[] = {"snapshot", "test", "data_test", "docs"};

// The statement tags with a parser: the engine's and those of the extensions.
class KnownTags {
 public:
  explicit KnownTags(const ExtensionTags& extensions) {
    names_.insert(std::begin(kEngineTags), std::end(kEngineTags));
    names_.insert(extensions.names.begin(), extensions.names.end());
  }

  // `name`, or the block it ends, has a parser.
  bool knows(std::string_view name) const {
    if (names_.count(name) != 0) return true;
    return name.starts_with("end") && names_.count(name.substr(3)) != 0;
  }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_set<std::string, Hash, std::equal_to<>> names_;
};

class Pairing {
 public:
  Pairing(const std::vector<ScannedTag>& tags, std::vector<TemplateProblem>& out, const KnownTags* known)
      : tags_(tags), out_(out), known_(known) {
    // An unknown tag X opens a block only where some tag is named endX.
    for (const ScannedTag& t : tags_) {
      if (t.check.role == TagRole::Extension && t.check.name.starts_with("end")) {
        extension_ends_.insert(t.check.name.substr(3));
      }
    }
  }

  void run() {
    for (const ScannedTag& t : tags_) visit(t);
    for (const OpenBlock& b : open_) unclosed(b, "is never closed: expected " + statement("end" + b.name));
  }

 private:
  void visit(const ScannedTag& t) {
    const TagCheck& c = t.check;
    if (c.compile_problem && !skipped_output(t)) {
      const SyntaxProblem& p = *c.compile_problem;
      out_.push_back({TemplateCode::Syntax, t.start + p.start, t.start + std::max(p.end, p.start + 1), p.message});
    }
    if (c.name == "extends" && open_.empty()) known_extends_ = true;
    if (!open_.empty() && open_.back().required) required_content(t);
    if (c.assigns_loop && !c.problem && (c.name == "for" || is_open("for"))) {
      add(TemplateCode::Syntax, t, "cannot assign to `loop` inside a `{% for %}` loop");
    }
    switch (c.role) {
      case TagRole::Plain:
        if ((c.name == "break" || c.name == "continue") && !c.problem && (open_.empty() || !open_.back().in_loop)) {
          add(TemplateCode::Syntax, t, statement(c.name) + " is not inside a `{% for %}` loop's body");
        }
        if (c.name == "extends" && !c.problem && !open_.empty() && !open_.back().top_level) {
          add(TemplateCode::Syntax, t, "`{% extends %}` may stand only at the top level or inside `{% if %}` blocks");
        }
        return;
      case TagRole::Opens:
        if (c.name == "block" && !c.problem && !labels_.insert(c.label).second) {
          add(TemplateCode::Syntax, t, "block `" + c.label + "` is defined twice");
        }
        open(t, c.name);
        return;
      case TagRole::Elif:
      case TagRole::Else:
        branch(t);
        return;
      case TagRole::Closes:
        close(t, c.name);
        return;
      case TagRole::Extension:
        if (c.name.starts_with("end") && extension_ends_.count(c.name.substr(3)) != 0) {
          // The tag that opened the block was reported already.
          if (!is_open(c.name.substr(3))) unknown(t);
          close(t, c.name.substr(3));
        } else {
          unknown(t);
          if (extension_ends_.count(c.name) != 0) open(t, c.name);
        }
        return;
    }
  }

  // A required block holds whitespace and comments at most; the first thing
  // else in it is the problem.
  void required_content(const ScannedTag& t) {
    OpenBlock& b = open_.back();
    if (b.reported) return;
    const bool closes = t.check.role == TagRole::Closes && t.check.name == "block";
    if (t.text_before == kNone && closes) return;
    b.reported = true;
    const std::size_t start = t.text_before != kNone ? t.text_before : t.start;
    const std::size_t end = t.text_before != kNone ? t.text_before + 1 : t.end;
    out_.push_back({TemplateCode::Syntax, start, end, "a required block may hold only whitespace and comments"});
  }

  // After a top-level `extends` the engine does not compile output outside
  // blocks and macros: it would never be shown.
  bool skipped_output(const ScannedTag& t) const {
    return known_extends_ && t.output && (open_.empty() || !open_.back().own_output);
  }

  bool is_open(const std::string& name) const {
    const auto found = open_by_name_.find(name);
    return found != open_by_name_.end() && !found->second.empty();
  }

  void branch(const ScannedTag& t) {
    const bool is_else = t.check.role == TagRole::Else;
    OpenBlock* owner = open_.empty() ? nullptr : &open_.back();
    const bool takes = owner != nullptr && (owner->name == "if" || (is_else && owner->name == "for"));
    if (!takes) {
      add(TemplateCode::MisplacedBranch, t,
          statement(t.check.name) + (is_else ? " is not directly inside an `{% if %}` or `{% for %}` block"
                                             : " is not directly inside an `{% if %}` block"));
      return;
    }
    if (owner->past_else) {
      add(TemplateCode::MisplacedBranch, t, statement(t.check.name) + " comes after the block's `{% else %}`");
      return;
    }
    if (is_else) {
      owner->past_else = true;
      if (owner->name == "for") owner->in_loop = false;  // a loop's `else` runs after the loop
    }
  }

  void open(const ScannedTag& t, const std::string& name) {
    const bool outer_loop = !open_.empty() && open_.back().in_loop;
    const bool in_loop = name == "for" || (!starts_function(name) && outer_loop);
    const bool top_level = name == "if" && (open_.empty() || open_.back().top_level);
    const bool own_output = has_own_output(name) || (!open_.empty() && open_.back().own_output);
    open_by_name_[name].push_back(open_.size());
    open_.push_back({&t, name, false, in_loop, top_level, own_output, t.check.required && name == "block"});
  }

  void pop() {
    open_by_name_[open_.back().name].pop_back();
    open_.pop_back();
  }

  void close(const ScannedTag& t, const std::string& name) {
    const auto found = open_by_name_.find(name);
    if (found == open_by_name_.end() || found->second.empty()) {
      add(TemplateCode::UnmatchedEndTag, t, statement("end" + name) + " closes no open " + statement(name) + " block");
      return;
    }
    // Blocks opened inside the one closed here and never closed themselves.
    const std::size_t i = found->second.back();
    while (open_.size() > i + 1) {
      unclosed(open_.back(), "is not closed before " + statement("end" + name));
      pop();
    }
    const std::string& label = open_.back().tag->check.label;
    if (name == "block" && !t.check.label.empty() && t.check.label != label) {
      add(TemplateCode::Syntax, t, "`{% endblock " + t.check.label + " %}` closes the block named `" + label + "`");
    }
    pop();
  }

  void unknown(const ScannedTag& t) {
    if (known_ == nullptr || known_->knows(t.check.name)) return;
    add(TemplateCode::UnknownTag, t,
        "unknown tag `" + t.check.name + "`: the engine refuses it unless an extension adds it");
  }

  void unclosed(const OpenBlock& b, const std::string& what) {
    add(TemplateCode::UnclosedBlock, *b.tag, statement(b.name) + " " + what);
  }

  void add(TemplateCode code, const ScannedTag& t, std::string message) {
    out_.push_back({code, t.start, t.end, std::move(message)});
  }

  const std::vector<ScannedTag>& tags_;
  std::vector<TemplateProblem>& out_;
  const KnownTags* known_;  // null: tags without a parser are not reported
  std::unordered_set<std::string> extension_ends_;
  std::vector<OpenBlock> open_;
  std::unordered_set<std::string> labels_;  // of the blocks seen
  bool known_extends_ = false;              // a top-level `extends` was seen
  // Where in open_ each name's blocks stand, innermost last: an end tag finds
  // its block without searching the stack.
  std::unordered_map<std::string, std::vector<std::size_t>> open_by_name_;
};

}  // namespace

namespace {

// One piece of a template as the engine's lexer cuts it.
struct Piece {
  enum Kind : std::uint8_t { Comment, Raw, Tag, NeverEnds, End } kind;
  std::size_t start = 0;
  std::size_t end = 0;
  std::size_t body_start = 0;  // Raw: the body, text for the engine
  std::size_t body_end = 0;
  char tag_kind = 0;  // Tag and NeverEnds: '{' or '%'; NeverEnds of a comment: '#'; of a raw block: 'r'
};

// The comments, raw blocks and tags of a template, in order; text outside
// them is what lies between. Stops at the first construct that never ends.
class Pieces {
 public:
  explicit Pieces(std::string_view text) : text_(text) {}

  Piece next() {
    while (true) {
      const std::size_t p = text_.find('{', pos_);
      if (p == std::string_view::npos || p + 1 >= text_.size()) return {Piece::End};
      const char kind = text_[p + 1];
      if (kind == '#') {
        const std::size_t closer = text_.find("#}", p + 2);
        if (closer == std::string_view::npos) return never_ends(p, '#');
        pos_ = closer + 2;
        return {Piece::Comment, p, pos_};
      }
      if (kind != '{' && kind != '%') {
        pos_ = p + 1;
        continue;
      }
      if (kind == '%') {
        if (const auto body = bare_tag_end(text_, p, "raw", false)) {
          // The body ends at the first endraw tag, whatever lies between.
          std::optional<std::size_t> end;
          std::size_t q = text_.find("{%", *body);
          for (; q != std::string_view::npos; q = text_.find("{%", q + 1)) {
            if ((end = bare_tag_end(text_, q, "endraw", true))) break;
          }
          if (!end) return never_ends(p, 'r');
          pos_ = *end;
          return {Piece::Raw, p, *end, *body, q};
        }
      }
      const auto length = lexer::expression_tag(text_.substr(p), kind == '{' ? "}}" : "%}");
      if (!length) return never_ends(p, kind);
      pos_ = p + *length;
      return {Piece::Tag, p, pos_, 0, 0, kind};
    }
  }

 private:
  Piece never_ends(std::size_t p, char kind) {
    pos_ = text_.size();
    return {Piece::NeverEnds, p, p + 2, 0, 0, kind};
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

std::string_view never_ends_message(char kind) {
  switch (kind) {
    case '#':
      return "unterminated `{#` comment";
    case 'r':
      return "unterminated `{% raw %}` block";
    case '{':
      return "unterminated `{{` tag";
    default:
      return "unterminated `{%` tag";
  }
}

}  // namespace

std::vector<TemplateProblem> check_template(std::string_view text, const ExtensionTags* extensions) {
  std::vector<TemplateProblem> out;
  std::vector<ScannedTag> tags;
  // Text outside tags and comments since the last tag: where the first byte
  // other than whitespace in it is, and from where it is still to be read.
  std::size_t text_before = kNone, unread = 0;
  const auto read_text = [&](std::size_t from, std::size_t to) {
    if (text_before != kNone) return;
    const std::size_t q = skip_space(text, from);
    if (q < to) text_before = q;
  };
  Pieces pieces(text);
  for (Piece piece = pieces.next(); piece.kind != Piece::End; piece = pieces.next()) {
    if (piece.kind == Piece::NeverEnds) {
      out.push_back({TemplateCode::Syntax, piece.start, piece.end, std::string(never_ends_message(piece.tag_kind))});
      break;
    }
    read_text(unread, piece.start);
    unread = piece.end;
    if (piece.kind == Piece::Comment) continue;
    if (piece.kind == Piece::Raw) {
      read_text(piece.body_start, piece.body_end);  // the body is text
      continue;
    }
    const std::size_t p = piece.start;
    ScannedTag tag{p, piece.end, check_tag(text.substr(p, piece.end - p)), text_before};
    tag.output = piece.tag_kind == '{' || (tag.check.role == TagRole::Plain && tag.check.name == "print");
    text_before = kNone;
    if (tag.check.problem) {
      const SyntaxProblem& sp = *tag.check.problem;
      out.push_back({TemplateCode::Syntax, p + sp.start, p + std::max(sp.end, sp.start + 1), sp.message});
    }
    tags.push_back(std::move(tag));
  }
  const std::optional<KnownTags> known = extensions != nullptr ? std::optional<KnownTags>(*extensions) : std::nullopt;
  Pairing(tags, out, known ? &*known : nullptr).run();
  std::stable_sort(out.begin(), out.end(),
                   [](const TemplateProblem& a, const TemplateProblem& b) { return a.start < b.start; });
  return out;
}

std::vector<ByteRange> template_comments(std::string_view text) {
  std::vector<ByteRange> out;
  Pieces pieces(text);
  for (Piece piece = pieces.next(); piece.kind != Piece::End; piece = pieces.next()) {
    if (piece.kind == Piece::Comment) out.push_back({piece.start, piece.end});
  }
  return out;
}

}  // namespace trelm::jinja
