"""How stages become Dask tasks: whole, split where branches meet, or as the
default decides; with values dropped once dead, and the same values, output
keys and error notes in every mode."""

import pickle

import pytest

np = pytest.importorskip("numpy")
dask = pytest.importorskip("dask")
import dask.threaded  # noqa: E402

import zembrik_core as zc  # noqa: E402
import zembrik_dask as zd  # noqa: E402
from zembrik_dask import lowering, numpy_ops  # noqa: E402

MODES = ("auto", "whole", "split")


def fan_in(chunks, chain=3):
    """`chunks` sources, a chain of ops on each, a pairwise tree of maximum
    over them and a sum: reduced, one stage holds the chains and the tree."""
    store = zc.GraphStore()
    values = []
    for k in range(chunks):
        x = store.add_source(f"in{k}", {"k": k})
        for step in range(chain):
            x = store.add_op("map", [x], {"scale": 1.0 + step, "offset": 0.5})
        values.append(x)
    while len(values) > 1:
        values = [store.add_op("maximum", values[i:i + 2]) if i + 1 < len(values) else values[i]
                  for i in range(0, len(values), 2)]
    out = store.add_reduction("sum", [values[0]], {"axis": 0})
    arrays = {f"in{k}": np.arange(4.0) * (k % 5) - k for k in range(chunks)}
    return store, [out], numpy_ops.with_arrays(arrays)


def lowered(store, outputs, ops, stages, maximal_fusion=False):
    small, _ = store.reduce(outputs=outputs, maximal_fusion=maximal_fusion)
    return zd.to_dask(small, ops, zd.outputs_in(small, outputs), stages=stages)


@pytest.mark.parametrize("chunks", [2, 5, 16, 40])
def test_every_mode_computes_the_recorded_values_under_the_same_output_keys(chunks):
    store, outputs, ops = fan_in(chunks)
    graph, keys = zd.to_dask(store, ops, outputs)
    want = dask.get(graph, keys)
    found = {}
    for stages in MODES:
        graph, keys = lowered(store, outputs, ops, stages)
        found[stages] = (len(graph), keys)
        got = dask.threaded.get(pickle.loads(pickle.dumps(graph)), keys)
        assert all(np.array_equal(a, b) for a, b in zip(want, got)), stages
    assert len({keys[0] for _, keys in found.values()}) == 1
    # Besides a task per source and the sum's: whole, the stage; split, a
    # task per chain and per maximum.
    assert found["whole"][0] == chunks + 2
    assert found["split"][0] == chunks + chunks + (chunks - 1) + 1
    parts = found["auto"][0] - chunks - 1
    if chunks <= lowering.AUTO_MAX_READS:
        assert parts == 1
    else:
        assert 2 <= parts < chunks
        graph, _ = lowered(store, outputs, ops, "auto")
        stage_parts = [task for task in graph.values() if task[0].func is lowering._run_stage]
        assert all(len(task) - 1 <= lowering.AUTO_MAX_READS for task in stage_parts)


def test_a_chain_stays_one_task_in_every_mode():
    store = zc.GraphStore()
    x = store.add_source("in0")
    for _ in range(100):
        x = store.add_op("neg", [x])
    for stages in MODES:
        graph, _ = lowered(store, [x], numpy_ops, stages)
        assert len(graph) == 2  # the source and the stage


def test_auto_makes_a_tree_of_parts_a_fraction_of_its_feeders():
    store, outputs, ops = fan_in(1024, chain=1)
    graph, keys = lowered(store, outputs, ops, "auto")
    # Parts read up to max_reads values: about one per max_reads - 1 sources.
    max_reads = max(lowering.AUTO_MAX_READS, -(-1024 // lowering.AUTO_MAX_PARTS))
    assert max_reads > 2
    assert len(graph) - 1024 - 1 <= 1024 // (max_reads - 1) + 1
    assert np.array_equal(dask.threaded.get(graph, keys)[0],
                          dask.get(*zd.to_dask(store, ops, outputs))[0])


def test_a_failing_member_of_a_part_is_named_by_its_place_in_the_stage():
    store, outputs, _ = fan_in(4)
    small, _ = store.reduce(outputs=outputs)
    stage = next(n for n in small.nodes() if n["kind"] == "stage")

    def broken(params, *inputs):
        raise ZeroDivisionError("boom")

    ops = dict(numpy_ops.with_arrays({f"in{k}": np.zeros(2) for k in range(4)}))
    ops["ops"] = dict(ops["ops"], maximum=broken)
    notes = set()
    for stages in MODES:
        graph, keys = zd.to_dask(small, ops, zd.outputs_in(small, outputs), stages=stages)
        with pytest.raises(ZeroDivisionError) as caught:
            dask.get(graph, keys)
        notes.add(caught.value.__notes__[0])
    # Independent parts may fail in any order; each names its own member.
    maxima = [i for i, m in enumerate(stage["members"]) if m["name"] == "maximum"]
    allowed = {f"while computing stage member {i} (op 'maximum') of node {stage['id']}"
               for i in maxima}
    assert notes <= allowed and len(notes) >= 1


class Tracked:
    live = 0
    most = 0

    def __init__(self):
        Tracked.live += 1
        Tracked.most = max(Tracked.most, Tracked.live)

    def __del__(self):
        Tracked.live -= 1


def make(params, *inputs):
    return Tracked()


@pytest.mark.parametrize("stages", MODES)
def test_a_value_is_dropped_once_its_last_user_has_run(stages):
    store = zc.GraphStore()
    x = store.add_source("s")
    # A long chain with a short side branch at each step.
    for _ in range(60):
        x = store.add_op("pair", [x, store.add_op("side", [x])])
    ops = {"source": make, "ops": {"pair": make, "side": make}}
    Tracked.live = Tracked.most = 0
    # Maximal fusion puts the whole ladder in one stage.
    graph, keys = lowered(store, [x], ops, stages, maximal_fusion=True)
    assert len(graph) == 2
    result = dask.get(graph, keys)
    del result
    # The source, the running value and its side branch, and the new one.
    assert Tracked.most <= 5
