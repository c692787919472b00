"""zembrik_dask: lowering stores onto Dask task graphs, the ops protocol, the
numpy reference ops, and soundness of reduction checked by execution: random
pipelines give the same values recorded and reduced, on every scheduler."""

import os
import pathlib
import pickle
import re
import subprocess
import sys
import types

import pytest

np = pytest.importorskip("numpy")
dask = pytest.importorskip("dask")
import dask.threaded  # noqa: E402

import zembrik_core as zc  # noqa: E402
import zembrik_dask as zd  # noqa: E402
from zembrik_dask import numpy_ops  # noqa: E402

from dask_pipelines import random_pipeline  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
RANDOM_PIPELINES = 500
STRICT_PIPELINES = 200
CLUSTER_PIPELINES = 12
DESCRIPTOR = dict(kind="model", content_hash="h", framework="numpy", version="2", io_schema="s")


def same_values(a, b, zero_sign_free=True):
    """Equal shapes, dtypes and NaN positions, and equal other values; bit
    equality of floats beyond == is the sign of zeros, which is checked too
    unless `zero_sign_free`. NaN payloads are not compared: which operand's
    NaN an add keeps depends on the operand order."""
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if not np.array_equal(a, b, equal_nan=True):
        return False
    if zero_sign_free or a.dtype.kind != "f":
        return True
    numbers = ~np.isnan(a)
    return bool(np.array_equal(np.signbit(a[numbers]), np.signbit(b[numbers])))


def run(store, ops, outputs=None, get=dask.get, stages="auto"):
    graph, keys = zd.to_dask(store, ops, outputs, stages=stages)
    return graph, list(get(graph, keys))


def chain_store(s=None):
    """source -> neg -> abs -> sub(abs, source) -> mul by 1.0 -> sum."""
    s = zc.GraphStore() if s is None else s
    x = s.add_source("x", {"seed": 3, "size": 5})
    b = s.add_op("neg", [x])
    c = s.add_op("abs", [b])
    d = s.add_op("sub", [c, x])
    e = s.add_op("mul", [d], {"scalar": 1.0, "side": "l"})
    f = s.add_reduction("sum", [e], {"axis": 0})
    return s, x, e, f


def expected_chain():
    x = numpy_ops.source("x", {"seed": 3, "size": 5})
    e = np.abs(-x) - x
    return e, np.sum(e, keepdims=True)


# -- lowering ---------------------------------------------------------------


def test_recorded_graph_has_one_task_per_reachable_node_and_computes():
    s, x, e, f = chain_store()
    dead = s.add_op("exp", [x])
    graph, keys = zd.to_dask(s, numpy_ops, [f, e, f], prefix="p/")
    assert keys[0] == keys[2] != keys[1] and dead > f
    assert len(graph) == f + 1 and all(re.fullmatch("p/[0-9a-f]{32}", k) for k in graph)
    want_e, want_f = expected_chain()
    for got_f, got_e, again in (dask.get(graph, keys),
                                zd.execute(s, numpy_ops, [f, e, f], get=dask.get)):
        assert same_values(got_e, want_e, zero_sign_free=False)
        assert same_values(got_f, want_f, zero_sign_free=False) and np.array_equal(again, got_f)


def test_a_stage_is_one_task_with_members_wired_as_nodes_list_them():
    s, x, e, f = chain_store()
    r, report = s.reduce(outputs=[e])
    stage = [n for n in r.nodes() if n["kind"] == "stage"]
    assert len(stage) == 1 and stage[0]["n_members"] == 3  # mul by 1.0 is gone
    # sub takes the earlier member first and the stage input second: a swap
    # of the two would change the value.
    assert stage[0]["members"][2]["inputs"] == [("member", 1), ("input", 0)]
    graph, values = run(r, numpy_ops)
    assert len(graph) == 2 == report["reduced_nodes"]
    assert same_values(values[0], expected_chain()[0], zero_sign_free=False)


KEYS_OF_PIPELINES = """
import zembrik_core as zc, zembrik_dask as zd
from zembrik_dask import numpy_ops
from dask_pipelines import random_pipeline
found = []
for seed in range(6):
    s = zc.GraphStore()
    outputs, _ = random_pipeline(s, seed)
    r, _ = s.reduce(maximal_fusion=seed % 2 == 1, outputs=outputs)
    for store, ids in ((s, outputs), (r, zd.outputs_in(r, outputs))):
        graph, keys = zd.to_dask(store, numpy_ops, ids)
        found.append((sorted(graph), keys))
"""


