"""Running out of memory in the middle of a call: every kind of call raises
MemoryError when the address space is capped a little above what the process
uses, and once the cap is lifted every object is as it was before the call:
the store serializes to the same bytes, the reducer stands where it stood,
recording goes on and reductions work on every store of the process.

The cap (RLIMIT_AS) is set in a child process, which runs this file as a
script and prints one line per call kind."""

import json
import os
import resource
import subprocess
import sys

import pytest

import zembrik_core as zc

NODES = 6000
PAD = "p" * 400  # large records make every copy a large allocation
# Headroom above the current address space: failures land at many different
# allocations, from the first of a call to its last.
MARGINS = [0, 1 << 12, 1 << 14, 1 << 16, 1 << 17, 1 << 18, 3 << 17, 1 << 19, 3 << 18, 1 << 20,
           3 << 19, 1 << 21, 3 << 20, 1 << 22, 3 << 21, 1 << 23, 1 << 24, 1 << 26, 1 << 28]


def record(store, first, last):
    """Nodes first..last-1 of a chain with fan-out, identities and both
    operand orders of a commutative op."""
    if first == 0:
        store.add_source("src", {"pad": PAD})
        store.add_op("map", [0], {"pad": PAD})
        first = 2
    for i in range(first, last):
        if i % 5 == 0:
            store.add_op("add", [i - 1, i // 2], {"pad": PAD})
        elif i % 5 == 1:
            store.add_op("add", [i // 2, i - 2], {"pad": PAD})
        elif i % 5 == 2:
            store.add_op("mul", [i - 1], {"scalar": 1.0, "side": "r"})
        else:
            store.add_op(f"map{i % 97}", [i - 1], {"k": i, "pad": PAD})


def address_space():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")


def cap(margin):
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + margin, resource.RLIM_INFINITY))


def lift():
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


def reduced_bytes(store, **kwargs):
    reduced, report = store.reduce(**kwargs)
    return reduced.serialize(), sorted(report.items())


def main():
    full = zc.GraphStore()
    record(full, 0, NODES)
    # Deserialized copies carry these marks.
    blob = full.serialize(outputs=[NODES - 1, NODES // 2])
    full = zc.GraphStore.deserialize(blob)
    half = zc.GraphStore()
    record(half, 0, NODES // 2)
    half_blob = half.serialize()
    # A store no call below touches: reductions must keep working on it.
    bystander = zc.GraphStore.deserialize(blob)
    bystander_expected = reduced_bytes(bystander, maximal_fusion=True)
    expected = {
        "reduce": reduced_bytes(full),
        "finalize": None,
    }
    reducer = zc.IncrementalReducer()
    grown = zc.GraphStore.deserialize(half_blob)
    reducer.step(grown)
    record(grown, NODES // 2, NODES)
    finalized, report = reducer.finalize(grown, outputs=[NODES - 1, NODES // 2])
    expected["finalize"] = (finalized.serialize(), sorted(report.items()))

    def fresh():
        return zc.GraphStore.deserialize(blob)

    def fed_reducer():
        store = zc.GraphStore.deserialize(half_blob)
        r = zc.IncrementalReducer()
        r.step(store)
        record(store, NODES // 2, NODES)
        return store, r

    recorded = [0]  # how many nodes the last "record" call got in

    def record_more(store, count):
        for k in range(count):
            store.add_op("fresh", [NODES - 1], {"k": k, "pad": PAD * 10})
            recorded[0] = k + 1

    calls = {
        # Until the arena or its index has to grow under the cap.
        "record": lambda s, r: record_more(s, 3000),
        "nodes": lambda s, r: s.nodes(),
        "to_dot": lambda s, r: s.to_dot(),
        "serialize": lambda s, r: s.serialize(),
        "deserialize": lambda s, r: zc.GraphStore.deserialize(blob),
        "reduce": lambda s, r: s.reduce(),
        "reduction_report": lambda s, r: s.reduction_report(),
        "cone": lambda s, r: s.cone(outputs=[NODES - 1]),
        "symbols": lambda s, r: s.reduce(outputs=list(range(3, NODES, 5))),
        "step": None,
        "finalize": None,
    }
    results = {}
    for kind, call in calls.items():
        failures = 0
        for margin in MARGINS:
            if kind in ("step", "finalize"):
                store, r = fed_reducer()
                state = (r.watermark(), r.total_work(), r.canonical_count())
                if kind == "step":
                    call = lambda s, r: r.step(s)  # noqa: E731
                else:
                    call = lambda s, r: r.finalize(s, outputs=[NODES - 1, NODES // 2])  # noqa: E731
            else:
                store, r = fresh(), None
            before = store.serialize()
            recorded[0] = 0
            cap(margin)
            try:
                call(store, r)
                failed = False
            except MemoryError:
                failed = True
            finally:
                lift()
            if not failed:
                continue
            failures += 1
            if kind == "record":
                # The nodes recorded before the failing one, and nothing else.
                reference = fresh()
                record_more(reference, recorded[0])
                before = reference.serialize()
            assert store.serialize() == before, (kind, margin)
            if r is not None:
                assert (r.watermark(), r.total_work(), r.canonical_count()) == state, (kind, margin)
                f, rep = r.finalize(store, outputs=[NODES - 1, NODES // 2])
                assert (f.serialize(), sorted(rep.items())) == expected["finalize"], (kind, margin)
            elif kind != "record":
                assert reduced_bytes(store) == expected["reduce"], (kind, margin)
                count = store.node_count()
                assert store.add_op("after", [0]) == count, (kind, margin)
            assert reduced_bytes(bystander, maximal_fusion=True) == bystander_expected, kind
        call(*(fed_reducer() if kind in ("step", "finalize") else (fresh(), None)))
        results[kind] = failures
    print(json.dumps(results))


@pytest.mark.skipif(sys.platform != "linux", reason="RLIMIT_AS and /proc are Linux's")
def test_every_call_survives_running_out_of_memory():
    here = os.path.dirname(os.path.abspath(__file__))
    # A fixed mmap threshold makes every large allocation ask the kernel for
    # address space, instead of reusing memory freed by an earlier call.
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536")
    done = subprocess.run([sys.executable, os.path.abspath(__file__)], capture_output=True,
                          text=True, timeout=600, cwd=here, env=env)
    assert done.returncode == 0, done.stderr[-4000:]
    failures = json.loads(done.stdout.strip().splitlines()[-1])
    # Each kind met MemoryError at some cap and got through without one.
    assert failures.keys() == {"record", "nodes", "to_dot", "serialize", "deserialize",
                               "reduce", "reduction_report", "cone", "symbols", "step",
                               "finalize"}
    no_error = [kind for kind, count in failures.items() if count == 0]
    assert no_error == [], failures


if __name__ == "__main__":
    main()
