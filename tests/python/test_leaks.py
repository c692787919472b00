"""Every public method, on its success and error paths, called many times:
after a warm-up the interpreter's allocated blocks, the process's resident
memory and the reference counts of the objects the binding hands out must
stay put. A leaked object shows in the blocks, a leaked reference to a shared
object (True, None, a type, an interned key) in its count, and memory the
core keeps in the resident size. From 3.12 on True, None and interned strings
are immortal and their counts never move, so there the module's types, which
stay mortal, carry the reference check.

Run as a script to print the figures of every group:
    python3 tests/python/test_leaks.py
"""

import gc
import mmap
import os
import struct
import sys

import pytest

import zembrik_core as zc
from pipelines import DESCRIPTOR, record_pipeline


def under_asan():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# Under ASan (scripts/run_sanitized.sh) its quarantine keeps freed memory and
# PYTHONMALLOC=malloc leaves no blocks to count: only references are checked,
# in fewer rounds, as the sanitizers make every call slow.
SANITIZED = under_asan()
WARMUP, ROUNDS = (50, 300) if SANITIZED else (200, 2000)
MAX_BLOCKS = 100  # a leak of one block per round shows as ROUNDS blocks
MAX_RSS = 1 << 20  # a leaked copy of the small test store per round is far more
MAX_REFS = 10

KEY_TEXTS = ["id", "output", "inputs", "kind", "name", "params", "descriptor", "n_members",
             "members", "content_hash", "framework", "version", "io_schema", "preprocessing_ref",
             "input", "member"]
SHARED = [None, True, False, zc.GraphStore, zc.PayloadDescriptor, zc.IncrementalReducer,
          zc.InternalError] + [sys.intern(text) for text in KEY_TEXTS]
# A heap type: counted on every version, unlike the immortal True of 3.12 on.
MORTAL_SHARED = zc.GraphStore
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def measure(work):
    """(block growth, resident growth in bytes, largest reference count growth)."""
    for _ in range(WARMUP):
        work()
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), resident_bytes()
    refs = [sys.getrefcount(o) for o in SHARED]
    for _ in range(ROUNDS):
        work()
    gc.collect()
    grown = [sys.getrefcount(o) for o in SHARED]
    return (sys.getallocatedblocks() - blocks, resident_bytes() - rss,
            max(after - before for after, before in zip(grown, refs)))


def fails(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call.__name__} did not raise {error.__name__}")


def pack_str(text):
    raw = text.encode()
    return struct.pack("<I", len(raw)) + raw


def stage_blob(token):
    """A source and a one-member stage over it whose member token is `token`."""
    return (b"ZIR1" + struct.pack("<I", 2) + b"\x00" + pack_str("a") + bytes(4)
            + b"\x04" + struct.pack("<IQI", 1, 0, 1) + pack_str(token)
            + struct.pack("<IBI", 1, 0, 0) + struct.pack("<IQ", 1, 1))


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError


STORE = zc.GraphStore()
OUTPUT = record_pipeline(STORE)
REDUCED, _ = STORE.reduce(outputs=[OUTPUT])
BLOB = STORE.serialize(outputs=[OUTPUT])
# Each decoder error: truncated (three ways), bad magic, a node tag 9, a name
# that is not UTF-8, and an op that names itself as its input.
BAD_BLOBS = [b"", b"ZIR", b"12345678", b"ZIR1\x01\x00\x00\x00\x09", BLOB[:40],
             b"ZIR1\x01\x00\x00\x00\x00" + struct.pack("<I", 1) + b"\xff" + bytes(4),
             b"ZIR1\x01\x00\x00\x00\x01" + pack_str("m") + bytes(4) + struct.pack("<IQ", 1, 0)]


def objects():
    zc.GraphStore()
    zc.IncrementalReducer()
    d = zc.PayloadDescriptor(**DESCRIPTOR, preprocessing_ref="p")
    (d.kind, d.content_hash, d.framework, d.version, d.io_schema, d.preprocessing_ref)
    zc.PayloadDescriptor(**DESCRIPTOR).preprocessing_ref
    zc.version()


def recording():
    """Existing keys on a store that keeps them: no growth is legitimate."""
    record_pipeline(STORE)
    STORE.add_op("map", range(2), {"i": 1, "f": 1e300, "b": False, "s": "é", "big": 2**63})
    STORE.add_op("map", (0, 1), {"i": 1, "f": 1e300, "b": False, "s": "é", "big": 2**63})


def recording_errors():
    s = STORE
    fails(ValueError, s.add_op, "m", [0, 99])
    fails(ValueError, s.add_join, [99])
    fails(TypeError, s.add_op, 1, [0])
    fails(UnicodeEncodeError, s.add_source, "\ud800")
    fails(TypeError, s.add_op, "m", "0")
    fails(TypeError, s.add_op, "m", {0: 0})
    fails(TypeError, s.add_op, "m", (i for i in [0]))
    fails(TypeError, s.add_op, "m", [0.5])
    fails(ZeroDivisionError, s.add_op, "m", [0, BadIndex()])
    fails(OverflowError, s.add_op, "m", [-1])
    fails(OverflowError, s.add_reduction, "m", [2**64])
    fails(TypeError, s.add_op, "m", [0], [("a", 1)])
    for bad in ({"a": None}, {1: 2}, {"a": 10**400}, {"a": "\ud800"}, {"a": [1]}):
        fails(TypeError, s.add_op, "m", [0], bad)
    fails(UnicodeEncodeError, s.add_source, "m", {"\ud800": 1})
    fails(ZeroDivisionError, s.add_source, "m", {"a": BadIndex()})
    fails(TypeError, s.add_external, 5, [0])
    fails(ValueError, s.add_external, {}, [0])
    fails(ValueError, s.add_external, {"kind": "k"}, [0])
    fails(TypeError, s.add_external, {**DESCRIPTOR, "version": None}, [0])
    fails(TypeError, s.add_external, {**DESCRIPTOR, "preprocessing_ref": 5}, [0])


