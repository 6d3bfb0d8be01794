#include "lexer/scan_index.hpp"

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

using StopTable = std::array<bool, 256>;

// Bytes after which some live cohort is in a different state, indexed by
// which of outside / single-quoted / double-quoted cohorts are live.
// Escaped cohorts move on every byte, so they allow no skipping at all.
StopTable stops_for(bool outside, bool single, bool dbl, char closer_start) {
  StopTable t{};
  if (outside) {
    for (unsigned char c : std::string_view("\"'()[]{}")) t[c] = true;
    t[static_cast<unsigned char>(closer_start)] = true;
  }
  if (single) t['\''] = t['\\'] = true;
  if (dbl) t['"'] = t['\\'] = true;
  return t;
}

// Runs the tag scans from many starts side by side over the text. Each scan
// is a union-find element; merged scans point at the one they joined, and a
// scan that finds its closer records it on its root.
class SideBySideScans {
 public:
  SideBySideScans(std::string_view text, std::string_view closer, const std::vector<std::size_t>& starts)
      : text_(text), closer_(closer), c0_(closer[0]), c1_(closer[1]), starts_(starts), joined_(starts.size()),
        closer_at_(starts.size(), kNever) {
    for (std::uint32_t i = 0; i < joined_.size(); ++i) joined_[i] = i;
    for (int k = 0; k < 8; ++k) stops_[k] = stops_for(k & 1, k & 2, k & 4, c0_);
  }

  void run();
  // Where the scan from the i-th start finds its closer, or kNever.
  std::size_t closer_of(std::uint32_t i);

 private:
  bool all_done() const {
    return std::all_of(cohorts_.begin(), cohorts_.end(), [](const Cohort& c) { return c.empty(); });
  }
  bool closer_at(std::size_t pos) const {
    return text_[pos] == c0_ && pos + 1 < text_.size() && text_[pos + 1] == c1_;
  }
  std::size_t skip_unread(std::size_t pos, std::size_t limit) const;
  void read(std::size_t pos);
  void read_outside(std::size_t pos);
  void close_at_depth_zero(Cohort& c, std::size_t pos);
  void lower_depths(Cohort& c);
  void start_scan(std::uint32_t i);
  Cohort take(State s) { return std::exchange(cohorts_[s], Cohort{}); }
  Cohort merged(Cohort a, Cohort b);

  std::string_view text_;
  std::string_view closer_;
  char c0_;
  char c1_;
  const std::vector<std::size_t>& starts_;
  std::vector<std::uint32_t> joined_;
  std::vector<std::size_t> closer_at_;
  std::array<Cohort, kStates> cohorts_;
  std::array<StopTable, 8> stops_;
};

void SideBySideScans::run() {
  // No scan can close after the last closer starts, so reading stops there.
  const std::size_t last_closer = text_.rfind(closer_);
  const std::size_t n = last_closer == std::string_view::npos ? 0 : last_closer + 1;
  std::size_t next = 0;  // the next start whose scan has not begun
  std::size_t pos = 0;
  while (true) {
    if (all_done()) {
      if (next == starts_.size()) return;
      pos = starts_[next] + 2;  // nothing to read before the next scan begins
    }
    // A scan begins after its two opener bytes, outside quotes at depth 0.
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
  const StopTable& stops = stops_[k];
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

// The closer test comes first, at depth 0 only; then brackets move the
// depths of the scans still running. With "}}" the same "}" does both.
void SideBySideScans::read_outside(std::size_t pos) {
  Cohort& c = cohorts_[kOutside];
  if (c.empty()) return;
  if (closer_at(pos)) close_at_depth_zero(c, pos);
  if (c.empty()) return;
  switch (text_[pos]) {
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

void SideBySideScans::close_at_depth_zero(Cohort& c, std::size_t pos) {
  const auto lowest = c.scans.begin();
  if (c.depth_of(lowest->first) != 0) return;
  closer_at_[lowest->second] = pos;
  c.scans.erase(lowest);
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

// Scans outside quotes here have read this start's "{", so none is at
// depth 0 yet; the join is kept so that this holds without relying on it.
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

std::vector<std::size_t> opener_starts(std::string_view text, std::string_view opener) {
  std::vector<std::size_t> starts;
  for (std::size_t pos = text.find(opener); pos != std::string_view::npos; pos = text.find(opener, pos + 1)) {
    starts.push_back(pos);
  }
  return starts;
}

bool by_start(const ClosedTag& t, std::size_t pos) { return t.start < pos; }

}  // namespace

TagScanIndex::TagScanIndex(std::string_view text, std::string_view opener, std::string_view closer) {
  const std::vector<std::size_t> starts = opener_starts(text, opener);
  SideBySideScans scans(text, closer, starts);
  scans.run();
  for (std::uint32_t i = 0; i < starts.size(); ++i) {
    const std::size_t at = scans.closer_of(i);
    if (at != kNever) closed_.push_back({starts[i], at + 2 - starts[i]});
  }
}

std::optional<std::size_t> TagScanIndex::length_at(std::size_t pos) const {
  const auto hit = std::lower_bound(closed_.begin(), closed_.end(), pos, by_start);
  if (hit == closed_.end() || hit->start != pos) return std::nullopt;
  return hit->length;
}

EndrawIndex::EndrawIndex(std::string_view text, const TagScanIndex& statements) {
  for (const ClosedTag& tag : statements.closed()) {
    if (starts_endraw_tag(text, tag.start)) closing_.push_back(tag);
  }
}

std::optional<ClosedTag> EndrawIndex::first_closing_from(std::size_t from) const {
  const auto hit = std::lower_bound(closing_.begin(), closing_.end(), from, by_start);
  if (hit == closing_.end()) return std::nullopt;
  return *hit;
}

}  // namespace trelm::lexer::detail
