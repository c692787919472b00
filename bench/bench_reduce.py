#!/usr/bin/env python3
"""Reduction speed and memory of the native store against Dask's graph optimizations.

Builds a pipeline of about N nodes shaped like real ones: L lanes, each read
from a source and then a run of blocks. A block maps its input, adds a scalar
zero (an identity), fans the result out to a filter and a projection,
combines those with one commutative operator in both operand orders,
subtracts the two, and multiplies by a scalar one (another identity); every eighth block sums and
exchanges, every sixteenth joins with the lane before. Each block leaves a
debugging op nobody consumes, so about 10% of the nodes are unreachable from
the outputs, which are the last node of every lane.

The peer is what a Python user would reach for instead: dask.optimization
cull followed by fuse on the equivalent Dask task graph, which does less (no
canonicalization, no elimination of equal subexpressions).

Every figure is measured in a fresh child process so that its peak resident
memory (VmHWM, reset through /proc/self/clear_refs once the graph is built)
belongs to that measurement alone. Prints one line per figure with ratios.

    python3 bench/bench_reduce.py [N] [L] [R]

For the engine's stop reason and iterations on this graph, write it out with
`bench_reduce.py --blob PATH [N] [L]` and run the C++ `bench_reduce_engine
PATH` (built with -DZEMBRIK_BUILD_BENCH=ON) on it.
"""

import ctypes
import gc
import json
import os
import sys
import time

import _require

MIN_NODES_PER_LANE = 12
COMMUTATIVE = ("add", "mul", "maximum", "and")


