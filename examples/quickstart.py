"""Record a small pipeline with every kind of node a front end can record, and
read it back."""

import zembrik_core as zc

print("zembrik_core", zc.version())

store = zc.GraphStore()
events = store.add_source("events", {"path": "s3://bucket/events", "format": "parquet"})
users = store.add_source("users")

# Recording an equal node twice hands back the same id.
cleaned = store.add_op("filter", [events], {"predicate": "valid"})
assert store.add_op("filter", [events], {"predicate": "valid"}) == cleaned

scaled = store.add_op("mul", [cleaned], {"scalar": 2.5, "side": "r"})
model = store.add_external(
    zc.PayloadDescriptor(
        kind="model",
        content_hash="sha256:9f2c",
        framework="torch",
        version="2.4",
        io_schema="f32[batch, 16] -> f32[batch]",
    ),
    [scaled],
    {"batch": 64},
)
shuffled = store.add_exchange([model], {"scheme": "hash"})
joined = store.add_join([shuffled, users], {"how": "inner"})
total = store.add_reduction("sum", [joined], {"axis": 0})

print(f"{store.node_count()} nodes, outputs {store.outputs()}")
for node in store.nodes():
    print(node)
