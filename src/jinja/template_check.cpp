#include "jinja/template_check.hpp"

#include <algorithm>
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

struct ScannedTag {
  std::size_t start;
  std::size_t end;
  TagCheck check;
};

struct OpenBlock {
  const ScannedTag* tag;
  std::string name;
  bool past_else = false;
};

std::string statement(std::string_view name) { return "`{% " + std::string(name) + " %}`"; }

class Pairing {
 public:
  Pairing(const std::vector<ScannedTag>& tags, std::vector<TemplateProblem>& out) : tags_(tags), out_(out) {
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
    switch (c.role) {
      case TagRole::Plain:
        return;
      case TagRole::Opens:
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
          close(t, c.name.substr(3));
        } else if (extension_ends_.count(c.name) != 0) {
          open(t, c.name);
        }
        return;
    }
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
    if (is_else) owner->past_else = true;
  }

  void open(const ScannedTag& t, const std::string& name) {
    open_by_name_[name].push_back(open_.size());
    open_.push_back({&t, name});
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

  void unclosed(const OpenBlock& b, const std::string& what) {
    add(TemplateCode::UnclosedBlock, *b.tag, statement(b.name) + " " + what);
  }

  void add(TemplateCode code, const ScannedTag& t, std::string message) {
    out_.push_back({code, t.start, t.end, std::move(message)});
  }

  const std::vector<ScannedTag>& tags_;
  std::vector<TemplateProblem>& out_;
  std::unordered_set<std::string> extension_ends_;
  std::vector<OpenBlock> open_;
  // Where in open_ each name's blocks stand, innermost last: an end tag finds
  // its block without searching the stack.
  std::unordered_map<std::string, std::vector<std::size_t>> open_by_name_;
};

}  // namespace

std::vector<TemplateProblem> check_template(std::string_view text) {
  std::vector<TemplateProblem> out;
  std::vector<ScannedTag> tags;
  const auto never_ends = [&](std::size_t p, std::string_view message) {
    out.push_back({TemplateCode::Syntax, p, p + 2, std::string(message)});
  };
  std::size_t pos = 0;
  while (true) {
    const std::size_t p = text.find('{', pos);
    if (p == std::string_view::npos || p + 1 >= text.size()) break;
    const char kind = text[p + 1];
    if (kind == '#') {
      const std::size_t closer = text.find("#}", p + 2);
      if (closer == std::string_view::npos) {
        never_ends(p, "unterminated `{#` comment");
        break;
      }
      pos = closer + 2;
      continue;
    }
    if (kind != '{' && kind != '%') {
      pos = p + 1;
      continue;
    }
    if (kind == '%') {
      if (const auto body = bare_tag_end(text, p, "raw", false)) {
        // The body ends at the first endraw tag, whatever lies between.
        std::optional<std::size_t> end;
        for (std::size_t q = text.find("{%", *body); q != std::string_view::npos && !end; q = text.find("{%", q + 1)) {
          end = bare_tag_end(text, q, "endraw", true);
        }
        if (!end) {
          never_ends(p, "unterminated `{% raw %}` block");
          break;
        }
        pos = *end;
        continue;
      }
    }
    const auto length = lexer::expression_tag(text.substr(p), kind == '{' ? "}}" : "%}");
    if (!length) {
      never_ends(p, kind == '{' ? "unterminated `{{` tag" : "unterminated `{%` tag");
      break;
    }
    ScannedTag tag{p, p + *length, check_tag(text.substr(p, *length))};
    if (tag.check.problem) {
      const SyntaxProblem& sp = *tag.check.problem;
      out.push_back({TemplateCode::Syntax, p + sp.start, p + std::max(sp.end, sp.start + 1), sp.message});
    }
    tags.push_back(std::move(tag));
    pos = p + *length;
  }
  Pairing(tags, out).run();
  std::stable_sort(out.begin(), out.end(),
                   [](const TemplateProblem& a, const TemplateProblem& b) { return a.start < b.start; });
  return out;
}

}  // namespace trelm::jinja
