// Each query of the file is read once into plain values (relations, SELECT
// items, spans), then output columns are traced over those values, each
// (query, column) once.
#include "query/file_lineage.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <unordered_map>
#include <utility>

#include "query/column_refs.hpp"
#include "query/lineage.hpp"
#include "query/navigation.hpp"
#include "query/select_item.hpp"
#include "query/thread_room.hpp"

namespace trelm::query {
namespace {

using cst::TextSpan;
using Span = std::optional<TextSpan>;
// Where something starts, when only that is asked.
using Place = std::optional<std::size_t>;

// Deeper than this, a chain of CTEs or subqueries is left to the caller.
constexpr int kMaxDepth = 200;

// A select item's references are kept as read: where each is matters only
// in a union (which branch holds it), and is found then. Its texts are views
// of the tree's or of text the resolver keeps.
struct ItemFact {
  std::optional<std::string_view> name;
  std::string_view kind;  // kind_name()'s
  // Where it is, found when first asked for (FileResolver::span_of): most
  // items' is never needed. Known from the start without a node.
  const cst::Node* node = nullptr;
  mutable bool span_known = false;
  mutable Span span;
  std::size_t refs_begin = 0;  // its references: [refs_begin, refs_end) of the file's list
  std::size_t refs_end = 0;
  std::size_t excluded_begin = 0;  // a star's excluded names: of the file's list
  std::size_t excluded_end = 0;
};

struct RelFact {
  RelationKind kind = RelationKind::Table;
  std::string name;
  std::string source_name;
  std::optional<std::string> alias;
  Place start;
  int body = -1;  // the query of a CTE or subquery
  // The path of one step through its body, made when first passed through:
  // every trace through the relation starts from it.
  mutable int step = 0;
  // The names that qualify its columns, in lower case (twice the same when
  // it has one): views of its own texts or of text the resolver keeps.
  std::array<std::string_view, 2> qualifiers;
};

struct FilterFact {
  RefView ref;  // its clause as ColumnRef::clause
  Place start;
};

struct Entry {
  std::optional<std::string_view> name;  // of the item, or of the column a `*` gives
  const ItemFact* item = nullptr;
  const RelFact* through = nullptr;  // of a `*`'s column
  // The name in lower case (a view of it or of kept text), made once: set
  // for the entries of a query's outputs(), not for a union's later branches.
  std::string_view lowered;
  const std::optional<std::string_view>& get() const { return name; }
};

// A name of a query's output in lower case, and the index of its first entry.
// Sorted by the name's hash first: most comparisons are then of numbers.
struct Position {
  std::size_t hash;
  std::string_view name;
  std::size_t index;
  auto operator<=>(const Position&) const = default;
};
using Positions = std::vector<Position>;

struct QueryFact {
  // By address, as every node the resolver keeps: a handle would mark the
  // tree as one its owner must free node by node.
  cst::Node* node = nullptr;
  Span span;
  bool read = false;
  int parent = -1;
  std::vector<int> children;
  std::vector<RelFact> relations;
  std::optional<std::vector<std::size_t>> starts;  // of each SELECT of a union
  std::vector<std::vector<ItemFact>> selects;
  std::vector<ItemFact> conditional;  // of the first SELECT
  std::vector<FilterFact> filters;
  std::vector<const RelFact*> all_relations;
  std::map<std::size_t, std::vector<const RelFact*>> branch_relations;
  // What tracing finds of it, each made once when first asked for.
  std::unique_ptr<std::vector<Entry>> outputs;
  bool reading = false;  // while its outputs are made
  std::optional<std::vector<std::vector<Entry>>> branches;  // of a union's later SELECTs
  std::optional<Positions> positions;

  // Emptied for another query, the room of its lists kept.
  void reset() {
    node = nullptr;
    span.reset();
    read = false;
    parent = -1;
    children.clear();
    relations.clear();
    starts.reset();
    selects.clear();
    conditional.clear();
    filters.clear();
    all_relations.clear();
    branch_relations.clear();
    outputs.reset();
    reading = false;
    branches.reset();
    positions.reset();
  }
};


// A column of a query: the query and the name in lower case, a view of
// the name met first or of text the resolver keeps, with the name's hash,
// made once for both the map and the query's Positions.
struct ColumnKey {
  int query;
  std::string_view name;
  std::size_t name_hash;
  bool operator==(const ColumnKey& o) const { return query == o.query && name == o.name; }
};
struct ColumnKeyHash {
  std::size_t operator()(const ColumnKey& key) const noexcept {
    return key.name_hash ^ (static_cast<std::size_t>(key.query) * 0x9E3779B97F4A7C15ULL);
  }
};

// An origin while the file is traced: its texts are views of the facts or
// of text the resolver keeps, its path an id (Paths), so that copying,
// comparing and prefixing one allocates nothing.
struct Found {
  std::string_view kind;
  std::string_view name;
  std::string_view source_name;
  std::string_view column;
  int via = 0;
  bool star = false;
  bool has_reason = false;
  std::string_view reason;
  // Texts met again are mostly views of the same bytes: those are equal
  // without a look at them.
  bool operator==(const Found& o) const {
    return via == o.via && star == o.star && has_reason == o.has_reason && same(kind, o.kind) &&
           same(name, o.name) && same(source_name, o.source_name) && same(column, o.column) && same(reason, o.reason);
  }
  static bool same(std::string_view a, std::string_view b) {
    return a.size() == b.size() && (a.data() == b.data() || a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
  }
};

// The paths of CTEs and subqueries passed through, each made once, so that
// two are equal when their ids are: a path is its last step and the path
// before it; 0 is the empty path.
class Paths {
 public:
  Paths() { steps_.push_back({0, {}}); }

  int push(int path, std::string_view step) {
    const auto [at, added] = ids_.try_emplace(Step{path, step}, static_cast<int>(steps_.size()));
    if (added) steps_.push_back({path, step});
    return at->second;
  }

  // `tail` after `head`.
  int join(int head, int tail) {
    if (tail == 0) return head;
    if (head == 0) return tail;
    const std::uint64_t key = (static_cast<std::uint64_t>(head) << 32) | static_cast<std::uint32_t>(tail);
    auto known = joined_.find(key);
    if (known != joined_.end()) return known->second;
    int path = head;
    for (std::string_view step : steps(tail)) path = push(path, step);
    joined_.emplace(key, path);
    return path;
  }

  // The steps' names, first to last; made once for each path.
  const std::vector<std::string>& names(int path) {
    if (names_.size() < steps_.size()) names_.resize(steps_.size());
    std::optional<std::vector<std::string>>& made = names_[static_cast<std::size_t>(path)];
    if (!made) {
      std::vector<std::string> out;
      for (std::string_view step : steps(path)) out.emplace_back(step);
      made = std::move(out);
    }
    return *made;
  }

 private:
  struct Step {
    int before;
    std::string_view last;
    bool operator==(const Step&) const = default;
  };
  struct StepHash {
    std::size_t operator()(const Step& step) const noexcept {
      return std::hash<std::string_view>()(step.last) ^ (static_cast<std::size_t>(step.before) * 0x9E3779B97F4A7C15ULL);
    }
  };

