#include "optimizer/stage_fusion.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "arena/interned_arena.hpp"
#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "base/result.hpp"
#include "ir/record.hpp"

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

// The stage-level inputs and the members' references of one stage at a
// time. The inputs must be known before the record can start, so they are
// collected first. External inputs are listed once per reduced id: two
// stages can resolve to one node.
class StageReferences {
 public:
  explicit StageReferences(std::size_t nodes)
      : member_index_(nodes), external_pos_(nodes), seen_in_(nodes, kNoId) {}

  // `group` holds the members of stage `key` ascending; `resolved(x)` is the
  // reduced id of the node that input `x`, outside the stage, landed on.
  template <class Resolved>
  void collect(const EngineGraph& graph, const std::vector<EngineId>& stage_of, EngineId key,
               std::span<const EngineId> group, const Resolved& resolved) {
    for (std::uint64_t k = 0; k < group.size(); ++k) member_index_[group[k]] = k;
    inputs_.clear();
    refs_.clear();
    for (EngineId m : group) {
      for (EngineId x : graph.inputs_of(m)) {
        refs_.push_back(stage_of[x] == key ? StageRef::Member(member_index_[x])
                                           : StageRef::Input(input_position(resolved(x), key)));
      }
    }
  }

  std::span<const NodeId> inputs() const { return inputs_; }
  std::span<const StageRef> refs() const { return refs_; }

 private:
  std::uint64_t input_position(NodeId at, EngineId key) {
    if (seen_in_[at] != key) {
      seen_in_[at] = key;
      external_pos_[at] = inputs_.size();
      inputs_.push_back(at);
    }
    return external_pos_[at];
  }

