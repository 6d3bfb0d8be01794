#include "lexer/endraw_index.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <utility>

#include "lexer/jinja_tags.hpp"

namespace trelm::lexer::detail {

bool starts_endraw_tag(std::string_view text, std::size_t pos) {
  if (pos >= text.size() || text[pos] != '{') return false;
  const auto name = tag_name(text.substr(pos));
  return name && *name == "endraw";
}

namespace {

constexpr std::size_t kNever = static_cast<std::size_t>(-1);

// Where a tag scan stands before it reads a byte: outside quotes, or inside
// a quoted part, "escaped" when a backslash hides that byte.
enum State : std::size_t { kOutside, kSingle, kSingleEscaped, kDouble, kDoubleEscaped, kStates };

// The live scans that share one state, by bracket depth. Scans at the same
// depth have the same future and are merged, so depths are distinct. A
// scan's depth is its key plus `shift`, so that a bracket moves every depth
// at once.
struct Cohort {
  std::map<std::int64_t, std::uint32_t> scans;  // key -> scan id
  std::int64_t shift = 0;

  bool empty() const { return scans.empty(); }
  std::int64_t key_of(std::int64_t depth) const { return depth - shift; }
  std::int64_t depth_of(std::int64_t key) const { return key + shift; }
};

// Bytes after which some live cohort is in a different state, indexed by
// which of outside / single-quoted / double-quoted cohorts are live.
// Escaped cohorts move on every byte, so they allow no skipping at all.
constexpr std::array<bool, 256> make_stops(bool outside, bool single, bool dbl) {
  std::array<bool, 256> t{};
  if (outside) {
    for (unsigned char c : std::string_view("\"'()[]{}%")) t[c] = true;
  }
  if (single) t['\''] = t['\\'] = true;
  if (dbl) t['"'] = t['\\'] = true;
  return t;
}

constexpr std::array<std::array<bool, 256>, 8> make_stop_tables() {
  std::array<std::array<bool, 256>, 8> t{};
  for (int k = 0; k < 8; ++k) t[k] = make_stops(k & 1, k & 2, k & 4);
  return t;
}

constexpr std::array<std::array<bool, 256>, 8> kStopTables = make_stop_tables();

// Runs the tag scans of all endraw tags side by side over the text. Each
// scan is a union-find element; merged scans point at the one they joined,
// and a scan that finds its closer records it on its root.
class SideBySideScans {
 public:
  SideBySideScans(std::string_view text, std::vector<std::size_t> starts)
      : text_(text), starts_(std::move(starts)), joined_(starts_.size()),
        closer_at_(starts_.size(), kNever) {
    for (std::uint32_t i = 0; i < joined_.size(); ++i) joined_[i] = i;
  }

  void run();
  // Where the scan of the i-th tag finds its closer, or kNever.
  std::size_t closer_of(std::uint32_t i);

 private:
  bool all_done() const {
    return std::all_of(cohorts_.begin(), cohorts_.end(), [](const Cohort& c) { return c.empty(); });
  }
  std::size_t skip_unread(std::size_t pos, std::size_t limit) const;
  void read(std::size_t pos);
  void read_outside(std::size_t pos);
  void lower_depths(Cohort& c);
  void start_scan(std::uint32_t i);
  Cohort take(State s) { return std::exchange(cohorts_[s], Cohort{}); }
  Cohort merged(Cohort a, Cohort b);