  // The steps of a path, first to last.
  std::vector<std::string_view> steps(int path) const {
    std::vector<std::string_view> out;
    for (int at = path; at != 0; at = steps_[static_cast<std::size_t>(at)].before) {
      out.push_back(steps_[static_cast<std::size_t>(at)].last);
    }
    std::reverse(out.begin(), out.end());
    return out;
  }

  std::vector<Step> steps_;
  std::vector<std::optional<std::vector<std::string>>> names_;  // by path
  std::unordered_map<Step, int, StepHash> ids_;
  std::unordered_map<std::uint64_t, int> joined_;
};

// What the bytes of a name hold: any outside ASCII, any upper case ASCII
// letter. Names are read eight bytes at a time: tracing asks this of every
// name it passes.
struct Letters {
  bool non_ascii = false;
  bool upper = false;
};

Letters letters_of(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x80 * kOnes;
  std::uint64_t high = 0;
  std::uint64_t upper = 0;
  const auto add = [&](std::uint64_t word) {
    high |= word;
    // Each byte below 0x80: its bit 7 set by the first sum when it is 'A'
    // or more, by the second when it is past 'Z'; no sum carries out of a byte.
    const std::uint64_t ascii = word & ~kHigh;
    upper |= (ascii + (0x80 - 'A') * kOnes) & ~(ascii + (0x80 - 'Z' - 1) * kOnes) & ~word;
  };
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    add(word);
  }
  if (i < text.size()) {
    std::uint64_t word = 0;  // zero bytes are neither
    std::memcpy(&word, text.data() + i, text.size() - i);
    add(word);
  }
  return Letters{(high & kHigh) != 0, (upper & kHigh) != 0};
}

// Where the file's nodes and tokens are, in characters, as a PositionIndex
// tells. A tree that still prints its parsed text (most files) answers from
// the text itself: a node's or token's place is the offset of its bytes
// there, counted in characters, and the index's walk over the whole tree is
// not needed. Anything else asks an index, made when first needed; both
// give the same answers for such a text.
class Places {
 public:
  // The lists it fills are the caller's, given empty: their room is kept
  // from file to file.
  Places(const cst::Document& doc, std::vector<std::size_t>& line_starts, std::vector<std::size_t>& chars_before)
      : doc_(doc), line_starts_(line_starts), chars_before_(chars_before) {
    std::optional<std::string_view> text = doc.root->source_text();
    if (!text) return;
    text_ = *text;
    plain_ = true;
    ascii_ = is_ascii(text_);
    line_starts_.push_back(0);
    if (!ascii_) {
      count_chars_and_lines();
      return;
    }
    for (std::size_t i = text_.find('\n'); i != std::string_view::npos; i = text_.find('\n', i + 1)) {
      line_starts_.push_back(i + 1);
    }
  }

  Span node_span(const cst::Node* node) {
    if (plain_) {
      const std::optional<std::string_view> text = node->source_text();
      if (const Place start = offset_of(text)) return TextSpan{chars_at(*start), chars_at(*start + text->size())};
    }
    return index().node_span(node);
  }

  // Where the range's first token starts.
  Place range_start(const TokenRange& range) {
    if (!plain_) return start_of(range_span(range));
    const Place first = token_start(range.first);
    if (!first || !token_start(range.last)) return std::nullopt;  // the index finds no span for it either
    return chars_at(*first);
  }

  // The span of a range whose tokens' texts, in order, are `text`: in a
  // plain text they lie side by side.
  Span range_span(const TokenRange& range, std::string_view text) {
    if (!plain_) return range_span(range);
    const Place start = range_start(range);
    if (!start) return std::nullopt;
    return TextSpan{*start, *start + (ascii_ ? text.size() : cst::count_chars(text))};
  }

  // The whole range's span; asks the index.
  Span range_span(const TokenRange& range) {
    const cst::PositionIndex& found = index();
    Span first = found.token_span(range.first);
    Span last = found.token_span(range.last);
    if (!first || !last || last->end < first->start) return std::nullopt;
    return TextSpan{first->start, last->end};
  }

  cst::LineColumn location(std::size_t at) {
    if (!plain_) return index().location(at);
    const auto after = std::upper_bound(line_starts_.begin(), line_starts_.end(), at);
    const auto line = static_cast<std::size_t>(after - line_starts_.begin());
    return cst::LineColumn{line, at - line_starts_[line - 1] + 1};
  }

  static Place start_of(const Span& span) { return span ? Place(span->start) : std::nullopt; }

 private:
  static constexpr std::size_t kBlock = 64;  // bytes of text a count of characters is kept for

  // Eight bytes at a time: every file's text is asked.
  static bool is_ascii(std::string_view text) {
    std::uint64_t any = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      any |= word;
    }
    for (; i < text.size(); ++i) any |= static_cast<unsigned char>(text[i]);
    return (any & 0x8080808080808080ULL) == 0;
  }

  // For a text that is not ASCII: the characters before each block, and
  // each line's start in characters, as the index counts them.
  void count_chars_and_lines() {
    const std::size_t blocks = text_.size() / kBlock;
    chars_before_.resize(blocks + 1);
    std::size_t chars = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
      chars_before_[b] = chars;
      chars += kBlock - continuation_bytes(text_.data() + b * kBlock);
    }
    chars_before_[blocks] = chars;
    for (std::size_t i = text_.find('\n'); i != std::string_view::npos; i = text_.find('\n', i + 1)) {
      line_starts_.push_back(chars_at(i + 1));
    }
  }

  // The bytes of a block that continue a character (10xxxxxx), eight at a time.
  static std::size_t continuation_bytes(const char* block) {
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    std::size_t count = 0;
    for (std::size_t i = 0; i < kBlock; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, block + i, 8);
      count += static_cast<std::size_t>(std::popcount(word & ~(word << 1) & kHigh));
    }
    return count;
  }

  // The characters of the text before byte `at`.
  std::size_t chars_at(std::size_t at) const {
    if (ascii_) return at;
    const std::size_t block = at / kBlock;
    return chars_before_[block] + cst::count_chars(text_.substr(block * kBlock, at % kBlock));
  }

  // The offset of a view of the text, when it is one.
  Place offset_of(const std::optional<std::string_view>& view) const {
    if (!view) return std::nullopt;
    const auto at = reinterpret_cast<std::uintptr_t>(view->data());
    const auto begin = reinterpret_cast<std::uintptr_t>(text_.data());
    if (at < begin || at - begin + view->size() > text_.size()) return std::nullopt;
    return static_cast<std::size_t>(at - begin);
  }

  // A token of the parsed text borrows it (serial 0) and starts within it.
  Place token_start(const cst::TokenId& id) const {
    const auto at = reinterpret_cast<std::uintptr_t>(id.address);
    const auto begin = reinterpret_cast<std::uintptr_t>(text_.data());
    if (id.serial != 0 || at < begin || at - begin >= text_.size()) return std::nullopt;
    return static_cast<std::size_t>(at - begin);
  }

  const cst::PositionIndex& index() {
    if (!index_) index_.emplace(doc_);
    return *index_;
  }

  const cst::Document& doc_;
  bool plain_ = false;  // the tree prints text_
  bool ascii_ = false;  // and it is ASCII: characters are bytes
  std::string_view text_;
  std::vector<std::size_t>& line_starts_;  // of the text, in characters, when plain
  std::vector<std::size_t>& chars_before_;  // of each block of the text, when plain and not ASCII
  std::optional<cst::PositionIndex> index_;
};

