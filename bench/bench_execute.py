#!/usr/bin/env python3
"""End-to-end execution on Dask: a recorded pipeline as is, after Dask's own
graph optimizations, and after zembrik_core's reduction.

The pipeline has about N recorded nodes over small numpy arrays in L lanes,
shaped like real ones. A block maps its input, adds a scalar zero (an
identity), fans out into two runs of unary ops, combines them with one
commutative operator in both operand orders, adds the two, multiplies by a
scalar one (another identity) and ends in a long run of unary ops; it
leaves a debugging op nobody consumes. Every eighth block sends its value
through an exchange and sums it as an extra output; every sixteenth takes
the minimum with the lane before and joins the two for another sum.

Each way is timed end to end with Dask's threaded scheduler, from the store
to the output values, median of R runs:

  (a) the recorded store lowered by zembrik_dask.to_dask as is;
  (b) the same task graph after dask.optimization.cull and fuse, which Dask
      still offers for low-level graphs (fuse merges linear chains; nothing
      canonicalizes or eliminates equal subexpressions);
  (c) store.reduce(), then to_dask of the reduced store, with both fusion
      modes; the reduction and lowering are inside the time.

    python3 bench/bench_execute.py [N] [L] [R]
"""

from __future__ import annotations

import importlib.metadata
import statistics
import sys
import time
from collections.abc import Callable
from typing import Any

import _require

zc = _require.zembrik_core()
try:
    import dask.threaded
    import numpy as np
    from dask import optimization
except ImportError as missing:
    _require.fail(f"bench_execute needs Dask and numpy ({missing.name} is missing): "
                  "pip install '.[dask]'")

from zembrik_dask import numpy_ops, outputs_in, to_dask

# Dask ships these without annotations.
cull: Any = optimization.cull
fuse: Any = optimization.fuse

SIZE = 64
COMMUTATIVE = ("maximum", "add", "minimum", "mul")
CHAIN: tuple[tuple[str, dict[str, float]], ...] = (
    ("map", {"scale": 0.5, "offset": 0.1}), ("neg", {}), ("abs", {}),
    ("map", {"scale": 1.5, "offset": -0.2}), ("neg", {}), ("map", {"scale": 0.5, "offset": 0.0}))


def chain(store: zc.GraphStore, x: int, length: int, start: int) -> int:
    for k in range(length):
        name, params = CHAIN[(start + k) % len(CHAIN)]
        x = store.add_op(name, [x], params)
    return x


def record(n: int, lanes: int) -> tuple[zc.GraphStore, list[int]]:
    store = zc.GraphStore()
    outputs: list[int] = []
    previous: list[int] = []
    per_lane = n // lanes
    for lane in range(lanes):
        x = store.add_source(f"lane{lane}", {"seed": lane, "size": SIZE})
        start = store.node_count()
        values: list[int] = []
        block = 0
        while store.node_count() - start < per_lane - 2:
            a = store.add_op("map", [x], {"scale": 0.9, "offset": 0.01 * (block % 7)})
            z = store.add_op("add", [a], {"scalar": 0.0, "side": "r"})
            f1 = chain(store, z, 2, block)
            f2 = chain(store, z, 3, block + 1)
            op = COMMUTATIVE[block % len(COMMUTATIVE)]
            both = store.add_op("add", [store.add_op(op, [f1, f2]), store.add_op(op, [f2, f1])])
            x = store.add_op("mul", [both], {"scalar": 1.0, "side": "l"})
            x = chain(store, x, 8, block)
            store.add_op("exp", [x])  # debugging output nobody consumes
            if block % 8 == 7:
                x = store.add_exchange([x], {"scheme": "hash"})
                outputs.append(store.add_reduction("sum", [x], {"axis": 0}))
            if block % 16 == 15 and block < len(previous):
                other = previous[block]
                x = store.add_op("minimum", [x, other])
                outputs.append(store.add_reduction("mean", [store.add_join([x, other])]))
            values.append(x)
            block += 1
        previous = values
        outputs.append(x)
    return store, outputs


def median_time(call: Callable[[], Any], runs: int) -> tuple[float, Any]:
    times = []
    result = None
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main(argv: list[str]) -> int:
    n = int(argv[0]) if len(argv) > 0 else 10_000
    lanes = int(argv[1]) if len(argv) > 1 else 20
    runs = int(argv[2]) if len(argv) > 2 else 5
    store, outputs = record(n, lanes)
    print(f"pipeline: {store.node_count()} recorded nodes, {lanes} lanes, {len(outputs)} "
          f"outputs, arrays of {SIZE} float64; dask {importlib.metadata.version('dask')}, "
          "threaded scheduler, "
          f"median of {runs} runs")

    def recorded() -> tuple[int, Any]:
        graph, keys = to_dask(store, numpy_ops, outputs)
        return len(graph), dask.threaded.get(graph, keys)

    def dask_optimized() -> tuple[int, Any]:
        graph, keys = to_dask(store, numpy_ops, outputs)
        culled, dependencies = cull(graph, keys)
        fused, _ = fuse(culled, keys, dependencies=dependencies)
        return len(fused), dask.threaded.get(fused, keys)

    def reduced(maximal: bool) -> Callable[[], tuple[int, Any]]:
        def call() -> tuple[int, Any]:
            small, _ = store.reduce(maximal_fusion=maximal, outputs=outputs)
            graph, keys = to_dask(small, numpy_ops, outputs_in(small, outputs))
            return len(graph), dask.threaded.get(graph, keys)
        return call

    ways = [("(a) recorded, as is", recorded), ("(b) dask cull + fuse", dask_optimized),
            ("(c) reduce() + lower", reduced(False)),
            ("(c) reduce(maximal_fusion) + lower", reduced(True))]
    rows = []
    for label, call in ways:
        seconds, (tasks, values) = median_time(call, runs)
        rows.append((label, tasks, seconds, values))

    # Only reduction phases, to show where the time of (c) goes.
    reduce_s, small = median_time(lambda: store.reduce(outputs=outputs)[0], runs)
    lower_s, _ = median_time(lambda: to_dask(small, numpy_ops, outputs_in(small, outputs)), runs)

    reference = rows[0][3]
    agree = all(len(values) == len(reference) and all(
        np.array_equal(a, b, equal_nan=True) for a, b in zip(reference, values))
        for _, _, _, values in rows)
    peer = rows[1][2]
    print(f"{'way':36s} {'tasks':>7s} {'seconds':>9s} {'vs (b)':>8s}")
    for label, tasks, seconds, _ in rows:
        print(f"{label:36s} {tasks:7d} {seconds:9.3f} {peer / seconds:7.2f}x")
    print(f"inside (c) reduce(): reduce {reduce_s * 1e3:.1f} ms, to_dask {lower_s * 1e3:.1f} ms")
    print(f"output values equal in all four ways (zero signs aside): {agree}")
    best = min(seconds for _, _, seconds, _ in rows[2:])
    print(f"target: (c) >= 2x faster than (b) end to end: {peer / best:.2f}x "
          f"{'met' if peer / best >= 2 else 'MISSED'}")
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
