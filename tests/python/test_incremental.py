"""IncrementalReducer: stepping while recording, finalize, errors, threads."""

import itertools
import threading

import pytest
from hypothesis import given, settings, strategies as st

import zembrik_core as zc

ADD_ZERO = {"scalar": 0.0, "side": "r"}

SIGNATURES = {
    "step": "($self, store)",
    "watermark": "($self)",
    "total_work": "($self)",
    "canonical_count": "($self)",
    "finalize": "($self, store, *, maximal_fusion=False, outputs=None)",
}


def counts(reducer):
    return reducer.watermark(), reducer.total_work(), reducer.canonical_count()


@pytest.mark.parametrize("method, signature", SIGNATURES.items())
def test_text_signatures(method, signature):
    assert getattr(zc.IncrementalReducer, method).__text_signature__ == signature


def test_steps_consume_only_new_nodes(store):
    r = zc.IncrementalReducer()
    assert counts(r) == (0, 0, 0)
    assert r.step(store) == 0
    a = store.add_source("a")
    b = store.add_source("b")
    assert r.step(store) == 2
    assert r.step(store=store) == 0
    x = store.add_op("f", [a])
    store.add_op("g", [b])
    store.add_op("h", [x, b])
    assert r.step(store) == 3
    assert counts(r) == (5, 5, 5)


def test_rules_fold_while_stepping(store):
    r = zc.IncrementalReducer()
    x = store.add_source("x")
    y = store.add_op("add", [x], ADD_ZERO)  # stands for x
    store.add_op("mul", [x, y])
    store.add_op("mul", [y, x])  # both become mul(x, x)
    store.add_op("sub", [x, y])
    store.add_op("sub", [y, x])  # sub is not commutative, but y is x: same node
    assert r.step(store) == 6
    assert r.canonical_count() == 3


def test_finalize_like_reduce(store):
    a, b = store.add_source("a"), store.add_source("b")
    store.add_op("add", [a, b])
    last = store.add_op("add", [b, a])
    r = zc.IncrementalReducer()
    reduced, report = r.finalize(store, outputs=[last])
    assert set(report) == {"input_nodes", "reachable_nodes", "canonical_nodes", "stages",
                           "reduced_nodes", "boundary_nodes"}
    assert report["input_nodes"] == 3 and report["reachable_nodes"] == 3
    assert reduced.nodes()[2]["inputs"] == [0, 1]  # the first orientation survives
    assert store.reduce(outputs=[last])[0].nodes()[2]["inputs"] == [1, 0]
    assert len(reduced.node_map()) == store.node_count()
    assert reduced.outputs() == [reduced.node_map()[last][0]]
    again, report_again = r.finalize(store, outputs=[last])
    assert again.serialize() == reduced.serialize() and report_again == report
    assert counts(r) == (4, 4, 3)


def test_finalize_without_outputs_uses_the_marks():
    source = zc.GraphStore()
    s = source.add_source("s")
    source.add_op("f", [s])
    marked = source.cone(outputs=[1])  # a store whose node 1 is marked
    r = zc.IncrementalReducer()
    reduced, report = r.finalize(marked)
    assert report["reachable_nodes"] == 2
    assert reduced.outputs() == [1]
    empty, report = zc.IncrementalReducer().finalize(source)
    assert empty.node_count() == 0 and report["input_nodes"] == 2


def test_errors(store):
    r = zc.IncrementalReducer()
    with pytest.raises(TypeError) as info:
        r.step(42)
    assert info.value.__notes__ == ["while processing 'store'"]
    store.add_source("s")
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        r.finalize(store, True)
    with pytest.raises(TypeError) as info:
        r.finalize(store, maximal_fusion=1)
    assert info.value.__notes__ == ["while processing 'maximal_fusion'"]
    with pytest.raises(ValueError, match="^no node with id 1$"):
        r.finalize(store, outputs=[store.node_count()])
    assert r.watermark() == 0  # outputs are checked before the reducer is touched
    with pytest.raises(TypeError):
        r.finalize(store, outputs="0")


