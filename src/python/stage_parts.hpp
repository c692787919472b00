// Where zembrik_dask cuts a stage into parts, each part one Dask task: the
// same cuts as the lowering's Python path (zembrik_dask.lowering
// `_stage_parts`), made here for the GraphStore's own path.
//
// Members are cut only where branches meet. Under `split` every branch that
// meets others ends a part; under `auto` a branch is cut only while the part
// above would read more than `max_reads` values from outside it. A member
// whose value another part reads always ends its part.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "ir/node_key.hpp"

namespace zembrik::py {

enum class StageSplit { split, auto_ };

struct StageParts {
  // The member that ends each member's part; a part's members are those
  // with the same end, and the stage's last member ends the last part.
  std::vector<std::size_t> part;
  // The ends of the parts, ascending: a part reads only earlier parts.
  std::vector<std::size_t> ends;
};

// The parts of a stage whose member m reads `refs[m]`, all well formed.
StageParts stage_parts(std::span<const std::span<const StageRef>> refs, StageSplit mode,
                       std::size_t max_reads);

// The number of values a part of a stage of `n_inputs` inputs may read under
// auto: `least_reads`, or more for a stage so wide that parts of that many
// would exceed `max_parts`.
inline std::size_t auto_reads(std::size_t n_inputs, std::size_t least_reads,
                              std::size_t max_parts) {
  const std::size_t spread = (n_inputs + max_parts - 1) / max_parts;
  return spread > least_reads ? spread : least_reads;
}

}  // namespace zembrik::py
