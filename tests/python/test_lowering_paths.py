"""The two paths of zembrik_dask.to_dask: the one a GraphStore takes, built
from its records, and the general one over nodes() that any store view
takes. They must give the same graph: keys, task tuples, partials and every
bound argument, and the same errors."""

import gc
import random
import struct
from collections.abc import Mapping
from functools import partial

import pytest

import zembrik_core as zc
from zembrik_dask import LoweringError, lowering, to_dask
from zembrik_dask.protocol import Resolver

NAMES = ("map", "neg", "a'b", 'say "hi"', "tab\there", "é", "日本", "line\nbreak", "")
INTS = (0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**40, -(2**62), 2**63 - 1, -(2**63))
FLOATS = (0.0, -0.0, 1.5, float("inf"), float("-inf"), float("nan"),
          struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_0000_0ABC))[0],
          struct.unpack("<d", struct.pack("<Q", 0xFFF8_0000_0000_0001))[0])


def run_any(params, *inputs):
    return None


class AnyName(Mapping):
    """An ops table that has every name."""

    def __getitem__(self, name):
        return run_any

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


OPS = {"source": run_any, "external": run_any, "exchange": run_any, "join": run_any,
       "ops": AnyName(), "reductions": AnyName()}


class View:
    """A store view that is not a GraphStore, so to_dask takes the general path."""

    def __init__(self, store):
        self.store = store

    def nodes(self):
        return self.store.nodes()

    def outputs(self):
        return self.store.outputs()


def canon(x):
    """A structure equal for equal graphs, telling 1, 1.0 and True apart and
    every NaN payload."""
    if isinstance(x, partial):
        return ("partial", x.func, canon(x.args), canon(x.keywords))
    if isinstance(x, tuple):
        return ("tuple", *map(canon, x))
    if isinstance(x, list):
        return ["list", *map(canon, x)]
    if isinstance(x, dict):
        return ("dict", *((k, canon(v)) for k, v in x.items()))
    if isinstance(x, float):
        return ("float", struct.pack("<d", x))
    return (type(x).__name__, x)


def random_params(rng):
    params = {}
    for _ in range(rng.choice((0, 0, 1, 2, 3))):
        kind = rng.randrange(4)
        value = (rng.choice(INTS) if kind == 0 else rng.choice(FLOATS) if kind == 1
                 else rng.random() < 0.5 if kind == 2 else rng.choice(NAMES))
        params[rng.choice(("k", "scale", "ключ", "z", ""))] = value
    return params


def random_store(seed):
    rng = random.Random(seed)
    store = zc.GraphStore()
    ids = [store.add_source(rng.choice(NAMES), random_params(rng))]
    for _ in range(rng.randint(5, 60)):
        pick = lambda: ids[-1 - min(len(ids) - 1, int(rng.expovariate(0.5)))]  # noqa: E731
        kind = rng.random()
        if kind < 0.55:
            inputs = [pick() for _ in range(rng.choice((1, 1, 1, 2)))]
            ids.append(store.add_op(rng.choice(NAMES), inputs, random_params(rng)))
        elif kind < 0.65:
            ids.append(store.add_reduction(rng.choice(NAMES), [pick()], random_params(rng)))
        elif kind < 0.75:
            descriptor = dict(kind="model", content_hash=rng.choice(NAMES), framework="f",
                              version="1", io_schema="s")
            if rng.random() < 0.5:
                descriptor["preprocessing_ref"] = rng.choice(NAMES)
            ids.append(store.add_external(descriptor, [pick()], random_params(rng)))
        elif kind < 0.85:
            ids.append(store.add_exchange([pick()], random_params(rng)))
        elif kind < 0.92:
            ids.append(store.add_join([pick(), pick()], random_params(rng)))
        else:
            ids.append(store.add_source(rng.choice(NAMES), random_params(rng)))
    outputs = [ids[-1]] + [rng.choice(ids) for _ in range(rng.randint(0, 3))]
    return store, outputs


def both_paths(store, outputs, prefix=None, ops=OPS, stages="auto"):
    native = to_dask(store, ops, outputs, prefix=prefix, stages=stages)
    general = to_dask(View(store), ops, outputs, prefix=prefix, stages=stages)
    return native, general


def stores_of(seed):
    """The recorded store, its reductions in both modes and a store read back
    from a blob, each with the outputs that compute the same values."""
    store, outputs = random_store(seed)
    yield store, outputs
    for maximal in (False, True):
        small, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
        yield small, small.outputs()
    yield zc.GraphStore.deserialize(store.serialize(outputs=outputs)), None


@pytest.mark.parametrize("stages", ["auto", "whole", "split"])
@pytest.mark.parametrize("seed", range(60))
def test_both_paths_build_the_same_graph(seed, stages):
    for store, outputs in stores_of(seed):
        (graph, keys), (expected, expected_keys) = both_paths(store, outputs, stages=stages)
        assert keys == expected_keys
        assert list(graph) == list(expected)
        assert canon(graph) == canon(expected)