def binding_errors():
    s = STORE
    fails(TypeError, s.add_op)
    fails(TypeError, s.add_op, "m", [0], None, 4)
    fails(TypeError, s.add_op, "m", [0], bogus=1)
    fails(TypeError, s.add_op, "m", [0], name="m")
    fails(TypeError, s.node_count, 1)
    fails(TypeError, s.reduce, True)
    fails(TypeError, zc.GraphStore, 1)
    fails(TypeError, zc.IncrementalReducer, x=1)
    fails(TypeError, zc.version, 1)
    fails(TypeError, zc.PayloadDescriptor, "k")
    fails(TypeError, zc.PayloadDescriptor, kind="k")
    fails(TypeError, zc.PayloadDescriptor, **{**DESCRIPTOR, "kind": 1})
    fails(TypeError, zc.PayloadDescriptor, **DESCRIPTOR, preprocessing_ref=1)
    fails(TypeError, zc.PayloadDescriptor, **DESCRIPTOR, other=1)


def inspection():
    for store in (STORE, REDUCED):
        store.nodes()
        store.outputs()
        store.node_count()
        store.node_map()
        store.to_dot()


def persistence():
    STORE.serialize()
    STORE.serialize([OUTPUT, 0, OUTPUT])
    loaded = zc.GraphStore.deserialize(BLOB)
    loaded.nodes()
    REDUCED.deserialize(REDUCED.serialize()).nodes()
    zc.GraphStore.deserialize(stage_blob("op|f|k=i1")).nodes()


def persistence_errors():
    fails(ValueError, STORE.serialize, [OUTPUT, 99])
    fails(TypeError, STORE.serialize, "0")
    for data in BAD_BLOBS:
        fails(ValueError, zc.GraphStore.deserialize, data)
    fails(TypeError, zc.GraphStore.deserialize, bytearray(BLOB))
    fails(TypeError, zc.GraphStore.deserialize)
    fails(ValueError, zc.GraphStore.deserialize(stage_blob("src|a")).nodes)


def reduction():
    STORE.reduce()
    STORE.reduce(maximal_fusion=True, outputs=[OUTPUT])
    STORE.reduction_report(outputs=[OUTPUT])
    STORE.reduce_incremental(outputs=(OUTPUT,))
    STORE.cone(outputs=[OUTPUT]).node_map()
    REDUCED.reduce()


def reduction_errors():
    fails(ValueError, STORE.reduce, outputs=[99])
    fails(TypeError, STORE.reduce, maximal_fusion=1)
    fails(TypeError, STORE.reduction_report, outputs="x")
    fails(ValueError, STORE.reduce_incremental, outputs=[0, 99])
    fails(TypeError, STORE.cone)
    fails(ValueError, STORE.cone, outputs=[99])


def incremental():
    reducer = zc.IncrementalReducer()
    reducer.step(STORE)
    reducer.step(store=STORE)
    reducer.finalize(STORE, outputs=[OUTPUT])
    reducer.finalize(STORE, maximal_fusion=True)
    (reducer.watermark(), reducer.total_work(), reducer.canonical_count())


def incremental_errors():
    reducer = zc.IncrementalReducer()
    fails(TypeError, reducer.step, 42)
    fails(TypeError, reducer.step)
    fails(ValueError, reducer.finalize, STORE, outputs=[99])
    fails(TypeError, reducer.finalize, STORE, True)
    fails(TypeError, reducer.finalize, STORE, maximal_fusion=0)
    fails(TypeError, reducer.finalize, REDUCED.nodes())
    fails(TypeError, reducer.watermark, 1)


GROUPS = [objects, recording, recording_errors, binding_errors, inspection, persistence,
          persistence_errors, reduction, reduction_errors, incremental, incremental_errors]


@pytest.mark.parametrize("work", GROUPS, ids=[g.__name__ for g in GROUPS])
def test_repeated_calls_do_not_grow_memory(work):
    blocks, rss, refs = measure(work)
    assert refs <= MAX_REFS, f"a shared object gained {refs} references"
    if not SANITIZED:
        assert blocks <= MAX_BLOCKS, f"{blocks} more blocks after {ROUNDS} rounds"
        assert rss <= MAX_RSS, f"resident size grew by {rss} bytes"


def test_the_measure_sees_each_kind_of_leak():
    kept = []

    def leak():
        # A page of its own, which memory that earlier tests freed cannot serve.
        page = mmap.mmap(-1, PAGE)
        page[0] = 1
        kept.append((object(), MORTAL_SHARED, page))

    # A small object, a reference to a shared object whose count moves on
    # every version, and memory outside the block allocator.
    blocks, rss, refs = measure(leak)
    assert refs >= ROUNDS
    assert SANITIZED or (blocks >= ROUNDS and rss > MAX_RSS)


if __name__ == "__main__":
    for work in GROUPS:
        start = (sys.getallocatedblocks(), resident_bytes())
        blocks, rss, refs = measure(work)
        print(f"{work.__name__:20} blocks {start[0]:7} {blocks:+5}   "
              f"rss {start[1] >> 10:7} KiB {rss >> 10:+5} KiB   shared refs {refs:+d}")
