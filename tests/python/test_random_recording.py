"""Random recordings (random_recording.py) against a model of the store
written in Python: which calls record, which id each gets, and which error,
with which message, each bad call raises. The blob of a recording is the
same after a round trip and when the good calls alone are made again."""

import math
import struct

import pytest

import zembrik_core as zc
from random_recording import transcript

KINDS = {"add_source": "source", "add_op": "op", "add_reduction": "reduction",
         "add_external": "external", "add_exchange": "exchange", "add_join": "join"}
BAD_VALUE = "param values must be int, float, bool, or str"


class Refused(Exception):
    def __init__(self, kind, message=None, note=None):
        super().__init__(kind, message, note)
        self.expected = (kind, message, [note] if note else [])


def name_of(name):
    if not isinstance(name, str):
        raise Refused("TypeError", f"expected str, got {type(name).__name__}", "while processing 'name'")
    try:
        name.encode()
    except UnicodeEncodeError:
        raise Refused("UnicodeEncodeError", None, "while processing 'name'") from None
    return name


def ids_of(inputs):
    note = "while processing 'inputs'"
    if not isinstance(inputs, (list, tuple)):
        kind = type(inputs).__name__
        raise Refused("TypeError", f"expected a sequence of node ids, got {kind}", note)
    for i in inputs:
        if i < 0:
            raise Refused("OverflowError", "can't convert negative int to unsigned", note)
        if i >= 2**64:
            raise Refused("OverflowError", "int too big to convert", note)
    return tuple(inputs)


def value_of(key, value):
    try:
        return value_in_map(value)
    except Refused as refused:
        raise Refused(refused.expected[0], refused.expected[1],
                      f"while processing params key {key!r}") from None


def value_in_map(value):
    if isinstance(value, bool):
        return ("bool", value)
    if isinstance(value, int):
        if -(2**63) <= value < 2**63:
            return ("int", value)
        try:
            value = float(value)  # beyond Int: the nearest double, if there is one
        except OverflowError:
            raise Refused("TypeError", BAD_VALUE) from None
    if isinstance(value, float):
        bits = struct.unpack("<Q", struct.pack("<d", value))[0]
        return ("float", 0x7FF8000000000000 if math.isnan(value) else bits)
    if isinstance(value, str):
        try:
            value.encode()
        except UnicodeEncodeError:
            raise Refused("TypeError", BAD_VALUE) from None
        return ("str", value)
    raise Refused("TypeError", BAD_VALUE)


def params_of(params):
    if params is None:
        return ()
    if not isinstance(params, dict):
        raise Refused("TypeError", "params must be a dict or None")
    entries = []
    for key, value in params.items():
        if not isinstance(key, str):
            raise Refused("TypeError", f"expected str, got {type(key).__name__}")
        entries.append((key.encode(), value_of(key, value)))
    return tuple(sorted(entries))


class Model:
    """Hash-consing by a dict of keys, with the store's checks in its order."""

    def __init__(self):
        self.ids = {}
        self.nodes = []

    def call(self, method, args):
        try:
            key, inputs = self.key(method, args)
        except Refused as refused:
            return ("error", *refused.expected)
        for i in inputs:
            if i >= len(self.nodes):
                return ("error", "ValueError", f"no node with id {i}", [])
        if key not in self.ids:
            self.ids[key] = len(self.nodes)
            self.nodes.append((KINDS[method], inputs))
        return ("id", self.ids[key])

    @staticmethod
    def key(method, args):
        if method == "add_source":
            return (method, name_of(args[0]), params_of(args[1])), ()
        if method in ("add_op", "add_reduction"):
            name, inputs = name_of(args[0]), ids_of(args[1])
            return (method, name, inputs, params_of(args[2])), inputs
        if method == "add_external":
            inputs = ids_of(args[1])
            return (method, tuple(sorted(args[0].items())), inputs, params_of(args[2])), inputs
        inputs = ids_of(args[0])
        return (method, inputs, params_of(args[1])), inputs


@pytest.mark.parametrize("seed", range(8))
def test_random_recording_matches_the_model(seed):
    made, store = transcript(zc, seed, 300)
    model = Model()
    for method, args, got in made:
        expected = model.call(method, args)
        if expected[0] == "error" and expected[2] is None:  # the interpreter's own wording
            got = got[:2] + (None,) + got[3:]
        assert got == expected, (method, args)
    assert [(n["kind"], tuple(n["inputs"])) for n in store.nodes()] == model.nodes
    assert sum(1 for *_, got in made if got[0] == "error") > 10  # the premise: bad calls ran


@pytest.mark.parametrize("seed", range(4))
def test_blob_survives_a_round_trip_and_a_replay_of_the_good_calls(seed):
    made, store = transcript(zc, seed, 300)
    blob = store.serialize()
    assert zc.GraphStore.deserialize(blob).serialize() == blob
    replay = zc.GraphStore()
    for method, args, got in made:
        if got[0] == "id":
            assert getattr(replay, method)(*args) == got[1]
    assert replay.serialize() == blob
