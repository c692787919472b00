"""serialize() and GraphStore.deserialize(): exact bytes, outputs, errors as
Python sees them, random round trips, and nodes() of stores holding stages."""

import struct

import pytest
from hypothesis import given, settings, strategies as st

import zembrik_core as zc

EMPTY = b"ZIR1" + bytes(8)


def pack_str(text):
    raw = text.encode()
    return struct.pack("<I", len(raw)) + raw


def stage_blob(members, inputs=(1, 0)):
    """Sources a and b, then a stage over `inputs` with (token, refs) members."""
    data = b"ZIR1" + struct.pack("<I", 3)
    data += b"\x00" + pack_str("a") + bytes(4) + b"\x00" + pack_str("b") + bytes(4)
    data += b"\x04" + struct.pack(f"<I{len(inputs)}Q", len(inputs), *inputs)
    data += struct.pack("<I", len(members))
    for token, refs in members:
        data += pack_str(token) + struct.pack("<I", len(refs))
        data += b"".join(struct.pack("<BI", kind == "member", i) for kind, i in refs)
    return data + struct.pack("<IQ", 1, 2)


def test_empty_and_worked_example():
    assert zc.GraphStore().serialize() == EMPTY
    assert zc.GraphStore.deserialize(EMPTY).node_count() == 0
    s = zc.GraphStore()
    s.add_op("add", [s.add_source("a")], {"side": "r", "scalar": 0.0})
    blob = s.serialize(outputs=[1])
    assert blob == bytes.fromhex(
        "5a495231 02000000 00 01000000 61 00000000"
        "01 03000000 616464 02000000 06000000 7363616c6172 01 0000000000000000"
        "04000000 73696465 03 01000000 72 01000000 0000000000000000"
        "01000000 0100000000000000"
    )
    loaded = zc.GraphStore.deserialize(blob)
    assert len(blob) == 87 and loaded.outputs() == [1] and loaded.serialize() == blob
    assert loaded.serialize(outputs=[]) == blob[:-12] + bytes(4)
    assert s.serialize(outputs=(1, 0, 1)).endswith(struct.pack("<I3Q", 3, 1, 0, 1))


@pytest.mark.parametrize(
    "outputs, error, message",
    [([2], ValueError, "no node with id 2"), ([0, 7, 9], ValueError, "no node with id 7"),
     ("0", TypeError, None), ([-1], OverflowError, None)],
)
def test_serialize_rejects_bad_outputs(outputs, error, message):
    s = zc.GraphStore()
    s.add_op("m", [s.add_source("a")])
    with pytest.raises(error, match=message):
        s.serialize(outputs)


@pytest.mark.parametrize(
    "data, message",
    [(b"", "truncated zembrik IR blob"), (b"12345678", r"not a zembrik IR blob \(bad magic/version\)"),
     (stage_blob([("op|f", [("input", 2)])]), "node reference 2 out of range")],
)
def test_deserialize_raises_the_decoder_message(data, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        zc.GraphStore.deserialize(data)


@pytest.mark.parametrize("data", [bytearray(EMPTY), memoryview(EMPTY), EMPTY.decode()])
def test_deserialize_takes_bytes_only(data):
    with pytest.raises(TypeError) as caught:
        zc.GraphStore.deserialize(data)
    assert caught.value.__notes__ == ["while processing 'data'"]


def test_deserialize_is_static():
    assert zc.GraphStore().deserialize(data=EMPTY).outputs() == []


names = st.text(max_size=5)
values = st.one_of(st.integers(-(2**63), 2**63 - 1), st.floats(), st.booleans(), names)
param_maps = st.one_of(st.none(), st.dictionaries(names, values, max_size=3))
FIELDS = ("kind", "content_hash", "framework", "version", "io_schema")


@st.composite
def graphs(draw):
    """A store with random nodes of every recordable kind, and an output list."""
    s = zc.GraphStore()
    s.add_source(draw(names), draw(param_maps))
    for _ in range(draw(st.integers(0, 20))):
        inputs = draw(st.lists(st.integers(0, s.node_count() - 1), max_size=3))
        kind, params = draw(st.integers(0, 5)), draw(param_maps)
        if kind == 0:
            s.add_source(draw(names), params)
        elif kind <= 2:
            (s.add_op if kind == 1 else s.add_reduction)(draw(names), inputs, params)
        elif kind == 3:
            descriptor = {f: draw(names) for f in FIELDS}
            descriptor["preprocessing_ref"] = draw(st.one_of(st.none(), names))
            s.add_external(descriptor, inputs, params)
        else:
            (s.add_exchange if kind == 4 else s.add_join)(inputs, params)
    return s, draw(st.lists(st.integers(0, s.node_count() - 1), unique=True, max_size=4))


@settings(max_examples=150, deadline=None)
@given(graphs())
def test_round_trip_is_byte_identical_and_keeps_ids(graph):
    store, outputs = graph
    blob = store.serialize(outputs)
    loaded = zc.GraphStore.deserialize(blob)
    assert loaded.serialize() == blob and loaded.outputs() == outputs
    # NaN parameters make dicts unequal to themselves; compare their text.
    assert repr([{**n, "output": False} for n in loaded.nodes()]) == repr(store.nodes())
    twin = zc.GraphStore.deserialize(store.serialize([]))
    assert twin.serialize(outputs) == blob and twin.to_dot() == store.to_dot()


def test_nodes_of_a_stage():
    s = zc.GraphStore.deserialize(stage_blob([
        ("op|add|scalar=f0000000000000000;side=sr", [("input", 0), ("input", 1)]),
        ("red|sum|axis=i0", [("member", 0)]),
    ]))
    stage = s.nodes()[2]
    assert stage == {
        "id": 2, "output": True, "inputs": [1, 0], "kind": "stage", "name": "", "params": {},
        "n_members": 2,
        "members": [
            {"kind": "op", "name": "add", "params": {"scalar": 0.0, "side": "r"},
             "inputs": [("input", 0), ("input", 1)]},
            {"kind": "red", "name": "sum", "params": {"axis": 0}, "inputs": [("member", 0)]},
        ],
    }
    assert list(stage)[-2:] == ["n_members", "members"]


@pytest.mark.parametrize(
    "token, shown",
    [("src|a", '"src|a"'), ("op", '"op"'), ("op|a|k=bTrue", '"op|a|k=bTrue"'),
     ('src|"\n', '"src|\\"\\n"')],
)
def test_nodes_refuses_unparseable_member_tokens(token, shown):
    s = zc.GraphStore.deserialize(stage_blob([("op|f", []), (token, [])]))
    with pytest.raises(ValueError) as caught:
        s.nodes()
    assert str(caught.value) == f"unparseable stage member token {shown}"
