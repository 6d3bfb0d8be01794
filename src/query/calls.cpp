#include "query/calls.hpp"

#include "query/metadata.hpp"

namespace trelm::query {
namespace {

// Character offsets of byte offsets in one text. ASCII text, the common
// case, needs no table; other text gets a prefix count, so that every call
// of a tag is placed in time linear in the tag.
class CharOffsets {
 public:
  explicit CharOffsets(std::string_view text) {
    for (char c : text) {
      if (static_cast<unsigned char>(c) >= 0x80) {
        build(text);
        return;
      }
    }
  }
  std::size_t at(std::size_t byte) const { return prefix_.empty() ? byte : prefix_[byte]; }

 private:
  void build(std::string_view text) {
    prefix_.resize(text.size() + 1);
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      prefix_[i] = n;
      n += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    }
    prefix_[text.size()] = n;
  }
  std::vector<std::size_t> prefix_;
};

// The part of a dotted name that any spelling of the call holds, spaces
// around its dots or not.
std::string_view last_name_part(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

}  // namespace

std::string_view FoundCall::text() const {
  return std::string_view(*tag).substr(name_start, call.close + 1 - name_start);
}

std::vector<std::string_view> FoundCall::args() const {
  std::vector<std::string_view> out;
  for (const jinja::CallArg& arg : call.args) {
    if (!arg.name) out.push_back(arg.value.text_in(*tag));
  }
  return out;
}

std::vector<std::pair<std::string_view, std::string_view>> FoundCall::kwargs() const {
  std::vector<std::pair<std::string_view, std::string_view>> out;
  for (const jinja::CallArg& arg : call.args) {
    if (arg.name) out.emplace_back(arg.name->text_in(*tag), arg.value.text_in(*tag));
  }
  return out;
}

std::vector<FoundCall> calls(const cst::Document& doc, std::optional<std::string_view> name) {
  std::vector<FoundCall> out;
  // Tags embedded in a comment or string are read only when its text holds
  // the name (or, for every call, a bracket).
  const std::string_view hint = name ? last_name_part(*name) : std::string_view("(");
  // Tags embedded in one token come in order: the characters before each
  // are counted from the previous one.
  const char* token_seen = nullptr;
  std::size_t byte_seen = 0;
  std::size_t chars_seen = 0;
  cst::TextSpan token_span;
  for_each_tag(doc, hint, true, [&](const TagSite& site) {
    // A call of that name has its last part in the tag's text: a tag without
    // it is not read, which a search for one name mostly spares.
    if (name && site.tag.find(hint) == std::string_view::npos) return;
    std::vector<jinja::NamedCall> found = jinja::find_every_call(site.tag);
    if (name) std::erase_if(found, [&](const jinja::NamedCall& c) { return c.name != *name; });
    if (found.empty()) return;
    const std::string_view token_text = site.token->text();
    if (token_seen != token_text.data()) {
      token_seen = token_text.data();
      byte_seen = 0;
      chars_seen = 0;
      token_span = {site.token_start, site.token_start + cst::count_chars(token_text)};
    }
    const auto tag_byte = static_cast<std::size_t>(site.tag.data() - token_text.data());
    chars_seen += cst::count_chars(token_text.substr(byte_seen, tag_byte - byte_seen));
    byte_seen = tag_byte;

    const std::size_t tag_start = site.token_start + chars_seen;
    const CharOffsets offsets(site.tag);
    auto tag = std::make_shared<const std::string>(site.tag);
    for (jinja::NamedCall& named : found) {
      FoundCall call;
      call.name = std::move(named.name);
      call.tag = tag;
      call.span = {tag_start + offsets.at(named.name_start), tag_start + offsets.at(named.call.close + 1)};
      call.call = std::move(named.call);
      call.name_start = named.name_start;
      call.tag_span = {tag_start, tag_start + offsets.at(site.tag.size())};
      call.token = site.token->id();
      call.token_span = token_span;
      out.push_back(std::move(call));
    }
  });
  return out;
}

}  // namespace trelm::query
