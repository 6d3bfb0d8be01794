// What the template engine refuses in a whole template, read from its text
// alone: tags found the way the engine finds them (inside SQL strings and
// comments too), each checked with check_tag, then paired into blocks.
// Stops at the first construct that never ends, as the engine does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trelm::jinja {

enum class TemplateCode : std::uint8_t {
  Syntax,           // a tag that does not parse, or never ends
  UnclosedBlock,    // a block tag with no end tag
  UnmatchedEndTag,  // an end tag that closes no open block
  MisplacedBranch,  // `else` or `elif` outside a block that takes it
  UnknownTag,       // a statement no parser is known for (asked for by naming the extension tags)
};

struct TemplateProblem {
  TemplateCode code = TemplateCode::Syntax;
  std::size_t start = 0;  // byte range in the template text
  std::size_t end = 0;
  std::string message;
};

// The statement tags a project adds to the engine's own. The engine refuses
// any other tag it has no parser for, but extensions add tags it cannot see,
// so such a tag is reported only when the caller says which tags exist.
struct ExtensionTags {
  std::vector<std::string> names;
};

// Every problem, ordered by where it starts. With `extensions`, also each
// statement tag that neither the engine nor one of them knows (UnknownTag).
std::vector<TemplateProblem> check_template(std::string_view text, const ExtensionTags* extensions = nullptr);

struct ByteRange {
  std::size_t start = 0;
  std::size_t end = 0;
};

// The comments «{# ... #}» of a template, found as the engine finds them
// (inside SQL strings and comments too), up to the first construct that
// never ends.
std::vector<ByteRange> template_comments(std::string_view text);

}  // namespace trelm::jinja
