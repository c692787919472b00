"""What one reduction interns goes when it is done: a service that reduces
pipelines with ever new op names or parameter values does not grow.

Measured in a fresh child process, so that resident memory reflects this
module alone and not what earlier tests left in the allocator."""

import json
import os
import subprocess
import sys

import zembrik_core as zc

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def distinct_pipeline(i):
    store = zc.GraphStore()
    x = store.add_source("src", {"run": i})
    for k in range(10):
        x = store.add_op(f"op{i}_{k}", [x], {"k": k, "tag": f"t{i}"})
    store.reduce(outputs=[x])


def huge_name(i):
    store = zc.GraphStore()
    source = store.add_source("src")
    store.add_op(f"{i}:" + "n" * (20 << 20), [source])
    store.reduce(outputs=[1])


def main():
    for i in range(300):  # warm-up
        distinct_pipeline(i)
    before = resident()
    for i in range(300, 3300):
        distinct_pipeline(i)
    pipelines = resident() - before
    before = resident()
    for i in range(5):
        huge_name(i)
    huge = resident() - before
    print(json.dumps({"pipelines": pipelines, "huge": huge}))


def test_reductions_leave_nothing_behind():
    done = subprocess.run([sys.executable, os.path.abspath(__file__)], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-4000:]
    growth = json.loads(done.stdout.strip().splitlines()[-1])
    # Before, each distinct pipeline kept about 1.2 KiB of tokens, and each
    # huge name its 20 MiB.
    assert growth["pipelines"] <= 2 << 20, growth
    assert growth["huge"] <= 25 << 20, growth


if __name__ == "__main__":
    main()
