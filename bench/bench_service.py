#!/usr/bin/env python3
"""How the module holds up inside a long-running service.

Four figures, each beside its peer from the same run:
- memory: resident growth over 3,000 reductions of distinct 10-op pipelines
  after a warm-up, and over five reductions of ops with fresh 20 MiB names;
- flooding: one reduce over 20,000 op names that collided under the symbol
  table's former hash, against 20,000 random names of the same length;
- stalls: the longest a thread sleeping 1 ms in a loop waits while another
  reduces a 1,000,000-node chain, against the length of that reduction;
- parallelism: two threads reducing two 500,000-node stores, against one
  thread reducing both.

    python3 bench/bench_service.py [N]   (N: the chain length, 1,000,000)

Needs numpy for the colliding names (tests/python/colliding_names.py).
"""

import gc
import os
import sys
import threading
import time

import _require

zc = _require.zembrik_core()
_require.module("numpy", "numpy is not installed (it makes the colliding names): "
                + _require.BENCH_EXTRA)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "python"))
import colliding_names  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident():
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def best_reduce(store, outputs, rounds=3):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        store.reduce(outputs=outputs)
        best = min(best, time.perf_counter() - start)
    return best


def flooding():
    def store_of(names):
        store = zc.GraphStore()
        source = store.add_source("src")
        return store, [store.add_op(name, [source]) for name in names]

    hostile = best_reduce(*store_of(colliding_names.colliding_names(20_000)))
    plain = best_reduce(*store_of(colliding_names.random_names(20_000)))
    print(f"flood reduce   colliding: {hostile * 1e3:8.1f} ms   random: {plain * 1e3:8.1f} ms"
          f"   ratio {hostile / plain:5.2f}x (target <= 3x)")


def memory():
    def pipeline(i):
        store = zc.GraphStore()
        x = store.add_source("src")
        for k in range(10):
            x = store.add_op(f"op{i}_{k}", [x], {"k": k})
        store.reduce(outputs=[x])

    for i in range(300):
        pipeline(i)
    before = resident()
    for i in range(300, 3300):
        pipeline(i)
    pipelines = resident() - before

    def huge_name(i):
        store = zc.GraphStore()
        source = store.add_source("src")
        store.add_op(f"{i}" + "n" * (20 << 20), [source])
        store.reduce(outputs=[1])

    before = resident()
    for i in range(5):
        huge_name(i)
    huge = resident() - before
    print(f"memory growth  3000 distinct pipelines: {pipelines / 2**20:6.2f} MiB (target <= 2)"
          f"   5 fresh 20 MiB names: {huge / 2**20:6.2f} MiB (target <= 25)")


def chain(n):
    store = zc.GraphStore()
    x = store.add_source("src")
    for i in range(n - 1):
        x = store.add_op("map", [x], {"k": i % 7, "scale": 0.5})
    return store, x


def stalls(n):
    store, last = chain(n)
    gaps, done = [], threading.Event()

    def sleeper():
        previous = time.perf_counter()
        while not done.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            gaps.append(now - previous)
            previous = now

    thread = threading.Thread(target=sleeper)
    thread.start()
    time.sleep(0.05)
    start = time.perf_counter()
    store.reduce(outputs=[last])
    duration = time.perf_counter() - start
    done.set()
    thread.join()
    print(f"stall          longest: {max(gaps) * 1e3:8.1f} ms   during a reduce of "
          f"{duration * 1e3:8.1f} ms on {n} nodes (target <= 50 ms)")


def parallelism(n):
    stores = [chain(n // 2) for _ in range(2)]
    start = time.perf_counter()
    for store, last in stores:
        store.reduce(outputs=[last])
    one_thread = time.perf_counter() - start
    threads = [threading.Thread(target=store.reduce, kwargs={"outputs": [last]})
               for store, last in stores]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    two_threads = time.perf_counter() - start
    print(f"two reductions two threads: {two_threads * 1e3:8.1f} ms   one thread: "
          f"{one_thread * 1e3:8.1f} ms   ratio {two_threads / one_thread:5.2f} (target <= 0.65)")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    memory()  # first, before the other figures leave memory in the allocator
    flooding()
    stalls(n)
    parallelism(n)


if __name__ == "__main__":
    main()
