#!/usr/bin/env python3
"""Recording speed and memory of the native store against a pure-Python peer.

Records a chain of N nodes (one source, then add_op("map", [prev], {"k": i % 7,
"scale": 0.5})) into a zembrik_core.GraphStore and into the least a Python
front end would write instead: a dict-keyed hash-consing store with tuple keys
and sorted parameters. Then records the same chain again (all hits) into both.
Prints ns/node per pass and store, the ratios, the native store's resident
memory growth per node, and the cost of an empty loop calling a C builtin
with the same arguments.

    python3 bench/bench_build.py [N]
"""

import gc
import sys
import time

import _require

zc = _require.zembrik_core()


class PyStore:
    """Hash-consing by dict: one tuple key per node, parameters sorted."""

    def __init__(self):
        self.index = {}
        self.keys = []

    def add_source(self, name, params=None):
        return self._intern(("source", name, (), tuple(sorted((params or {}).items()))))

    def add_op(self, name, inputs, params=None):
        inputs = tuple(inputs)
        count = len(self.keys)
        for x in inputs:
            if x >= count:
                raise ValueError(f"no node with id {x}")
        return self._intern(("op", name, inputs, tuple(sorted((params or {}).items()))))

    def _intern(self, key):
        found = self.index.get(key)
        if found is None:
            found = len(self.keys)
            self.index[key] = found
            self.keys.append(key)
        return found


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def record(store, n):
    start = time.perf_counter_ns()
    prev = store.add_source("src")
    for i in range(n - 1):
        prev = store.add_op("map", [prev], {"k": i % 7, "scale": 0.5})
    return (time.perf_counter_ns() - start) / n


def empty_loop(n):
    # slice() is a C builtin that takes three arguments and keeps them; its
    # result is dropped at once so that nothing accumulates.
    call = slice
    start = time.perf_counter_ns()
    prev = 0
    call("src", None, None)
    for i in range(n - 1):
        call("map", [prev], {"k": i % 7, "scale": 0.5})
    return (time.perf_counter_ns() - start) / n


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    empty = empty_loop(n)

    gc.collect()
    rss_before = rss_bytes()
    native = zc.GraphStore()
    native_first = record(native, n)
    gc.collect()
    native_rss = (rss_bytes() - rss_before) / n
    native_again = record(native, n)
    assert native.node_count() == n

    peer = PyStore()
    gc.collect()
    peer_rss_before = rss_bytes()
    peer_first = record(peer, n)
    gc.collect()
    peer_rss = (rss_bytes() - peer_rss_before) / n
    peer_again = record(peer, n)
    assert len(peer.keys) == n

    print(f"nodes: {n}")
    print(f"empty C-call loop:        {empty:8.1f} ns/node")
    print(f"first recording  native:  {native_first:8.1f} ns/node   peer: {peer_first:8.1f} ns/node"
          f"   ratio {peer_first / native_first:5.2f}x")
    print(f"re-recording     native:  {native_again:8.1f} ns/node   peer: {peer_again:8.1f} ns/node"
          f"   ratio {peer_again / native_again:5.2f}x")
    print(f"above empty loop native:  {native_first - empty:8.1f} ns/node first, "
          f"{native_again - empty:.1f} ns/node again")
    print(f"above empty loop ratio:   {(peer_first - empty) / (native_first - empty):8.2f}x first, "
          f"{(peer_again - empty) / (native_again - empty):.2f}x again")
    print(f"resident memory  native:  {native_rss:8.1f} bytes/node   peer: {peer_rss:8.1f} bytes/node")


if __name__ == "__main__":
    main()
