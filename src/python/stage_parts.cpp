#include "python/stage_parts.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace zembrik::py {
namespace {

// A value a part reads from outside: stage input k as k, the part ending at
// member m as -1 - m.
using Read = std::int64_t;
using Reads = std::vector<Read>;  // sorted, distinct

void add_reads(Reads& into, const Reads& more) {
  Reads merged;
  merged.reserve(into.size() + more.size());
  std::set_union(into.begin(), into.end(), more.begin(), more.end(), std::back_inserter(merged));
  into.swap(merged);
}

// Under auto: at each member where branches meet, while the part would read
// more than `max_reads` values, the branch reading most (the earliest of
// those) is cut and read as one value.
void cut_by_reads(std::span<const std::span<const StageRef>> refs,
                  const std::vector<std::size_t>& parent, const std::vector<std::size_t>& branches,
                  std::size_t max_reads, std::vector<bool>& last) {
  const std::size_t n = refs.size();
  std::vector<Reads> reads(n);
  for (std::size_t m = 0; m < n; ++m) {
    for (const StageRef& ref : refs[m]) {
      if (ref.tag == StageRef::Tag::Input) reads[m].push_back(static_cast<Read>(ref.index));
    }
    std::sort(reads[m].begin(), reads[m].end());
    reads[m].erase(std::unique(reads[m].begin(), reads[m].end()), reads[m].end());
  }
  std::vector<std::vector<std::size_t>> below(n);
  for (std::size_t m = 0; m + 1 < n; ++m) below[parent[m]].push_back(m);
  for (std::size_t p = 0; p < n; ++p) {
    std::vector<std::size_t> kept = below[p];
    Reads held;
    while (true) {
      held = reads[p];
      for (std::size_t c : kept) add_reads(held, reads[c]);
      Reads cut;
      for (std::size_t c : below[p]) {
        if (std::find(kept.begin(), kept.end(), c) == kept.end()) {
          cut.push_back(-1 - static_cast<Read>(c));
        }
      }
      std::sort(cut.begin(), cut.end());
      add_reads(held, cut);
      if (held.size() <= max_reads || branches[p] < 2 || kept.empty()) break;
      auto widest = kept.begin();
      for (auto c = kept.begin(); c != kept.end(); ++c) {
        if (reads[*c].size() > reads[*widest].size()) widest = c;
      }
      last[*widest] = true;
      kept.erase(widest);
    }
    reads[p] = std::move(held);
    for (std::size_t c : below[p]) reads[c].clear();
  }
}

}  // namespace

StageParts stage_parts(std::span<const std::span<const StageRef>> refs, StageSplit mode,
                       std::size_t max_reads) {
  const std::size_t n = refs.size();
  // Each member's users within the stage, and the one whose part it joins:
  // its last user (an unused member, the stage's last).
  std::vector<std::vector<std::size_t>> users(n);
  for (std::size_t j = 0; j < n; ++j) {
    for (const StageRef& ref : refs[j]) {
      if (ref.tag != StageRef::Tag::Member) continue;
      std::vector<std::size_t>& of = users[ref.index];
      if (of.empty() || of.back() != j) of.push_back(j);
    }
  }
  std::vector<std::size_t> parent(n), branches(n, 0);
  for (std::size_t m = 0; m < n; ++m) parent[m] = users[m].empty() ? n - 1 : users[m].back();
  for (std::size_t m = 0; m + 1 < n; ++m) ++branches[parent[m]];

  std::vector<bool> last(n, false);
  last[n - 1] = true;
  if (mode == StageSplit::split) {
    for (std::size_t m = 0; m + 1 < n; ++m) {
      last[m] = users[m].size() != 1 || branches[parent[m]] > 1;
    }
  } else {
    cut_by_reads(refs, parent, branches, max_reads, last);
  }

  // A member read from another part must end its own.
  StageParts parts;
  parts.part.assign(n, 0);
  for (bool changed = true; changed;) {
    for (std::size_t m = n; m-- > 0;) parts.part[m] = last[m] ? m : parts.part[parent[m]];
    changed = false;
    for (std::size_t m = 0; m < n; ++m) {
      if (last[m]) continue;
      for (std::size_t j : users[m]) {
        if (parts.part[j] != parts.part[m]) {
          last[m] = changed = true;
          break;
        }
      }
    }
  }
  for (std::size_t m = 0; m < n; ++m) {
    if (last[m]) parts.ends.push_back(m);
  }
  return parts;
}

}  // namespace zembrik::py
