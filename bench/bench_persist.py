#!/usr/bin/env python3
"""Persistence and rendering speed of the native store against pickle.

Builds the chain of bench_build.py (one source, then add_op("map", [prev],
{"k": i % 7, "scale": 0.5})) with N nodes in a zembrik_core.GraphStore and in
the pure-Python peer store, then times, best of R runs each:

- serialize() against pickle.dumps of the peer's node list (what a Python
  front end would store instead of a blob),
- GraphStore.deserialize() against pickle.loads of that pickle,
- to_dot(), in MB/s of text.

Prints one line per figure with the ratio to the peer.

    python3 bench/bench_persist.py [N] [R]
"""

import gc
import os
import pickle
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _require  # noqa: E402
from bench_build import PyStore, record  # noqa: E402

zc = _require.zembrik_core()


def best_of(runs, call):
    """The shortest of `runs` timings of call(), with its last result."""
    best = float("inf")
    result = None
    for _ in range(runs):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3

    native = zc.GraphStore()
    record(native, n)
    peer = PyStore()
    record(peer, n)
    assert native.node_count() == len(peer.keys) == n

    serialize_s, blob = best_of(runs, native.serialize)
    dumps_s, pickled = best_of(runs, lambda: pickle.dumps(peer.keys, pickle.HIGHEST_PROTOCOL))
    deserialize_s, loaded = best_of(runs, lambda: zc.GraphStore.deserialize(blob))
    loads_s, unpickled = best_of(runs, lambda: pickle.loads(pickled))
    dot_s, dot = best_of(runs, native.to_dot)
    assert loaded.node_count() == n and len(unpickled) == n and loaded.serialize() == blob

    mb = 1e6
    print(f"nodes: {n}; blob {len(blob) / mb:.1f} MB, pickle {len(pickled) / mb:.1f} MB, "
          f"DOT {len(dot) / mb:.1f} MB")
    print(f"serialize:   {serialize_s * 1e3:8.1f} ms  {len(blob) / serialize_s / 1e9:5.2f} GB/s"
          f"   pickle.dumps: {dumps_s * 1e3:8.1f} ms   ratio {dumps_s / serialize_s:6.1f}x")
    print(f"deserialize: {deserialize_s * 1e3:8.1f} ms  {n / deserialize_s / 1e6:5.2f} M nodes/s"
          f"   pickle.loads: {loads_s * 1e3:8.1f} ms   ratio {loads_s / deserialize_s:6.1f}x")
    print(f"to_dot:      {dot_s * 1e3:8.1f} ms  {len(dot) / dot_s / mb:6.1f} MB/s of text")


if __name__ == "__main__":
    main()
