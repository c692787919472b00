#include "ir/key_record.hpp"

#include <bit>
#include <cassert>
#include <cstring>

namespace zembrik::record {
namespace {

// The fields of a key of type K into `out`; notes whether a float was a NaN.
template <class Sink, class K>
struct KeyFields {
  Sink& out;
  const K& key;
  Nans nans;
  bool nan = false;

  bool name() {
    out.str(key.name);
    return true;
  }
  bool descriptor(std::size_t i) {
    out.str(key.descriptor.*kDescriptorStrings[i].member);
    return true;
  }
  bool preprocessing_ref() {
    const std::optional<std::string>& ref = key.descriptor.preprocessing_ref;
    out.u8(ref ? 1 : 0);
    if (ref) out.str(*ref);
    return true;
  }
  bool params() {
    nan |= put_params(out, key.params, nans);
    return true;
  }
  bool inputs() {
    put_ids(out, std::span<const NodeId>(key.inputs));
    return true;
  }
  bool members() {
    out.varint(key.members.size());
    for (const StageOp& m : key.members) put_member(out, m.token, m.inputs);
    return true;
  }
};

template <class Sink>
bool put_key(Sink& out, const NodeKey& key, Nans nans) {
  out.u8(static_cast<std::uint8_t>(key.index()));
  return std::visit(
      [&](const auto& k) {
        using K = std::decay_t<decltype(k)>;
        KeyFields<Sink, K> fields{out, k, nans};
        walk_fields<tag_for<K>()>(fields);
        return fields.nan;
      },
      key);
}

// Builds keys from records that `encode` wrote.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : in_(bytes) {}

  std::uint8_t u8() { return in_.u8(); }
  std::uint64_t varint() { return in_.varint(); }
  std::string str() { return std::string(in_.str()); }
  NodeIds ids() {
    NodeIds ids(varint());
    for (NodeId& id : ids) id = varint();
    return ids;
  }
  ParamMap params() {
    const std::uint64_t n = varint();
    std::vector<ParamEntry> entries;
    entries.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      const ParamView p = read_param(in_);
      entries.emplace_back(std::string(p.key), p.value());
    }
    // Records keep the map's order, so sorting again changes nothing, except
    // for a record a transcoder wrote with its entries in arrival order.
    return ParamMap::from_entries(std::move(entries));
  }
  StageOp member() {
    StageOp op{str(), {}};
    op.inputs.resize(varint(), StageRef::Input(0));
    for (StageRef& ref : op.inputs) {
      ref.tag = static_cast<StageRef::Tag>(u8());
      ref.index = varint();
    }
    return op;
  }
  bool done() const { return in_.done(); }

 private:
  Cursor in_;
};

}  // namespace

bool encode(const NodeKey& key, std::string& out, Nans nans, std::size_t* wide) {
  return append(out, [&](auto& sink) { return put_key(sink, key, nans); }, wide);
}

namespace {

// The fields of a record read back into a key of type K.
template <class K>
struct KeyReader {
  Reader& in;
  K key{};

  bool name() {
    key.name = in.str();
    return true;
  }
  bool descriptor(std::size_t i) {
    key.descriptor.*kDescriptorStrings[i].member = in.str();
    return true;
  }
  bool preprocessing_ref() {
    if (in.u8() != 0) key.descriptor.preprocessing_ref = in.str();
    return true;
  }
  bool params() {
    key.params = in.params();
    return true;
  }
  bool inputs() {
    key.inputs = in.ids();
    return true;
  }
  bool members() {
    key.members.resize(in.varint());
    for (StageOp& m : key.members) m = in.member();
    return true;
  }
};

}  // namespace

NodeKey decode(std::string_view bytes) {
  Reader in(bytes);
  NodeKey key = visit_tag(static_cast<NodeTag>(in.u8()), [&](auto tag) -> NodeKey {
    KeyReader<KeyOf<decltype(tag)::value>> fields{in};
    walk_fields<decltype(tag)::value>(fields);
    return std::move(fields.key);
  });
  assert(in.done() && "trailing bytes in record");
  return key;
}

namespace {

// The fields of a record read as views, into a RecordFields.
struct ViewReader {
  Cursor& in;
  RecordFields& out;
  std::vector<StageRef>& refs;  // every member's refs, back to back
  std::vector<std::pair<std::size_t, std::size_t>>& member_refs;  // (first, count) in refs

  bool name() {
    out.name = in.str();
    return true;
  }
  bool descriptor(std::size_t i) {
    out.descriptor[i] = in.str();
    return true;
  }
  bool preprocessing_ref() {
    if (in.u8() != 0) out.preprocessing_ref = in.str();
    return true;
  }
  bool params() {
    const std::uint64_t n = in.varint();
    for (std::uint64_t i = 0; i < n; ++i) out.params.push_back(read_param(in));
    return true;
  }
  bool inputs() {
    const std::uint64_t n = in.varint();
    for (std::uint64_t i = 0; i < n; ++i) out.inputs.push_back(in.varint());
    return true;
  }
  bool members() {
    const std::uint64_t n = in.varint();
    for (std::uint64_t m = 0; m < n; ++m) {
      out.members.push_back(MemberFields{in.str(), {}});
      const std::uint64_t count = in.varint();
      member_refs.emplace_back(refs.size(), count);
      for (std::uint64_t r = 0; r < count; ++r) {
        const auto tag = static_cast<StageRef::Tag>(in.u8());
        refs.push_back(StageRef{tag, in.varint()});
      }
    }
    return true;
  }
};

}  // namespace

