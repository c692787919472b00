// NodeArena: a sequence of node keys kept as compact byte records.
//
// The store's arena and every copy a read hands out are NodeArenas, so a copy
// is two flat buffers rather than millions of small allocations. Keys are
// decoded only when a reader asks for one.
#pragma once

#include <cassert>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/page_allocator.hpp"
#include "ir/node_key.hpp"
#include "ir/record.hpp"

namespace zembrik {

class NodeArena {
 public:
  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  // The bytes of all records together.
  std::size_t byte_size() const { return bytes_.size(); }
  // The sum of every record's record::wide_size, kept as records are added
  // and dropped, so that a blob's size is known without reading them.
  std::size_t wide_size() const { return wide_size_; }

  std::string_view record(std::size_t i) const {
    const std::uint64_t begin = i == 0 ? 0 : ends_[i - 1] >> 1;
    return std::string_view(bytes_).substr(begin, (ends_[i] >> 1) - begin);
  }
  // Whether record i holds a NaN float, i.e. is not byte-canonical.
  bool has_nan(std::size_t i) const { return (ends_[i] & 1) != 0; }

  void reserve(std::size_t records, std::size_t bytes) {
    ends_.reserve(records);
    bytes_.reserve(bytes);
  }

  NodeKey key(std::size_t i) const { return record::decode(record(i)); }
  std::vector<NodeKey> keys() const;

  // Writes the record of `key` after the last record, as a candidate that
  // the caller either keeps with commit() or drops with discard() before
  // touching the arena otherwise. Encoding in place saves a scratch buffer
  // and a copy on the store's hot path.
  struct Candidate {
    std::string_view record;
    bool has_nan;
    std::size_t wide = 0;  // record::wide_size(record), or 0 when not known yet
  };
  // A failed allocation leaves the arena as it was.
  Candidate stage(const NodeKey& key) {
    const std::size_t begin = bytes_.size();
    bool has_nan;
    std::size_t wide;
    try {
      has_nan = record::encode(key, bytes_, record::Nans::Keep, &wide);
    } catch (...) {
      bytes_.resize(begin);
      throw;
    }
    return {std::string_view(bytes_).substr(begin), has_nan, wide};
  }
  // The same for a record already in record::encode's format, with its
  // wide size when the producer knows it (a record is never 0 bytes wide).
  Candidate stage_record(std::string_view record, bool has_nan, std::size_t wide = 0) {
    const std::size_t begin = bytes_.size();
    bytes_.append(record);
    return {std::string_view(bytes_).substr(begin), has_nan, wide};
  }
  // Appends a record in record::encode's format at once: stage_record and
  // commit in one, and a failed allocation leaves the arena as it was.
  void append(std::string_view record, bool has_nan, std::size_t wide = 0) {
    assert((wide == 0 || wide == record::wide_size(record)) && "the wide size of another record");
    if (wide == 0) wide = record::wide_size(record);
    bytes_.append(record);
    try {
      ends_.push_back(static_cast<std::uint64_t>(bytes_.size()) << 1 | (has_nan ? 1 : 0));
    } catch (...) {
      bytes_.resize(bytes_.size() - record.size());
      throw;
    }
    wide_size_ += wide;
  }
  // Keeps the candidate; a failed allocation leaves it staged.
  void commit(const Candidate& candidate) {
    assert((candidate.wide == 0 || candidate.wide == record::wide_size(candidate.record)) &&
           "the wide size of another record");
    const std::size_t wide =
        candidate.wide != 0 ? candidate.wide : record::wide_size(candidate.record);
    ends_.push_back(static_cast<std::uint64_t>(bytes_.size()) << 1 | (candidate.has_nan ? 1 : 0));
    wide_size_ += wide;
  }
  void discard(const Candidate& candidate) {
    bytes_.resize(bytes_.size() - candidate.record.size());
  }

  // Drops the records from `count` on; allocates nothing.
  void truncate(std::size_t count) {
    if (count >= size()) return;
    for (std::size_t i = count; i < size(); ++i) wide_size_ -= record::wide_size(record(i));
    bytes_.resize(count == 0 ? 0 : ends_[count - 1] >> 1);
    ends_.resize(count);
  }

  // A copy of the records from `start` (clamped to the size) to the end.
  NodeArena slice_from(std::size_t start) const;

 private:
  std::string bytes_;
  // End offset of record i, shifted, | has_nan; mapped when large, as it
  // doubles with the arena (PageAllocator).
  std::vector<std::uint64_t, PageAllocator<std::uint64_t>> ends_;
  std::size_t wide_size_ = 0;
};

}  // namespace zembrik
