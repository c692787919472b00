"""A small pipeline that touches every part of the module: every node kind,
parameters of every type, an identity and swapped operands for the rewrite
rules, and op runs that fuse into stages."""

import zembrik_core as zc

DESCRIPTOR = dict(kind="model", content_hash="sha256:9f2c", framework="torch", version="2.4",
                  io_schema="f32[16]")


def record_pipeline(store, params_order=None):
    """Records the pipeline and returns its output id. `params_order`, a list
    of the parameter names "alpha", "beta" and "gamma", sets the insertion
    order of one dict, which must not matter."""
    order = params_order or ["alpha", "beta", "gamma"]
    events = store.add_source("events", {"format": "parquet", "n": 3, "strict": True})
    users = store.add_source("users|raw")
    cleaned = store.add_op("filter", [events], {name: len(name) * 0.5 for name in order})
    shifted = store.add_op("add", [cleaned], {"scalar": 0.0, "side": "r"})
    scaled = store.add_op("mul", [shifted], {"scalar": 2.5, "side": "l"})
    model = store.add_external(zc.PayloadDescriptor(**DESCRIPTOR), [scaled], {"batch": 64})
    ref = store.add_external({**DESCRIPTOR, "preprocessing_ref": "norm"}, [model])
    joined = store.add_join([store.add_exchange([ref], {"scheme": "hash"}), users],
                            {"how": "inner"})
    left = store.add_op("add", [joined, users])
    right = store.add_op("add", [users, joined])
    top = store.add_op("maximum", [left, right], {"neg": -0.0, "big": -(2**63)})
    store.add_op("debug_dump", [cleaned])
    return store.add_reduction("sum", [top], {"axis": 0})
