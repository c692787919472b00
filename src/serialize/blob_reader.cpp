// Reading: each blob record is checked field by field and transcoded into
// the arena's record format as it goes, so no key is built on the way.
//
// Every reference in a blob names a record position. A blob that serialize
// wrote never repeats a record, so positions are ids: the first read builds
// an arena with ids equal to positions, noting each record's largest input,
// which tells most records apart without hashing them (the index waits for
// the first intern). Should two records be equal keys after all, the copy
// must intern to the first one's id and later positions no longer equal
// ids, so the blob is read again, interning record by record and mapping
// positions to the ids they got.
#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

#include "base/interrupt.hpp"
#include "base/utf8.hpp"
#include "ir/key_record.hpp"
#include "serialize/blob.hpp"

namespace zembrik {
namespace {

// The smallest blob record (a Source or Stage with empty fields): a tag and
// two 32-bit counts. Bounds how many records the remaining bytes can hold.
constexpr std::size_t kMinRecordBytes = 9;

// a < b in the byte order of parameter keys; the first bytes almost always
// differ, which saves a call to memcmp.
bool key_before(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty() && a[0] != b[0]) {
    return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
  }
  return a < b;
}

class Decoder {
 public:
  enum class Mode {
    Bulk,    // into an arena, assuming no record repeats
    Intern,  // into a graph, record by record
  };

  Decoder(std::string_view blob, Mode mode)
      : at_(blob.data()), end_(blob.data() + blob.size()), mode_(mode) {}

  const BlobError& error() const { return *error_; }

  // The magic, the node count and every record.
  [[nodiscard]] bool records() {
    if (!magic() || !u32(record_count_)) return false;
    const std::size_t remaining = static_cast<std::size_t>(end_ - at_);
    const std::size_t most = std::min<std::size_t>(record_count_, remaining / kMinRecordBytes);
    if (mode_ == Mode::Bulk) {
      arena_.reserve(most, remaining);
      anchors_.reserve(most);
    } else {
      id_of_.reserve(most);
    }
    InterruptPoints points;
    for (std::uint64_t position = 0; position < record_count_; ++position) {
      points.tick();
      if (!node(position)) return false;
    }
    return true;
  }

  NodeArena take_arena() { return std::move(arena_); }
  // Bulk: per record, its largest input plus one, or 0 without inputs.
  std::span<const NodeId> anchors() const { return anchors_; }
  Graph take_graph() { return std::move(graph_); }

  // The output list, marked in `graph`, which holds the records read.
  [[nodiscard]] bool outputs(Graph& graph) {
    std::uint32_t count;
    if (!u32(count)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint64_t reference;
      if (!u64(reference)) return false;
      if (reference >= record_count_) return fail(BlobError::node_reference(reference));
      if (!graph.mark_output(id_at(reference))) return fail(BlobError::node_reference(reference));
    }
    return true;
  }

 private:
  bool fail(BlobError error) {
    error_ = error;
    return false;
  }

  // Primitives. Each one fails as truncated when the bytes run out.
  bool take(std::size_t n, const char*& bytes) {
    if (static_cast<std::size_t>(end_ - at_) < n) return fail(BlobError::truncated());
    bytes = at_;
    at_ += n;
    return true;
  }
  bool u8(std::uint8_t& v) {
    const char* bytes;
    if (!take(1, bytes)) return false;
    v = static_cast<std::uint8_t>(*bytes);
    return true;
  }
  bool u32(std::uint32_t& v) {
    const char* bytes;
    if (!take(4, bytes)) return false;
    std::memcpy(&v, bytes, 4);  // little-endian host, as the writer asserts
    return true;
  }
  bool u64(std::uint64_t& v) {
    const char* bytes;
    if (!take(8, bytes)) return false;
    std::memcpy(&v, bytes, 8);
    return true;
  }
  bool string(std::string_view& s) {
    std::uint32_t n;
    const char* bytes;
    if (!u32(n) || !take(n, bytes)) return false;
    s = std::string_view(bytes, n);
    return utf8::valid(s) || fail(BlobError::invalid_utf8());
  }

  // Fields, each checked and then appended to `record_`.
  bool copy_string() {
    std::string_view s;
    if (!string(s)) return false;
    record_.str(s);
    return true;
  }

  bool params() {
    std::uint32_t n;
    if (!u32(n)) return false;
    record_.varint(n);
    std::string_view previous;
    for (std::uint32_t i = 0; i < n; ++i) {
      std::string_view key;
      std::uint8_t tag;
      if (!string(key) || !u8(tag)) return false;
      if (tag > 3) return fail(BlobError::invalid_tag(BlobError::TagKind::Param, tag));
      if (i > 0 && key_before(key, previous)) sorted_ = false;
      previous = key;
      record_.str(key);
      record_.u8(tag);
      switch (static_cast<ParamValue::Tag>(tag)) {
        case ParamValue::Tag::Int: {
          std::uint64_t bits;
          if (!u64(bits)) return false;
          record_.varint(record::zigzag(static_cast<std::int64_t>(bits)));
          break;
        }
        case ParamValue::Tag::Float: {
          std::uint64_t bits;
          if (!u64(bits)) return false;
          const double value = std::bit_cast<double>(bits);
          has_nan_ |= value != value;
          record_.raw64(bits);
          break;
        }
        case ParamValue::Tag::Bool: {
          std::uint8_t byte;
          if (!u8(byte)) return false;
          record_.u8(byte != 0 ? 1 : 0);
          break;
        }
        case ParamValue::Tag::Str:
          if (!copy_string()) return false;
          break;
      }
    }
    return true;
  }

