#!/usr/bin/env python3
"""Stages on Dask: does a reduced pipeline keep the recorded graph's
parallelism and memory when its chunks carry real work?

The pipeline: C sources of S float64 values, on each chunk the elementwise
chain (x + 1) * 2 - x and an identity (a multiply by one), a pairwise fan-in
of elementwise maximum, then a sum. Reduced, the chains and the fan-in are
one stage. Three shapes: big chunks (64 x 1M values, 8 MB each), a middle
size (256 x 32k) and tiny chunks (4096 x 64).

Each way runs in a process of its own, from the store to the output value:

  recorded       the recorded store lowered as is, one task per node
  dask fuse      the same graph after dask.optimization.cull and fuse
  whole/split/auto
                 store.reduce(), then to_dask(..., stages=mode)

and reports its tasks, seconds and peak resident memory: of the process on
Dask's threaded scheduler (2 workers), and of the two worker processes
(summed) on a 2-worker distributed.LocalCluster on 127.0.0.1, which the
benchmark starts per way and shuts down. The default mode's targets: on the
big chunks at most 1.1x the recorded graph's time and 1.5x its memory, on
the tiny chunks at least 4x faster than the recorded graph.

    python3 bench/bench_stages.py [threaded|distributed|both]
"""

from __future__ import annotations

import json
import os
import resource
import sys
import time
from typing import Any

import _require

SHAPES = {"big": (64, 1 << 20), "middle": (256, 1 << 15), "tiny": (4096, 64)}
WAYS = ("recorded", "dask fuse", "whole", "split", "auto")


def record(chunks: int, size: int) -> tuple[Any, list[int]]:
    zc = _require.zembrik_core()
    store = zc.GraphStore()
    values = []
    for k in range(chunks):
        x = store.add_source(f"chunk{k}", {"size": size, "fill": float(k % 7)})
        y = store.add_op("mul", [store.add_op("add", [x], {"scalar": 1.0})], {"scalar": 2.0})
        z = store.add_op("sub", [y, x])
        values.append(store.add_op("mul", [z], {"scalar": 1.0}))
    while len(values) > 1:
        values = [store.add_op("maximum", values[i:i + 2]) if i + 1 < len(values) else values[i]
                  for i in range(0, len(values), 2)]
    return store, [store.add_reduction("sum", [values[0]], {"axis": 0})]


def lower(way: str, store: Any, outputs: list[int]) -> tuple[dict[str, Any], list[str]]:
    from dask import optimization
    from zembrik_dask import numpy_ops, outputs_in, to_dask

    if way in ("recorded", "dask fuse"):
        graph, keys = to_dask(store, numpy_ops, outputs)
        if way == "dask fuse":
            culled, dependencies = optimization.cull(graph, keys)
            graph, _ = optimization.fuse(culled, keys, dependencies=dependencies)
        return graph, keys
    small, _ = store.reduce(outputs=outputs)
    return to_dask(small, numpy_ops, outputs_in(small, outputs), stages=way)


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def child(scheduler: str, shape: str, way: str) -> dict[str, float]:
    chunks, size = SHAPES[shape]
    store, outputs = record(chunks, size)
    if scheduler == "threaded":
        import dask.threaded

        start = time.perf_counter()
        graph, keys = lower(way, store, outputs)
        value = dask.threaded.get(graph, keys, num_workers=2)
        seconds = time.perf_counter() - start
        memory = peak_mib()
    else:
        from distributed import Client, LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            start = time.perf_counter()
            graph, keys = lower(way, store, outputs)
            value = client.get(graph, keys)
            seconds = time.perf_counter() - start
            memory = sum(client.run(peak_mib).values())
    return {"tasks": len(graph), "seconds": seconds, "memory": memory,
            "value": float(sum(value[0].ravel()))}


def main(argv: list[str]) -> int:
    _require.zembrik_core()
    if argv[:1] == ["--child"]:
        print(json.dumps(child(*argv[1:4])))
        return 0
    try:
        import dask
        import distributed
        import numpy  # noqa: F401
    except ImportError as missing:
        _require.fail(f"bench_stages needs Dask, distributed and numpy ({missing.name} is "
                      "missing): pip install '.[dask]'")
    which = argv[0] if argv else "both"
    schedulers = ("threaded", "distributed") if which == "both" else (which,)
    print(f"dask {dask.__version__}, distributed {distributed.__version__}; each way in its "
          "own process; memory is peak resident (threaded: the process; distributed: both "
          "workers)")
    verdicts = []
    for scheduler in schedulers:
        for shape, (chunks, size) in SHAPES.items():
            print(f"\n{scheduler}, {shape}: {chunks} chunks of {size} float64")
            print(f"  {'way':10s} {'tasks':>6s} {'seconds':>8s} {'MiB':>8s}")
            rows = {}
            for way in WAYS:
                done = _require.run([sys.executable, os.path.abspath(__file__), "--child",
                                     scheduler, shape, way], f"{scheduler} {shape} {way}")
                rows[way] = row = json.loads(done.stdout.splitlines()[-1])
                print(f"  {way:10s} {row['tasks']:6d} {row['seconds']:8.3f} "
                      f"{row['memory']:8.0f}")
            if len({row["value"] for row in rows.values()}) != 1:
                _require.fail(f"{scheduler} {shape}: the ways computed different values")
            base, auto = rows["recorded"], rows["auto"]
            time_ratio = auto["seconds"] / base["seconds"]
            memory_ratio = auto["memory"] / base["memory"]
            print(f"  auto / recorded: time {time_ratio:.2f}x, memory {memory_ratio:.2f}x")
            if shape == "big":
                verdicts.append((f"{scheduler} big: time <= 1.1x, memory <= 1.5x",
                                 time_ratio <= 1.1 and memory_ratio <= 1.5))
            if shape == "tiny":
                verdicts.append((f"{scheduler} tiny: >= 4x faster", time_ratio <= 0.25))
    print()
    for label, met in verdicts:
        print(f"target {label}: {'met' if met else 'MISSED'}")
    return 0


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main(sys.argv[1:]))
