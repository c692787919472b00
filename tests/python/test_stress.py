"""One store under load: writers record the same keys in different orders
while readers take nodes(), serialize(), to_dot(), reduce() and cone(), and an
IncrementalReducer steps through it. Every thread does a fixed amount of work:
readers wait for the store to pass each of a few sizes before a read, and all
threads yield between calls, so the reads spread over the recording.

Whatever a reader saw mid-way must be what the finished store held at that
size, since ids are dense and never change; and every reduction, including
the reducer's, must equal that of the same keys recorded by one thread."""

import threading
import time

import zembrik_core as zc

CHAINS, WRITERS, READS = 60, 4, 20


def key_recipes():
    """(method, name, input recipe indices, params) per key; each chain's keys
    need only earlier keys of that chain, and chains share their sources."""
    recipes, ends = [], []

    def key(method, name, inputs, params=None):
        recipes.append((method, name, inputs, params))
        return len(recipes) - 1

    for c in range(CHAINS):
        src = key("source", f"s{c % 6}", [], {"part": c % 6})
        zero = key("op", "add", [src], {"scalar": 0.0, "side": "r"})  # an identity
        scaled = key("op", "mul", [zero], {"scalar": float(c), "side": "l"})
        left = key("op", "add", [scaled, src])
        right = key("op", "add", [src, scaled])  # the same sum, swapped
        joined = key("join", "", [left, right], {"how": "inner"})
        ends.append(key("reduction", "sum", [key("op", "norm", [joined])], {"axis": c % 3}))
    chain_length = len(recipes) // CHAINS
    return recipes, ends, chain_length


RECIPES, ENDS, CHAIN_LENGTH = key_recipes()


def record(store, index, ids):
    method, name, inputs, params = RECIPES[index]
    inputs = [ids[i] for i in inputs]
    if method == "source":
        return store.add_source(name, params)
    if method == "join":
        return store.add_join(inputs, params)
    return getattr(store, f"add_{method}")(name, inputs, params)


def record_in_order(order):
    store, ids = zc.GraphStore(), {}
    for index in order:
        ids[index] = record(store, index, ids)
    return store, ids


def run_threads(bodies):
    errors = []
    barrier = threading.Barrier(len(bodies))

    def guarded(body):
        barrier.wait()
        try:
            body()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(body,)) for body in bodies]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def latest(store):
    """The newest id at this moment, or None for an empty store."""
    count = store.node_count()
    return count - 1 if count else None


def test_readers_and_a_reducer_alongside_writers():
    store, reducer = zc.GraphStore(), zc.IncrementalReducer()
    total = record_in_order(range(len(RECIPES)))[0].node_count()
    sizes = [total * (r + 1) // (READS + 1) for r in range(READS)]
    written = [dict() for _ in range(WRITERS)]
    seen = {"nodes": [], "blobs": [], "dots": [], "reduced": [], "cones": [], "steps": []}

    def writer(t):
        def body():
            for c in range(CHAINS):
                chain = (c * 7 + t * 13) % CHAINS  # every writer walks the chains its own way
                for index in range(chain * CHAIN_LENGTH, (chain + 1) * CHAIN_LENGTH):
                    written[t][index] = record(store, index, written[t])
                    time.sleep(0)  # lets the other threads in between any two calls
        return body

    def reader(kind, read):
        def body():
            for size in sizes:
                while store.node_count() < size:
                    time.sleep(0)
                seen[kind].append(read())
        return body

    def reduce_latest():
        k = latest(store)
        return None if k is None else (k, *store.reduce(outputs=[k]))

    def cone_latest():
        k = latest(store)
        return None if k is None else (k, store.cone(outputs=[k]))

    def step():
        reducer.step(store)
        return reducer.watermark(), reducer.total_work()

    run_threads([writer(t) for t in range(WRITERS)] + [
        reader("nodes", store.nodes), reader("blobs", store.serialize),
        reader("dots", store.to_dot), reader("reduced", reduce_latest),
        reader("cones", cone_latest), reader("steps", step)])

    # Every writer got the same id for each key; ids are dense.
    ids = written[0]
    assert all(w == ids for w in written)
    final = store.nodes()
    assert store.node_count() == len(set(ids.values())) == len(final)
    assert [n["id"] for n in final] == list(range(len(final)))
    for index, (method, name, inputs, params) in enumerate(RECIPES):
        node = final[ids[index]]
        assert (node["name"], node["params"]) == (name, params or {})
        assert node["inputs"] == [ids[i] for i in inputs]

    # One thread recording the keys in the order of their ids gives the same ids.
    single, single_ids = record_in_order(sorted(range(len(RECIPES)), key=ids.__getitem__))
    assert single_ids == ids and single.serialize() == store.serialize()

    # What readers saw mid-way is the finished store cut at that size.
    def prefix(count):
        return record_in_order(sorted((i for i in ids if ids[i] < count), key=ids.__getitem__))[0]

    for nodes in seen["nodes"]:
        assert nodes == final[:len(nodes)]
    for blob in seen["blobs"]:
        loaded = zc.GraphStore.deserialize(blob)
        assert loaded.nodes() == final[:loaded.node_count()]
    for dot in seen["dots"]:
        assert dot == prefix(dot.count("label=")).to_dot()
    for k, reduced, report in filter(None, seen["reduced"]):
        expected, expected_report = single.reduce(outputs=[k])
        assert reduced.serialize() == expected.serialize()
        assert {**report, "input_nodes": 0} == {**expected_report, "input_nodes": 0}
    for k, cut in filter(None, seen["cones"]):
        assert cut.serialize() == single.cone(outputs=[k]).serialize()

    # The reducer consumed each node once, however the steps fell.
    assert all(watermark == work for watermark, work in seen["steps"])
    watermarks = [watermark for watermark, _ in seen["steps"]]
    assert watermarks == sorted(watermarks)
    reducer.step(store)
    assert reducer.total_work() == reducer.watermark() == store.node_count()

    # Its result counts its canonical form, so it is compared with a reducer
    # fed the single-threaded store in one step.
    outputs = [ids[e] for e in ENDS]
    for reduced, expected in ((store.reduce(outputs=outputs), single.reduce(outputs=outputs)),
                              (reducer.finalize(store, outputs=outputs),
                               zc.IncrementalReducer().finalize(single, outputs=outputs))):
        assert reduced[0].serialize() == expected[0].serialize()
        assert reduced[1] == expected[1]


def test_the_reduction_does_not_depend_on_the_recording_order():
    """Counts, not bytes: which of two equal nodes survives follows the ids."""
    natural, natural_ids = record_in_order(range(len(RECIPES)))
    backwards, backwards_ids = record_in_order(
        i for c in reversed(range(CHAINS)) for i in range(c * CHAIN_LENGTH, (c + 1) * CHAIN_LENGTH))
    assert natural.serialize() != backwards.serialize()
    for fusion in (False, True):
        _, a = natural.reduce(outputs=[natural_ids[e] for e in ENDS], maximal_fusion=fusion)
        _, b = backwards.reduce(outputs=[backwards_ids[e] for e in ENDS], maximal_fusion=fusion)
        assert a == b
