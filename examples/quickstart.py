"""The main job of zembrik_core: record a pipeline, reduce it, persist it and
render it.

Writes pipeline.dot and reduced.dot in the current directory, and their SVG
pictures when Graphviz's `dot` is installed (Debian: `apt-get install graphviz`).
"""

import shutil
import subprocess

import zembrik_core as zc

print("zembrik_core", zc.version())

# -- Record: every kind of node a front end records ---------------------------
store = zc.GraphStore()
events = store.add_source("events", {"path": "s3://bucket/events", "format": "parquet"})
users = store.add_source("users")

# Recording an equal node twice hands back the same id.
cleaned = store.add_op("filter", [events], {"predicate": "valid"})
assert store.add_op("filter", [events], {"predicate": "valid"}) == cleaned

scaled = store.add_op("mul", [cleaned], {"scalar": 2.5, "side": "r"})
shifted = store.add_op("add", [scaled], {"scalar": 0.0, "side": "r"})  # an identity: adds 0
model = store.add_external(
    zc.PayloadDescriptor(
        kind="model",
        content_hash="sha256:9f2c",
        framework="torch",
        version="2.4",
        io_schema="f32[batch, 16] -> f32[batch]",
    ),
    [shifted],
    {"batch": 64},
)
shuffled = store.add_exchange([model], {"scheme": "hash"})
joined = store.add_join([shuffled, users], {"how": "inner"})
left = store.add_op("add", [joined, users])
right = store.add_op("add", [users, joined])  # the same sum, operands swapped
total = store.add_reduction("sum", [store.add_op("max", [left, right])], {"axis": 0})
store.add_op("debug_dump", [cleaned])  # not needed by the output

print(f"recorded {store.node_count()} nodes")
for node in store.nodes():
    print(" ", node)

# -- Reduce: dead code, identities and swapped duplicates go, op runs fuse ----
reduced, report = store.reduce(outputs=[total])
print("reduction report:", report)
print("where each recorded node landed (reduced id, member index):")
for original, landing in enumerate(reduced.node_map()):
    print(f"  {original:2} -> {landing}")

# The same reduction, folded in step by step while recording.
reducer = zc.IncrementalReducer()
reducer.step(store)
incremental, incremental_report = reducer.finalize(store, outputs=[total])
print(f"incremental: {reducer.canonical_count()} canonical nodes of {reducer.watermark()},"
      f" {incremental_report['reduced_nodes']} reduced nodes")

# -- Persist: a canonical blob that rebuilds the store with the same ids -------
blob = store.serialize(outputs=[total])
loaded = zc.GraphStore.deserialize(blob)
assert loaded.serialize() == blob and loaded.outputs() == [total]
print(f"blob: {len(blob)} bytes, reloads to {loaded.node_count()} nodes with the same ids")

# -- Render: Graphviz DOT, and SVG when Graphviz is installed -------------------
for name, graph in [("pipeline", store), ("reduced", reduced)]:
    with open(f"{name}.dot", "w", encoding="utf-8") as out:
        out.write(graph.to_dot())
    if shutil.which("dot"):
        subprocess.run(["dot", "-Tsvg", f"{name}.dot", "-o", f"{name}.svg"], check=True)
        print(f"wrote {name}.dot and {name}.svg")
    else:
        print(f"wrote {name}.dot (install Graphviz's `dot` to render it to SVG)")