@pytest.mark.parametrize("hash_seed", ["1", "2"])
def test_keys_are_the_same_in_another_process(hash_seed):
    scope = {}
    exec(KEYS_OF_PIPELINES, scope)
    env = dict(os.environ, PYTHONHASHSEED=hash_seed,
               PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-c", KEYS_OF_PIPELINES + "print(found)"],
                          capture_output=True, text=True, check=True, env=env)
    assert done.stdout.strip() == repr(scope["found"])


# Each records on a store holding a source x; the last five fuse two ops.
DIFFERENT = [lambda s, x, v=v: s.add_op("map", [x], {"scale": v})
             for v in (1, 1.0, True, "1", 0.0, -0.0)] + [
    lambda s, x: s.add_op("abs", [x]),
    lambda s, x: s.add_op("abs", [s.add_source("x", {"seed": 1})]),
    lambda s, x: s.add_op("sub", [x, s.add_source("y")]),
    lambda s, x: s.add_op("sub", [s.add_source("y"), x]),
    lambda s, x: s.add_source("a", {"bc": "d"}),
    lambda s, x: s.add_source("ab", {"c": "d"}),
    lambda s, x: s.add_external(DESCRIPTOR, [x]),
    lambda s, x: s.add_external(dict(DESCRIPTOR, content_hash="g"), [x]),
    lambda s, x: s.add_external(DESCRIPTOR, [x], {"scale": 2.0}),
    lambda s, x: s.add_op("map", [s.add_op("neg", [x])], {"scale": 2}),
    lambda s, x: s.add_op("map", [s.add_op("neg", [x])], {"scale": 2.0}),
    lambda s, x: s.add_op("neg", [s.add_op("abs", [x])]),
    lambda s, x: s.add_op("sub", [s.add_op("abs", [x]), x]),
    lambda s, x: s.add_op("sub", [x, s.add_op("abs", [x])]),
]


def test_different_computations_never_share_a_key():
    recorded, reduced, kinds = set(), set(), []
    for build in DIFFERENT:
        s = zc.GraphStore()
        out = build(s, s.add_source("x"))
        recorded.add(zd.to_dask(s, numpy_ops, [out], prefix="p/")[1][0])
        r, _ = s.reduce(outputs=[out])
        reduced.add(zd.to_dask(r, numpy_ops, prefix="p/")[1][0])
        kinds.append(r.nodes()[r.outputs()[0]]["kind"])
    assert len(recorded) == len(reduced) == len(DIFFERENT) and kinds[-5:] == ["stage"] * 5


def test_equal_computations_share_keys_in_any_store():
    s, x, e, f = chain_store()
    t = zc.GraphStore()
    t.add_op("exp", [t.add_source("y")])  # moves the chain two ids up
    _, _, te, tf = chain_store(t)
    graph, keys = zd.to_dask(s, numpy_ops, [f, e])
    again, moved = zd.to_dask(t, numpy_ops, [tf, te])
    assert keys == moved and set(graph) == set(again) and keys[0].startswith("zembrik-")
    r, _ = s.reduce(outputs=[f])  # keeps the source as it was
    assert zd.to_dask(r, numpy_ops, zd.outputs_in(r, [x]))[1] == zd.to_dask(s, numpy_ops, [x])[1]


def test_graphs_merged_as_a_shared_scheduler_would_keep_their_values():
    lowered = {}
    for seed in (1, 2):
        s = zc.GraphStore()
        y = s.add_op("neg", [s.add_source("x", {"seed": seed})])
        lowered[seed] = zd.to_dask(s, numpy_ops, [y], prefix="p/")
    merged = {**lowered[1][0], **lowered[2][0]}
    for seed, (_, keys) in lowered.items():
        assert np.array_equal(dask.get(merged, keys)[0], -numpy_ops.source("", {"seed": seed}))


@pytest.mark.parametrize("bad", [True, 1.0, "1", None])
def test_outputs_that_are_no_ids_are_refused_before_lowering(bad):
    s, x, e, f = chain_store()
    with pytest.raises(TypeError, match=f"got {type(bad).__name__} "):
        zd.to_dask(s, {}, [x, bad])  # lowering x with no ops would raise LoweringError


