// SharedGraph: the graph a GraphStore object owns, behind the one mutex that
// the Python threads sharing the object take turns on.
//
// Every read copies what it returns, so reduction, serialization, rendering
// and the building of Python objects run without the lock, and a recording
// thread waits at most for a copy. Below the binding a graph is a plain,
// unlocked value (store/graph.hpp).
//
// Calls made holding the interpreter lock (recording, counts, marks and the
// node map) pass WaitWithoutGil, which lets that lock go when the store is
// busy; the other reads are made without it.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/guarded.hpp"
#include "base/result.hpp"
#include "store/graph.hpp"

namespace zembrik::py {

class SharedGraph {
 public:
  explicit SharedGraph(Graph&& graph) noexcept
      : identity_(next_identity_.fetch_add(1, std::memory_order_relaxed)),
        graph_(kPoisoned, std::move(graph)) {
    static_assert(std::is_nothrow_move_constructible_v<Graph>);
  }

  // Unique among the graphs this process ever made; unlike an address, never
  // reused.
  std::uint64_t identity() const { return identity_; }

  template <class WaitBusy = RunHere>
  Result<NodeId, BadNodeId> intern(const NodeKey& key, WaitBusy&& wait_busy = {}) {
    return graph_.with([&](Graph& g) { return g.intern(key); }, std::forward<WaitBusy>(wait_busy));
  }

  // The same for a key given as its record (record::encode_fields).
  template <class WaitBusy = RunHere>
  Result<NodeId, BadNodeId> intern_record(const EncodedKey& key, WaitBusy&& wait_busy = {}) {
    return graph_.with([&](Graph& g) { return g.intern_record(key); },
                       std::forward<WaitBusy>(wait_busy));
  }

  template <class WaitBusy = RunHere>
  std::uint64_t node_count(WaitBusy&& wait_busy = {}) const {
    return graph_.with([](const Graph& g) { return g.node_count(); },
                       std::forward<WaitBusy>(wait_busy));
  }
  std::uint64_t byte_size() const {
    return graph_.with([](const Graph& g) { return g.byte_size(); });
  }
  template <class WaitBusy = RunHere>
  std::vector<NodeId> outputs(WaitBusy&& wait_busy = {}) const {
    return graph_.with([](const Graph& g) { return g.outputs(); },
                       std::forward<WaitBusy>(wait_busy));
  }
  template <class WaitBusy = RunHere>
  NodeMap node_map(WaitBusy&& wait_busy = {}) const {
    return graph_.with([](const Graph& g) { return g.node_map(); },
                       std::forward<WaitBusy>(wait_busy));
  }
  // The arena and the marks at one locked moment.
  StoreSnapshot snapshot() const {
    return graph_.with([](const Graph& g) { return g.snapshot(); });
  }
  NodeArena arena() const {
    return graph_.with([](const Graph& g) { return g.arena(); });
  }
  // The nodes from `start` on: what an incremental step has not seen.
  NodeArena snapshot_from(std::uint64_t start) const {
    return graph_.with([&](const Graph& g) { return g.arena().slice_from(start); });
  }
  // The whole arena, once every id of `ids` is known to be in it; the ids
  // are checked against the copy rather than under the lock.
  Result<NodeArena, BadNodeId> arena_holding(std::span<const NodeId> ids) const {
    NodeArena copy = arena();
    if (const Result<void, BadNodeId> checked = check_ids(ids, copy.size()); !checked) {
      return checked.error();
    }
    return copy;
  }

 private:
  static constexpr const char* kPoisoned = "zembrik-core store mutex poisoned";
  static inline std::atomic<std::uint64_t> next_identity_{1};

  std::uint64_t identity_;
  Guarded<Graph> graph_;
};

}  // namespace zembrik::py
