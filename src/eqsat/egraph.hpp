// EGraph: a set of terms over `SymbolLang` with an equivalence relation on
// them. Equal terms share one e-class, and every node is stored once, with
// e-class ids as its children.
//
// Merging is deferred: `union_` links two classes and queues their users, and
// `rebuild` restores the invariants (congruence, root children, sorted unique
// members, the class index) in one batch. Searches need a rebuilt e-graph.
//
//   EGraph egraph;
//   Id x = egraph.add(SymbolLang(GlobalSymbol("x"), {}));
//   Id y = egraph.add(SymbolLang(GlobalSymbol("y"), {}));
//   Id fx = egraph.add(SymbolLang(GlobalSymbol("f"), {x}));
//   Id fy = egraph.add(SymbolLang(GlobalSymbol("f"), {y}));
//   egraph.union_(x, y);
//   egraph.rebuild();  // returns 1: f(x) and f(y) merged by congruence
//   assert(egraph.find(fx) == egraph.find(fy));
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/chunked_vector.hpp"
#include "base/failure.hpp"
#include "base/flat_map.hpp"
#include "base/small_vec.hpp"
#include "eqsat/hash_cons.hpp"
#include "eqsat/language.hpp"

namespace zembrik::eqsat {

// The parent of every id; a root is its own parent.
class UnionFind {
 public:
  Id make_set();
  [[nodiscard]] Id find(Id id) const;
  // The same walk, halving the path: each visited id is relinked to its
  // grandparent.
  Id find_mut(Id id);
  // Makes `root` the parent of `other`; both must be roots.
  void union_roots(Id root, Id other);
  [[nodiscard]] std::size_t size() const { return parents_.size(); }

 private:
  void check(Id id) const;

  ChunkedVector<Id> parents_;
};

struct EClass {
  Id id = 0;
  // Equal nodes; after `rebuild` their children are roots, and they are
  // sorted and unique. Never empty while the class exists.
  SmallVec<SymbolLang, 1> members;
  // The ids of the nodes added with this class among their children, once
  // per occurrence; each stands for the pair (added_node(id), id). Only
  // appended to; it re-queues those nodes when this class is merged away.
  SmallVec<Id, 4> users;
};

class EGraph {
 public:
  // Returns the root of the class holding `node`, creating the class when the
  // node is new. Children may be any valid ids.
  Id add(SymbolLang node);
  // The root of the class holding a node equal to `node`, after
  // canonicalising its children.
  [[nodiscard]] std::optional<Id> lookup(SymbolLang node) const;
  // True if two distinct classes were merged. On equal user counts the class
  // of `a` survives.
  bool union_(Id a, Id b);
  // Restores the invariants; returns the number of congruence merges.
  std::size_t rebuild();

  [[nodiscard]] Id find(Id id) const { return union_find_.find(id); }
  Id find_mut(Id id) { return union_find_.find_mut(id); }

  // The class of find(id).
  [[nodiscard]] const EClass& operator[](Id id) const;
  // The node that created class `id`, with the children it had then.
  [[nodiscard]] const SymbolLang& added_node(Id id) const {
    if (id >= added_key_.size()) fail("Invalid id " + std::to_string(id));
    return memo_.key_at(added_key_[id]);
  }

  // Number of hash-cons entries; never drops, as stale keys are kept.
  [[nodiscard]] std::size_t node_count() const { return memo_.size(); }
  [[nodiscard]] std::size_t class_count() const { return class_count_; }
  [[nodiscard]] bool is_clean() const { return is_clean_; }

  // The ids of all classes, ascending.
  [[nodiscard]] std::vector<Id> class_ids() const;
  // Ascending ids of the classes that had a member with operator `op` at the
  // last `rebuild`; the lists of all operators together cover every class.
  // Empty before the first `rebuild`.
  [[nodiscard]] std::span<const Id> class_index(GlobalSymbol op) const;
  // The number of classes the class index covers.
  [[nodiscard]] std::size_t class_index_size() const { return class_index_size_; }

 private:
  [[nodiscard]] bool has_class(Id root) const {
    return root < classes_.size() && !classes_[root].members.empty();
  }
  EClass& class_at_root(Id root);
  std::size_t process_repair_list();
  void rebuild_classes(bool canonicalize_members);

  UnionFind union_find_;
  HashCons memo_;
  // Indexed by id; the slot of an id that is not a class root has no members.
  ChunkedVector<EClass> classes_;
  std::size_t class_count_ = 0;
  // Where the node that created each class sits among the memo keys. Each
  // entry of `users` and of the repair list is an id k standing for
  // (added_node(k), k), which keeps them four bytes wide.
  ChunkedVector<HashCons::Position> added_key_;
  std::vector<Id> repair_list_;  // a stack
  FlatMap<GlobalSymbol, std::size_t, GlobalSymbolHash> class_index_slot_;
  std::vector<std::vector<Id>> class_index_lists_;
  std::size_t class_index_size_ = 0;
  bool is_clean_ = false;
  // Without a merge since the last rebuild every child id is still a root,
  // so rebuilding only has to index the new classes.
  bool merged_since_rebuild_ = false;
};

}  // namespace zembrik::eqsat
