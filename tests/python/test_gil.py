"""Long calls let other Python threads run, and locks never wedge.

Each call whose work grows with the graph releases the interpreter lock for
its native part: a thread that sleeps 1 ms in a loop keeps waking up while
the call runs. The figures against targets (the longest stall on a
1,000,000-node reduction, two reductions on two cores) are measured by
bench/bench_service.py; here the check is relative to the call's own length,
so that a loaded machine does not make it flaky. Then threads that record
through `__index__` callbacks re-entering the store run beside reducing,
stepping and finalizing threads and must all finish."""

import threading
import time

import pytest

import zembrik_core as zc

NODES = 200_000
PAD = "x" * 150  # large records make the copies and texts long enough to time


@pytest.fixture(scope="module")
def big():
    store = zc.GraphStore()
    x = store.add_source("src", {"pad": PAD})
    for i in range(1, NODES):
        x = store.add_op("map" if i % 3 else "add", [x, i // 2] if i % 3 == 0 else [x],
                         {"k": i % 11, "pad": PAD})
    return store, store.serialize(outputs=[NODES - 1])


def longest_stall_during(call):
    """(longest gap between wake-ups of a 1 ms sleeper during `call`, the
    call's duration), in seconds."""
    gaps, running, started = [], threading.Event(), threading.Event()

    def sleeper():
        last = time.perf_counter()
        started.set()
        while not running.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            gaps.append((last, now))
            last = now

    thread = threading.Thread(target=sleeper, daemon=True)
    thread.start()
    started.wait()
    time.sleep(0.01)
    begin = time.perf_counter()
    call()
    end = time.perf_counter()
    running.set()
    thread.join()
    # Only the part of each gap that overlaps the call counts.
    overlap = [min(b, end) - max(a, begin) for a, b in gaps if b > begin and a < end]
    return max(overlap, default=end - begin), end - begin


CALLS = {
    "reduce": lambda s, blob: s.reduce(outputs=[NODES - 1]),
    "reduction_report": lambda s, blob: s.reduction_report(outputs=[NODES - 1]),
    "reduce_incremental": lambda s, blob: s.reduce_incremental(outputs=[NODES - 1]),
    "cone": lambda s, blob: s.cone(outputs=[NODES - 1]),
    "serialize": lambda s, blob: s.serialize(),
    "deserialize": lambda s, blob: zc.GraphStore.deserialize(blob),
    "to_dot": lambda s, blob: s.to_dot(),
    "step": lambda s, blob: zc.IncrementalReducer().step(s),
    "finalize": lambda s, blob: zc.IncrementalReducer().finalize(s, outputs=[NODES - 1]),
    # nodes() must hold the lock to build its dicts, but hands it over now
    # and then.
    "nodes": lambda s, blob: s.nodes(),
}


@pytest.mark.parametrize("kind", sorted(CALLS))
def test_other_threads_run_during_a_long_call(big, kind):
    store, blob = big
    stall, duration = min(longest_stall_during(lambda: CALLS[kind](store, blob))
                          for _ in range(3))
    # Holding the lock throughout would stall the sleeper for the whole call.
    assert stall < max(0.5 * duration, 0.02), (stall, duration)


class ReentrantId:
    """An input id whose conversion records into, reads from and reduces the
    very store it is being recorded into."""

    def __init__(self, store, reducer, value):
        self.store, self.reducer, self.value = store, reducer, value

    def __index__(self):
        self.store.add_source("from-index", {"v": self.value % 7})
        self.store.node_count()
        self.reducer.watermark()
        if self.value % 50 == 0:
            self.store.reduction_report(outputs=[self.value])
        return self.value


def test_reentrant_recording_beside_reductions_never_wedges():
    store, reducer = zc.GraphStore(), zc.IncrementalReducer()
    root = store.add_source("root")
    for i in range(2000):
        store.add_op("seed", [root], {"i": i})
    errors, stop = [], threading.Event()

    def guarded(body):
        def run():
            try:
                body()
            except BaseException as error:  # noqa: BLE001 - reported below
                errors.append(error)
        return run

    def recorder(t):
        for i in range(300):
            store.add_op("r", [ReentrantId(store, reducer, (i * 7 + t) % 2000)], {"t": t})

    def churn(work):
        def body():
            while not stop.is_set():
                work()
        return body

    def finalize():
        reducer.finalize(store, outputs=[store.node_count() - 1])

    workers = [threading.Thread(target=guarded(lambda t=t: recorder(t)), daemon=True)
               for t in range(3)]
    churners = [threading.Thread(target=guarded(churn(work)), daemon=True) for work in (
        lambda: store.reduce(outputs=[store.node_count() - 1]),
        lambda: reducer.step(store), finalize, store.to_dot, store.serialize)]
    for thread in workers + churners:
        thread.start()
    for thread in workers:
        thread.join(timeout=120)
    stop.set()
    for thread in churners:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in workers + churners), "a thread is stuck"
    assert errors == []
    reducer.step(store)
    assert reducer.watermark() == reducer.total_work() == store.node_count()
