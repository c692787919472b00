#include "arena/node_arena.hpp"

#include <algorithm>

#include "arena/node_map.hpp"

namespace zembrik {

std::string to_string(const BadNodeId& error) {
  return "BadNodeId(" + std::to_string(error.id) + ")";
}

std::vector<NodeKey> NodeArena::keys() const {
  std::vector<NodeKey> keys;
  keys.reserve(size());
  for (std::size_t i = 0; i < size(); ++i) keys.push_back(key(i));
  return keys;
}

NodeArena NodeArena::slice_from(std::size_t start) const {
  start = std::min(start, size());
  if (start == 0) return *this;
  NodeArena slice;
  const std::uint64_t base = ends_[start - 1] >> 1;
  slice.bytes_.assign(bytes_, base);
  slice.ends_.reserve(size() - start);
  for (std::size_t i = start; i < size(); ++i) {
    slice.ends_.push_back(ends_[i] - (base << 1));
    slice.wide_size_ += record::wide_size(record(i));
  }
  return slice;
}

}  // namespace zembrik
