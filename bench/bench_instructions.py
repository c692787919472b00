#!/usr/bin/env python3
"""Instructions per input node of each reduction call, and of serialize,
deserialize and nodes(), counted by callgrind.

Instruction counts do not depend on the machine's load, so they compare two
builds more steadily than seconds do. Builds bench_reduce.py's pipeline of
about N nodes (for finalize, stepped through an IncrementalReducer first;
for deserialize, written out as a blob) in
two processes under callgrind, one that stops there and one that then makes
the call; the difference is the call's own count. (Installed wheels are
stripped, so the count cannot be narrowed to a symbol.)

    python3 bench/bench_instructions.py [N]

Needs valgrind on PATH.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

import _require

FIGURES = ("reduce", "reduce_maximal", "finalize", "deserialize", "serialize", "nodes")


def child(figure, n, call):
    import bench_reduce
    import zembrik_core as zc

    records, outputs = bench_reduce.pipeline(n, 1000)
    store = bench_reduce.build_store(records)
    del records
    reducer = zc.IncrementalReducer()
    if figure == "finalize":
        reducer.step(store)
    blob = store.serialize(outputs=outputs) if figure == "deserialize" else b""
    if call and figure == "finalize":
        reducer.finalize(store, outputs=outputs)
    elif call and figure == "deserialize":
        zc.GraphStore.deserialize(blob)
    elif call and figure == "serialize":
        store.serialize(outputs=outputs)
    elif call and figure == "nodes":
        store.nodes()
    elif call:
        store.reduce(maximal_fusion=figure == "reduce_maximal", outputs=outputs)
    print(store.node_count())


def instructions(figure, n, call):
    """The instructions of one child process, and the node count it built."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        done = _require.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
             os.path.abspath(__file__), "--child", figure, str(n), str(int(call))],
            f"callgrind counting {figure}")
        with open(out) as f:
            totals = re.search(r"^(?:summary|totals): (\d+)", f.read(), re.MULTILINE)
    if totals is None:
        _require.fail(f"callgrind wrote no total for {figure}")
    return int(totals.group(1)), int(done.stdout.split()[-1])


def count(figure, n):
    without, nodes = instructions(figure, n, False)
    with_call, _ = instructions(figure, n, True)
    return (with_call - without) / nodes, nodes


def main(argv):
    if argv[:1] == ["--child"]:
        child(argv[1], int(argv[2]), argv[3] == "1")
        return
    _require.zembrik_core()
    if shutil.which("valgrind") is None:
        _require.fail("valgrind is not installed: apt-get install valgrind")
    n = int(argv[0]) if argv else 200_000
    for figure in FIGURES:
        per_node, nodes = count(figure, n)
        print(f"{figure + ':':16s} {per_node:8.0f} instructions per input node ({nodes} nodes)")


if __name__ == "__main__":
    main(sys.argv[1:])
