#!/usr/bin/env python3
"""The cost of lowering a store to a Dask task graph, beside the reduction.

Records bench_execute.py's pipeline of about N nodes in 20 lanes, reduces it,
and times, best of R runs each with the cyclic collector on as in any
program: reduce() itself, zembrik_dask.to_dask of the recorded store, and
to_dask of the reduced store. Nothing is executed; bench_execute.py runs the
graphs.

With `--before PYTHON`, the same figures are measured again by that
interpreter (a venv holding another build), in turns with this one, and the
speed-ups are printed.

    python3 bench/bench_lowering.py [N] [R] [--before PYTHON]
"""

from __future__ import annotations

import json
import os
import sys
import time
from collections.abc import Callable
from typing import Any

import _require

HERE = os.path.dirname(os.path.abspath(__file__))


def best_of(runs: int, call: Callable[[], Any]) -> float:
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def measure(n: int, runs: int) -> dict[str, float]:
    _require.zembrik_core()
    import bench_execute
    from zembrik_dask import numpy_ops, outputs_in, to_dask

    store, outputs = bench_execute.record(n, 20)
    small, _ = store.reduce(outputs=outputs)
    reduced_outputs = outputs_in(small, outputs)
    return {
        "recorded nodes": store.node_count(),
        "reduced nodes": small.node_count(),
        "reduce": best_of(runs, lambda: store.reduce(outputs=outputs)),
        "to_dask recorded": best_of(runs, lambda: to_dask(store, numpy_ops, outputs)),
        "to_dask reduced": best_of(runs, lambda: to_dask(small, numpy_ops, reduced_outputs)),
    }


def measured_by(python: str, n: int, runs: int) -> dict[str, float]:
    done = _require.run([python, os.path.abspath(__file__), "--child", str(n), str(runs)],
                        f"measuring with {python}")
    figures: dict[str, float] = json.loads(done.stdout.splitlines()[-1])
    return figures


def main(argv: list[str]) -> int:
    _require.zembrik_core()
    if argv[:1] == ["--child"]:
        print(json.dumps(measure(int(argv[1]), int(argv[2]))))
        return 0
    before = None
    if "--before" in argv:
        at = argv.index("--before")
        before = argv[at + 1]
        del argv[at:at + 2]
    n = int(argv[0]) if argv else 100_000
    runs = int(argv[1]) if len(argv) > 1 else 5
    builds = [("this build", sys.executable)] + ([("before", before)] if before else [])
    # In turns, twice, keeping each figure's best, so that a burst of load
    # on the machine does not land on one build only.
    results: dict[str, dict[str, float]] = {}
    for _ in range(2):
        for label, python in builds:
            figures = measured_by(python, n, runs)
            kept = results.setdefault(label, figures)
            for key, value in figures.items():
                kept[key] = min(kept[key], value)
    first = results["this build"]
    print(f"pipeline of bench_execute: {first['recorded nodes']:.0f} recorded nodes, "
          f"{first['reduced nodes']:.0f} after reduce(); best of {runs} runs, twice")
    for label, figures in results.items():
        print(f"{label:11s} reduce {figures['reduce'] * 1e3:8.1f} ms   to_dask recorded "
              f"{figures['to_dask recorded'] * 1e3:8.1f} ms   to_dask reduced "
              f"{figures['to_dask reduced'] * 1e3:8.1f} ms   lowering/reduce "
              f"{figures['to_dask reduced'] / figures['reduce']:5.2f}x")
    if before:
        old = results["before"]
        for key in ("to_dask recorded", "to_dask reduced"):
            print(f"{key}: {old[key] / first[key]:.2f}x faster than before")
    return 0


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    sys.exit(main(sys.argv[1:]))
