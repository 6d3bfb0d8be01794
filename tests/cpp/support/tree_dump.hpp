// A compact textual dump of a tree, so that parser tests are tables of
// input and expected shape. Tokens print as their quoted text (with \n, \r,
// \t escaped), nodes as Kind[children], clauses as Clause(NAME)[children].
//
//   select a  ->  Query[Clause(SELECT)["select" " " SelectItem["a"]]]
#pragma once

#include <string>

#include "tree/node.hpp"

namespace trelm::testing {

inline const char* tag_name(cst::NodeTag tag) {
  switch (tag) {
    case cst::NodeTag::Root: return "Root";
    case cst::NodeTag::Paren: return "Paren";
    case cst::NodeTag::Bracket: return "Bracket";
    case cst::NodeTag::JinjaBlock: return "JinjaBlock";
    case cst::NodeTag::JinjaBranch: return "JinjaBranch";
    case cst::NodeTag::Query: return "Query";
    case cst::NodeTag::Clause: return "Clause";
    case cst::NodeTag::SelectItem: return "SelectItem";
    case cst::NodeTag::Cte: return "Cte";
  }
  return "?";
}

inline void dump_token_text(const std::string& text, std::string& out) {
  out += '"';
  for (char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  out += '"';
}

inline void dump_children(const cst::Children& children, std::string& out);

inline void dump_child(const cst::Child& c, std::string& out) {
  if (c.is_token()) {
    dump_token_text(c.token().text, out);
    return;
  }
  const cst::Node& n = *c.node();
  auto lock = n.read_lock();
  out += tag_name(n.kind.tag);
  if (n.kind.tag == cst::NodeTag::Clause) out += "(" + n.kind.name + ")";
  out += '[';
  dump_children(n.children, out);
  out += ']';
}

inline void dump_children(const cst::Children& children, std::string& out) {
  bool first = true;
  for (const cst::Child& c : children) {
    if (!first) out += ' ';
    first = false;
    dump_child(c, out);
  }
}

inline std::string dump(const cst::Children& children) {
  std::string out;
  dump_children(children, out);
  return out;
}

inline std::string dump(const cst::NodeRef& node) {
  std::string out;
  dump_child(cst::Child(node), out);
  return out;
}

}  // namespace trelm::testing
