"""A reduction is a function of the graph and the arguments alone: the same
blob reduced in fresh processes gives the same bytes with the real clock,
with a clock running 100 times fast, and with several processes competing
for the cores.

The test runs this file as a script in child processes; the script reduces
the blob it is given every way the module offers and prints one digest."""

import hashlib
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import zembrik_core as zc

FAST_CLOCK = textwrap.dedent(
    r"""
    #define _GNU_SOURCE
    #include <dlfcn.h>
    #include <time.h>

    /* The monotonic clock runs 100 times fast from its first reading on. */
    static int (*real_clock_gettime)(clockid_t, struct timespec *);
    static long double first;
    static int seen;

    int clock_gettime(clockid_t id, struct timespec *ts) {
      if (!real_clock_gettime) real_clock_gettime = dlsym(RTLD_NEXT, "clock_gettime");
      int rc = real_clock_gettime(id, ts);
      if (rc != 0 || id != CLOCK_MONOTONIC) return rc;
      long double now = ts->tv_sec + ts->tv_nsec / 1e9L;
      if (!seen) { first = now; seen = 1; }
      long double fast = first + (now - first) * 100;
      ts->tv_sec = (time_t)fast;
      ts->tv_nsec = (long)((fast - (long double)ts->tv_sec) * 1e9L);
      return rc;
    }
    """
)


def record(store, blocks):
    """Lanes of blocks full of what the rules merge: identities, swapped
    commutative pairs (one name dominating), and equal work in two lanes."""
    sources = [store.add_source("t", {"shard": i}) for i in range(64)]
    outputs = []
    for lane in range(4):
        x = sources[lane]
        for b in range(blocks):
            s = sources[(b * 7 + lane) % len(sources)]
            first = store.add_op("add", [x, s])
            second = store.add_op("add", [s, x])
            same = store.add_op("add", [second], {"scalar": 0.0, "side": "r"})
            product = store.add_op("mul", [first, same])
            twin = store.add_op("mul", [same, second])
            x = store.add_op("map", [product, twin], {"k": b % 97 if lane % 2 else b % 89})
            if b % 50 == 49:
                x = store.add_exchange([store.add_reduction("sum", [x], {"axis": 0})])
        outputs.append(x)
    return outputs


def digest():
    with open(sys.argv[1], "rb") as f:
        store = zc.GraphStore.deserialize(f.read())
    parts = []
    for fusion in (False, True):
        reduced, report = store.reduce(maximal_fusion=fusion)
        parts += [reduced.serialize(), repr(reduced.node_map()), repr(sorted(report.items()))]
    parts.append(repr(sorted(store.reduction_report().items())))
    parts.append(store.reduce_incremental()[0].serialize())
    reducer = zc.IncrementalReducer()
    reducer.step(store)
    finalized, report = reducer.finalize(store)
    parts += [finalized.serialize(), repr(finalized.node_map()), repr(sorted(report.items()))]
    hasher = hashlib.sha256()
    for part in parts:
        hasher.update(part if isinstance(part, bytes) else part.encode())
    return hasher.hexdigest()


@pytest.fixture(scope="module")
def blob_path(tmp_path_factory):
    store = zc.GraphStore()
    outputs = record(store, 6000)
    path = tmp_path_factory.mktemp("exact") / "pipeline.zir"
    path.write_bytes(store.serialize(outputs=outputs))
    return path


@pytest.fixture(scope="module")
def fast_clock(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the fast-clock shim")
    folder = tmp_path_factory.mktemp("clock")
    (folder / "fast_clock.c").write_text(FAST_CLOCK)
    shim = folder / "fast_clock.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(shim),
                    str(folder / "fast_clock.c"), "-ldl"], check=True)
    return shim


def child(blob_path, preload=None):
    module_dir = os.path.dirname(zc.__file__)
    path = os.pathsep.join(p for p in [module_dir, os.environ.get("PYTHONPATH")] if p)
    env = {**os.environ, "PYTHONPATH": path}
    if preload is not None:
        env["LD_PRELOAD"] = str(preload)
    return subprocess.Popen([sys.executable, __file__, str(blob_path)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def result_of(process):
    out, err = process.communicate(timeout=300)
    assert process.returncode == 0, err
    clock_rate, digest_line = out.split()
    return float(clock_rate), digest_line


def test_no_clock_or_load_reaches_a_reduction(blob_path, fast_clock):
    real_rate, expected = result_of(child(blob_path))
    fast_rate, fast = result_of(child(blob_path, fast_clock))
    # The premise: the shim really speeds up the clock the module would read.
    assert fast_rate > 20 * real_rate
    assert fast == expected
    # Four at once on this machine's cores, half of them on the fast clock.
    crowd = [child(blob_path, fast_clock if i % 2 else None) for i in range(4)]
    assert [result_of(p)[1] for p in crowd] == [expected] * 4


if __name__ == "__main__":
    import time

    # How fast this process's monotonic clock runs against the wall clock.
    start, wall = time.monotonic(), time.time()
    while time.time() - wall < 0.05:
        pass
    print((time.monotonic() - start) / (time.time() - wall))
    print(digest())