  std::vector<std::uint64_t> member_index_;  // per engine node, within its stage
  // Per reduced id: its position in the input list of stage `seen_in_`, so
  // the table is never cleared.
  std::vector<std::uint64_t> external_pos_;
  std::vector<EngineId> seen_in_;
  NodeIds inputs_;
  std::vector<StageRef> refs_;
};

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
  InterruptPoints points;
  for (EngineId i = 0; i < n; ++i) {
    points.tick();
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
  InterruptPoints points;
  for (EngineId i = n; i-- > 0;) {
    points.tick();
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

// The members of a fused Stage: the nodes of `group` in order, their
// references back to back in `refs`. Reuses `out`'s room.
std::span<const StageMemberView> member_views(const EngineGraph& graph,
                                              std::span<const EngineId> group,
                                              std::span<const StageRef> refs,
                                              std::vector<StageMemberView>& out) {
  out.clear();
  std::size_t next_ref = 0;
  for (EngineId m : group) {
    const std::size_t count = graph.nodes[m].input_count;
    out.push_back(StageMemberView{graph.token_of(m), refs.subspan(next_ref, count)});
    next_ref += count;
  }
  return out;
}

// The emission walk. A node equal to one emitted before takes that node's id
// instead of becoming a second copy.
//
// Elimination leaves no two equal nodes, and a boundary keeps its own key, so
// the one way to meet an equal node is an input Stage equal to a fused one
// (and then whatever is built over the two). Until an input Stage comes up
// the nodes go straight into a plain arena; from then on through an interned
// table, which takes the plain arena over.
class Emission {
 public:
  Emission(const EngineGraph& graph, const std::vector<EngineId>& stage_of)
      : graph_(graph),
        stage_of_(stage_of),
        new_id_(graph.size(), kNoId),
        placement_(graph.size()),
        references_(graph.size()) {}

  void boundary(EngineId key, const BoundaryEmitter& emit_boundary) {
    inputs_.clear();
    for (EngineId x : graph_.inputs_of(key)) inputs_.push_back(resolved(x));
    record_.clear();
    const bool has_nan = emit_boundary(key, inputs_, record_);
    if (tag_of_record(record_) == NodeTag::Stage) start_interning();
    const auto [id, fresh] = add(has_nan);
    if (fresh) ++boundary_nodes_;
    new_id_[key] = id;
    placement_[key] = Landing{id, std::nullopt};
  }

  // `group` holds the members ascending, `key` among them.
  void stage(EngineId key, std::span<const EngineId> group) {
    references_.collect(graph_, stage_of_, key, group, [&](EngineId x) { return resolved(x); });
    record_.clear();
    append_stage_record(references_.inputs(),
                        member_views(graph_, group, references_.refs(), members_), record_);
    const auto [id, fresh] = add(false);
    if (fresh) ++stages_;
    new_id_[key] = id;
    // Equal Stages have equal members, so the landings hold for the one kept.
    for (std::uint64_t k = 0; k < group.size(); ++k) placement_[group[k]] = Landing{id, k};
  }

  FusedGraph finish(std::span<const EngineId> outputs) && {
    FusedGraph out;
    out.nodes = interned_ ? interned_->arena() : std::move(plain_);
    out.outputs.reserve(outputs.size());
    for (EngineId o : outputs) out.outputs.push_back(new_id_[stage_of_[o]]);
    out.placement = std::move(placement_);
    out.stages = stages_;
    out.boundary_nodes = boundary_nodes_;
    return out;
  }

 private:
  // Inputs come from smaller ids, whose stages are emitted already.
  NodeId resolved(EngineId x) const {
    const NodeId at = new_id_[stage_of_[x]];
    if (at == kNoId) fail("stage input emitted earlier");
    return at;
  }

  void start_interning() {
    if (interned_) return;
    interned_.emplace();
    if (!interned_->adopt_distinct(plain_)) fail("emitted nodes are distinct");
  }

  // The id of the node `record_` holds, and whether it is new.
  std::pair<NodeId, bool> add(bool has_nan) {
    if (!interned_) {
      plain_.commit(plain_.stage_record(record_, has_nan));
      return {plain_.size() - 1, true};
    }
    const std::size_t before = interned_->size();
    const NodeId id = interned_->intern_record(record_, has_nan);
    return {id, interned_->size() > before};
  }

  const EngineGraph& graph_;
  const std::vector<EngineId>& stage_of_;
  NodeArena plain_;
  std::optional<InternedArena> interned_;
  std::vector<NodeId> new_id_;  // per stage key
  std::vector<Landing> placement_;
  std::uint64_t stages_ = 0;
  std::uint64_t boundary_nodes_ = 0;
  StageReferences references_;
  // Scratch of one emission, reused.
  NodeIds inputs_;  // of a boundary
  std::string record_;
  std::vector<StageMemberView> members_;  // the members of the stage being written
};

// Which stage each node joins, named by one of its members; a boundary is a
// stage of its own.
std::vector<EngineId> assign_stages(const EngineGraph& graph, bool maximal_fusion) {
  const Groups consumers = consumers_of(graph);
  std::vector<bool> is_output(graph.size());
  for (EngineId o : graph.outputs) is_output[o] = true;
  return maximal_fusion ? maximal_stages(graph, consumers, is_output)
                        : single_use_stages(graph, consumers, is_output);
}

// Stage members, ascending, by stage key.
Groups members_by_stage(const std::vector<EngineId>& stage_of) {
  return group_by(stage_of.size(), [&](auto emit) {
    for (EngineId i = 0; i < stage_of.size(); ++i) emit(stage_of[i], i);
  });
}

// Stages in order of their largest member: that order is topological, and
// visiting ids ascending meets each stage exactly at its largest member.
FusedGraph emit_in_order(const EngineGraph& graph, const std::vector<EngineId>& stage_of,
                         const Groups& members, const BoundaryEmitter& emit_boundary) {
  Emission emission(graph, stage_of);
  InterruptPoints points;
  for (EngineId last = 0; last < graph.size(); ++last) {
    points.tick();
    const EngineId key = stage_of[last];
    const auto group = members.of(key);
    if (group.back() != last) continue;
    if (graph.nodes[key].boundary) {
      emission.boundary(key, emit_boundary);
    } else {
      emission.stage(key, group);
    }
  }
  return std::move(emission).finish(graph.outputs);
}

}  // namespace

FusedGraph fuse_stages(const EngineGraph& graph, bool maximal_fusion,
                       const BoundaryEmitter& emit_boundary) {
  const std::vector<EngineId> stage_of = assign_stages(graph, maximal_fusion);
  return emit_in_order(graph, stage_of, members_by_stage(stage_of), emit_boundary);
}

}  // namespace zembrik
