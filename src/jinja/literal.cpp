#include "jinja/literal.hpp"

namespace trelm::jinja {
namespace {

bool has_children(const Literal::Value& v) {
  if (const auto* list = std::get_if<Literal::List>(&v)) return !list->empty();
  if (const auto* dict = std::get_if<Literal::Dict>(&v)) return !dict->empty();
  return false;
}

// Moves the children of `v` onto `pending`, leaving `v` childless.
void move_children(Literal::Value& v, std::vector<Literal>& pending) {
  if (auto* list = std::get_if<Literal::List>(&v)) {
    for (Literal& item : *list) pending.push_back(std::move(item));
    list->clear();
  } else if (auto* dict = std::get_if<Literal::Dict>(&v)) {
    for (auto& [key, value] : *dict) {
      pending.push_back(std::move(key));
      pending.push_back(std::move(value));
    }
    dict->clear();
  }
}

// Copies the scalar, or gives `to` an empty container of the right size
// whose slots are filled by the caller's walk.
void copy_shallow(const Literal::Value& from, Literal::Value& to) {
  if (const auto* list = std::get_if<Literal::List>(&from)) {
    to.emplace<Literal::List>(list->size());
  } else if (const auto* dict = std::get_if<Literal::Dict>(&from)) {
    to.emplace<Literal::Dict>(dict->size());
  } else {
    to = from;
  }
}

}  // namespace

// Children are moved onto a flat list before they die, so no destructor
// runs inside another for more than one level.
void Literal::release_children() noexcept {
  std::vector<Literal> pending;
  move_children(value_, pending);
  while (!pending.empty()) {
    Literal last = std::move(pending.back());
    pending.pop_back();
    move_children(last.value_, pending);
  }
}

Literal::~Literal() {
  if (has_children(value_)) release_children();
}

Literal& Literal::operator=(Literal&& other) noexcept {
  if (this != &other) {
    Literal old(std::move(*this));  // dies iteratively, after the move
    value_ = std::move(other.value_);
  }
  return *this;
}

Literal::Literal(const Literal& other) : value_(None{}) {
  std::vector<std::pair<const Literal*, Literal*>> work{{&other, this}};
  while (!work.empty()) {
    auto [from, to] = work.back();
    work.pop_back();
    copy_shallow(from->value_, to->value_);
    if (const auto* list = std::get_if<List>(&from->value_)) {
      auto& copy = std::get<List>(to->value_);
      for (std::size_t i = 0; i < list->size(); ++i) work.emplace_back(&(*list)[i], &copy[i]);
    } else if (const auto* dict = std::get_if<Dict>(&from->value_)) {
      auto& copy = std::get<Dict>(to->value_);
      for (std::size_t i = 0; i < dict->size(); ++i) {
        work.emplace_back(&(*dict)[i].first, &copy[i].first);
        work.emplace_back(&(*dict)[i].second, &copy[i].second);
      }
    }
  }
}

Literal& Literal::operator=(const Literal& other) {
  if (this != &other) *this = Literal(other);
  return *this;
}

bool Literal::operator==(const Literal& other) const {
  std::vector<std::pair<const Literal*, const Literal*>> work{{this, &other}};
  while (!work.empty()) {
    auto [a, b] = work.back();
    work.pop_back();
    if (a->value_.index() != b->value_.index()) return false;
    if (const auto* list = std::get_if<List>(&a->value_)) {
      const auto& other_list = std::get<List>(b->value_);
      if (list->size() != other_list.size()) return false;
      for (std::size_t i = 0; i < list->size(); ++i) work.emplace_back(&(*list)[i], &other_list[i]);
    } else if (const auto* dict = std::get_if<Dict>(&a->value_)) {
      const auto& other_dict = std::get<Dict>(b->value_);
      if (dict->size() != other_dict.size()) return false;
      for (std::size_t i = 0; i < dict->size(); ++i) {
        work.emplace_back(&(*dict)[i].first, &other_dict[i].first);
        work.emplace_back(&(*dict)[i].second, &other_dict[i].second);
      }
    } else if (!(a->value_ == b->value_)) {
      return false;
    }
  }
  return true;
}

}  // namespace trelm::jinja