def pipeline(n, lanes):
    """The graph as records (kind, name, inputs, params) and its outputs."""
    records = []

    def node(kind, name, inputs, params):
        records.append((kind, name, inputs, params))
        return len(records) - 1

    per_lane = max(MIN_NODES_PER_LANE, n // lanes)
    previous_lane = []
    outputs = []
    for lane in range(lanes):
        x = node("source", "table", [], {"path": f"s3://warehouse/t{lane}", "format": "parquet"})
        values = []
        block = 0
        start = len(records)
        while len(records) - start < per_lane - 1:
            a = node("op", "map", [x], {"fn": f"f{block % 17}"})
            z = node("op", "add", [a], {"scalar": 0.0, "side": "r"})
            f1 = node("op", "filter", [z], {"col": block % 5, "gt": 0.5})
            f2 = node("op", "project", [z], {"cols": "a,b,c"})
            op = COMMUTATIVE[block % len(COMMUTATIVE)]
            s1 = node("op", op, [f1, f2], {})
            s2 = node("op", op, [f2, f1], {})
            m = node("op", "sub", [s1, s2], {})
            x = node("op", "mul", [m], {"scalar": 1.0, "side": "l"})
            node("op", "debug", [x], {"tag": block})
            if block % 8 == 7:
                r = node("reduction", "sum", [x], {"axis": 0})
                x = node("exchange", "", [r], {"scheme": "hash", "parts": 64})
            if block % 16 == 15 and block < len(previous_lane):
                x = node("join", "", [x, previous_lane[block]], {"how": "inner"})
            values.append(x)
            block += 1
        previous_lane = values
        outputs.append(x)
    return records, outputs


def build_store(records):
    import zembrik_core as zc

    store = zc.GraphStore()
    add = {
        "source": lambda name, inputs, params: store.add_source(name, params),
        "op": store.add_op,
        "reduction": store.add_reduction,
        "exchange": lambda name, inputs, params: store.add_exchange(inputs, params),
        "join": lambda name, inputs, params: store.add_join(inputs, params),
    }
    for kind, name, inputs, params in records:
        add[kind](name, inputs, params)
    assert store.node_count() == len(records)
    return store


def _run(kind, name, params, *inputs):
    return (kind, name, params, inputs)


def build_dask_graph(records):
    """One task per record: (function, name, params, *input keys)."""
    graph = {}
    for i, (kind, name, inputs, params) in enumerate(records):
        graph[f"n{i}"] = (_run, kind, name, params, *[f"n{x}" for x in inputs])
    return graph


def peak_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def settle():
    """Returns freed heap to the system and restarts the peak at the current size."""
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def measure(call, runs):
    """Seconds of the first of `runs` calls and of the best, and the peak
    memory growth in bytes during the first."""
    settle()
    base = rss_kib()
    start = time.perf_counter()
    result = call()
    first = time.perf_counter() - start
    growth = (peak_kib() - base) * 1024
    del result
    best = first
    for _ in range(runs - 1):
        gc.collect()
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return {"first": first, "seconds": best, "growth": growth}


def child(figure, n, lanes, runs):
    records, outputs = pipeline(n, lanes)
    if figure == "dask":
        from dask.optimization import cull, fuse

        graph = build_dask_graph(records)
        keys = [f"n{o}" for o in outputs]
        del records

        def optimize():
            culled, dependencies = cull(graph, keys)
            return fuse(culled, keys, dependencies=dependencies)

        print(json.dumps({**measure(optimize, runs), "nodes": len(graph)}))
        return
    store = build_store(records)
    count = len(records)
    del records
    calls = {
        "reduce": lambda: store.reduce(outputs=outputs),
        "reduce_maximal": lambda: store.reduce(maximal_fusion=True, outputs=outputs),
        "cone": lambda: store.cone(outputs=outputs),
    }
    figures = {**measure(calls[figure], runs), "nodes": count}
    if figure != "cone":
        figures["report"] = calls[figure]()[1]
    print(json.dumps(figures))


def in_child(figure, n, lanes, runs):
    done = _require.run(
        [sys.executable, os.path.abspath(__file__), "--child", figure, str(n), str(lanes),
         str(runs)],
        f"the child process measuring {figure}")
    return json.loads(done.stdout)


def write_blob(path, n, lanes):
    records, outputs = pipeline(n, lanes)
    store = build_store(records)
    with open(path, "wb") as f:
        f.write(store.serialize(outputs=outputs))


def main(argv):
    if argv[:1] == ["--child"]:
        child(argv[1], int(argv[2]), int(argv[3]), int(argv[4]))
        return
    # Checked here, once, rather than in each child, whose failure would only
    # show as its standard error.
    _require.zembrik_core()
    blob_path = None
    if argv[:1] == ["--blob"]:
        blob_path, argv = argv[1], argv[2:]
    n = int(argv[0]) if len(argv) > 0 else 1_000_000
    lanes = int(argv[1]) if len(argv) > 1 else 1000
    runs = int(argv[2]) if len(argv) > 2 else 3
    if blob_path is not None:
        write_blob(blob_path, n, lanes)
        return
    _require.peer("dask", "Dask")

    peer = in_child("dask", n, lanes, runs)
    nodes = peer["nodes"]

    def figures(label, measured):
        return (f"{label + ':':27s} {measured['seconds']:7.3f} s best "
                f"({measured['first']:6.3f} s first)  {measured['seconds'] / nodes * 1e9:6.0f} "
                f"ns/node  peak +{measured['growth'] / nodes:4.0f} B/node")

    print(f"graph: {nodes} nodes, {lanes} sources, best of {runs} runs, each figure in a "
          "fresh process")
    print(figures("dask cull+fuse", peer))
    for figure, label in (("reduce", "reduce()"), ("reduce_maximal", "reduce(maximal_fusion)"),
                          ("cone", "cone()")):
        ours = in_child(figure, n, lanes, runs)
        print(f"{figures(label, ours)}  {peer['seconds'] / ours['seconds']:5.1f}x faster than "
              f"dask ({peer['first'] / ours['first']:.1f}x first)")
        if "report" in ours:
            report = ours["report"]
            print(f"{'':28s}report " + ", ".join(
                f"{key}={report[key]}" for key in ("input_nodes", "reachable_nodes",
                                                   "canonical_nodes", "stages", "reduced_nodes",
                                                   "boundary_nodes")))
    print("targets: reduce() >= 3x faster than dask, <= 1500 ns/node, peak <= 600 B/node")


if __name__ == "__main__":
    main(sys.argv[1:])