namespace {

// The fields of a PlainFields into `out`; notes whether a float was a NaN.
template <class Sink>
struct PlainFieldWriter {
  Sink& out;
  const PlainFields& fields;
  bool nan = false;

  bool name() {
    out.str(fields.name);
    return true;
  }
  bool params() {
    out.varint(fields.params.size());
    for (const ParamView& p : fields.params) nan |= put_param(out, p, Nans::Keep);
    return true;
  }
  bool inputs() {
    put_ids(out, fields.inputs);
    return true;
  }
  // Not fields of the kinds PlainFields describes.
  bool descriptor(std::size_t) { return refuse(); }
  bool preprocessing_ref() { return refuse(); }
  bool members() { return refuse(); }
  [[noreturn]] static bool refuse() { fail("encode_fields writes plain kinds only"); }
};

template <NodeTag Tag, class Sink>
bool put_plain(Sink& sink, const PlainFields& fields) {
  sink.u8(static_cast<std::uint8_t>(Tag));
  PlainFieldWriter<Sink> writer{sink, fields};
  walk_fields<Tag>(writer);
  return writer.nan;
}

}  // namespace

bool encode_fields(const PlainFields& fields, std::string& out, std::size_t* wide) {
  return visit_tag(fields.tag, [&](auto tag) {
    return append(
        out, [&](auto& sink) { return put_plain<decltype(tag)::value>(sink, fields); }, wide);
  });
}

std::size_t size_bound(const PlainFields& fields) {
  // The tag, then at most: the name, the entry count, per entry its key,
  // value tag and value (a varint, eight float bytes, a bool byte or a
  // string), the id count and the ids.
  std::size_t bound = 1 + 3 * kMaxVarint + fields.name.size() + fields.inputs.size() * kMaxVarint;
  for (const ParamView& p : fields.params) {
    bound += 2 * kMaxVarint + 1 + p.key.size() + p.str_value.size();
  }
  return bound;
}

// Flattened: the bound, the field writers and the wide size inline, the
// recording path's encoding, in one pass when the record fits the room.
[[gnu::flatten]] EncodedFields encode_fields(const PlainFields& fields, std::span<char> room,
                                             std::string& overflow) {
  return visit_tag(fields.tag, [&](auto tag) -> EncodedFields {
    char* begin = room.data();
    if (size_bound(fields) > room.size()) {
      SizeBound bound;
      put_plain<decltype(tag)::value>(bound, fields);
      overflow.resize(bound.bytes);
      begin = overflow.data();
    }
    Widened<Writer> writer{{begin}};
    const bool has_nan = put_plain<decltype(tag)::value>(writer, fields);
    return {std::string_view(begin, static_cast<std::size_t>(writer.at - begin)), has_nan,
            writer.wide};
  });
}

std::string canonical(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  encode(decode(bytes), out, Nans::Canonicalize);
  return out;
}

namespace {

void skip_params(Cursor& in) {
  for (std::uint64_t n = in.varint(); n > 0; --n) {
    in.str();
    switch (static_cast<ParamValue::Tag>(in.u8())) {
      case ParamValue::Tag::Int:
        in.varint();
        break;
      case ParamValue::Tag::Float:
        in.raw64();
        break;
      case ParamValue::Tag::Bool:
        in.u8();
        break;
      case ParamValue::Tag::Str:
        in.str();
        break;
    }
  }
}

// Skips every field up to the id list, collects the ids and stops there.
struct SplitFields {
  std::string_view record;
  Cursor in;
  NodeIds& ids;
  std::size_t list_begin = 0;
  std::size_t list_end = 0;
  bool has_inputs = false;  // a Source has no id list

  bool name() {
    in.str();
    return true;
  }
  bool descriptor(std::size_t) {
    in.str();
    return true;
  }
  bool preprocessing_ref() {
    if (in.u8() != 0) in.str();
    return true;
  }
  bool params() {
    skip_params(in);
    return true;
  }
  bool inputs() {
    has_inputs = true;
    list_begin = in.offset(record);
    for (std::uint64_t n = in.varint(); n > 0; --n) ids.push_back(in.varint());
    list_end = in.offset(record);
    return false;  // what follows is the tail, kept as bytes
  }
  bool members() { return false; }
};

}  // namespace

