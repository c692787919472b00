"""The same recording in fresh interpreters with different hash seeds gives
the same bytes: blobs, reductions, reports, DOT text and node views. Each
process also has its own addresses, which seed the store's hash tables.

The test runs this file as a script in child processes; the script prints
everything it derives from the recording."""

import os
import subprocess
import sys

import zembrik_core as zc
from pipelines import record_pipeline

SEEDS = ["0", "1", "4242"]
NAMES = {"alpha", "beta", "gamma"}  # a set: its order follows the hash seed


def results():
    """(label, text) for everything derived from one recording; the node
    views hold only values whose repr is exact."""
    store = zc.GraphStore()
    output = record_pipeline(store, params_order=list(NAMES))
    reducer = zc.IncrementalReducer()
    reducer.step(store)
    yield "store", store.serialize().hex()
    yield "store dot", store.to_dot()
    yield "nodes", repr(store.nodes())
    for fusion in (False, True):
        reduced, report = store.reduce(outputs=[output], maximal_fusion=fusion)
        yield f"reduced {fusion}", reduced.serialize().hex()
        yield f"report {fusion}", repr(sorted(report.items()))
        yield f"reduced dot {fusion}", reduced.to_dot()
        yield f"reduced nodes {fusion}", repr(reduced.nodes())
        yield f"node map {fusion}", repr(reduced.node_map())
    finalized, report = reducer.finalize(store, outputs=[output])
    yield "finalized", finalized.serialize().hex()
    yield "finalized report", repr(sorted(report.items()))
    yield "finalized dot", finalized.to_dot()
    yield "cone", store.cone(outputs=[output]).serialize().hex()


def run_child(seed):
    module_dir = os.path.dirname(zc.__file__)
    path = os.pathsep.join(p for p in [module_dir, os.environ.get("PYTHONPATH")] if p)
    env = {**os.environ, "PYTHONHASHSEED": seed, "PYTHONPATH": path}
    done = subprocess.run([sys.executable, __file__], env=env, capture_output=True, check=True)
    return done.stdout


def test_fresh_processes_with_different_hash_seeds_agree():
    outputs = {seed: run_child(seed) for seed in SEEDS}
    # The premise: the seeds really change the order of a set of strings.
    orders = {out.splitlines()[0] for out in outputs.values()}
    assert len(orders) > 1
    first, *others = [out.split(b"\n", 1)[1] for out in outputs.values()]
    assert b"reduced True" in first
    for other in others:
        assert other == first


if __name__ == "__main__":
    print(list(NAMES))  # first line: the order this seed gives the set
    for label, text in results():
        sys.stdout.write(f"== {label}\n{text}\n")