@pytest.mark.parametrize("prefix", ["", "p-", "ключ/", "\ud800"])
def test_any_prefix_gives_the_same_keys(prefix):
    store, outputs = random_store(7)
    (graph, keys), (expected, expected_keys) = both_paths(store, outputs, prefix=prefix)
    assert keys == expected_keys and list(graph) == list(expected)
    assert all(key.startswith(prefix) for key in keys)


def stage_store():
    store = zc.GraphStore()
    x = store.add_source("x")
    y = store.add_reduction("sum", [store.add_op("neg", [store.add_op("map", [x])])])
    return store, [store.add_join([y, x])]


@pytest.mark.parametrize("missing", ["source", "ops", "reductions", "join"])
@pytest.mark.parametrize("reduce", [False, True])
def test_a_missing_entry_fails_the_same_way_on_both_paths(missing, reduce):
    store, outputs = stage_store()
    if reduce:
        store, _ = store.reduce(outputs=outputs)
        outputs = store.outputs()
    ops = dict(OPS)
    del ops[missing]
    errors = []
    for view in (store, View(store)):
        with pytest.raises(LoweringError) as caught:
            to_dask(view, ops, outputs)
        errors.append(str(caught.value))
    assert errors[0] == errors[1]


@pytest.mark.parametrize("ops", [dict(OPS, ops={"map": run_any}), dict(OPS, ops=[run_any]),
                                 dict(OPS, source=1), dict(OPS, ops={"map": 3, "neg": run_any})])
def test_unusable_entries_fail_the_same_way_on_both_paths(ops):
    store, outputs = stage_store()
    small, _ = store.reduce(outputs=outputs)
    for view in (store, small):
        outs = outputs if view is store else small.outputs()
        errors = []
        for path in (view, View(view)):
            with pytest.raises(LoweringError) as caught:
                to_dask(path, ops, outs)
            errors.append(str(caught.value))
        assert errors[0] == errors[1]


def test_an_id_out_of_range_is_refused_as_before():
    store, _ = stage_store()
    with pytest.raises(ValueError, match="^no node with id 99$"):
        to_dask(store, OPS, [0, 99])
    with pytest.raises(ValueError, match="^no node with id -1$"):
        to_dask(store, OPS, [-1])


def test_the_graph_is_in_the_collectors_sight_once_returned():
    store, outputs = stage_store()
    small, _ = store.reduce(outputs=outputs)
    graph, keys = to_dask(small, OPS, small.outputs())
    assert gc.is_tracked(graph) and gc.is_tracked(keys)
    for task in graph.values():
        assert gc.is_tracked(task[0]) and gc.is_tracked(task[0].args)
        for member in (task[0].args[1] if task[0].func is lowering._run_stage else ()):
            assert gc.is_tracked(member[0]) and gc.is_tracked(member)
    # A caller's cycle through the graph is still collected.
    graph["self"] = (partial(run_any, graph),)
    del graph, keys
    assert gc.collect() > 0


def test_the_general_path_is_the_reference_for_an_unusual_call():
    # A resolver that is consulted for each name once, on both paths.
    store, outputs = stage_store()
    calls = []

    class Counting(Mapping):
        def __getitem__(self, name):
            calls.append(name)
            return run_any

        def __iter__(self):
            return iter(())

        def __len__(self):
            return 0

    ops = dict(OPS, ops=Counting())
    to_dask(store, ops, outputs)
    native_calls = list(calls)
    calls.clear()
    lowering._lower_nodes(store.nodes(), outputs, "zembrik-", Resolver(ops), "auto")
    assert native_calls == calls == ["map", "neg"]


def branched_store(seed):
    """Chains over many sources meeting in random fan-ins, some values read
    twice, so that reduced stages are wide enough to be split."""
    rng = random.Random(seed)
    store = zc.GraphStore()
    values = [store.add_source(f"s{k}", {"k": k}) for k in range(rng.randint(3, 300))]
    values = [store.add_op("neg", [store.add_op("map", [x])]) for x in values]
    while len(values) > 1:
        k = rng.randint(2, min(4, len(values)))
        taken, values = values[:k], values[k:]
        joined = store.add_op("maximum", taken[:2])
        for other in taken[2:]:
            joined = store.add_op("add", [joined, other])
        if rng.random() < 0.2:
            joined = store.add_op("sub", [joined, store.add_op("abs", [joined])])
        values.append(joined)
    return store, values


@pytest.mark.parametrize("stages", ["auto", "split", "whole"])
@pytest.mark.parametrize("seed", range(20))
def test_both_paths_split_branched_stages_alike(seed, stages):
    store, outputs = branched_store(seed)
    for maximal in (False, True):
        small, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
        (graph, keys), (expected, expected_keys) = both_paths(small, small.outputs(),
                                                              stages=stages)
        assert keys == expected_keys
        assert list(graph) == list(expected)
        assert canon(graph) == canon(expected)
        if stages == "whole":
            assert len(graph) == small.node_count()
