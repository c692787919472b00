#include "ir/key_record.hpp"

#include <bit>
#include <cassert>
#include <cstring>

namespace zembrik::record {
namespace {

// Every field goes through one of these four primitives. The traversal is
// written once, over a sink: SizeBound adds up an upper bound of the bytes,
// Writer then writes them through a raw pointer into room made in one go,
// which is what keeps encoding cheap on the store's hot path.
struct SizeBound {
  std::size_t bytes = 0;
  void u8(std::uint8_t) { bytes += 1; }
  void varint(std::uint64_t) { bytes += kMaxVarint; }
  void raw64(std::uint64_t) { bytes += 8; }
  void str(std::string_view s) { bytes += kMaxVarint + s.size(); }
};

struct Writer {
  char* at;
  void u8(std::uint8_t byte) { *at++ = static_cast<char>(byte); }
  void varint(std::uint64_t v) { at = put_varint(at, v); }
  void raw64(std::uint64_t bits) {
    std::memcpy(at, &bits, sizeof bits);
    at += sizeof bits;
  }
  void str(std::string_view s) {
    varint(s.size());
    std::memcpy(at, s.data(), s.size());
    at += s.size();
  }
};

template <class Sink>
void put_ids(Sink& out, const NodeIds& ids) {
  out.varint(ids.size());
  for (NodeId id : ids) out.varint(id);
}

// Returns whether the value was a NaN.
template <class Sink>
bool put_value(Sink& out, const ParamValue& value, Nans nans) {
  out.u8(static_cast<std::uint8_t>(value.tag()));
  switch (value.tag()) {
    case ParamValue::Tag::Int:
      out.varint(zigzag(value.as_int()));
      return false;
    case ParamValue::Tag::Float: {
      const double f = value.as_float();
      const bool nan = f != f;
      out.raw64(nan && nans == Nans::Canonicalize ? kCanonicalNanBits
                                                  : std::bit_cast<std::uint64_t>(f));
      return nan;
    }
    case ParamValue::Tag::Bool:
      out.u8(value.as_bool() ? 1 : 0);
      return false;
    case ParamValue::Tag::Str:
      out.str(value.as_str());
      return false;
  }
  return false;
}

template <class Sink>
bool put_params(Sink& out, const ParamMap& params, Nans nans) {
  bool nan = false;
  out.varint(params.size());
  for (const auto& [key, value] : params) {
    out.str(key);
    nan |= put_value(out, value, nans);
  }
  return nan;
}

template <class Sink>
bool put_key(Sink& out, const NodeKey& key, Nans nans) {
  out.u8(static_cast<std::uint8_t>(key.index()));
  return std::visit(
      [&](const auto& k) -> bool {
        using K = std::decay_t<decltype(k)>;
        bool nan = false;
        if constexpr (std::is_same_v<K, Source>) {
          out.str(k.name);
          nan = put_params(out, k.params, nans);
        } else if constexpr (std::is_same_v<K, Op> || std::is_same_v<K, Reduction>) {
          out.str(k.name);
          nan = put_params(out, k.params, nans);
          put_ids(out, k.inputs);
        } else if constexpr (std::is_same_v<K, External>) {
          const PayloadDescriptor& d = k.descriptor;
          for (const std::string* s :
               {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
            out.str(*s);
          }
          out.u8(d.preprocessing_ref ? 1 : 0);
          if (d.preprocessing_ref) out.str(*d.preprocessing_ref);
          nan = put_params(out, k.params, nans);
          put_ids(out, k.inputs);
        } else if constexpr (std::is_same_v<K, Stage>) {
          put_ids(out, k.inputs);
          out.varint(k.members.size());
          for (const StageOp& m : k.members) {
            out.str(m.token);
            out.varint(m.inputs.size());
            for (const StageRef& ref : m.inputs) {
              out.u8(static_cast<std::uint8_t>(ref.tag));
              out.varint(ref.index);
            }
          }
        } else {  // Exchange, Join
          nan = put_params(out, k.params, nans);
          put_ids(out, k.inputs);
        }
        return nan;
      },
      key);
}

// Appends what `put` writes for `item` to `out`; returns put's result.
template <class Put>
bool append(std::string& out, Put&& put) {
  SizeBound bound;
  put(bound);
  const std::size_t begin = out.size();
  out.resize(begin + bound.bytes);
  Writer writer{out.data() + begin};
  const bool result = put(writer);
  out.resize(static_cast<std::size_t>(writer.at - out.data()));
  return result;
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
  ParamValue value() {
    switch (static_cast<ParamValue::Tag>(u8())) {
      case ParamValue::Tag::Int:
        return ParamValue::Int(unzigzag(varint()));
      case ParamValue::Tag::Float:
        return ParamValue::Float(std::bit_cast<double>(in_.raw64()));
      case ParamValue::Tag::Bool:
        return ParamValue::Bool(u8() != 0);
      case ParamValue::Tag::Str:
        return ParamValue::Str(str());
    }
    assert(false && "bad value tag in record");
    return ParamValue::Int(0);
  }
  ParamMap params() {
    std::vector<ParamEntry> entries(varint(), ParamEntry{std::string(), ParamValue::Int(0)});
    for (auto& [key, value] : entries) {
      key = str();
      value = this->value();
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

bool encode(const NodeKey& key, std::string& out, Nans nans) {
  return append(out, [&](auto& sink) { return put_key(sink, key, nans); });
}

NodeKey decode(std::string_view bytes) {
  Reader in(bytes);
  NodeKey key = [&]() -> NodeKey {
    switch (static_cast<NodeTag>(in.u8())) {
      case NodeTag::Source: {
        std::string name = in.str();
        return Source{std::move(name), in.params()};
      }
      case NodeTag::Op: {
        std::string name = in.str();
        ParamMap params = in.params();
        return Op{std::move(name), std::move(params), in.ids()};
      }
      case NodeTag::Reduction: {
        std::string name = in.str();
        ParamMap params = in.params();
        return Reduction{std::move(name), std::move(params), in.ids()};
      }
      case NodeTag::External: {
        PayloadDescriptor d;
        for (std::string* s : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
          *s = in.str();
        }
        if (in.u8() != 0) d.preprocessing_ref = in.str();
        ParamMap params = in.params();
        return External{std::move(d), std::move(params), in.ids()};
      }
      case NodeTag::Stage: {
        Stage stage{in.ids(), {}};
        stage.members.resize(in.varint());
        for (StageOp& m : stage.members) m = in.member();
        return stage;
      }
      case NodeTag::Exchange: {
        ParamMap params = in.params();
        return Exchange{std::move(params), in.ids()};
      }
      case NodeTag::Join: {
        ParamMap params = in.params();
        return Join{std::move(params), in.ids()};
      }
    }
    assert(false && "bad node tag in record");
    return Source{};
  }();
  assert(in.done() && "trailing bytes in record");
  return key;
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

}  // namespace

Split split_at_inputs(std::string_view bytes, NodeIds& inputs) {
  Cursor in(bytes);
  const auto tag = static_cast<NodeTag>(in.u8());
  switch (tag) {
    case NodeTag::Source:
      return Split{bytes, {}, false};
    case NodeTag::Op:
    case NodeTag::Reduction:
      in.str();
      skip_params(in);
      break;
    case NodeTag::External:
      for (int i = 0; i < 5; ++i) in.str();
      if (in.u8() != 0) in.str();
      skip_params(in);
      break;
    case NodeTag::Stage:
      break;
    case NodeTag::Exchange:
    case NodeTag::Join:
      skip_params(in);
      break;
  }
  const std::size_t list_begin = in.offset(bytes);
  for (std::uint64_t n = in.varint(); n > 0; --n) inputs.push_back(in.varint());
  const std::size_t list_end = in.offset(bytes);
  assert((tag == NodeTag::Stage || in.done()) && "the id list ends the record");
  return Split{bytes.substr(0, list_begin), bytes.substr(list_end), true};
}

void append_with_inputs(const Split& split, std::span<const NodeId> inputs, std::string& out) {
  out += split.head;
  if (split.has_inputs) {
    char varint[kMaxVarint];
    out.append(varint, put_varint(varint, inputs.size()));
    for (NodeId x : inputs) out.append(varint, put_varint(varint, x));
  }
  out += split.tail;
}

}  // namespace zembrik::record
