#include "optimizer/stage_fusion.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "ir/key_record.hpp"
#include "ir/result.hpp"

namespace zembrik {
namespace {

// For every node, the nodes that use it, ascending, once per use.
struct Consumers {
  std::vector<std::uint64_t> begin;  // size n + 1
  std::vector<EngineId> users;

  std::span<const EngineId> of(EngineId id) const {
    return std::span<const EngineId>(users).subspan(begin[id], begin[id + 1] - begin[id]);
  }
};

Consumers consumers_of(const EngineGraph& graph) {
  const std::size_t n = graph.size();
  Consumers c;
  c.begin.assign(n + 1, 0);
  for (EngineId x : graph.inputs) ++c.begin[x + 1];
  for (std::size_t i = 0; i < n; ++i) c.begin[i + 1] += c.begin[i];
  c.users.resize(graph.inputs.size());
  std::vector<std::uint64_t> fill(c.begin.begin(), c.begin.end() - 1);
  for (EngineId i = 0; i < n; ++i) {
    for (EngineId x : graph.inputs_of(i)) c.users[fill[x]++] = i;
  }
  return c;
}

// Single-use rule: an Op with exactly one use, by a non-boundary consumer,
// joins that consumer's group unless it is an output. Each group is keyed by
// its smallest id.
std::vector<EngineId> single_use_stages(const EngineGraph& graph, const Consumers& consumers,
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
std::vector<EngineId> maximal_stages(const EngineGraph& graph, const Consumers& consumers,
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
  const Consumers consumers = consumers_of(graph);
  std::vector<bool> is_output(n);
  for (EngineId o : graph.outputs) is_output[o] = true;
  const std::vector<EngineId> stage_of = maximal_fusion
                                             ? maximal_stages(graph, consumers, is_output)
                                             : single_use_stages(graph, consumers, is_output);

  // Stage members, ascending, grouped by stage: a counting sort by key.
  std::vector<std::uint64_t> member_begin(n + 1, 0);
  for (EngineId i = 0; i < n; ++i) ++member_begin[stage_of[i] + 1];
  for (std::size_t i = 0; i < n; ++i) member_begin[i + 1] += member_begin[i];
  std::vector<EngineId> members(n);
  std::vector<EngineId> largest(n, 0);
  {
    std::vector<std::uint64_t> fill(member_begin.begin(), member_begin.end() - 1);
    for (EngineId i = 0; i < n; ++i) {
      members[fill[stage_of[i]]++] = i;
      largest[stage_of[i]] = i;
    }
  }

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
    if (largest[key] != last) continue;
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
    const auto group = std::span<const EngineId>(members).subspan(
        member_begin[key], member_begin[key + 1] - member_begin[key]);
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
