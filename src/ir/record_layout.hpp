// The fields of a node record, per node tag, in record order: written once
// and walked by every format that carries records, the arena's own records
// and the canonical blob alike.
//
// A field visitor has one member per field kind, each returning whether the
// walk goes on:
//
//   name()               the name of a Source, Op or Reduction
//   descriptor(i)        an External's i-th descriptor string, i < kDescriptorStringCount
//   preprocessing_ref()  an External's optional preprocessing_ref
//   params()             the parameter map
//   inputs()             the id list
//   members()            a Stage's members
//
// walk_fields<Tag> calls only the members that tag has, so a visitor built
// for one key type need not define the others. Every tag byte after the tag
// is one of these fields; how each is encoded is the visitor's business.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <string>
#include <type_traits>
#include <variant>

#include "base/failure.hpp"
#include "ir/node_key.hpp"

namespace zembrik::record {

// The descriptor strings of an External, in record order.
inline constexpr std::size_t kDescriptorStringCount = kDescriptorStrings.size();

// The key type of a tag, and the tag of a key type.
template <NodeTag Tag>
using KeyOf = std::variant_alternative_t<static_cast<std::size_t>(Tag), NodeKey>;

template <class K, std::size_t I = 0>
constexpr NodeTag tag_for() {
  if constexpr (std::is_same_v<K, std::variant_alternative_t<I, NodeKey>>) {
    return static_cast<NodeTag>(I);
  } else {
    return tag_for<K, I + 1>();
  }
}

template <NodeTag Tag, class Fields>
bool walk_fields(Fields& f) {
  if constexpr (Tag == NodeTag::Source) {
    return f.name() && f.params();
  } else if constexpr (Tag == NodeTag::Op || Tag == NodeTag::Reduction) {
    return f.name() && f.params() && f.inputs();
  } else if constexpr (Tag == NodeTag::External) {
    for (std::size_t i = 0; i < kDescriptorStringCount; ++i) {
      if (!f.descriptor(i)) return false;
    }
    return f.preprocessing_ref() && f.params() && f.inputs();
  } else if constexpr (Tag == NodeTag::Stage) {
    return f.inputs() && f.members();
  } else {
    static_assert(Tag == NodeTag::Exchange || Tag == NodeTag::Join);
    return f.params() && f.inputs();
  }
}

template <NodeTag Tag>
using TagConstant = std::integral_constant<NodeTag, Tag>;

// Calls `f(TagConstant<tag>{})`. `tag` must be a node tag: records are
// checked before they get here, and any other tag is an InternalFailure.
template <class F>
decltype(auto) visit_tag(NodeTag tag, F&& f) {
  switch (tag) {
    case NodeTag::Source:
      return f(TagConstant<NodeTag::Source>{});
    case NodeTag::Op:
      return f(TagConstant<NodeTag::Op>{});
    case NodeTag::Reduction:
      return f(TagConstant<NodeTag::Reduction>{});
    case NodeTag::External:
      return f(TagConstant<NodeTag::External>{});
    case NodeTag::Stage:
      return f(TagConstant<NodeTag::Stage>{});
    case NodeTag::Exchange:
      return f(TagConstant<NodeTag::Exchange>{});
    case NodeTag::Join:
      return f(TagConstant<NodeTag::Join>{});
  }
  // Only a corrupted in-process record gets here; fail rather than guess.
  fail("record has a bad node tag");
}

// The walk for a tag known only at run time; `f` must define every field.
template <class Fields>
bool walk_fields(NodeTag tag, Fields& f) {
  return visit_tag(tag, [&](auto t) { return walk_fields<decltype(t)::value>(f); });
}

}  // namespace zembrik::record