def test_outputs_default_to_the_marks_and_an_unmarked_store_needs_outputs():
    s, x, e, f = chain_store()
    with pytest.raises(zd.LoweringError, match="no output marks"):
        zd.to_dask(s, numpy_ops)
    r, _ = s.reduce(outputs=[f, e])
    graph, keys = zd.to_dask(r, numpy_ops, prefix="z")
    assert keys == zd.to_dask(r, numpy_ops, r.outputs(), prefix="z")[1] and len(keys) == 2
    assert zd.to_dask(s, numpy_ops, []) == ({}, [])
    assert zd.to_dask(s, numpy_ops, [np.int64(e)])[1] == zd.to_dask(s, numpy_ops, [e])[1]
    assert zd.to_dask(s, numpy_ops, np.array([e, f]))[1] == zd.to_dask(s, numpy_ops, [e, f])[1]
    for missing in (99, -1):
        with pytest.raises(ValueError, match=f"no node with id {missing}"):
            zd.to_dask(s, numpy_ops, [missing])


def test_outputs_in_follows_the_node_map_and_refuses_values_no_task_yields():
    s, x, e, f = chain_store()
    d = s.nodes()[e]["inputs"][0]
    r, _ = s.reduce(outputs=[f, e, x])
    landed = zd.outputs_in(r, [f, e, x, d])  # d is e's representative: mul by 1.0 went
    assert landed == [r.node_map()[f][0], r.node_map()[e][0], r.node_map()[x][0],
                      r.node_map()[e][0]]
    assert zd.outputs_in(r, np.array([f, e, x, d])) == landed
    with pytest.raises(ValueError, match="did not survive"):
        zd.outputs_in(s.reduce(outputs=[x])[0], [f])
    b = s.nodes()[s.nodes()[d]["inputs"][0]]["inputs"][0]  # neg, inside the stage
    with pytest.raises(ValueError, match="member 0 inside stage"):
        zd.outputs_in(r, [b])


def test_parameters_that_look_like_keys_stay_parameters():
    # Dask substitutes task-tuple arguments equal to a key by that key's value.
    s = zc.GraphStore()
    x = s.add_source("z1", {"size": 4, "seed": 1})
    (x_key,) = zd.to_dask(s, numpy_ops, [x])[1]
    y = s.add_op("map", [x], {"scale": 2.0, "note": x_key})
    graph, keys = zd.to_dask(s, numpy_ops, [y])
    assert x_key in graph
    (value,) = dask.get(graph, keys)
    assert np.array_equal(value, numpy_ops.source("", {"size": 4, "seed": 1}) * 2.0)


def test_every_task_is_built_from_module_level_functions_and_pickles():
    s, x, e, f = chain_store()
    for store in (s, s.reduce(outputs=[f])[0], s.reduce(maximal_fusion=True, outputs=[f])[0]):
        outputs = [f] if store is s else None
        graph, keys = zd.to_dask(store, numpy_ops, outputs)
        for task in graph.values():
            assert task[0].func.__module__ == "zembrik_dask.lowering"
            assert all(k in graph for k in task[1:])
        again = pickle.loads(pickle.dumps(graph))
        assert same_values(dask.get(again, keys)[0], expected_chain()[1], zero_sign_free=False)


def test_a_failing_task_names_its_node():
    s = zc.GraphStore()
    x = s.add_source("x", {"size": 3})
    y = s.add_op("neg", [x, x])  # numpy_ops' neg takes one input
    r, _ = s.reduce(outputs=[y])
    with pytest.raises(ValueError, match="takes one input") as caught:
        run(r, numpy_ops)
    assert f"while computing stage member 0 (op 'neg') of node {r.outputs()[0]}" in \
        caught.value.__notes__


# -- the ops protocol -------------------------------------------------------


class Counting:
    """An ops object whose source counts its calls, to show nothing ran."""

    def __init__(self, **entries):
        self.calls = 0
        for name, value in entries.items():
            setattr(self, name, value)

    def source(self, name, params):
        self.calls += 1
        return numpy_ops.source(name, params)


