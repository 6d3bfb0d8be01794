// Writing a literal as Jinja source that reads back as the same value.
#pragma once

#include <string>

#include "jinja/literal.hpp"

namespace trelm::jinja {

// `quote` delimits strings: '"' or '\''.
std::string render_literal(const Literal& literal, char quote);

}  // namespace trelm::jinja
