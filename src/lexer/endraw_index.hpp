// Internal to the lexer: where every endraw tag of a text ends, worked out
// for all of them in one pass.
//
// A raw block ends at the first endraw tag of its body whose tag scan finds
// a closer. Scanning each endraw tag on its own costs the rest of the text
// per tag when the scans do not close (say «{% endraw (» over and over), so
// the scans are run side by side instead: scans in the same state at the
// same byte behave the same from there on and are merged, which keeps the
// number of live scan states small whatever the number of tags.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace trelm::lexer::detail {

struct EndrawTag {
  std::size_t start = 0;   // its "{"
  std::size_t length = 0;  // through its "%}"
};

// Whether a statement tag named exactly "endraw" starts at `pos`, judged on
// the text from `pos` on. Reading the name does not need the tag's extent:
// the name and the mark and spaces before it stop at the closer at the
// latest, so it reads the same on the rest of the text as on the tag.
bool starts_endraw_tag(std::string_view text, std::size_t pos);

class EndrawIndex {
 public:
  explicit EndrawIndex(std::string_view text);

  // The first endraw tag starting at or after `from` whose scan closes.
  std::optional<EndrawTag> first_closing_from(std::size_t from) const;

 private:
  std::vector<EndrawTag> closing_;  // by start
};

}  // namespace trelm::lexer::detail
