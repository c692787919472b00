"""The nodes() view: key order, values, and independence from the store."""

import gc

import zembrik_core as zc

NODE_KEYS = ["id", "output", "inputs", "kind", "name", "params"]


def test_key_order_and_values(store, descriptor_fields):
    s = store.add_source("src", {"n": 3})
    o = store.add_op("map", [s, s], {"b": 2, "a": 1.5, "c": "x", "d": False})
    e = store.add_external({**descriptor_fields, "preprocessing_ref": "p"}, [o], {"batch": 8})
    x = store.add_exchange([e], {"scheme": "hash"})
    j = store.add_join([x, s])
    nodes = store.nodes()
    assert [list(n) for n in nodes] == [NODE_KEYS] * 2 + [NODE_KEYS + ["descriptor"]] + [NODE_KEYS] * 2
    assert nodes[0] == {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "src",
                        "params": {"n": 3}}
    assert nodes[1]["inputs"] == [s, s]
    assert list(nodes[1]["params"].items()) == [("a", 1.5), ("b", 2), ("c", "x"), ("d", False)]
    assert nodes[2]["name"] == "" and nodes[2]["descriptor"]["preprocessing_ref"] == "p"
    assert nodes[3] == {"id": x, "output": False, "inputs": [e], "kind": "exchange", "name": "",
                        "params": {"scheme": "hash"}}
    assert nodes[4]["inputs"] == [x, s] and nodes[4]["params"] == {}
    assert [n["id"] for n in nodes] == list(range(5))
    assert type(nodes[0]["id"]) is int


def test_view_is_a_fresh_copy(store):
    store.add_source("s", {"k": 1})
    first = store.nodes()
    first[0]["params"]["k"] = 99
    first[0]["inputs"].append(5)
    store.add_op("m", [0])
    assert store.nodes()[0]["params"] == {"k": 1}
    assert store.nodes()[0]["inputs"] == []
    assert len(first) == 1 and len(store.nodes()) == 2


def test_empty_store(store):
    assert store.nodes() == []
    assert store.node_count() == 0
    assert store.outputs() == []


def test_unicode_round_trips(store):
    name = "naïve ✓ \U0001F600 \x00 tab\t"
    store.add_source(name, {"ключ": "значение\u0301", "": ""})
    node = store.nodes()[0]
    assert node["name"] == name
    assert node["params"] == {"ключ": "значение\u0301", "": ""}


def test_every_container_of_the_result_is_collectable(descriptor_fields):
    # The build hides its containers from the cyclic collector; all must be
    # back in its sight afterwards, or a cycle a caller makes through them
    # would never be freed.
    store = zc.GraphStore()
    a = store.add_source("a", {"k": 1})
    b = store.add_external(descriptor_fields, [a])
    last = b
    for i in range(3000):
        last = store.add_op("map", [last], {"i": i})
    reduced, _ = store.reduce(outputs=[last])
    for view in (store.nodes(), reduced.nodes()):
        assert gc.is_tracked(view)
        containers = [view]
        for entry in view:
            containers += [entry, entry["inputs"], entry["params"]]
            if "descriptor" in entry:
                containers.append(entry["descriptor"])
            for member in entry.get("members", []):
                containers += [member, member["params"], member["inputs"]]
        # Tracked exactly as the same container made in Python would be
        # (CPython leaves a dict of atoms untracked).
        assert all(gc.is_tracked(c) == gc.is_tracked(type(c)(c)) for c in containers)
    entry = store.nodes()[0]
    entry["self"] = entry  # a cycle made by the caller is collected
    del entry
    assert gc.collect() >= 1
