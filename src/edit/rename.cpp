#include "edit/rename.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "jinja/call.hpp"
#include "jinja/literal_reader.hpp"
#include "jinja/render.hpp"
#include "lexer/jinja_tags.hpp"
#include "lexer/lexer.hpp"
#include "query/metadata.hpp"
#include "tree/traverse.hpp"

namespace trelm::edit {
namespace {

using Strings = std::vector<std::string>;

// For the positional string arguments of one call, the new value of each
// argument that changes (nullopt: kept); nullopt when the call is no match.
using Rewrite = std::function<std::optional<std::vector<std::optional<std::string>>>(const Strings&)>;

// One string literal to write over: a byte range of the token's text.
struct Replacement {
  std::size_t start = 0;
  std::size_t end = 0;
  std::string text;
};

// A matching call of a token: its replacements, and what its positional
// arguments read as before and after.
struct Match {
  std::vector<Replacement> replacements;
  Strings before;
  Strings after;
};

bool may_embed_tags(cst::TokenKind k) {
  return k == cst::TokenKind::LineComment || k == cst::TokenKind::BlockComment || k == cst::TokenKind::String ||
         k == cst::TokenKind::QuotedIdentifier;
}

// The tags of a token the way the metadata search finds them: the token
// itself for a tag, those embedded in a comment or string that holds `name`.
std::vector<std::string_view> tags_of(cst::TokenKind kind, std::string_view text, std::string_view name) {
  if (kind == cst::TokenKind::JinjaExpression || kind == cst::TokenKind::JinjaStatement) return {text};
  if (may_embed_tags(kind) && text.find(name) != std::string_view::npos) return lexer::embedded_tags(text);
  return {};
}

// What every call named `name` in the token reads as: its positional
// strings, or nullopt for a call with another kind of argument.
std::vector<std::optional<Strings>> calls_read(cst::TokenKind kind, std::string_view text, std::string_view name,
                                               const jinja::CharacterNames* names) {
  std::vector<std::optional<Strings>> out;
  for (std::string_view tag : tags_of(kind, text, name)) {
    for (const jinja::Call& call : jinja::find_calls(tag, name)) {
      out.push_back(query::positional_strings(tag, call, names));
    }
  }
  return out;
}

// The matching calls of a token, in the order calls_read lists them, with
// the index of each among all the calls.
struct TokenPlan {
  std::vector<std::optional<Strings>> reads;
  std::vector<std::pair<std::size_t, Match>> matches;
};

TokenPlan plan_token(cst::TokenKind kind, std::string_view text, std::string_view name, const Rewrite& rewrite,
                     const jinja::CharacterNames* names) {
  TokenPlan plan;
  for (std::string_view tag : tags_of(kind, text, name)) {
    const auto tag_start = static_cast<std::size_t>(tag.data() - text.data());
    for (const jinja::Call& call : jinja::find_calls(tag, name)) {
      std::optional<Strings> strings = query::positional_strings(tag, call, names);
      plan.reads.push_back(strings);
      if (!strings) continue;
      std::optional<std::vector<std::optional<std::string>>> values = rewrite(*strings);
      if (!values) continue;
      Match match;
      match.before = *strings;
      match.after = *strings;
      std::size_t positional = 0;
      for (const jinja::CallArg& arg : call.args) {
        if (arg.name) continue;
        const std::size_t p = positional++;
        const std::optional<std::string>& value = (*values)[p];
        if (!value || *value == (*strings)[p]) continue;
        const std::string_view literal = arg.value.text_in(tag);
        match.replacements.push_back({tag_start + arg.value.start, tag_start + arg.value.end,
                                      jinja::render_literal(jinja::Literal::str(*value), jinja::quote_style(literal))});
        match.after[p] = *value;
      }
      if (!match.replacements.empty()) plan.matches.emplace_back(plan.reads.size() - 1, std::move(match));
    }
  }
  return plan;
}

// The token's text with the replacements of the chosen matches made.
std::string rewritten(std::string_view text, const TokenPlan& plan, const std::vector<bool>& chosen) {
  std::vector<const Replacement*> all;
  for (std::size_t m = 0; m < plan.matches.size(); ++m) {
    if (!chosen[m]) continue;
    for (const Replacement& r : plan.matches[m].second.replacements) all.push_back(&r);
  }
  std::sort(all.begin(), all.end(), [](const Replacement* a, const Replacement* b) { return a->start < b->start; });
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  for (const Replacement* r : all) {
    out.append(text.substr(at, r->start - at));
    out += r->text;
    at = r->end;
  }
  out.append(text.substr(at));
  return out;
}

// The new text goes into the tree without lexing the file again, so it
// must lex on its own as one token of the same kind, and hold the same
// calls reading as the chosen renames say.
bool reads_back(cst::TokenKind kind, std::string_view text, std::string_view name, const TokenPlan& plan,
                const std::vector<bool>& chosen, const jinja::CharacterNames* names) {
  const lexer::LexResult lexed = lexer::lex(text);
  const auto* tokens = std::get_if<std::vector<cst::Token>>(&lexed);
  if (tokens == nullptr || tokens->size() != 1 || tokens->front().kind() != kind) return false;
  std::vector<std::optional<Strings>> expected = plan.reads;
  for (std::size_t m = 0; m < plan.matches.size(); ++m) {
    if (chosen[m]) expected[plan.matches[m].first] = plan.matches[m].second.after;
  }
  return calls_read(kind, text, name, names) == expected;
}

// Rewrites one token's matching calls: all at once when that reads back,
// else one by one, keeping each that still does. nullopt when nothing
// changes.
std::optional<std::string> rename_in_token(const cst::Token& token, std::string_view name, const Rewrite& rewrite,
                                           const jinja::CharacterNames* names, RenameCount& count) {
  const std::string_view text = token.text();
  if (text.find(name) == std::string_view::npos) return std::nullopt;
  const TokenPlan plan = plan_token(token.kind(), text, name, rewrite, names);
  if (plan.matches.empty()) return std::nullopt;
  std::vector<bool> chosen(plan.matches.size(), true);
  std::string out = rewritten(text, plan, chosen);
  if (!reads_back(token.kind(), out, name, plan, chosen, names)) {
    std::fill(chosen.begin(), chosen.end(), false);
    for (std::size_t m = 0; m < plan.matches.size(); ++m) {
      chosen[m] = true;
      std::string trial = rewritten(text, plan, chosen);
      if (reads_back(token.kind(), trial, name, plan, chosen, names)) {
        out = std::move(trial);
      } else {
        chosen[m] = false;
      }
    }
  }
  const auto kept = static_cast<std::size_t>(std::count(chosen.begin(), chosen.end(), true));
  count.changed += kept;
  count.refused += plan.matches.size() - kept;
  if (kept == 0) return std::nullopt;
  return out;
}

// Each node is write-locked on its own while its tokens are rewritten; no
// other lock is held meanwhile.
RenameCount rename_calls(cst::Document& doc, std::string_view name, const Rewrite& rewrite,
                         const jinja::CharacterNames* names) {
  std::vector<cst::NodeRef> nodes{doc.root};
  {
    auto lock = doc.root->read_lock();
    cst::for_each_descendant(doc.root->children, [&nodes](const cst::NodeRef& n) { nodes.push_back(n); });
  }
  RenameCount count;
  for (const cst::NodeRef& node : nodes) {
    auto lock = node->write_lock();
    for (cst::Child& child : node->children) {
      const cst::Token* token = child.as_token();
      if (token == nullptr) continue;
      if (std::optional<std::string> text = rename_in_token(*token, name, rewrite, names, count)) {
        child = cst::Child(cst::Token(token->kind(), *text));
      }
    }
  }
  return count;
}

}  // namespace

RenameCount rename_ref(cst::Document& doc, std::string_view old_model, std::string_view new_model,
                       const jinja::CharacterNames* names) {
  return rename_calls(doc, "ref", [&](const Strings& args) -> std::optional<std::vector<std::optional<std::string>>> {
    if (args.empty() || args.size() > 2 || args.back() != old_model) return std::nullopt;
    std::vector<std::optional<std::string>> values(args.size());
    values.back() = std::string(new_model);
    return values;
  }, names);
}

RenameCount rename_source(cst::Document& doc, SourceName old_name, SourceName new_name,
                          const jinja::CharacterNames* names) {
  return rename_calls(doc, "source", [&](const Strings& args) -> std::optional<std::vector<std::optional<std::string>>> {
    if (args.size() != 2 || args[0] != old_name.first || args[1] != old_name.second) return std::nullopt;
    return std::vector<std::optional<std::string>>{std::string(new_name.first), std::string(new_name.second)};
  }, names);
}

}  // namespace trelm::edit