  std::string_view text_;
  std::vector<std::size_t> starts_;
  std::vector<std::uint32_t> joined_;
  std::vector<std::size_t> closer_at_;
  std::array<Cohort, kStates> cohorts_;
};

void SideBySideScans::run() {
  // No scan can close after the last "%}" starts, so reading stops there.
  const std::size_t last_closer = text_.rfind("%}");
  const std::size_t n = last_closer == std::string_view::npos ? 0 : last_closer + 1;
  std::size_t next = 0;  // the next tag whose scan has not started
  std::size_t pos = 0;
  while (true) {
    if (all_done()) {
      if (next == starts_.size()) return;
      pos = starts_[next] + 2;  // nothing to read before the next scan starts
    }
    // A scan starts after the tag's "{%", outside quotes at depth 0.
    for (; next < starts_.size() && starts_[next] + 2 == pos; ++next) start_scan(next);
    if (pos >= n) return;
    const std::size_t limit = next < starts_.size() ? std::min(starts_[next] + 2, n) : n;
    pos = skip_unread(pos, limit);
    if (pos >= n) return;
    if (pos == limit) continue;
    read(pos);
    ++pos;
  }
}

// Skips bytes that change no live cohort, as the single scan's hot loop does.
std::size_t SideBySideScans::skip_unread(std::size_t pos, std::size_t limit) const {
  if (!cohorts_[kSingleEscaped].empty() || !cohorts_[kDoubleEscaped].empty()) return pos;
  const std::size_t k = (cohorts_[kOutside].empty() ? 0 : 1) | (cohorts_[kSingle].empty() ? 0 : 2) |
                        (cohorts_[kDouble].empty() ? 0 : 4);
  const auto& stops = kStopTables[k];
  while (pos < limit && !stops[static_cast<unsigned char>(text_[pos])]) ++pos;
  return pos;
}

// Every cohort reads the byte at `pos`; cohorts landing in the same state
// merge.
void SideBySideScans::read(std::size_t pos) {
  read_outside(pos);
  const char b = text_[pos];
  if (b == '\'' || b == '"') {
    const bool single = b == '\'';
    const State same = single ? kSingle : kDouble;
    const State same_escaped = single ? kSingleEscaped : kDoubleEscaped;
    const State other = single ? kDouble : kSingle;
    const State other_escaped = single ? kDoubleEscaped : kSingleEscaped;
    Cohort outside = take(kOutside);
    cohorts_[kOutside] = take(same);  // the quoted part closes
    cohorts_[same] = merged(std::move(outside), take(same_escaped));
    cohorts_[other] = merged(take(other), take(other_escaped));
  } else if (b == '\\') {
    std::swap(cohorts_[kSingle], cohorts_[kSingleEscaped]);
    std::swap(cohorts_[kDouble], cohorts_[kDoubleEscaped]);
  } else {
    cohorts_[kSingle] = merged(take(kSingle), take(kSingleEscaped));
    cohorts_[kDouble] = merged(take(kDouble), take(kDoubleEscaped));
  }
}

// The closer test comes first, at depth 0 only; then brackets move depths.
void SideBySideScans::read_outside(std::size_t pos) {
  Cohort& c = cohorts_[kOutside];
  if (c.empty()) return;
  switch (text_[pos]) {
    case '%':
      if (pos + 1 < text_.size() && text_[pos + 1] == '}') {
        const auto lowest = c.scans.begin();
        if (c.depth_of(lowest->first) == 0) {
          closer_at_[lowest->second] = pos;
          c.scans.erase(lowest);
        }
      }
      break;
    case '(':
    case '[':
    case '{':
      ++c.shift;
      break;
    case ')':
    case ']':
    case '}':
      lower_depths(c);
      break;
    default:
      break;
  }
}

// Depths never go below 0: the scan at 0 stays there and meets the one
// coming down from 1, if any.
void SideBySideScans::lower_depths(Cohort& c) {
  --c.shift;
  auto lowest = c.scans.begin();
  if (c.depth_of(lowest->first) >= 0) return;
  const std::uint32_t floor_scan = lowest->second;
  lowest = c.scans.erase(lowest);
  if (lowest != c.scans.end() && c.depth_of(lowest->first) == 0) {
    joined_[floor_scan] = lowest->second;
  } else {
    c.scans.emplace_hint(lowest, c.key_of(0), floor_scan);
  }
}

// Scans outside quotes here have read this tag's "{", so none is at depth 0
// yet; the join is kept so that this holds without relying on it.
void SideBySideScans::start_scan(std::uint32_t i) {
  Cohort& c = cohorts_[kOutside];
  const auto [at, added] = c.scans.try_emplace(c.key_of(0), i);
  if (!added) joined_[i] = at->second;
}

// The smaller cohort moves into the larger, so a scan moves O(log n) times
// between removals.
Cohort SideBySideScans::merged(Cohort a, Cohort b) {
  if (a.scans.size() < b.scans.size()) std::swap(a, b);
  for (const auto& [key, scan] : b.scans) {
    const auto [at, added] = a.scans.try_emplace(a.key_of(b.depth_of(key)), scan);
    if (!added) joined_[scan] = at->second;
  }
  return a;
}

std::size_t SideBySideScans::closer_of(std::uint32_t i) {
  std::uint32_t root = i;
  while (joined_[root] != root) root = joined_[root];
  while (joined_[i] != root) i = std::exchange(joined_[i], root);
  return closer_at_[root];
}

std::vector<std::size_t> endraw_starts(std::string_view text) {
  std::vector<std::size_t> starts;
  for (std::size_t pos = text.find('{'); pos != std::string_view::npos; pos = text.find('{', pos + 1)) {
    if (starts_endraw_tag(text, pos)) starts.push_back(pos);
  }
  return starts;
}

}  // namespace

EndrawIndex::EndrawIndex(std::string_view text) {
  std::vector<std::size_t> starts = endraw_starts(text);
  SideBySideScans scans(text, starts);
  scans.run();
  for (std::uint32_t i = 0; i < starts.size(); ++i) {
    const std::size_t closer = scans.closer_of(i);
    if (closer != kNever) closing_.push_back({starts[i], closer + 2 - starts[i]});
  }
}

std::optional<EndrawTag> EndrawIndex::first_closing_from(std::size_t from) const {
  const auto hit = std::lower_bound(closing_.begin(), closing_.end(), from,
                                    [](const EndrawTag& t, std::size_t p) { return t.start < p; });
  if (hit == closing_.end()) return std::nullopt;
  return *hit;
}

}  // namespace trelm::lexer::detail