def test_a_missing_entry_fails_at_lowering_naming_the_node():
    s, x, e, f = chain_store()
    ops = Counting(ops=numpy_ops.ops)
    with pytest.raises(zd.LoweringError, match=rf"node {f} \(reduction 'sum'\).*'reductions'"):
        zd.to_dask(s, ops, [f])
    assert ops.calls == 0
    with pytest.raises(zd.LoweringError, match=r"node 0 \(source 'x'\): ops has no 'source'"):
        zd.to_dask(s, {"ops": numpy_ops.ops}, [e])
    no_abs = {k: v for k, v in numpy_ops.ops.items() if k != "abs"}
    with pytest.raises(zd.LoweringError, match=r"node 2 \(op 'abs'\): ops has no 'ops\['abs'\]'"):
        zd.to_dask(s, Counting(ops=no_abs), [e])
    r, _ = s.reduce(outputs=[e])
    with pytest.raises(zd.LoweringError, match=r"node 1 \(stage member 1: op 'abs'\)"):
        zd.to_dask(r, Counting(ops=no_abs))


def test_only_lowered_nodes_need_entries():
    s, x, e, f = chain_store()
    s.add_op("frobnicate", [x])
    s.add_join([x, x])
    graph, values = run(s, Counting(ops=numpy_ops.ops), [e])
    assert len(graph) == 5
    assert same_values(values[0], expected_chain()[0], zero_sign_free=False)


def test_boundary_entries_are_called_with_their_own_arguments():
    s = zc.GraphStore()
    x = s.add_source("x", {"size": 2})
    m = s.add_external(DESCRIPTOR, [x], {"batch": 8})
    ex = s.add_exchange([m], {"scheme": "hash"})
    j = s.add_join([ex, x], {"how": "inner"})
    seen = {}
    ops = types.SimpleNamespace(
        source=lambda name, params: ("source", name, params),
        external=lambda d, p, *inputs: ("external", d["content_hash"], p, inputs),
        exchange=lambda p, *inputs: ("exchange", p, inputs),
        join=lambda p, left, right: seen.setdefault("join", ("join", p, left, right)))
    run(s, ops, [j])
    src = ("source", "x", {"size": 2})
    assert seen["join"] == ("join", {"how": "inner"},
                            ("exchange", {"scheme": "hash"},
                             (("external", "h", {"batch": 8}, (src,)),)), src)


def test_entries_of_the_wrong_type_are_reported():
    s, x, e, f = chain_store()
    with pytest.raises(zd.LoweringError, match="'ops' is list, not a mapping"):
        zd.to_dask(s, {"source": numpy_ops.source, "ops": [numpy_ops.neg]}, [e])
    with pytest.raises(zd.LoweringError, match="'source' is str, not callable"):
        zd.to_dask(s, {"source": "numpy"}, [x])


def test_importing_the_package_imports_neither_dask_nor_numpy():
    code = ("import sys, zembrik_core, zembrik_dask\n"
            "s = zembrik_core.GraphStore()\n"
            "x = s.add_source('x')\n"
            "graph, keys = zembrik_dask.to_dask(s, {'source': print}, [x])\n"
            "assert len(graph) == 1, graph\n"
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'numpy')))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True, env=os.environ.copy())
    assert done.stdout.strip() == "[]"


# -- numpy_ops --------------------------------------------------------------


ZEROS = np.array([0.0, -0.0, 0.0, -0.0, 1.0, np.nan])
ZEROS_T = np.array([0.0, 0.0, -0.0, -0.0, -1.0, 2.0])


