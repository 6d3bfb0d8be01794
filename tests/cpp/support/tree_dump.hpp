// A compact dump of a tree, so parser tests are tables of input and shape:
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

// Kind[...] alone when `deep` is false, so a test can check one level.
inline void dump_child(const cst::Child& c, std::string& out, bool deep = true) {
  if (c.is_token()) {
    out += '"';
    for (char ch : c.token().text()) {
      switch (ch) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default: out += ch;
      }
    }
    out += '"';
    return;
  }
  const cst::Node& n = *c.node();
  auto lock = n.read_lock();
  out += tag_name(n.kind.tag);
  if (n.kind.tag == cst::NodeTag::Clause) ((out += "(") += n.kind.name()) += ")";
  if (!deep) {
    out += "[...]";
    return;
  }
  out += '[';
  for (std::size_t i = 0; i < n.children.size(); ++i) {
    if (i > 0) out += ' ';
    dump_child(n.children[i], out);
  }
  out += ']';
}

inline std::string dump(const cst::Children& children, bool deep = true) {
  std::string out;
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (i > 0) out += ' ';
    dump_child(children[i], out, deep);
  }
  return out;
}

inline std::string dump(const cst::NodeRef& node) {
  std::string out;
  dump_child(cst::Child(node), out);
  return out;
}

}  // namespace trelm::testing
