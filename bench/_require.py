"""What the benchmarks need beyond the standard library, and the plain message
each gives when it is missing.

A benchmark imports its modules through these functions and starts its child
processes through run(), so that a missing install or a failed child ends the
run with one sentence on standard error and a non-zero status, never with a
bare traceback.
"""

import importlib
import subprocess
import sys

BENCH_EXTRA = "pip install '.[bench]'"


def fail(message, detail=None):
    """Ends the benchmark with `message` (and what caused it) on standard error."""
    if detail:
        print(detail.rstrip(), file=sys.stderr)
    sys.exit(message)


def module(name, missing):
    """The module `name`, or the end of the run with `missing` when it does not import."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        fail(f"{missing}\n({error})")


def zembrik_core():
    return module("zembrik_core", "zembrik_core is not importable: pip install . first")


def peer(name, label):
    """The module of the peer a benchmark measures against."""
    return module(name, f"the peer, {label}, is not installed: {BENCH_EXTRA}")


def run(command, what):
    """Runs `command`, capturing its output; on failure shows its standard error
    and ends the run saying that `what` failed."""
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    except OSError as error:
        fail(f"{what} could not start: {error}")
    if done.returncode == 0:
        return done
    how = (f"was killed by signal {-done.returncode}" if done.returncode < 0
           else f"failed with exit status {done.returncode}")
    said = "its standard error is above" if done.stderr.strip() else "it wrote no error"
    fail(f"{what} {how} ({said})", done.stderr)
