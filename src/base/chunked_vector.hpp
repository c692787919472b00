// ChunkedVector: an append-only sequence stored in fixed-size chunks. Growing
// it never moves or copies what is already there (no transient doubling of a
// large table), and indexing is a shift and a mask into a chunk table small
// enough to stay in cache.
#pragma once

#include <cassert>
#include <cstddef>
#include <memory>
#include <vector>

namespace zembrik {

template <class T, unsigned kChunkBits = 14>
class ChunkedVector {
 public:
  [[nodiscard]] std::size_t size() const { return size_; }

  T& operator[](std::size_t k) {
    assert(k < size_ && "index beyond the sequence");
    return chunks_[k >> kChunkBits][k & kMask];
  }
  const T& operator[](std::size_t k) const {
    assert(k < size_ && "index beyond the sequence");
    return chunks_[k >> kChunkBits][k & kMask];
  }

  void push_back(T value) {
    if ((size_ & kMask) == 0) chunks_.push_back(std::make_unique<T[]>(kChunkSize));
    chunks_.back()[size_ & kMask] = std::move(value);
    ++size_;
  }

 private:
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;
  static constexpr std::size_t kMask = kChunkSize - 1;

  std::vector<std::unique_ptr<T[]>> chunks_;
  std::size_t size_ = 0;
};

}  // namespace zembrik