// What tracing knows of a column of a query.
struct Traced {
  bool done = false;  // false while it is traced: met again, the column reads itself
  std::size_t begin = 0;  // its origins: [begin, end) of FileResolver::origins_
  std::size_t end = 0;
  std::size_t slot = 0;  // where the table keeps its key
};

// The columns traced, by ColumnKey: a table of slots probed in turn, as a
// file traces tens of thousands of columns and a map would make a node for
// each. Entries are known by number, in the order added.
class TracedTable {
 public:
  static constexpr std::size_t kNone = ~std::size_t{0};

  std::size_t find(const ColumnKey& key) const {
    if (slots_.empty()) return kNone;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = ColumnKeyHash()(key) & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.entry == kNone) return kNone;
      if (slot.key == key) return slot.entry;
    }
  }

  // A new entry for a key not in the table.
  std::size_t add(const ColumnKey& key) {
    if (2 * (entries_.size() + 1) > slots_.size()) grow();
    entries_.emplace_back();
    place(key, entries_.size() - 1);
    return entries_.size() - 1;
  }

  // Empty, its room kept: only the slots in use are reset.
  void clear() {
    for (const Traced& traced : entries_) slots_[traced.slot] = Slot{};
    entries_.clear();
  }

  Traced& operator[](std::size_t entry) { return entries_[entry]; }

 private:
  struct Slot {
    ColumnKey key{};
    std::size_t entry = kNone;
  };

  void place(const ColumnKey& key, std::size_t entry) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = ColumnKeyHash()(key) & mask;
    while (slots_[i].entry != kNone) i = (i + 1) & mask;
    slots_[i] = Slot{key, entry};
    entries_[entry].slot = i;
  }

  // Twice the room (at most half full after), every key placed again.
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
    for (const Slot& slot : old) {
      if (slot.entry != kNone) place(slot.key, slot.entry);
    }
  }

  std::vector<Slot> slots_;  // a power of two of them
  std::vector<Traced> entries_;
};

// The query facts' ids by node: a table of slots probed in turn, as
// TracedTable, that keeps its room when emptied.
class NodeIds {
 public:
  static constexpr int kNone = -1;

  int find(const cst::Node* node) const {
    if (slots_.empty()) return kNone;
    for (std::size_t i = home(node);; i = (i + 1) & mask()) {
      if (slots_[i].node == node) return slots_[i].id;
      if (slots_[i].node == nullptr) return kNone;
    }
  }

  // A node not in the table.
  void add(const cst::Node* node, int id) {
    if (2 * (used_.size() + 1) > slots_.size()) grow();
    place(node, id);
  }

  // Empty, its room kept: only the slots in use are reset.
  void clear() {
    for (std::size_t i : used_) slots_[i] = Slot{};
    used_.clear();
  }

 private:
  struct Slot {
    const cst::Node* node = nullptr;
    int id = kNone;
  };

  std::size_t mask() const { return slots_.size() - 1; }
  // The address's bits mixed, so that nodes side by side spread.
  std::size_t home(const cst::Node* node) const {
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(node));
    return static_cast<std::size_t>(((bits >> 3) * 0x9E3779B97F4A7C15ULL) >> 32) & mask();
  }

  void place(const cst::Node* node, int id) {
    std::size_t i = home(node);
    while (slots_[i].node != nullptr) i = (i + 1) & mask();
    slots_[i] = Slot{node, id};
    used_.push_back(i);
  }

  // Twice the room (at most half full after), every node placed again.
  void grow() {
    std::vector<Slot> old;
    old.reserve(used_.size());
    for (std::size_t i : used_) old.push_back(slots_[i]);
    slots_.assign(slots_.empty() ? 64 : 2 * slots_.size(), Slot{});
    used_.clear();
    for (const Slot& slot : old) place(slot.node, slot.id);
  }

  std::vector<Slot> slots_;  // a power of two of them
  std::vector<std::size_t> used_;
};

// What a file's reading and tracing fill: a corpus is read file after
// file, each with its thread's (see ThreadRoom).
struct FileRoom {
  QueryViews views;                 // of the query being read
  std::vector<RefView> refs;        // of every select item of the file
  std::vector<std::string_view> excluded;  // of every star of the file that excludes names
  std::vector<Found> origins;       // of every column traced, each one's together
  std::vector<std::vector<Found>> spare_lists;  // for origins being found
  std::vector<std::unique_ptr<QueryFact>> facts;  // each stays in place as the list grows
  std::vector<std::unique_ptr<QueryFact>> spare_facts;  // emptied, for the next file's
  NodeIds fact_ids;
  std::vector<int> pending;
  std::vector<int> listed;
  TracedTable traced;
  KeptTexts kept;
  std::vector<std::size_t> line_starts;  // Places'
  std::vector<std::size_t> chars_before;

  void clear() {
    refs.clear();
    excluded.clear();
    origins.clear();
    for (std::unique_ptr<QueryFact>& fact : facts) {
      fact->reset();
      spare_facts.push_back(std::move(fact));
    }
    facts.clear();
    fact_ids.clear();
    pending.clear();
    listed.clear();
    traced.clear();
    kept.clear();
    line_starts.clear();
    chars_before.clear();
  }
};

class FileResolver {
 public:
  FileResolver(const cst::Document& doc, const RefColumns* refs)
      : doc_(doc),
        ref_columns_(refs),
        places_(doc, room_.line_starts, room_.chars_before) {}
  FileResolver(const FileResolver&) = delete;
  FileResolver& operator=(const FileResolver&) = delete;

