#include "jinja/literal.hpp"

namespace trelm::jinja {
namespace {

bool has_children(const Literal::Value& v) {
  if (const auto* list = std::get_if<Literal::List>(&v)) return !list->empty();
  if (const auto* dict = std::get_if<Literal::Dict>(&v)) return !dict->empty();
  return false;
}

bool is_empty_container(const Literal::Value& v) {
  if (const auto* list = std::get_if<Literal::List>(&v)) return list->empty();
  if (const auto* dict = std::get_if<Literal::Dict>(&v)) return dict->empty();
  return true;
}

// The last element of a container that still has children of its own, or
// null when the last element can simply be dropped. For a dict entry only the
// value is ever descended into: a key with children is swapped into the
// value's place first (the entry is being destroyed, so the order is free).
Literal::Value* last_with_children(Literal::Value& container) {
  if (auto* list = std::get_if<Literal::List>(&container)) {
    Literal::Value& v = list->back().value();
    return has_children(v) ? &v : nullptr;
  }
  auto& entry = std::get<Literal::Dict>(container).back();
  if (!has_children(entry.second.value()) && has_children(entry.first.value())) {
    std::swap(entry.first.value(), entry.second.value());
  }
  Literal::Value& v = entry.second.value();
  return has_children(v) ? &v : nullptr;
}

// Where descending from `container` parked the chain above it.
Literal::Value& parked_slot(Literal::Value& container) {
  if (auto* list = std::get_if<Literal::List>(&container)) return list->back().value();
  return std::get<Literal::Dict>(container).back().second.value();
}

void drop_last(Literal::Value& container) {
  if (auto* list = std::get_if<Literal::List>(&container)) {
    list->pop_back();
  } else {
    std::get<Literal::Dict>(container).pop_back();
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

// Frees the children without recursion and without allocating, since it
// runs in destructors, also while a MemoryError unwinds: containers are
// emptied from the back, and descending into a nested container parks the
// one being emptied (with the chain above it) in the element it just left.
void Literal::release_children() noexcept {
  Value current = std::move(value_);
  Value above = None{};
  while (true) {
    while (!is_empty_container(current)) {
      Value* nested = last_with_children(current);
      if (nested == nullptr) {
        drop_last(current);
        continue;
      }
      Value below = std::move(*nested);
      *nested = std::move(above);
      above = std::move(current);
      current = std::move(below);
    }
    if (std::holds_alternative<None>(above)) return;
    current = std::move(above);
    above = std::move(parked_slot(current));
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
