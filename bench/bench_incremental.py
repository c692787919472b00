#!/usr/bin/env python3
"""Incremental reduction while recording, against reducing the whole store.

Records a 1,000,000-node pipeline in which about half of the nodes are
redundant (identity scalar ops and swapped commutative duplicates), calling
IncrementalReducer.step every 1,000 nodes, then finalize. In the same run it
measures GraphStore.reduce() on the same store and outputs. Prints the step
cost per node, the finalize and reduce times and their ratio, and the
canonical share of the node count.

    python3 bench/bench_incremental.py [N]
"""

import sys
import time

import _require

zc = _require.zembrik_core()

ADD_ZERO = {"scalar": 0.0, "side": "r"}
MUL_ONE = {"scalar": 1.0, "side": "l"}


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    store = zc.GraphStore()
    reducer = zc.IncrementalReducer()
    sources = [store.add_source("src", {"shard": i}) for i in range(1000)]
    step_ns = 0
    next_step = 1000
    outputs = []
    chain = 0
    while store.node_count() < n:
        prev = sources[chain % len(sources)]
        other = sources[(chain * 7 + 3) % len(sources)]
        for i in range(1000):
            a = store.add_op("map", [prev], {"k": (chain + i) % 13})
            b = store.add_op("add", [a], ADD_ZERO)  # stands for a
            c = store.add_op("add", [b, other])
            d = store.add_op("add", [other, b])  # c swapped
            e = store.add_op("mul", [c, d])
            prev = store.add_op("mul", [e], MUL_ONE)  # stands for e
            if store.node_count() >= next_step:
                start = time.perf_counter_ns()
                reducer.step(store)
                step_ns += time.perf_counter_ns() - start
                next_step += 1000
            if store.node_count() >= n:
                break
        outputs.append(prev)
        chain += 1

    start = time.perf_counter_ns()
    _, inc_report = reducer.finalize(store, outputs=outputs)
    finalize_s = (time.perf_counter_ns() - start) / 1e9
    start = time.perf_counter_ns()
    _, report = store.reduce(outputs=outputs)
    reduce_s = (time.perf_counter_ns() - start) / 1e9

    count = store.node_count()
    print(f"nodes: {count}, outputs: {len(outputs)}")
    print(f"steps together:        {step_ns / count:8.1f} ns/node  ({step_ns / 1e9:.3f} s)")
    print(f"finalize:              {finalize_s:8.3f} s")
    print(f"reduce() same store:   {reduce_s:8.3f} s   ratio {reduce_s / finalize_s:5.2f}x")
    print(f"canonical count:       {reducer.canonical_count()} "
          f"({100 * reducer.canonical_count() / count:.1f}% of the node count)")
    print(f"total work == watermark == nodes: "
          f"{reducer.total_work() == reducer.watermark() == count}")
    print(f"reduced nodes: incremental {inc_report['reduced_nodes']}, reduce {report['reduced_nodes']}")


if __name__ == "__main__":
    main()
