#include "optimizer/stage_fusion.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "ir/key_record.hpp"
#include "ir/result.hpp"

namespace zembrik {
namespace {

// Values grouped by key, each group in the order the values were given.
struct Groups {
  std::vector<std::uint64_t> begin;  // per key, and one past the last
  std::vector<EngineId> values;

  std::span<const EngineId> of(EngineId key) const {
    return std::span<const EngineId>(values).subspan(begin[key], begin[key + 1] - begin[key]);
  }
};

// A counting sort: `pairs(emit)` must call emit(key, value) for every pair,
// the same way both times it is run.
template <class Pairs>
Groups group_by(std::size_t keys, Pairs&& pairs) {
  Groups g;
  g.begin.assign(keys + 1, 0);
  pairs([&](EngineId key, EngineId) { ++g.begin[key + 1]; });
  for (std::size_t k = 0; k < keys; ++k) g.begin[k + 1] += g.begin[k];
  g.values.resize(g.begin[keys]);
  std::vector<std::uint64_t> fill(g.begin.begin(), g.begin.end() - 1);
  pairs([&](EngineId key, EngineId value) { g.values[fill[key]++] = value; });
  return g;
}

// For every node, the nodes that use it, ascending, once per use.
Groups consumers_of(const EngineGraph& graph) {
  return group_by(graph.size(), [&](auto emit) {
    for (EngineId i = 0; i < graph.size(); ++i) {
      for (EngineId x : graph.inputs_of(i)) emit(x, i);
    }
  });
}

// Single-use rule: an Op with exactly one use, by a non-boundary consumer,
// joins that consumer's group unless it is an output. Each group is keyed by
// its smallest id.
std::vector<EngineId> single_use_stages(const EngineGraph& graph, const Groups& consumers,
                                        const std::vector<bool>& is_output) {
  const std::size_t n = graph.size();
  std::vector<EngineId> parent(n);
  for (EngineId i = 0; i < n; ++i) parent[i] = i;
  const auto root = [&](EngineId x) {
    EngineId r = x;
    while (parent[r] != r) r = parent[r];
    while (parent[x] != r) x = std::exchange(parent[x], r);
    return r;
  };
  for (EngineId i = 0; i < n; ++i) {
    const auto users = consumers.of(i);
    if (graph.nodes[i].boundary || users.size() != 1 || is_output[i]) continue;
    if (graph.nodes[users[0]].boundary) continue;
    const EngineId a = root(i);
    const EngineId b = root(users[0]);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  }
  std::vector<EngineId> stage_of(n);
  for (EngineId i = 0; i < n; ++i) stage_of[i] = graph.nodes[i].boundary ? i : root(i);
  return stage_of;
}

// Maximal rule: walking down from the last node, an Op joins the stage of its
// consumers when they all share one and none is a boundary. A stage is keyed
// by its largest member.
std::vector<EngineId> maximal_stages(const EngineGraph& graph, const Groups& consumers,
                                     const std::vector<bool>& is_output) {
  const std::size_t n = graph.size();
  std::vector<EngineId> stage_of(n);
  for (EngineId i = 0; i < n; ++i) stage_of[i] = i;
  for (EngineId i = n; i-- > 0;) {
    const auto users = consumers.of(i);
    if (graph.nodes[i].boundary || is_output[i] || users.empty()) continue;
    bool joins = true;
    for (EngineId c : users) {
      joins = joins && !graph.nodes[c].boundary && stage_of[c] == stage_of[users[0]];
    }
    if (joins) stage_of[i] = stage_of[users[0]];
  }
  return stage_of;
}

// Appends the record of the Stage over `inputs` whose members are the nodes
// of `group` with their references, in order, in `refs`: the layout of
// record::encode, written without building the key.
void append_stage_record(const EngineGraph& graph, std::span<const EngineId> group,
                         std::span<const NodeId> inputs, std::span<const StageRef> refs,
                         std::string& out) {
  char varint[record::kMaxVarint];
  const auto put = [&](std::uint64_t v) { out.append(varint, record::put_varint(varint, v)); };
  out += static_cast<char>(NodeTag::Stage);
  put(inputs.size());
  for (NodeId x : inputs) put(x);
  put(group.size());
  std::size_t next_ref = 0;
  for (EngineId m : group) {
    const std::string& token = graph.token_of(m);
    put(token.size());
    out += token;
    const std::size_t count = graph.nodes[m].input_count;
    put(count);
    for (const StageRef& ref : refs.subspan(next_ref, count)) {
      out += static_cast<char>(ref.tag);
      put(ref.index);
    }
    next_ref += count;
  }
}

}  // namespace

FusedGraph fuse_stages(const EngineGraph& graph, bool maximal_fusion,
                       const BoundaryEmitter& emit_boundary) {
  const std::size_t n = graph.size();
  const Groups consumers = consumers_of(graph);
  std::vector<bool> is_output(n);
  for (EngineId o : graph.outputs) is_output[o] = true;
  const std::vector<EngineId> stage_of = maximal_fusion
                                             ? maximal_stages(graph, consumers, is_output)
                                             : single_use_stages(graph, consumers, is_output);

  // Stage members, ascending, by stage key.
  const Groups members = group_by(n, [&](auto emit) {
    for (EngineId i = 0; i < n; ++i) emit(stage_of[i], i);
  });

  FusedGraph out;
  out.placement.resize(n);
  constexpr NodeId kUnset = ~NodeId{0};
  std::vector<NodeId> new_id(n, kUnset);  // per stage key
  std::vector<std::uint64_t> member_index(n);
  // Where a stage's external inputs sit in its input list; `seen_in` says
  // which stage the entry belongs to, so the table is never cleared.
  std::vector<std::uint64_t> external_pos(n);
  std::vector<EngineId> seen_in(n, kUnset);
  // Scratch of one emission, reused.
  NodeIds inputs;
  std::vector<StageRef> refs;
  std::string stage_record;

  // Stages in order of their largest member: that order is topological, and
  // visiting ids ascending meets each stage exactly at its largest member.
  for (EngineId last = 0; last < n; ++last) {
    const EngineId key = stage_of[last];
    const auto group = members.of(key);
    if (group.back() != last) continue;
    const NodeId id = out.nodes.size();
    // Inputs come from smaller ids, whose stages are emitted already.
    const auto emitted = [&](EngineId x) {
      const NodeId at = new_id[stage_of[x]];
      if (at == kUnset) throw InternalFailure("stage input emitted earlier");
      return at;
    };
    if (graph.nodes[key].boundary) {
      inputs.clear();
      for (EngineId x : graph.inputs_of(key)) inputs.push_back(emitted(x));
      emit_boundary(key, inputs, out.nodes);
      ++out.boundary_nodes;
      new_id[key] = id;
      out.placement[key] = Landing{id, std::nullopt};
      continue;
    }
    for (std::uint64_t k = 0; k < group.size(); ++k) member_index[group[k]] = k;
    // The stage-level inputs must be known before the record can start, so
    // the members' references are collected first.
    inputs.clear();
    refs.clear();
    for (EngineId m : group) {
      for (EngineId x : graph.inputs_of(m)) {
        if (stage_of[x] == key) {
          refs.push_back(StageRef::Member(member_index[x]));
          continue;
        }
        const EngineId source = stage_of[x];
        if (seen_in[source] != key) {
          seen_in[source] = key;
          external_pos[source] = inputs.size();
          inputs.push_back(emitted(x));
        }
        refs.push_back(StageRef::Input(external_pos[source]));
      }
    }
    stage_record.clear();
    append_stage_record(graph, group, inputs, refs, stage_record);
    out.nodes.commit(out.nodes.stage_record(stage_record, false));
    ++out.stages;
    new_id[key] = id;
    for (std::uint64_t k = 0; k < group.size(); ++k) out.placement[group[k]] = Landing{id, k};
  }

  out.outputs.reserve(graph.outputs.size());
  for (EngineId o : graph.outputs) out.outputs.push_back(new_id[stage_of[o]]);
  return out;
}

}  // namespace zembrik
