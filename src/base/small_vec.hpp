// SmallVec: a sequence whose first N elements live inside the object, so the
// common short sequences (the one member of a class, its few users, the
// variables of one match) cost no allocation. Elements are moved, never
// copied, when the storage grows.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <utility>

namespace zembrik {

template <class T, std::uint32_t N>
class SmallVec {
  static_assert(N > 0, "a SmallVec keeps at least one element inline");

 public:
  SmallVec() noexcept {}
  SmallVec(std::initializer_list<T> items) { append(items.begin(), items.end()); }
  SmallVec(const SmallVec& other) { append(other.begin(), other.end()); }
  SmallVec(SmallVec&& other) noexcept { take(other); }
  SmallVec& operator=(const SmallVec& other) {
    if (this != &other) *this = SmallVec(other);
    return *this;
  }
  SmallVec& operator=(SmallVec&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~SmallVec() { release(); }

  [[nodiscard]] T* data() { return on_heap() ? heap_ : inline_data(); }
  [[nodiscard]] const T* data() const { return on_heap() ? heap_ : inline_data(); }
  [[nodiscard]] T* begin() { return data(); }
  [[nodiscard]] T* end() { return data() + size_; }
  [[nodiscard]] const T* begin() const { return data(); }
  [[nodiscard]] const T* end() const { return data() + size_; }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  T& operator[](std::size_t k) { return data()[k]; }
  const T& operator[](std::size_t k) const { return data()[k]; }
  T& back() { return data()[size_ - 1]; }

  // Makes room for `capacity` elements, so that growing to that many moves
  // nothing.
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) grow(capacity);
  }

  void push_back(T value) { emplace_back(std::move(value)); }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) grow(size_ + 1);
    T* slot = ::new (data() + size_) T(std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }

  template <class Iterator>
  void append(Iterator first, Iterator last) {
    const auto count = static_cast<std::size_t>(std::distance(first, last));
    if (size_ + count > capacity_) grow(size_ + count);
    std::uninitialized_copy(first, last, data() + size_);
    size_ += static_cast<std::uint32_t>(count);
  }

  // Drops the elements from `new_size` on.
  void truncate(std::size_t new_size) {
    assert(new_size <= size_ && "truncate cannot grow");
    std::destroy(begin() + new_size, end());
    size_ = static_cast<std::uint32_t>(new_size);
  }
  void clear() { truncate(0); }

  friend bool operator==(const SmallVec& a, const SmallVec& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  [[nodiscard]] bool on_heap() const { return capacity_ > N; }
  T* inline_data() { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_data() const { return std::launder(reinterpret_cast<const T*>(inline_)); }

  void grow(std::size_t minimum) {
    const std::size_t capacity = std::max<std::size_t>(minimum, std::size_t{capacity_} * 2);
    T* fresh = static_cast<T*>(::operator new(capacity * sizeof(T)));
    std::uninitialized_move(begin(), end(), fresh);
    const std::uint32_t size = size_;
    release();
    heap_ = fresh;
    capacity_ = static_cast<std::uint32_t>(capacity);
    size_ = size;
  }

  // Moves the elements of `other` in; `this` holds nothing beforehand.
  void take(SmallVec& other) noexcept {
    if (other.on_heap()) {
      heap_ = other.heap_;
      capacity_ = other.capacity_;
      size_ = other.size_;
      other.capacity_ = N;
      other.size_ = 0;
      return;
    }
    std::uninitialized_move(other.begin(), other.end(), inline_data());
    size_ = other.size_;
    other.clear();
  }

  void release() {
    std::destroy(begin(), end());
    if (on_heap()) ::operator delete(heap_);
    size_ = 0;
    capacity_ = N;
  }

  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = N;
  union {
    alignas(T) std::byte inline_[N * sizeof(T)];
    T* heap_;
  };
};

}  // namespace zembrik
