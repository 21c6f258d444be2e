// A list of at most N items whose length is that of the braced list it is made from: the
// registries' tables (shapes/registry.hpp, engine/follow_terms.hpp) state their items and
// nothing else, and a list too long for its room does not compile in a constant table.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <stdexcept>

namespace velmora {

template <class T, std::size_t N>
class FixedList {
 public:
  static constexpr std::size_t kCapacity = N;

  constexpr FixedList() = default;
  constexpr FixedList(std::initializer_list<T> items) : size_(items.size()) {
    if (items.size() > N) throw std::length_error("a table's list is longer than its room");
    std::copy(items.begin(), items.end(), items_.begin());
  }

  // Appends an item (a list built from another one, such as a shape's fwhm variant).
  constexpr void push_back(const T& item) {
    if (size_ == N) throw std::length_error("a table's list is longer than its room");
    items_[size_++] = item;
  }

  constexpr std::size_t size() const { return size_; }
  constexpr bool empty() const { return size_ == 0; }
  constexpr const T& operator[](std::size_t i) const { return items_[i]; }
  constexpr const T* begin() const { return items_.data(); }
  constexpr const T* end() const { return items_.data() + size_; }

 private:
  std::array<T, N> items_{};
  std::size_t size_ = 0;
};

}  // namespace velmora