  FileLineage run() {
    FileLineage out;
    cst::Node* top = top_query(doc_);
    out.has_query = top != nullptr;
    // Each query is read as the walk meets it, with the CTEs around it.
    for_each_query(doc_, [this](cst::Node& node, const std::vector<CteView>& outer) {
      const int id = fact_of(&node);
      listed_.push_back(id);
      read(id, outer);
    });
    const int root = top != nullptr ? fact_of(top) : -1;
    // A query no walk met (none is expected) is read on its own; in a loop,
    // not by recursion: a chain of CTEs may be long.
    while (!pending_.empty()) {
      const int next = pending_.back();
      pending_.pop_back();
      if (!query_fact(next).read) read(next, ctes_around(query_fact(next).node));
    }
    link();
    static const std::vector<Entry> kNone;
    std::vector<Found> found;  // of each column and filter in turn
    const std::vector<Entry>& columns = root >= 0 ? outputs(root) : kNone;
    out.columns.reserve(columns.size());
    // Each column and filter is made in its place: the lists have room for all.
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const Entry& entry = columns[i];
      OutputColumn& column = out.columns.emplace_back();
      if (entry.get()) column.name = std::string(*entry.get());
      column.from_star = entry.through != nullptr;
      column.kind = column.from_star ? std::string_view("star") : entry.item->kind;
      if (const Span& span = span_of(*entry.item)) column.where = places_.location(span->start);
      if (column.name && first_of_its_name(root, i)) {
        found.clear();
        trace(root, *entry.get(), 0, 0, found);
        add_origins(found, column.origins);
      }
      if (!undecided_.empty()) break;
    }
    std::size_t filters = 0;
    for (int q : listed_) filters += query_fact(q).filters.size();
    if (undecided_.empty()) out.filters.reserve(filters);
    for (int q : listed_) {
      if (!undecided_.empty()) break;
      for (const FilterFact& filter : query_fact(q).filters) {
        FilterUse& use = out.filters.emplace_back();
        const RefView& ref = filter.ref;
        use.text = dotted(ref);
        use.clause = ref.clause;
        if (filter.start) use.where = places_.location(*filter.start);
        found.clear();
        resolve_ref(q, filter.ref, filter.start, 0, 0, found);
        keep_first_of_each(found);
        add_origins(found, use.origins);
      }
    }
    out.undecided = undecided_;
    return out;
  }

 private:
  // ------------------------------------------------------------ reading

  QueryFact& query_fact(int q) { return *facts_[static_cast<std::size_t>(q)]; }

  // An empty fact, one of the last file's if there is one.
  std::unique_ptr<QueryFact> spare_fact() {
    if (room_.spare_facts.empty()) return std::make_unique<QueryFact>();
    std::unique_ptr<QueryFact> fact = std::move(room_.spare_facts.back());
    room_.spare_facts.pop_back();
    return fact;
  }

  // The CTEs around a query, found by a walk from the root.
  std::vector<CteView> ctes_around(cst::Node* node) {
    std::vector<CteView> out;
    for (OuterCte& c : outer_ctes(doc_, cst::NodeRef(node))) out.push_back({std::move(c.name), c.query.get()});
    return out;
  }

  int fact_of(cst::Node* node) {
    const int known = fact_ids_.find(node);
    if (known != NodeIds::kNone) return known;
    const int id = static_cast<int>(facts_.size());
    fact_ids_.add(node, id);
    facts_.push_back(spare_fact());
    facts_.back()->node = node;
    facts_.back()->span = places_.node_span(node);
    pending_.push_back(id);
    return id;
  }

  // Each list of the fact is filled in place: a fact, kept by pointer,
  // stays where it is while others are added.
  void read(int id, const std::vector<CteView>& outer) {
    QueryFact& fact = query_fact(id);
    fact.read = true;
    read_query_views(*fact.node, outer, views_, kept_);
    std::vector<RelFact>& relations = fact.relations;
    relations.reserve(views_.relations.size());
    for (RelationView& rel : views_.relations) {
      RelFact& made = relations.emplace_back();
      made.kind = rel.kind;
      made.name = std::move(rel.name);
      made.source_name = std::move(rel.source_name);
      made.alias = std::move(rel.alias);
      made.start = places_.range_start(rel.range);
      if (rel.query != nullptr) made.body = fact_of(rel.query);
    }
    // Views of the names: taken once the relations stay in place.
    for (RelFact& made : relations) made.qualifiers = qualifiers_of(made);
    fact.filters.reserve(views_.filters.size());
    for (const RefView& ref : views_.filters) fact.filters.push_back({ref, places_.range_start(ref.range)});
    const std::size_t refs_base = refs_.size();
    refs_.insert(refs_.end(), views_.refs.begin(), views_.refs.end());
    const std::size_t excluded_base = excluded_.size();
    excluded_.insert(excluded_.end(), views_.excluded.begin(), views_.excluded.end());
    fact.selects.reserve(views_.selects.size());
    // Where each SELECT starts matters in a union only.
    const bool is_union = views_.selects.size() > 1;
    std::vector<std::size_t> starts;
    for (const SelectView& select : views_.selects) {
      if (is_union) {
        if (Span span = places_.node_span(select.node)) starts.push_back(span->start);
      }
      if (fact.selects.empty() && select.has_blocks) {  // conditional_items() finds none in a SELECT without blocks
        auto lock = select.node->read_lock();
        for (ConditionalItem& c : conditional_items(select.node->children)) fact.conditional.push_back(conditional_fact(c));
      }
      std::vector<ItemFact>& read_items = fact.selects.emplace_back();
      read_items.reserve(select.items_end - select.items_begin);
      for (std::size_t k = select.items_begin; k < select.items_end; ++k) {
        const ItemView& item = views_.items[k];
        read_items.push_back(ItemFact{item.name, kind_name(item.kind), item.node, false, std::nullopt,
                                      refs_base + item.refs_begin, refs_base + item.refs_end,
                                      excluded_base + item.excluded_begin, excluded_base + item.excluded_end});
      }
    }
    if (is_union && starts.size() == views_.selects.size()) fact.starts = std::move(starts);
  }

  // A column of a Jinja block, its texts kept by the resolver.
  ItemFact conditional_fact(ConditionalItem& c) {
    ItemFact fact;
    if (c.name) fact.name = keep(std::move(*c.name));
    fact.kind = kind_name(c.lineage.kind);
    fact.span = places_.range_span(c.range, c.text);
    fact.span_known = true;
    fact.refs_begin = refs_.size();
    for (ColumnRef& r : c.lineage.references) {
      RefView& ref = refs_.emplace_back();
      if (r.qualifier) ref.qualifier = keep(std::move(*r.qualifier));
      ref.qualified = r.qualifier.has_value();
      ref.name = keep(std::move(r.name));
      ref.range = r.range;
      ref.clause = keep(std::move(r.clause));
    }
    fact.refs_end = refs_.size();
    fact.excluded_begin = excluded_.size();
    for (std::string& name : c.lineage.excluded) excluded_.push_back(keep(std::move(name)));
    fact.excluded_end = excluded_.size();
    return fact;
  }

  const Span& span_of(const ItemFact& item) {
    if (!item.span_known) {
      item.span = places_.node_span(item.node);
      item.span_known = true;
    }
    return item.span;
  }

  // The references of a select item.
  std::span<const RefView> refs_of(const ItemFact& item) const {
    return {refs_.data() + item.refs_begin, item.refs_end - item.refs_begin};
  }

  std::array<std::string_view, 2> qualifiers_of(const RelFact& rel) {
    if (rel.alias) {
      const std::string_view alias = lower_kept(*rel.alias);
      return {alias, alias};
    }
    if (rel.kind == RelationKind::Source) {
      return {lower_kept(rel.name), keep(lower(rel.source_name + "." + rel.name))};
    }
    const std::string_view lowered = lower_kept(rel.name);
    const std::size_t dot = lowered.rfind('.');
    return {lowered, dot == std::string_view::npos ? lowered : lowered.substr(dot + 1)};
  }

  // Each query's parent: the smallest other query whose text holds it.
  void link() {
    for (int inner : listed_) {
      const Span span = query_fact(inner).span;
      int best = -1;
      if (span) {
        for (int outer : listed_) {
          const Span other = query_fact(outer).span;
          if (outer == inner || !other) continue;
          if (other->start <= span->start && span->end <= other->end && !(*other == *span)) {
            const Span& chosen = best < 0 ? other : query_fact(best).span;
            if (best < 0 || (chosen && other->end - other->start < chosen->end - chosen->start)) best = outer;
          }
        }
      }
      query_fact(inner).parent = best;
      if (best >= 0) query_fact(best).children.push_back(inner);
    }
  }

  // ------------------------------------------------------------ names

  // Lower case as the caller's language has it: ASCII only; other text is
  // left to the caller.
  std::string lower(std::string_view text) {
    std::string out(text);
    if (checked_letters(text).upper) lower_in_place(out);
    return out;
  }

  static void lower_in_place(std::string& text) {
    for (char& c : text) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  }

  // lower(text) as a view that lives as long as the resolver: the text
  // itself when it is in lower case already (it must then live as long),
  // else a kept copy.
  std::string_view lower_kept(std::string_view text) {
    if (is_lower(text)) return text;
    return keep(lower(text));
  }

  // lower(text) as a view of `text` when it is in lower case already, else
  // of `scratch`, which holds it.
  std::string_view lower_into(std::string_view text, std::string& scratch) {
    if (is_lower(text)) return text;
    scratch = lower(text);
    return scratch;
  }

  // Whether lower(text) is the text itself; checks it as lower() does.
  bool is_lower(std::string_view text) { return !checked_letters(text).upper; }

  // What lower() checks, without the copy.
  void check_ascii(std::string_view text) { checked_letters(text); }

  // letters_of(text), giving up on a name that is not plain ASCII.
  Letters checked_letters(std::string_view text) {
    const Letters letters = letters_of(text);
    if (letters.non_ascii) give_up("a name that is not plain ASCII");
    return letters;
  }

  // Whether lower(text) == lowered, without the copy.
  bool lowers_to(std::string_view text, std::string_view lowered) {
    check_ascii(text);
    return text.size() == lowered.size() && cst::equals_folded(text, lowered);
  }

  // A name quoted as the caller's language writes a string's repr: in
  // single quotes unless it holds one and no double quote, with the quote
  // used, backslashes and control characters escaped.
  std::string quoted(std::string_view text) {
    const bool doubled = text.find('\'') != std::string_view::npos && text.find('"') == std::string_view::npos;
    const char quote = doubled ? '"' : '\'';
    std::string out;
    out.reserve(text.size() + 2);
    out += quote;
    for (char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte >= 0x80) give_up("a name that needs escaping");  // printable or not as the caller's tables say
      if (c == quote || c == '\\') {
        out += '\\';
        out += c;
      } else if (c == '\n' || c == '\r' || c == '\t') {
        out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
      } else if (byte < 0x20 || byte == 0x7f) {
        static constexpr char kHex[] = "0123456789abcdef";
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xf];
      } else {
        out += c;
      }
    }
    out += quote;
    return out;
  }

  void give_up(const char* why) {
    if (undecided_.empty()) undecided_ = why;
  }

  static std::string label(const RelFact& rel) {
    std::string name = rel.kind == RelationKind::Source ? rel.source_name + "." + rel.name
                                                        : (rel.name.empty() ? std::string("subquery") : rel.name);
    return !rel.alias || *rel.alias == name ? name : *rel.alias + " (" + name + ")";
  }

  // Keeps the first of each origin, in order. A long list (a column read
  // from many others) looks each up in a table of those kept; a short one
  // is compared with each.
  void keep_first_of_each(std::vector<Found>& origins) {
    if (origins.size() < 2) return;
    if (origins.size() > kFewOrigins) {
      keep_first_of_many(origins);
      return;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < origins.size(); ++i) {
      const auto end = origins.begin() + static_cast<std::ptrdiff_t>(kept);
      if (std::find(origins.begin(), end, origins[i]) != end) continue;
      origins[kept++] = origins[i];
    }
    origins.resize(kept);
  }

  static constexpr std::size_t kFewOrigins = 16;

  // A hash of what Found::operator== compares, equal for equal origins:
  // the sizes of the texts and the ends of the column's.
  static std::size_t hash_of(const Found& f) {
    std::uint64_t h = static_cast<std::uint64_t>(static_cast<std::uint32_t>(f.via)) * 0x9E3779B97F4A7C15ULL;
    h ^= (std::uint64_t{f.kind.size()} << 1) ^ (std::uint64_t{f.name.size()} << 9) ^
         (std::uint64_t{f.source_name.size()} << 17) ^ (std::uint64_t{f.column.size()} << 25) ^
         (std::uint64_t{f.reason.size()} << 33) ^ (std::uint64_t{f.star} << 41) ^ (std::uint64_t{f.has_reason} << 42);
    if (!f.column.empty()) {
      h ^= (std::uint64_t{static_cast<unsigned char>(f.column.front())} << 45) ^
           (std::uint64_t{static_cast<unsigned char>(f.column.back())} << 53);
    }
    return static_cast<std::size_t>((h * 0xC2B2AE3D27D4EB4FULL) >> 32);
  }

  void keep_first_of_many(std::vector<Found>& origins) {
    std::size_t size = 64;
    while (size < 2 * origins.size()) size *= 2;
    constexpr std::uint32_t kEmpty = ~std::uint32_t{0};
    std::vector<std::uint32_t>& slots = origin_slots_;  // of the kept ones, by hash
    slots.assign(size, kEmpty);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < origins.size(); ++i) {
      std::size_t at = hash_of(origins[i]) & (size - 1);
      bool seen = false;
      for (; slots[at] != kEmpty; at = (at + 1) & (size - 1)) {
        if (origins[slots[at]] == origins[i]) {
          seen = true;
          break;
        }
      }
      if (seen) continue;
      slots[at] = static_cast<std::uint32_t>(kept);
      origins[kept++] = origins[i];
    }
    origins.resize(kept);
  }

  // `reason` is a literal or kept text.
  static Found unresolved(std::string_view column, int via, std::string_view reason) {
    Found origin;
    origin.kind = "unresolved";
    origin.column = column;
    origin.via = via;
    origin.has_reason = true;
    origin.reason = reason;
    return origin;
  }

  // ------------------------------------------------------------ outputs

  // The entries stay in place once made: callers keep them while they make others.
  const std::vector<Entry>& outputs(int q) {
    QueryFact& made = query_fact(q);
    if (made.outputs) return *made.outputs;
    auto entries = std::make_unique<std::vector<Entry>>();
    const bool was_reading = made.reading;
    if (reading_ > kMaxDepth) {
      give_up("CTEs or subqueries nested too deep");
    } else if (made.reading) {
      give_up("a query that reads itself");
    } else if (!made.selects.empty()) {
      made.reading = true;
      ++reading_;
      const QueryFact& fact = made;
      entries->reserve(fact.selects[0].size() + fact.conditional.size());  // one each, but for a `*`'s
      for (const ItemFact& item : fact.selects[0]) item_outputs(q, item, *entries);
      std::set<std::string_view> named;
      for (Entry& entry : *entries) {
        if (!entry.get()) continue;
        entry.lowered = lower_kept(*entry.get());
        // The names are only gathered for the columns of Jinja blocks.
        if (!fact.conditional.empty()) named.insert(entry.lowered);
      }
      for (const ItemFact& item : fact.conditional) {
        if (!item.name) continue;
        const std::string_view lowered = lower_kept(*item.name);
        if (named.insert(lowered).second) entries->push_back(Entry{item.name, &item, nullptr, lowered});
      }
    }
    if (made.reading && !was_reading) {
      made.reading = false;
      --reading_;
    }
    // Made meanwhile (the query read itself): the first answer stands.
    if (!made.outputs) made.outputs = std::move(entries);
    return *made.outputs;
  }

  void item_outputs(int q, const ItemFact& item, std::vector<Entry>& out) {
    const RefView* star = nullptr;
    if (item.kind == "star") {
      for (const RefView& ref : refs_of(item)) {
        if (ref.name == "*") {
          star = &ref;
          break;
        }
      }
    }
    if (star == nullptr) {
      out.push_back(Entry{item.name, &item, nullptr, {}});
      return;
    }
    std::set<std::string> excluded;
    for (std::size_t k = item.excluded_begin; k < item.excluded_end; ++k) excluded.insert(lower(excluded_[k]));
    const std::optional<std::string> wanted = star->qualified ? std::optional(lower(star->qualifier)) : std::nullopt;
    // Which branch of a union holds the item matters; else its place does not.
    const Place at = query_fact(q).starts ? Places::start_of(span_of(item)) : std::nullopt;
    for (const RelFact* rel : branch_relations(q, at)) {
      if (wanted && !named_by(*rel, *wanted)) continue;
      std::optional<std::vector<std::string_view>> names = relation_columns(*rel);
      if (!names) {
        out.push_back(Entry{std::nullopt, &item, rel, {}});
        continue;
      }
      for (std::string_view name : *names) {
        // Each name checked as lower() does; lowered only to be looked up.
        if (excluded.empty()) {
          check_ascii(name);
        } else if (excluded.count(lower(name)) != 0) {
          continue;
        }
        out.push_back(Entry{name, &item, rel, {}});
      }
    }
  }

  static bool named_by(const RelFact& rel, std::string_view lowered) {
    return rel.qualifiers[0] == lowered || rel.qualifiers[1] == lowered;
  }

  // The names a relation gives; none when the file does not know them.
  // Views of the names of its query's entries, or of the caller's lists.
  std::optional<std::vector<std::string_view>> relation_columns(const RelFact& rel) {
    if (rel.body >= 0) {
      std::vector<std::string_view> names;
      for (const Entry& entry : outputs(rel.body)) {
        if (!entry.get()) return std::nullopt;
        names.push_back(*entry.get());
      }
      return names;
    }
    if (rel.kind != RelationKind::Ref) return std::nullopt;
    if (ref_columns_ != nullptr) {
      auto found = ref_columns_->find(rel.name);
      if (found != ref_columns_->end()) {
        if (!found->second) return std::nullopt;
        return std::vector<std::string_view>(found->second->begin(), found->second->end());
      }
    }
    give_up(kNeedsRefColumns);
    return std::nullopt;
  }

  // Whether every output column of query `q` has a name.
  bool all_named(int q) {
    const std::vector<Entry>& entries = outputs(q);
    return std::all_of(entries.begin(), entries.end(), [](const Entry& entry) { return entry.get().has_value(); });
  }

  // Where a reference of query `q` is, when the query is a union and so
  // its branch matters (branch_relations); none otherwise.
  Place place_in_union(int q, const RefView& ref) {
    return query_fact(q).starts ? places_.range_start(ref.range) : std::nullopt;
  }

  // The relations of the union branch that holds what starts at `at`; all
  // of them when the place is unknown.
  const std::vector<const RelFact*>& branch_relations(int q, const Place& at) {
    QueryFact& fact = query_fact(q);
    if (!at || !fact.starts) {
      if (fact.all_relations.size() != fact.relations.size()) {
        for (const RelFact& rel : fact.relations) fact.all_relations.push_back(&rel);
      }
      return fact.all_relations;
    }
    const std::vector<std::size_t>& starts = *fact.starts;
    std::size_t branch = 0;
    if (*at >= starts[0]) {
      const auto after = std::upper_bound(starts.begin(), starts.end(), *at);
      branch = static_cast<std::size_t>(after - starts.begin()) - 1;
    }
    auto found = fact.branch_relations.find(branch);
    if (found != fact.branch_relations.end()) return found->second;
    const std::size_t start = starts[branch];
    const bool last = branch + 1 >= starts.size();
    std::vector<const RelFact*> within;
    for (const RelFact& rel : fact.relations) {
      if (!rel.start || *rel.start < start) continue;
      if (last || *rel.start < starts[branch + 1]) within.push_back(&rel);
    }
    return fact.branch_relations.emplace(branch, std::move(within)).first->second;
  }

  // ------------------------------------------------------------ resolving

  // The origins of a reference, after those in `out`.
  // `span` is the reference's where query `q` is a union, else may be none.
  void resolve_ref(int q, const RefView& ref, const Place& at, int via, int depth, std::vector<Found>& out) {
    const std::string_view* qualifier = ref.qualified ? &ref.qualifier : nullptr;
    if (resolve_name(q, at, qualifier, ref.name, via, depth, out)) return;
    if (qualifier != nullptr) {
      const std::string_view first = qualifier->substr(0, qualifier->find('.'));
      if (resolve_name(q, at, nullptr, first, via, depth, out)) return;
    }
    std::string reason = qualifier != nullptr ? "no relation named " + quoted(*qualifier)
                                              : std::string("the query reads no relation");
    out.push_back(unresolved(ref.name, via, keep(std::move(reason))));
  }

  // Adds the origins of the name to `out` when a relation in scope has it;
  // `name` (and `qualifier`, null for none) outlive the resolver's answers:
  // views of them are kept.
  bool resolve_name(int q, const Place& at, const std::string_view* qualifier, std::string_view name, int via,
                    int depth, std::vector<Found>& out) {
    std::string scratch;
    const std::string_view wanted = qualifier != nullptr ? lower_into(*qualifier, scratch) : std::string_view();
    for (int scope = q; scope >= 0; scope = query_fact(scope).parent) {
      const std::vector<const RelFact*>& relations = branch_relations(scope, scope == q ? at : std::nullopt);
      if (qualifier != nullptr) {
        for (const RelFact* rel : relations) {
          if (named_by(*rel, wanted)) {
            from_relation(*rel, name, via, depth, out);
            return true;
          }
        }
        // `t.record.field`: a field of column `record` of relation `t`.
        const std::size_t dot = wanted.find('.');
        if (dot != std::string_view::npos) {
          const std::string_view first = wanted.substr(0, dot);
          for (const RelFact* rel : relations) {
            if (!named_by(*rel, first)) continue;
            const std::string_view rest = qualifier->substr(dot + 1);
            from_relation(*rel, rest.substr(0, rest.find('.')), via, depth, out);
            return true;
          }
        }
      } else if (!relations.empty()) {
        const RelFact* chosen = nullptr;
        std::optional<Found> ambiguous = choose(relations, name, chosen);
        if (ambiguous) {
          ambiguous->via = via;
          out.push_back(*ambiguous);
          return true;
        }
        from_relation(*chosen, name, via, depth, out);
        return true;
      }
    }
    return false;
  }

  // Whether a relation that is no query of the file gives a column of this
  // name (in lower case): none when the file does not know its columns.
  std::optional<bool> gives(const RelFact& rel, std::string_view wanted) {
    if (rel.kind != RelationKind::Ref) return std::nullopt;
    if (ref_columns_ != nullptr) {
      auto found = ref_columns_->find(rel.name);
      if (found != ref_columns_->end()) {
        if (!found->second) return std::nullopt;
        for (const std::string& n : *found->second) {
          if (lowers_to(n, wanted)) return true;
        }
        return false;
      }
    }
    give_up(kNeedsRefColumns);
    return std::nullopt;
  }

  // The relation an unqualified name belongs to, or why none is.
  std::optional<Found> choose(const std::vector<const RelFact*>& relations, std::string_view name,
                              const RelFact*& chosen) {
    if (relations.size() == 1) {
      chosen = relations[0];
      return std::nullopt;
    }
    std::string scratch;
    const std::string_view wanted = lower_into(name, scratch);
    // `unnest(xs) as x`: the alias names the function's value as well as the relation.
    const RelFact* value = nullptr;
    std::size_t values = 0;
    for (const RelFact* rel : relations) {
      if (rel->kind == RelationKind::Function && rel->alias && lowers_to(*rel->alias, wanted)) {
        value = rel;
        ++values;
      }
    }
    if (values == 1) {
      chosen = value;
      return std::nullopt;
    }
    // Nothing below chooses again: one pair of lists serves every call.
    std::vector<const RelFact*>& having = having_;
    std::vector<const RelFact*>& unknown = unknown_;
    having.clear();
    unknown.clear();
    for (const RelFact* rel : relations) {
      if (rel->body >= 0) {
        // What relation_columns would list, without copying the names.
        if (!all_named(rel->body)) {
          unknown.push_back(rel);
        } else if (position(rel->body, wanted, std::hash<std::string_view>()(wanted))) {
          having.push_back(rel);
        }
        continue;
      }
      const std::optional<bool> has = gives(*rel, wanted);
      if (!has) {
        unknown.push_back(rel);
      } else if (*has) {
        having.push_back(rel);
      }
    }
    if (having.size() == 1) {
      chosen = having[0];
      return std::nullopt;
    }
    if (having.empty() && unknown.size() == 1) {
      chosen = unknown[0];
      return std::nullopt;
    }
    const std::vector<const RelFact*>& among = !having.empty() ? having : !unknown.empty() ? unknown : relations;
    std::string listed;
    for (const RelFact* rel : among) listed += (listed.empty() ? "" : ", ") + label(*rel);
    Found origin;
    origin.kind = "ambiguous";
    origin.column = name;
    origin.has_reason = true;
    origin.reason = keep(quoted(name) + " could come from " + listed);
    return origin;
  }

  // The path of `via` and then the relation's body, which it has.
  int path_through(const RelFact& rel, int via) {
    if (via == 0 && rel.step != 0) return rel.step;
    const std::string_view step = rel.kind == RelationKind::Cte ? std::string_view(rel.name)
                                  : rel.alias                   ? std::string_view(*rel.alias)
                                                                : std::string_view("subquery");
    const int path = paths_.push(via, step);
    if (via == 0) rel.step = path;
    return path;
  }

  void from_relation(const RelFact& rel, std::string_view name, int via, int depth, std::vector<Found>& out) {
    if (rel.body >= 0) {
      trace(rel.body, name, path_through(rel, via), depth + 1, out);
      return;
    }
    switch (rel.kind) {
      case RelationKind::Ref:
      case RelationKind::Source:
      case RelationKind::Table:
      case RelationKind::Function:
      case RelationKind::Values: {
        Found origin;
        origin.kind = kind_name(rel.kind);
        origin.name = rel.name;
        origin.source_name = rel.source_name;
        origin.column = name;
        origin.via = via;
        out.push_back(origin);
        return;
      }
      default:
        out.push_back(unresolved(name, via, keep("templated relation " + rel.name)));
        return;
    }
  }

  // Where output column `name` of query `q` comes from, after path `via`;
  // added to `out`.
  void trace(int q, std::string_view name, int via, int depth, std::vector<Found>& out) {
    if (!undecided_.empty()) return;  // left to the caller: no need to go on
    if (depth > kMaxDepth) {
      give_up("CTEs or subqueries nested too deep");
      return;
    }
    // The name in lower case: itself, or a copy in a buffer that the next
    // call overwrites.
    const bool upper = checked_letters(name).upper;
    if (upper) {
      lowered_.assign(name);
      lower_in_place(lowered_);
    }
    const std::string_view lowered_name = upper ? std::string_view(lowered_) : name;
    const std::size_t hash = std::hash<std::string_view>()(lowered_name);
    const std::size_t known = traced_.find(ColumnKey{q, lowered_name, hash});
    if (known != TracedTable::kNone && !traced_[known].done) {
      give_up("a column that reads itself");
      return;
    }
    if (known == TracedTable::kNone) {
      // The key is a view of the name when it is in lower case (the name
      // lives as long as the answers), else of a kept copy.
      const std::string_view key = upper ? keep(std::string(lowered_name)) : name;
      // Known by its number: the table may grow while the column is traced.
      const std::size_t added = traced_.add(ColumnKey{q, key, hash});
      std::vector<Found> made = borrow_list();
      trace_anew(q, name, key, hash, depth, made);
      keep_first_of_each(made);
      Traced& traced = traced_[added];
      traced.begin = origins_.size();
      origins_.insert(origins_.end(), made.begin(), made.end());
      traced.end = origins_.size();
      traced.done = true;
      add_prefixed(made.data(), made.data() + made.size(), via, out);
      give_back(std::move(made));
      return;
    }
    const Traced& traced = traced_[known];
    add_prefixed(origins_.data() + traced.begin, origins_.data() + traced.end, via, out);
  }

  // Whether output entry `i` of query `q`, which has a name, is the first
  // of that name (ignoring case).
  bool first_of_its_name(int q, std::size_t i) {
    const std::string_view lowered = outputs(q)[i].lowered;
    return position(q, lowered, std::hash<std::string_view>()(lowered)) == i;
  }

  // A list for origins being found, from those given back: tracing makes
  // one for each column of each query it meets.
  std::vector<Found> borrow_list() {
    if (spare_lists_.empty()) return {};
    std::vector<Found> list = std::move(spare_lists_.back());
    spare_lists_.pop_back();
    list.clear();
    return list;
  }
  void give_back(std::vector<Found>&& list) { spare_lists_.push_back(std::move(list)); }

  // Origins [begin, end) reached through path `via` first, added to `out`;
  // none of them is in `out`.
  void add_prefixed(const Found* begin, const Found* end, int via, std::vector<Found>& out) {
    const std::size_t from = out.size();
    out.insert(out.end(), begin, end);
    if (via == 0) return;
    for (std::size_t i = from; i < out.size(); ++i) out[i].via = paths_.join(via, out[i].via);
  }

  // Where the first output column of this name (given in lower case) is, ignoring case.
  // `hash` is std::hash of `lowered`.
  std::optional<std::size_t> position(int q, std::string_view lowered, std::size_t hash) {
    QueryFact& fact = query_fact(q);
    if (!fact.positions) {
      Positions made = name_positions(outputs(q));
      if (!fact.positions) fact.positions = std::move(made);
    }
    const Positions& index = *fact.positions;
    auto found = std::lower_bound(index.begin(), index.end(), hash,
                                  [](const Position& p, std::size_t h) { return p.hash < h; });
    for (; found != index.end() && found->hash == hash; ++found) {
      if (found->name == lowered) return found->index;
    }
    return std::nullopt;
  }

  // The entries' names in lower case, each with its first entry.
  Positions name_positions(const std::vector<Entry>& entries) {
    Positions index;
    index.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (!entries[i].get()) continue;
      const std::string_view name = entries[i].lowered;
      index.push_back(Position{std::hash<std::string_view>()(name), name, i});
    }
    std::sort(index.begin(), index.end());
    index.erase(std::unique(index.begin(), index.end(),
                            [](const Position& a, const Position& b) { return a.name == b.name; }),
                index.end());
    return index;
  }

  // Each branch of a union gives the column at the same position; the
  // origins are added to `origins`.
  void trace_anew(int q, std::string_view name, std::string_view lowered, std::size_t hash, int depth,
                  std::vector<Found>& origins) {
    const std::vector<Entry>& first = outputs(q);
    std::optional<std::size_t> index = position(q, lowered, hash);
    if (!index) {
      std::vector<const Entry*> stars;
      bool templated = false;
      for (const Entry& entry : first) {
        if (entry.get()) continue;
        if (entry.through != nullptr) stars.push_back(&entry);
        if (entry.item->kind == "templated") templated = true;
      }
      if (stars.empty()) {
        if (templated) return;  // made by Jinja, if at all: nothing more is known
        origins.push_back(unresolved(name, 0, keep("no column " + quoted(name) + " here")));
        return;
      }
      const std::size_t from = origins.size();
      for (const Entry* entry : stars) from_relation(*entry->through, name, 0, depth, origins);
      for (std::size_t i = from; i < origins.size(); ++i) origins[i].star = true;
      return;
    }
    if (query_fact(q).selects.size() < 2) {
      trace_entry(q, first[*index], name, 0, depth, origins);
      return;
    }
    // The later branches are made before the first is traced: either may give up, and the first reason stands.
    const std::vector<std::vector<Entry>>& later = later_branches(q);
    trace_entry(q, first[*index], name, 0, depth, origins);
    for (const std::vector<Entry>& entries : later) {
      if (hidden(entries, *index)) {
        origins.push_back(unresolved(name, 0, "union branch without this position"));
        continue;
      }
      trace_entry(q, entries[*index], name, 0, depth, origins);
    }
  }

  // Whether a later union branch has no column at this position (or one
  // after a column without a name).
  static bool hidden(const std::vector<Entry>& entries, std::size_t index) {
    if (index >= entries.size()) return true;
    for (std::size_t i = 0; i < index; ++i) {
      if (!entries[i].get()) return true;
    }
    return false;
  }

  // The entries of each union branch after the first (whose are outputs()).
  const std::vector<std::vector<Entry>>& later_branches(int q) {
    QueryFact& fact = query_fact(q);
    if (fact.branches) return *fact.branches;
    std::vector<std::vector<Entry>> all;
    for (std::size_t s = 1; s < fact.selects.size(); ++s) {
      std::vector<Entry> entries;
      for (const ItemFact& item : fact.selects[s]) item_outputs(q, item, entries);
      all.push_back(std::move(entries));
    }
    if (!fact.branches) fact.branches = std::move(all);
    return *fact.branches;
  }

  // The name an entry gives, else `name`: a view of text the resolver keeps.
  static std::string_view name_or(const Entry& entry, std::string_view name) {
    const std::optional<std::string_view>& own = entry.get();
    return own ? *own : name;
  }

  // The origins of an output entry, added to `out`.
  void trace_entry(int q, const Entry& entry, std::string_view name, int via, int depth, std::vector<Found>& out) {
    if (entry.through != nullptr) {
      from_relation(*entry.through, name_or(entry, name), via, depth, out);
      return;
    }
    for (const RefView& ref : refs_of(*entry.item)) {
      if (ref.name != "*") resolve_ref(q, ref, place_in_union(q, ref), via, depth, out);
    }
    // A subquery in the item gives its value: what its first column reads,
    // outer columns included.
    if (query_fact(q).children.empty()) return;
    const Span& span = span_of(*entry.item);
    if (!span) return;
    for (int inner : query_fact(q).children) {
      const Span& at = query_fact(inner).span;
      if (!at || at->start < span->start || at->end > span->end) continue;
      if (depth > kMaxDepth) {
        give_up("CTEs or subqueries nested too deep");
        return;
      }
      const std::vector<Entry>& first = outputs(inner);  // kept in place by its query's fact
      if (first.empty()) continue;
      const Entry& found = first.front();
      trace_entry(inner, found, name_or(found, name), via, depth + 1, out);
    }
  }

  // A reference's text as written, dotted.
  static std::string dotted(const RefView& ref) {
    if (!ref.qualified) return std::string(ref.name);
    std::string text;
    text.reserve(ref.qualifier.size() + 1 + ref.name.size());
    text.append(ref.qualifier).append(1, '.').append(ref.name);
    return text;
  }

  // Origins as the caller gets them, added to `out`.
  void add_origins(const std::vector<Found>& found, std::vector<LineageOrigin>& out) {
    out.reserve(out.size() + found.size());
    for (const Found& f : found) {
      LineageOrigin& origin = out.emplace_back();
      // Each text made whole and moved in: cheaper than assigning into it.
      origin.kind = std::string(f.kind);
      if (!f.name.empty()) origin.name = std::string(f.name);
      if (!f.source_name.empty()) origin.source_name = std::string(f.source_name);
      origin.column = std::string(f.column);
      if (f.via != 0) origin.via = paths_.names(f.via);
      origin.star = f.star;
      if (f.has_reason) origin.reason = std::string(f.reason);
    }
  }

  // Text made while tracing, kept for the views of it (a deque does not move its items).
  std::string_view keep(std::string text) { return kept_.emplace_back(std::move(text)); }

  const cst::Document& doc_;
  const RefColumns* ref_columns_;
  ThreadRoom<FileRoom> thread_room_;
  FileRoom& room_ = thread_room_.get();
  Places places_;
  QueryViews& views_ = room_.views;
  std::vector<RefView>& refs_ = room_.refs;
  std::vector<std::string_view>& excluded_ = room_.excluded;
  std::vector<std::unique_ptr<QueryFact>>& facts_ = room_.facts;  // each stays in place as the list grows
  NodeIds& fact_ids_ = room_.fact_ids;
  std::vector<int>& pending_ = room_.pending;  // queries not read yet
  std::vector<int>& listed_ = room_.listed;    // the document's queries, in order
  std::vector<Found>& origins_ = room_.origins;
  std::vector<std::vector<Found>>& spare_lists_ = room_.spare_lists;
  TracedTable& traced_ = room_.traced;
  std::string lowered_;  // trace()'s name in lower case
  std::vector<const RelFact*> having_;   // choose()'s relations that have the name
  std::vector<const RelFact*> unknown_;  // and those whose columns are not known
  std::vector<std::uint32_t> origin_slots_;  // keep_first_of_many()'s table
  Paths paths_;
  KeptTexts& kept_ = room_.kept;
  std::size_t reading_ = 0;  // queries whose outputs are being made
  std::string undecided_;
};

}  // namespace

FileLineage file_lineage(const cst::Document& doc, const RefColumns* refs) { return FileResolver(doc, refs).run(); }

}  // namespace trelm::query