Split split_at_inputs(std::string_view bytes, NodeIds& inputs) {
  SplitFields fields{bytes, Cursor(bytes), inputs};
  const auto tag = static_cast<NodeTag>(fields.in.u8());
  walk_fields(tag, fields);
  if (!fields.has_inputs) return Split{bytes, {}, false};
  assert((tag == NodeTag::Stage || fields.in.done()) && "the id list ends the record");
  return Split{bytes.substr(0, fields.list_begin), bytes.substr(fields.list_end), true};
}

namespace {

constexpr std::size_t kCountWidth = 4;  // a length, count or stage index
constexpr std::size_t kWordWidth = 8;   // an id, an Int or a float

// Adds up each field's fixed-width size while skipping it.
struct WideFields {
  Cursor in;
  bool stage;
  std::size_t size = 1;  // the tag

  void str() { size += kCountWidth + in.str().size(); }
  bool name() {
    str();
    return true;
  }
  bool descriptor(std::size_t) {
    str();
    return true;
  }
  bool preprocessing_ref() {
    size += 1;
    if (in.u8() != 0) str();
    return true;
  }
  bool params() {
    size += kCountWidth;
    for (std::uint64_t n = in.varint(); n > 0; --n) {
      str();
      size += 1;
      switch (static_cast<ParamValue::Tag>(in.u8())) {
        case ParamValue::Tag::Int:
          in.varint();
          size += kWordWidth;
          break;
        case ParamValue::Tag::Float:
          in.raw64();
          size += kWordWidth;
          break;
        case ParamValue::Tag::Bool:
          in.u8();
          size += 1;
          break;
        case ParamValue::Tag::Str:
          str();
          break;
      }
    }
    return true;
  }
  bool inputs() {
    const std::uint64_t n = in.varint();
    size += kCountWidth + kWordWidth * n;
    if (!stage) return false;  // the id list ends every other record
    for (std::uint64_t i = 0; i < n; ++i) in.varint();
    return true;
  }
  bool members() {
    size += kCountWidth;
    for (std::uint64_t k = in.varint(); k > 0; --k) {
      str();
      const std::uint64_t refs = in.varint();
      size += kCountWidth + (1 + kCountWidth) * refs;
      for (std::uint64_t r = 0; r < refs; ++r) {
        in.u8();
        in.varint();
      }
    }
    return true;
  }
};

}  // namespace

std::size_t wide_size(std::string_view record) {
  const NodeTag tag = tag_of_record(record);
  WideFields fields{Cursor(record.substr(1)), tag == NodeTag::Stage};
  walk_fields(tag, fields);
  return fields.size;
}

void append_with_inputs(const Split& split, std::span<const NodeId> inputs, std::string& out) {
  out += split.head;
  if (split.has_inputs) {
    append(out, [&](auto& sink) {
      put_ids(sink, inputs);
      return true;
    });
  }
  out += split.tail;
}

}  // namespace zembrik::record

namespace zembrik {
namespace {

// The fields of a Stage being written: `inputs`, then `members`.
template <class Sink>
struct StageRecordFields {
  Sink& out;
  std::span<const NodeId> stage_inputs;
  std::span<const StageMemberView> stage_members;

  bool inputs() {
    record::put_ids(out, stage_inputs);
    return true;
  }
  bool members() {
    out.varint(stage_members.size());
    for (const StageMemberView& member : stage_members) {
      record::put_member(out, member.token, member.refs);
    }
    return true;
  }
};

}  // namespace

RecordView RecordView::read(std::string_view record, NodeIds& buffer) {
  buffer.clear();
  const record::Split split = record::split_at_inputs(record, buffer);
  return RecordView{tag_of_record(record), split.head, split.tail, split.has_inputs, buffer};
}

void RecordView::append_with_inputs(std::span<const NodeId> ids, std::string& out) const {
  record::append_with_inputs(record::Split{head, tail, has_inputs}, ids, out);
}

void append_inputs(std::string_view record, NodeIds& out) {
  record::split_at_inputs(record, out);
}

void append_stage_record(std::span<const NodeId> inputs, std::span<const StageMemberView> members,
                         std::string& out) {
  record::append(out, [&](auto& sink) {
    sink.u8(static_cast<std::uint8_t>(NodeTag::Stage));
    StageRecordFields<std::decay_t<decltype(sink)>> fields{sink, inputs, members};
    return record::walk_fields<NodeTag::Stage>(fields);
  });
}

void RecordFields::read(std::string_view record) {
  name = {};
  params.clear();
  inputs.clear();
  descriptor = {};
  preprocessing_ref.reset();
  members.clear();
  refs_.clear();
  record::Cursor in(record);
  tag = static_cast<NodeTag>(in.u8());
  std::vector<std::pair<std::size_t, std::size_t>> member_refs;
  record::ViewReader fields{in, *this, refs_, member_refs};
  record::walk_fields(tag, fields);
  assert(in.done() && "trailing bytes in record");
  // The refs are all read now, so views into them stay put.
  for (std::size_t m = 0; m < members.size(); ++m) {
    members[m].refs =
        std::span<const StageRef>(refs_.data() + member_refs[m].first, member_refs[m].second);
  }
}

}  // namespace zembrik