@pytest.mark.parametrize("name", ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"])
def test_commutative_ops_commute_to_the_bit(name):
    fn = numpy_ops.ops[name]
    assert same_values(fn({}, ZEROS, ZEROS_T), fn({}, ZEROS_T, ZEROS), zero_sign_free=False)


def test_maximum_and_minimum_order_signed_zeros():
    assert np.signbit(numpy_ops.maximum({}, ZEROS, ZEROS_T)[:4]).tolist() == [
        False, False, False, True]
    assert np.signbit(numpy_ops.minimum({}, ZEROS, ZEROS_T)[:4]).tolist() == [
        False, True, True, True]


def test_scalar_forms_and_identities():
    x = np.array([-0.0, 0.0, 2.0, -3.5, np.inf, np.nan])
    for side in "lr":
        assert same_values(numpy_ops.mul({"scalar": 1.0, "side": side}, x), x, False)
        added = numpy_ops.add({"scalar": 0.0, "side": side}, x)
        assert same_values(added, x) and not same_values(added, x, False)  # -0.0 + 0.0 = 0.0
    assert numpy_ops.sub({"scalar": 1.0, "side": "r"}, x)[2] == 1.0
    assert numpy_ops.sub({"scalar": 1.0, "side": "l"}, x)[2] == -1.0
    assert numpy_ops.sub({"scalar": 1.0}, x)[2] == 1.0
    with pytest.raises(ValueError, match="'side'"):
        numpy_ops.add({"scalar": 1.0, "side": "both"}, x)
    with pytest.raises(ValueError, match="missing parameter 'scalar'"):
        numpy_ops.mul({}, x)


def test_sources_reductions_and_boundaries():
    a = numpy_ops.source("a", {"seed": 5, "size": 4})
    assert np.array_equal(a, numpy_ops.source("b", {"seed": 5, "size": 4}))
    assert not np.array_equal(a, numpy_ops.source("a", {"seed": 6, "size": 4}))
    assert numpy_ops.source("a", {"fill": -0.0, "size": 3}).tolist() == [-0.0] * 3
    assert numpy_ops.reductions["sum"]({"axis": 0}, a).tolist() == [a.sum()]
    assert numpy_ops.join({}, a, a[:1]).tolist() == a.tolist() + a[:1].tolist()
    assert numpy_ops.exchange({}, a) is a
    assert np.array_equal(numpy_ops.map_({"scale": 2.0, "offset": 1.0}, a), a * 2.0 + 1.0)
    fed = numpy_ops.with_arrays({"a": a})
    assert fed["source"]("a", {}) is a
    with pytest.raises(KeyError, match="no array named 'b'"):
        fed["source"]("b", {})


# -- soundness by execution -------------------------------------------------


def expect_fewer(store, outputs):
    """True when an Op that is no output has one use, by an Op: fusing the
    two (or merging that use away) must remove at least one task."""
    nodes = store.nodes()
    reach, stack = set(), list(outputs)
    while stack:
        i = stack.pop()
        if i not in reach:
            reach.add(i)
            stack.extend(nodes[i]["inputs"])
    uses = {i: [] for i in reach}
    for i in reach:
        for x in nodes[i]["inputs"]:
            uses[x].append(i)
    return any(nodes[i]["kind"] == "op" and i not in outputs and len(uses[i]) == 1
               and nodes[uses[i][0]]["kind"] == "op" for i in reach)


def check_pipeline(seed, add_zero):
    s = zc.GraphStore()
    outputs, arrays = random_pipeline(s, seed, add_zero)
    ops = numpy_ops.with_arrays(arrays)
    graph, recorded = run(s, ops, outputs)
    sizes = {}
    for maximal in (False, True):
        r, report = s.reduce(maximal_fusion=maximal, outputs=outputs)
        assert len(graph) == report["reachable_nodes"]
        # outputs_in reads each stage's last member off the node map.
        deepest = {}
        for place in r.node_map():
            if place is not None and place[1] is not None:
                deepest[place[0]] = max(deepest.get(place[0], 0), place[1])
        assert deepest == {n["id"]: n["n_members"] - 1 for n in r.nodes() if n["kind"] == "stage"}
        by_mode = {}
        for stages in ("whole", "split", "auto"):
            reduced_graph, values = run(r, ops, zd.outputs_in(r, outputs), stages=stages)
            if stages == "whole":
                assert len(reduced_graph) == report["reduced_nodes"] <= len(graph)
                sizes[maximal] = len(reduced_graph)
            else:
                # Parts of stages: never more tasks than the recorded graph.
                assert report["reduced_nodes"] <= len(reduced_graph) <= len(graph)
            for k, (want, got) in enumerate(zip(recorded, values)):
                assert same_values(want, got, zero_sign_free=add_zero), (
                    f"seed {seed}, maximal_fusion={maximal}, stages={stages}, output {k}: "
                    f"{want} != {got}")
            # The modes run the same members on the same values: equal to the bit.
            by_mode[stages] = values
            assert all(same_values(a, b, zero_sign_free=False)
                       for a, b in zip(by_mode["whole"], values))
    assert sizes[True] <= sizes[False]
    if expect_fewer(s, outputs):
        assert sizes[False] < len(graph), f"seed {seed}: nothing fused"
    return len(graph) > sizes[False]


def test_random_pipelines_compute_the_same_recorded_and_reduced():
    shrunk = sum(check_pipeline(seed, add_zero=True) for seed in range(RANDOM_PIPELINES))
    # The generator is made to give reductions work; most pipelines shrink.
    assert shrunk > RANDOM_PIPELINES * 0.8


def test_without_add_zero_even_the_signs_of_zeros_agree():
    for seed in range(STRICT_PIPELINES):
        check_pipeline(10_000 + seed, add_zero=False)


def test_removing_add_zero_can_flip_only_a_zero_sign():
    s = zc.GraphStore()
    x = s.add_source("x", {"fill": -0.0, "size": 3})
    y = s.add_op("add", [x], {"scalar": 0.0, "side": "l"})
    _, (recorded,) = run(s, numpy_ops, [y])
    r, _ = s.reduce(outputs=[y])
    reduced_graph, (reduced,) = run(r, numpy_ops)
    assert len(reduced_graph) == 1  # the add is gone: the output is the source
    assert recorded.tolist() == [0.0] * 3 and np.signbit(reduced).all()
    assert same_values(recorded, reduced) and not same_values(recorded, reduced, False)


def test_commuted_duplicates_and_identities_leave_fewer_tasks():
    s = zc.GraphStore()
    a = s.add_source("a", {"seed": 1})
    b = s.add_source("b", {"seed": 2})
    ab, ba = s.add_op("maximum", [a, b]), s.add_op("maximum", [b, a])
    one = s.add_op("mul", [s.add_op("add", [ab], {"scalar": 0.0, "side": "r"})],
                   {"scalar": 1.0, "side": "l"})
    top = s.add_join([one, ba])
    graph, (want,) = run(s, numpy_ops, [top])
    r, report = s.reduce(outputs=[top])
    reduced_graph, (got,) = run(r, numpy_ops)
    assert (len(graph), len(reduced_graph)) == (7, 4)  # a, b, one maximum, the join
    assert same_values(want, got)


def test_maximal_fusion_puts_a_fan_out_in_one_task():
    s = zc.GraphStore()
    x = s.add_source("x", {"seed": 4})
    a = s.add_op("exp", [x])
    top = s.add_op("sub", [s.add_op("neg", [a]), s.add_op("abs", [a])])
    single, (v1,) = run(s.reduce(outputs=[top])[0], numpy_ops)
    maximal, (v2,) = run(s.reduce(maximal_fusion=True, outputs=[top])[0], numpy_ops)
    assert (len(single), len(maximal)) == (3, 2)
    e = np.exp(numpy_ops.source("x", {"seed": 4}))
    assert same_values(v1, -e - np.abs(e), False) and same_values(v2, v1, False)


# -- schedulers -------------------------------------------------------------


def scheduler_cases(count):
    cases = []
    for seed in range(count):
        s = zc.GraphStore()
        outputs, arrays = random_pipeline(s, 20_000 + seed)
        ops = numpy_ops.with_arrays(arrays)
        r, _ = s.reduce(maximal_fusion=seed % 2 == 1, outputs=outputs)
        prefix = f"case{seed}-"  # the cases' ops differ and share a cluster
        cases.append((zd.to_dask(s, ops, outputs, prefix=prefix),
                      zd.to_dask(r, ops, zd.outputs_in(r, outputs), prefix=prefix)))
    return cases


def test_sync_threaded_and_pickled_graphs_agree():
    for recorded, reduced in scheduler_cases(30):
        for graph, keys in (recorded, reduced):
            want = dask.get(graph, keys)
            for got in (dask.threaded.get(graph, keys, num_workers=4),
                        dask.get(pickle.loads(pickle.dumps(graph)), keys)):
                assert all(same_values(a, b, False) for a, b in zip(want, got))


def test_a_process_cluster_gives_the_same_values():
    distributed = pytest.importorskip("distributed")
    cases = scheduler_cases(CLUSTER_PIPELINES)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  worker_dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert all(w.startswith("tcp://127.0.0.1:") for w in client.scheduler_info()["workers"])
        for recorded, reduced in cases:
            for graph, keys in (recorded, reduced):
                want = dask.get(graph, keys)
                got = client.get(graph, keys)
                assert all(same_values(a, b, False) for a, b in zip(want, got))


def test_the_example_runs_and_reports_its_figures():
    pytest.importorskip("distributed")
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "run_on_dask.py")],
                          capture_output=True, text=True, timeout=120, env=os.environ.copy())
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    tasks = dict(line.split(": ", 1) for line in lines if line.startswith("tasks "))
    assert int(tasks["tasks recorded"]) > int(tasks["tasks reduced"]) > 0
    assert "outputs agree: True" in lines
