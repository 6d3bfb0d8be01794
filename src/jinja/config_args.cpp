#include "jinja/config_args.hpp"

#include <algorithm>

#include "jinja/literal_reader.hpp"

namespace trelm::jinja {
namespace {

// The dict display that is the whole of `arg`, or nullopt.
std::optional<Call> whole_dict(const std::vector<ExprToken>& tokens, const CallArg& arg) {
  if (arg.name) return std::nullopt;
  const auto first = std::lower_bound(tokens.begin(), tokens.end(), arg.value.start,
                                      [](const ExprToken& t, std::size_t start) { return t.start < start; });
  if (first == tokens.end() || !first->is_open('{')) return std::nullopt;
  std::optional<Call> dict = parse_dict(tokens, static_cast<std::size_t>(first - tokens.begin()));
  if (!dict || dict->close + 1 != arg.value.end) return std::nullopt;
  return dict;
}

// A dict key that is one string literal, decoded.
std::optional<std::string> string_key(std::string_view key_text) {
  std::optional<Literal> key = parse_literal(key_text);
  if (!key || !key->holds<Literal::Str>()) return std::nullopt;
  return std::move(key->as<Literal::Str>());
}

}  // namespace

std::vector<std::string> ConfigArgs::key_names() const {
  std::vector<std::string> names;
  for (const std::optional<std::string>& key : keys) {
    if (key) names.push_back(*key);
  }
  return names;
}

std::optional<std::size_t> ConfigArgs::find(std::string_view key) const {
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] && *keys[i] == key) {
      found = i;
      if (form != ConfigForm::Dict) break;
    }
  }
  return found;
}

std::optional<ConfigArgs> config_args(std::string_view text) {
  const std::vector<ExprToken> tokens = tokenize(text);
  const std::optional<std::size_t> open = config_open(text, tokens);
  if (!open) return std::nullopt;
  std::optional<Call> call = parse_call(tokens, *open);
  if (!call) return std::nullopt;
  ConfigArgs args;
  args.call = std::move(*call);
  const bool all_named = std::all_of(args.call.args.begin(), args.call.args.end(),
                                     [](const CallArg& a) { return a.name.has_value(); });
  std::optional<Call> dict;
  if (args.call.args.size() == 1) dict = whole_dict(tokens, args.call.args.front());
  if (dict) {
    args.form = ConfigForm::Dict;
    args.entries = std::move(*dict);
    for (const CallArg& entry : args.entries.args) args.keys.push_back(string_key(entry.name->text_in(text)));
    return args;
  }
  args.form = all_named ? ConfigForm::Keywords : ConfigForm::Positional;
  args.entries = args.call;
  for (const CallArg& arg : args.call.args) {
    args.keys.push_back(arg.name ? std::optional<std::string>(arg.name->text_in(text)) : std::nullopt);
  }
  return args;
}

}  // namespace trelm::jinja
