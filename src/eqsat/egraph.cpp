#include "eqsat/egraph.hpp"

#include <algorithm>
#include <cassert>
#include <iterator>
#include <string>
#include <utility>

#include "base/failure.hpp"

namespace zembrik::eqsat {
namespace {

// Keeps the longer sequence in place and appends the shorter one to it.
template <class Sequence>
void append_shorter(Sequence& kept, Sequence& absorbed) {
  if (kept.size() < absorbed.size()) std::swap(kept, absorbed);
  kept.append(std::make_move_iterator(absorbed.begin()), std::make_move_iterator(absorbed.end()));
  absorbed.clear();
}

}  // namespace

Id UnionFind::make_set() {
  const Id id = static_cast<Id>(parents_.size());
  parents_.push_back(id);
  return id;
}

void UnionFind::check(Id id) const {
  if (id >= parents_.size()) {
    fail("Id " + std::to_string(id) + " is beyond the union-find of " +
         std::to_string(parents_.size()) + " ids");
  }
}

Id UnionFind::find(Id id) const {
  check(id);
  while (parents_[id] != id) id = parents_[id];
  return id;
}

Id UnionFind::find_mut(Id id) {
  check(id);
  while (parents_[id] != id) {
    const Id grandparent = parents_[parents_[id]];
    parents_[id] = grandparent;
    id = grandparent;
  }
  return id;
}

void UnionFind::union_roots(Id root, Id other) {
  assert(parents_[root] == root && parents_[other] == other && "union of non-roots");
  parents_[other] = root;
}

EClass& EGraph::class_at_root(Id root) {
  if (!has_class(root)) fail("Invalid id " + std::to_string(root));
  return classes_[root];
}

const EClass& EGraph::operator[](Id id) const {
  const Id root = find(id);
  if (!has_class(root)) fail("Invalid id " + std::to_string(root));
  return classes_[root];
}

Id EGraph::add(SymbolLang node) {
  // Callers mostly pass root ids already; then the slot fetched here is the
  // one probed below, and its miss overlaps with the walks of `find`.
  std::uint64_t hash = HashCons::hash_of(node);
  memo_.prefetch(hash);
  bool canonical = true;
  for (Id& child : node.children()) {
    const Id root = find(child);
    canonical = canonical && root == child;
    child = root;
    // Wanted below if the node is new.
    __builtin_prefetch(&classes_[child]);
  }
  if (!canonical) hash = HashCons::hash_of(node);
  const auto new_id = static_cast<Id>(union_find_.size());
  const auto [position, inserted] = memo_.try_emplace(node, new_id, hash);
  if (!inserted) return find(memo_.id_at(position));

  const Id id = union_find_.make_set();
  assert(id == new_id && classes_.size() == id && added_key_.size() == id &&
         "slots follow the union-find");
  // The children are roots already, so find_mut would change nothing.
  for (const Id child : node.children()) class_at_root(child).users.push_back(id);
  repair_list_.push_back(id);
  classes_.push_back(EClass{id, {std::move(node)}, {}});
  added_key_.push_back(position);
  ++class_count_;
  is_clean_ = false;
  return id;
}

std::optional<Id> EGraph::lookup(SymbolLang node) const {
  for (Id& child : node.children()) child = find(child);
  if (const Id* stored = memo_.find(node)) return find(*stored);
  return std::nullopt;
}

bool EGraph::union_(Id a, Id b) {
  is_clean_ = false;
  Id root = find_mut(a);
  Id other = find_mut(b);
  if (root == other) return false;
  if (class_at_root(root).users.size() < class_at_root(other).users.size()) {
    std::swap(root, other);
  }
  union_find_.union_roots(root, other);
  merged_since_rebuild_ = true;

  EClass absorbed = std::exchange(classes_[other], EClass{});
  --class_count_;
  EClass& kept = class_at_root(root);
  if (kept.id != root)
    fail("Class " + std::to_string(root) + " carries id " + std::to_string(kept.id));

  repair_list_.insert(repair_list_.end(), absorbed.users.begin(), absorbed.users.end());
  append_shorter(kept.members, absorbed.members);
  append_shorter(kept.users, absorbed.users);
  return true;
}

std::size_t EGraph::rebuild() {
  std::size_t merges = 0;
  if (merged_since_rebuild_) {
    merges = process_repair_list();
  } else {
    // Every queued node still has root children (see process_repair_list).
    repair_list_.clear();
  }
  rebuild_classes(merged_since_rebuild_);
  merged_since_rebuild_ = false;
  is_clean_ = true;
  return merges;
}

std::size_t EGraph::process_repair_list() {
  std::size_t merges = 0;
  while (!repair_list_.empty()) {
    const Id id = repair_list_.back();
    repair_list_.pop_back();
    const SymbolLang& added = added_node(id);
    // The added node was the hash-cons key of `id`, and a key only ever moves
    // to a class that its old class merged into. So while its children are
    // still roots, re-inserting it would store an id of the same class and
    // merge nothing.
    const auto children = added.children();
    if (std::all_of(children.begin(), children.end(), [&](Id c) { return find_mut(c) == c; })) {
      continue;
    }
    SymbolLang node = added;
    for (Id& child : node.children()) child = find_mut(child);
    if (auto previous = memo_.insert_or_assign(std::move(node), id)) {
      if (union_(*previous, id)) ++merges;
    }
  }
  return merges;
}

void EGraph::rebuild_classes(bool canonicalize_members) {
  for (auto& list : class_index_lists_) list.clear();
  std::vector<Id>* last_list = nullptr;
  GlobalSymbol last_op;
  for (std::size_t slot = 0; slot < classes_.size(); ++slot) {
    EClass& eclass = classes_[slot];
    if (eclass.members.empty()) continue;
    // Members only gain non-root children, and only lose their order, when
    // classes merge.
    if (canonicalize_members) {
      for (SymbolLang& member : eclass.members) {
        for (Id& child : member.children()) child = find_mut(child);
      }
      std::sort(eclass.members.begin(), eclass.members.end());
      eclass.members.truncate(std::unique(eclass.members.begin(), eclass.members.end()) -
                              eclass.members.begin());
    }
    // Members are sorted by operator, so each operator of the class comes up
    // in one run; neighbouring classes often share one, hence the cache.
    for (const SymbolLang& member : eclass.members) {
      if (last_list == nullptr || member.op() != last_op) {
        auto [list, inserted] =
            class_index_slot_.try_emplace(member.op(), class_index_lists_.size());
        if (inserted) class_index_lists_.emplace_back();
        last_list = &class_index_lists_[*list];
        last_op = member.op();
      }
      if (last_list->empty() || last_list->back() != eclass.id) last_list->push_back(eclass.id);
    }
  }
  class_index_size_ = class_count_;
}

std::vector<Id> EGraph::class_ids() const {
  std::vector<Id> ids;
  ids.reserve(class_count_);
  for (std::size_t slot = 0; slot < classes_.size(); ++slot) {
    if (!classes_[slot].members.empty()) ids.push_back(classes_[slot].id);
  }
  return ids;
}

std::span<const Id> EGraph::class_index(GlobalSymbol op) const {
  const std::size_t* slot = class_index_slot_.find(op);
  if (slot == nullptr) return {};
  return class_index_lists_[*slot];
}

}  // namespace zembrik::eqsat
