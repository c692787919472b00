#include "python/task_key.hpp"

#include <cstdint>

#include "base/blake2b.hpp"
#include "python/marshal_v2.hpp"

namespace zembrik::py {
namespace {

// Names the encoding digested: it must match the Python path's hasher.
constexpr std::string_view kKeyPerson = "zembrik-task-v1";

}  // namespace

std::string member_marshal_head(const OpToken& op) {
  namespace m = marshal_v2;
  std::string head;
  m::begin_dict(head);
  m::put_str(head, "kind");
  m::put_str(head, op.kind);
  m::put_str(head, "name");
  m::put_str(head, op.name);
  m::put_str(head, "params");
  m::begin_dict(head);
  for (const auto& [key, value] : op.params) {
    m::put_str(head, key);
    m::put_param_value(head, ParamView::of(key, value));
  }
  m::end_dict(head);
  m::put_str(head, "inputs");
  return head;
}

HexDigest task_digest(const RecordFields& fields, std::span<const std::string* const> member_heads,
                      std::span<const HexDigest* const> input_digests, std::string& out) {
  namespace m = marshal_v2;
  out.clear();
  m::begin_tuple(out, 6);
  m::put_str(out, kKindWords[static_cast<int>(fields.tag)]);
  m::put_str(out, fields.name);
  m::put_params(out, fields.params);
  if (fields.tag == NodeTag::External) {
    m::begin_dict(out);
    for (std::size_t i = 0; i < kDescriptorStrings.size(); ++i) {
      m::put_str(out, kDescriptorStrings[i].name);
      m::put_str(out, fields.descriptor[i]);
    }
    m::put_str(out, "preprocessing_ref");
    if (fields.preprocessing_ref) {
      m::put_str(out, *fields.preprocessing_ref);
    } else {
      m::put_none(out);
    }
    m::end_dict(out);
  } else {
    m::put_none(out);
  }
  if (fields.tag == NodeTag::Stage) {
    m::begin_list(out, fields.members.size());
    for (std::size_t i = 0; i < fields.members.size(); ++i) {
      out += *member_heads[i];
      m::begin_list(out, fields.members[i].refs.size());
      for (const StageRef& ref : fields.members[i].refs) {
        m::begin_tuple(out, 2);
        m::put_str(out, ref.tag == StageRef::Tag::Input ? "input" : "member");
        m::put_int(out, static_cast<std::int64_t>(ref.index));
      }
      m::end_dict(out);
    }
  } else {
    m::put_none(out);
  }
  // The inputs' digests joined into one str.
  out += 'u';
  m::put_u32(out, static_cast<std::uint32_t>(input_digests.size() * HexDigest().size()));
  for (const HexDigest* input : input_digests) out.append(input->data(), input->size());

  Blake2b hasher(kTaskDigestBytes, kKeyPerson);
  hasher.update(out);
  std::uint8_t bytes[kTaskDigestBytes];
  hasher.finish(bytes);
  static constexpr char kHex[] = "0123456789abcdef";
  HexDigest hex;
  for (std::size_t i = 0; i < kTaskDigestBytes; ++i) {
    hex[2 * i] = kHex[bytes[i] >> 4];
    hex[2 * i + 1] = kHex[bytes[i] & 15];
  }
  return hex;
}

}  // namespace zembrik::py
