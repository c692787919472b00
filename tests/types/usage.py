"""Checked by `mypy --strict`, never run: what the stubs let callers write and
what they refuse. Each refused line carries the error code it must raise;
--strict warns about an ignore that is not needed, so a stub that grows too
loose fails here too."""

import collections
import types
from typing import Literal, assert_type

import numpy as np
import numpy.typing as npt

import zembrik_core as zc


def recording(store: zc.GraphStore) -> None:
    src = store.add_source("events", {"format": "parquet", "k": 3, "x": 0.5, "on": True})
    assert_type(src, int)
    op = store.add_op("map", (src,), None)
    red = store.add_reduction(name="sum", inputs=range(op + 1), params={"axis": 0})
    descriptor = zc.PayloadDescriptor(
        kind="model", content_hash="h", framework="torch", version="2", io_schema="f32"
    )
    assert_type(descriptor.preprocessing_ref, str | None)
    fields: zc.Descriptor = {
        "kind": "model", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"
    }
    ext = store.add_external(fields, [red])
    ext = store.add_external(descriptor, [red], {"batch": 64})
    store.add_join([store.add_exchange([ext]), src], {"how": "inner"})
    assert_type(store.outputs(), list[int])
    assert_type(store.node_count(), int)
    assert_type(store.to_dot(), str)


def typed_front_end(store: zc.GraphStore, ids: "npt.NDArray[np.int64]") -> None:
    # Narrower dicts, numpy scalars and id arrays: what the run time accepts.
    counts: dict[str, int] = {"k": 3}
    names: dict[str, str] = {"how": "inner"}
    built: zc.Params = {"k": 3, "scale": 0.5}
    src = store.add_source("s", counts)
    store.add_op("map", [src], names)
    store.add_op("map", [src], built)
    store.add_op("map", [np.int64(src)], {"k": np.int64(3), "x": np.float32(0.5)})
    store.add_join(ids, collections.OrderedDict(how="left"))
    store.serialize(outputs=ids)
    store.cone(outputs=range(1))
    value: zc.ParamValue = store.nodes()[0]["params"]["k"]
    assert_type(value, bool | int | float | str)
    assert_type(zc.__version__, str)


def refused(store: zc.GraphStore, descriptor: zc.PayloadDescriptor) -> None:
    store.add_source("s", types.MappingProxyType({"a": 1}))  # type: ignore[arg-type]
    store.add_source("s", collections.UserDict(a=1))  # type: ignore[arg-type]
    store.add_op("map", [0.5])  # type: ignore[list-item]
    store.add_op("map", iter([0]))  # type: ignore[arg-type]
    store.add_op("map", {0})  # type: ignore[arg-type]
    store.add_op("map", "0")  # type: ignore[arg-type]
    store.add_op("map", [0], {"bad": [1]})  # type: ignore[dict-item]
    store.add_source(b"name")  # type: ignore[arg-type]
    store.reduce(True)  # type: ignore[call-arg]
    store.cone()  # type: ignore[call-arg]
    store.serialize(outputs={0: 1})  # type: ignore[arg-type]
    zc.PayloadDescriptor("model")  # type: ignore[call-arg]
    descriptor.kind = "other"  # type: ignore[misc]
    store.add_external({"kind": "model"}, [])  # type: ignore[arg-type]
    zc.IncrementalReducer().step(42)  # type: ignore[arg-type]


class Wider(zc.GraphStore):  # type: ignore[misc]
    pass


def inspecting(store: zc.GraphStore) -> list[str]:
    names = []
    for node in store.nodes():
        assert_type(node["id"], int)
        assert_type(node["params"], dict[str, bool | int | float | str])
        if node["kind"] == "external":
            assert_type(node["descriptor"]["kind"], str)
        elif node["kind"] == "stage":
            for member in node["members"]:
                assert_type(member["kind"], Literal["op", "red"])
                for source, index in member["inputs"]:
                    assert_type(source, Literal["input", "member"])
                    assert_type(index, int)
            assert_type(node["n_members"], int)
        else:
            node["descriptor"]  # type: ignore[typeddict-item]
        names.append(node["name"])
    return names


def reducing(store: zc.GraphStore, blob: bytes) -> int:
    reduced, report = store.reduce(maximal_fusion=True, outputs=[0])
    assert_type(reduced, zc.GraphStore)
    assert_type(report["boundary_nodes"], int)
    report["speedup"]  # type: ignore[typeddict-item]
    assert_type(store.reduction_report(outputs=None), zc.ReductionReport)
    assert_type(store.reduce_incremental()[1], zc.ReductionReport)
    assert_type(store.cone(outputs=[0]), zc.GraphStore)
    for landing in reduced.node_map():
        if landing is not None:
            node, member = landing
            assert_type(member, int | None)
    assert_type(zc.GraphStore.deserialize(blob), zc.GraphStore)
    reducer = zc.IncrementalReducer()
    assert_type(reducer.step(store), int)
    again, again_report = reducer.finalize(store, outputs=[0])
    assert_type(again_report, zc.ReductionReport)
    return reducer.watermark() + reducer.total_work() + reducer.canonical_count()


def failing() -> str:
    try:
        return zc.version()
    except zc.InternalError as failure:
        assert_type(failure, zc.InternalError)
        raise