  // An id list of the record at `position`: each id must name an earlier
  // record, and is written and collected as the id that record received.
  bool ids(std::uint64_t position) {
    std::uint32_t n;
    if (!u32(n)) return false;
    record_.varint(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      std::uint64_t reference;
      if (!u64(reference)) return false;
      if (reference >= position) return fail(BlobError::node_reference(reference));
      if (mode_ == Mode::Bulk) {
        record_.varint(reference);
        anchor_ = std::max<NodeId>(anchor_, reference + 1);
      } else {
        record_.varint(id_of_[reference]);
        inputs_.push_back(id_of_[reference]);
      }
    }
    input_count_ = n;
    return true;
  }

  // Members refer to the stage's inputs and to earlier members only.
  bool stage_members() {
    std::uint32_t members;
    if (!u32(members)) return false;
    record_.varint(members);
    const std::uint64_t stage_inputs = input_count_;
    for (std::uint32_t k = 0; k < members; ++k) {
      std::uint32_t refs;
      if (!copy_string() || !u32(refs)) return false;
      record_.varint(refs);
      for (std::uint32_t r = 0; r < refs; ++r) {
        std::uint8_t tag;
        std::uint32_t index;
        if (!u8(tag)) return false;
        if (tag > 1) return fail(BlobError::invalid_tag(BlobError::TagKind::StageRef, tag));
        if (!u32(index)) return false;
        const std::uint64_t limit =
            static_cast<StageRef::Tag>(tag) == StageRef::Tag::Member ? k : stage_inputs;
        if (index >= limit) return fail(BlobError::node_reference(index));
        record_.u8(tag);
        record_.varint(index);
      }
    }
    return true;
  }

  bool preprocessing_ref() {
    std::uint8_t has_ref;
    if (!u8(has_ref)) return false;
    record_.u8(has_ref != 0 ? 1 : 0);
    return has_ref == 0 || copy_string();
  }

  // The fields of the record at `position`, in the order its tag gives.
  struct Fields {
    Decoder& d;
    std::uint64_t position;

    bool name() { return d.copy_string(); }
    bool descriptor(std::size_t) { return d.copy_string(); }
    bool preprocessing_ref() { return d.preprocessing_ref(); }
    bool params() { return d.params(); }
    bool inputs() { return d.ids(position); }
    bool members() { return d.stage_members(); }
  };

  // Flattened: calls between the small field readers cost more than the
  // reading they do.
  [[gnu::flatten]] bool node(std::uint64_t position) {
    const char* const start = at_;
    std::uint8_t tag;
    if (!u8(tag)) return false;
    if (tag > kMaxNodeTag) return fail(BlobError::invalid_tag(BlobError::TagKind::Node, tag));
    record_.clear();
    record_.u8(tag);
    inputs_.clear();
    anchor_ = 0;
    has_nan_ = false;
    sorted_ = true;
    Fields fields{*this, position};
    if (!record::walk_fields(static_cast<NodeTag>(tag), fields)) return false;

    std::string_view record = record_.view();
    bool has_nan = has_nan_;
    if (!sorted_) {
      // Decoding sorts the parameters; encoding again gives the canonical record.
      sorted_record_.clear();
      has_nan = record::encode(record::decode(record), sorted_record_);
      record = sorted_record_;
    }
    // The blob record is the arena record's wide form, field for field.
    const auto wide = static_cast<std::size_t>(at_ - start);
    if (mode_ == Mode::Bulk) {
      arena_.commit(arena_.stage_record(record, has_nan, wide));
      anchors_.push_back(anchor_);
      return true;
    }
    Result<NodeId, BadNodeId> id = graph_.intern_record({record, has_nan, inputs_, wide});
    if (!id) return fail(BlobError::node_reference(id.error().id));
    id_of_.push_back(id.value());
    return true;
  }

  bool magic() {
    if (end_ - at_ < 4) return fail(BlobError::truncated());
    if (std::memcmp(at_, "ZIR1", 4) != 0) return fail(BlobError::bad_magic());
    at_ += 4;
    return true;
  }

  // The id that the record at `position` received.
  NodeId id_at(std::uint64_t position) const {
    return mode_ == Mode::Bulk ? position : id_of_[position];
  }

  const char* at_;
  const char* end_;
  Mode mode_;
  std::optional<BlobError> error_;
  std::uint32_t record_count_ = 0;
  NodeArena arena_;  // Bulk: the records read
  NodeIds anchors_;  // Bulk: anchors_[position], as anchors() gives
  Graph graph_;      // Intern: the records read
  NodeIds id_of_;    // Intern: id_of_[position] is the id that record received

  // The record being read.
  record::Builder record_;
  std::string sorted_record_;  // the record again, when its keys came unsorted
  NodeIds inputs_;             // Intern only
  NodeId anchor_ = 0;          // Bulk only
  std::uint32_t input_count_ = 0;
  bool has_nan_ = false;
  bool sorted_ = true;
};

}  // namespace

Result<Graph, BlobError> deserialize(std::string_view blob) {
  Decoder bulk(blob, Decoder::Mode::Bulk);
  if (!bulk.records()) return bulk.error();
  if (std::optional<Graph> graph =
          Graph::from_distinct_records(bulk.take_arena(), bulk.anchors())) {
    if (!bulk.outputs(*graph)) return bulk.error();
    return std::move(*graph);
  }
  // A record repeats: the same checks pass again, only the ids differ.
  Decoder one_by_one(blob, Decoder::Mode::Intern);
  if (!one_by_one.records()) return one_by_one.error();
  Graph graph = one_by_one.take_graph();
  if (!one_by_one.outputs(graph)) return one_by_one.error();
  return graph;
}

}  // namespace zembrik