def test_a_reducer_refuses_any_store_but_the_first_it_stepped():
    first, other = zc.GraphStore(), zc.GraphStore()
    for i in range(3):
        first.add_source(f"s{i}")
    other.add_source("t")
    r = zc.IncrementalReducer()
    r.step(first)
    before = (r.watermark(), r.total_work(), r.canonical_count())
    for call in (lambda: r.step(other), lambda: r.finalize(other),
                 lambda: r.finalize(other, outputs=[0])):
        with pytest.raises(ValueError, match="not the GraphStore this reducer first stepped"):
            call()
        assert (r.watermark(), r.total_work(), r.canonical_count()) == before
    first.add_source("s3")
    assert r.step(first) == 1
    reduced, report = r.finalize(first, outputs=[3])
    assert report["input_nodes"] == 4


def test_a_store_made_where_the_followed_one_lived_is_still_another_store():
    r = zc.IncrementalReducer()
    store = zc.GraphStore()
    store.add_source("a")
    r.step(store)
    del store
    # Freed objects' memory is reused at once, so this one very likely sits
    # at the old address; identity must not hang on that.
    for _ in range(20):
        again = zc.GraphStore()
        again.add_source("a")
        with pytest.raises(ValueError):
            r.step(again)


def test_a_reducer_binds_only_once_a_step_succeeds():
    r = zc.IncrementalReducer()
    empty, other = zc.GraphStore(), zc.GraphStore()
    with pytest.raises(ValueError, match="no node with id"):
        r.finalize(empty, outputs=[0])  # refused before the reducer is touched
    other.add_source("x")
    assert r.step(other) == 1  # so the reducer still follows no store until now
    with pytest.raises(ValueError, match="first stepped"):
        r.step(empty)


@st.composite
def graphs(draw):
    """Random recordings: (kind, name, inputs, params) tuples over earlier ids."""
    count = draw(st.integers(1, 40))
    steps = []
    for i in range(count):
        if i < 2 or draw(st.integers(0, 5)) == 0:
            steps.append(("source", f"s{draw(st.integers(0, 3))}", [], None))
            continue
        name = draw(st.sampled_from(["add", "mul", "sub", "neg", "max"]))
        arity = draw(st.integers(1, 2))
        inputs = [draw(st.integers(0, i - 1)) for _ in range(arity)]
        params = draw(st.sampled_from([None, ADD_ZERO, {"scalar": 1.0, "side": "l"}, {"k": 1}]))
        steps.append(("op", name, inputs, params))
    return steps


def record(steps, store=None, after_each=lambda: None):
    store = store if store is not None else zc.GraphStore()
    ids = []
    for kind, name, inputs, params in steps:
        inputs = [ids[x] for x in inputs]
        ids.append(store.add_source(name) if kind == "source" else store.add_op(name, inputs, params))
        after_each()
    return store


@settings(max_examples=40, deadline=None)
@given(graphs(), st.lists(st.integers(1, 10), min_size=1, max_size=8), st.booleans())
def test_any_batching_gives_the_same_result(steps, batches, maximal):
    whole = record(steps)
    outputs = [whole.node_count() - 1]
    one_go = zc.IncrementalReducer()
    expected, expected_report = one_go.finalize(whole, maximal_fusion=maximal, outputs=outputs)

    growing = zc.GraphStore()
    stepped = zc.IncrementalReducer()
    sizes = itertools.cycle(batches)
    pending = [next(sizes)]

    def maybe_step():
        pending[0] -= 1
        if pending[0] == 0:
            stepped.step(growing)
            pending[0] = next(sizes)

    record(steps, growing, maybe_step)
    got, report = stepped.finalize(growing, maximal_fusion=maximal, outputs=outputs)
    assert growing.node_count() == whole.node_count()
    assert stepped.total_work() == stepped.watermark() == growing.node_count()
    assert got.serialize() == expected.serialize()
    assert got.node_map() == expected.node_map()
    assert report == expected_report


def test_threads_step_one_reducer_while_another_records():
    store = zc.GraphStore()
    reducer = zc.IncrementalReducer()
    done = threading.Event()
    consumed = []

    def recorder():
        prev = store.add_source("src")
        for i in range(3000):
            prev = store.add_op("map", [prev], {"k": i % 5})
            if i % 7 == 0:
                store.add_op("add", [prev, 0])
                store.add_op("add", [0, prev])
        done.set()

    def stepper():
        while not done.is_set():
            consumed.append(reducer.step(store))
        consumed.append(reducer.step(store))

    threads = [threading.Thread(target=recorder)] + [threading.Thread(target=stepper) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    consumed.append(reducer.step(store))
    assert sum(consumed) == store.node_count()
    assert reducer.total_work() == reducer.watermark() == store.node_count()
