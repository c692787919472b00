#!/usr/bin/env python3
"""Instructions per add_op call, counted by callgrind: GraphStore.add_op
against a minimal extension that does the least a native recorder must, and
against a C builtin that takes the same arguments and does nothing with them.

Each figure comes from two child processes under callgrind that make the
same imports and stores: one records a chain of N nodes (add_op("map",
[prev], {"k": i % 7, "scale": 0.5}), as bench_build.py does) and one runs the
same loop, building the same list and dict, without the call. The difference
of their whole-process totals, over N, is the cost of one call: the
interpreter's call machinery, the conversion of the arguments and the
recording. Instruction counts do not depend on the machine's load.

The minimal extension is bench/minimal_recorder.cpp, which
build_minimal_recorder.py compiles at the start of each run, with the running
interpreter's headers (sysconfig) and -O3 like the package's release build,
into a temporary folder; it is no part of the package. Its Store.add_op
(METH_FASTCALL, positional only) checks that the name is a str and the inputs
ints below the node count, reads the params dict in key order, writes the
store's own record bytes with the project's field writers straight into its
arena, hashes them with the project's keyed SipHash, takes a mutex, probes a
flat table once, appends the record and returns a new int. It leaves out the
error messages, the argument binder and the acceptance of subclasses and
other sequences, which is what GraphStore.add_op pays above it.

The empty loop calls slice(), a C builtin that takes three arguments and
keeps them, and drops its result. Every child runs with PYTHONHASHSEED=0.

    python3 bench/bench_record_instructions.py [N]

Needs valgrind on PATH and a C++ compiler.
"""

import os
import re
import shutil
import sys
import tempfile

import _require

FIGURES = ("add_op", "minimal", "builtin")


def record(store, n):
    prev = store.add_op("src", [], None)
    for i in range(n - 1):
        prev = store.add_op("map", [prev], {"k": i % 7, "scale": 0.5})
    return store


def builtin_calls(n):
    call = slice
    prev = 0
    for i in range(n - 1):
        call("map", [prev], {"k": i % 7, "scale": 0.5})


def no_calls(n):
    prev = 0
    for i in range(n - 1):
        [prev]
        {"k": i % 7, "scale": 0.5}


def child(figure, n, call, folder):
    import zembrik_core as zc
    sys.path.insert(0, folder)
    import minimal_recorder

    stores = {"add_op": zc.GraphStore(), "minimal": minimal_recorder.Store()}
    if not call:
        no_calls(n)
    elif figure == "builtin":
        builtin_calls(n)
    else:
        count = record(stores[figure], n).node_count()
        if count != n:
            _require.fail(f"{figure} recorded {count} nodes, not {n}")


def instructions(figure, n, call, folder):
    out = os.path.join(folder, f"callgrind.{figure}.{int(call)}")
    _require.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                  os.path.abspath(__file__), "--child", figure, str(n), str(int(call)), folder],
                 f"callgrind counting {figure}")
    with open(out) as f:
        totals = re.search(r"^(?:summary|totals): (\d+)", f.read(), re.MULTILINE)
    if totals is None:
        _require.fail(f"callgrind wrote no total for {figure}")
    return int(totals.group(1))


def main(argv):
    if argv[:1] == ["--child"]:
        child(argv[1], int(argv[2]), argv[3] == "1", argv[4])
        return
    _require.zembrik_core()
    if shutil.which("valgrind") is None:
        _require.fail("valgrind is not installed: apt-get install valgrind")
    import build_minimal_recorder

    n = int(argv[0]) if argv else 200_000
    # One str hash seed for every child, so that the probing of the
    # parameter dicts each loop builds costs the same in all of them.
    os.environ["PYTHONHASHSEED"] = "0"
    with tempfile.TemporaryDirectory() as folder:
        build_minimal_recorder.build(folder)
        without = instructions("add_op", n, False, folder)
        per_call = {f: (instructions(f, n, True, folder) - without) / (n - 1) for f in FIGURES}
    real, minimal, empty = per_call["add_op"], per_call["minimal"], per_call["builtin"]
    print(f"nodes: {n}")
    print(f"GraphStore.add_op:   {real:8.0f} instructions per call")
    print(f"minimal extension:   {minimal:8.0f} instructions per call")
    print(f"empty builtin call:  {empty:8.0f} instructions per call")
    print(f"add_op / minimal:    {real / minimal:8.3f}x whole call, "
          f"{(real - empty) / (minimal - empty):.3f}x above the empty call")


if __name__ == "__main__":
    main(sys.argv[1:])
