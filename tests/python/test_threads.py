"""Many threads recording into one store."""

import threading

import zembrik_core as zc


def test_threads_recording_overlapping_keys_get_one_id_per_key():
    store = zc.GraphStore()
    root = store.add_source("root")
    threads, keys = 8, 600
    results = [None] * threads
    barrier = threading.Barrier(threads)

    def record(t):
        barrier.wait()
        ids = {}
        for step in range(keys):
            k = (step * 7 + t * 131) % keys  # each thread walks the keys in its own order
            ids[k] = store.add_op("op", [root], {"k": k, "half": k // 2})
            # A second layer over earlier ids exercises input checks under contention.
            store.add_op("pair", [ids[k], root], {"k": k})
        results[t] = ids

    workers = [threading.Thread(target=record, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()

    assert all(r == results[0] for r in results)
    assert store.node_count() == 1 + 2 * keys
    nodes = store.nodes()
    assert [n["id"] for n in nodes] == list(range(store.node_count()))
    first_layer = {n["params"]["k"]: n["id"] for n in nodes if n["name"] == "op"}
    assert first_layer == results[0]
    assert all(n["inputs"][0] < n["id"] for n in nodes if n["inputs"])
