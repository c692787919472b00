"""Parameter dicts: which Python values become which parameter types, and the
errors for everything else. Each case records a Source and reads it back."""

import enum
import math
import re
import struct

import subprocess
import sys
import textwrap
import types

import pytest

import zembrik_core as zc


class Color(enum.IntEnum):
    RED = 3


class MyFloat(float):
    pass


class Indexable:
    def __index__(self):
        return 41


class Floaty:
    def __float__(self):
        return 2.5


class Raising:
    """A number whose `method` raises `error`; its other conversion gives 1.5."""

    def __init__(self, method, error):
        self.method, self.error = method, error

    def __index__(self):
        if self.method == "__index__":
            raise self.error
        return 1

    def __float__(self):
        if self.method == "__float__":
            raise self.error
        return 1.5


def stored(params):
    store = zc.GraphStore()
    store.add_source("s", params)
    return store.nodes()[0]["params"]


@pytest.mark.parametrize(
    "value, expected, expected_type",
    [
        (True, True, bool),
        (False, False, bool),
        (7, 7, int),
        (-(2**63), -(2**63), int),
        (2**63 - 1, 2**63 - 1, int),
        (2**63, 9.223372036854776e18, float),  # beyond Int: the nearest double
        (-(2**63) - 1, float(-(2**63) - 1), float),
        (Color.RED, 3, int),
        (Indexable(), 41, int),
        (MyFloat(0.25), 0.25, float),
        (Floaty(), 2.5, float),
        (Raising("__index__", TypeError("not an index")), 1.5, float),
        (Raising("__index__", OverflowError), 1.5, float),
        (1.5, 1.5, float),
        ("", "", str),
        ("naïve ✓", "naïve ✓", str),
    ],
)
def test_value_conversion(value, expected, expected_type):
    got = stored({"x": value})["x"]
    assert type(got) is expected_type
    assert got == expected


@pytest.mark.parametrize("error", [MemoryError, KeyboardInterrupt, RecursionError,
                                   RuntimeError("mine"), ZeroDivisionError])
def test_a_failure_that_is_not_a_type_mismatch_propagates(error):
    # Only "not this type" moves on to the next test; a numpy-like value whose
    # __index__ runs out of memory must not quietly become a Float.
    store = zc.GraphStore()
    with pytest.raises(type(error) if isinstance(error, BaseException) else error) as info:
        store.add_source("s", {"x": Raising("__index__", error)})
    assert not getattr(info.value, "__notes__", None)
    assert store.node_count() == 0


def test_a_failing_float_conversion_propagates_too():
    class OnlyFloat:
        def __float__(self):
            raise MemoryError

    with pytest.raises(MemoryError):
        stored({"x": OnlyFloat()})


def test_running_out_of_memory_while_encoding_a_str_value_is_a_memory_error():
    # A Latin-1 str of 64 MiB needs 128 MiB more for its UTF-8 form; with the
    # address space capped below that, encoding it fails for lack of memory,
    # which is not "not a str".
    script = textwrap.dedent("""
        import os, resource
        import zembrik_core as zc
        big = "\u00e9" * (64 << 20)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (used + (32 << 20), resource.RLIM_INFINITY))
        store = zc.GraphStore()
        try:
            store.add_source("s", {"x": big})
            print("recorded")
        except BaseException as error:
            print(type(error).__name__, store.node_count())
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.split() == ["MemoryError", "0"], result.stderr


@pytest.mark.parametrize("value", [None, [1], 10**400, "\ud800", object(), b"bytes", 1j])
def test_unconvertible_values(value):
    with pytest.raises(TypeError) as info:
        stored({"x": value})
    assert str(info.value) == "param values must be int, float, bool, or str"
    assert info.value.__notes__ == ["while processing params key 'x'"]


@pytest.mark.parametrize("method", ["add_source", "add_op", "add_reduction", "add_external",
                                    "add_exchange", "add_join"])
@pytest.mark.parametrize(
    "make_params, key",
    [
        # The failing value follows values that run no Python code, and
        # values whose conversion does (read from a snapshot).
        (lambda: {"a": 1, "b": 2.5, "bad": [1]}, "bad"),
        (lambda: {"a": Indexable(), "it's": None}, "it's"),
        (lambda: {"é ✓": object()}, "é ✓"),
        # A value whose own conversion raises a conversion error of its own.
        (lambda: {"n": Raising("__index__", ValueError("no index")), "m": 1}, "n"),
    ],
)
def test_a_bad_value_names_its_key_in_every_recording_method(method, make_params, key):
    params = make_params()  # fresh, so that no earlier call's note is on its error
    store = zc.GraphStore()
    src = store.add_source("src")
    calls = {
        "add_source": lambda: store.add_source("s", params),
        "add_op": lambda: store.add_op("m", [src], params),
        "add_reduction": lambda: store.add_reduction("r", [src], params),
        "add_external": lambda: store.add_external(
            {"kind": "k", "content_hash": "h", "framework": "f", "version": "1",
             "io_schema": "s"}, [src], params),
        "add_exchange": lambda: store.add_exchange([src], params),
        "add_join": lambda: store.add_join([src, src], params),
    }
    with pytest.raises((TypeError, ValueError)) as info:
        calls[method]()
    assert info.value.__notes__ == [f"while processing params key {key!r}"]
    assert store.node_count() == 1


def test_a_non_dict_mapping_is_refused_and_a_dict_snapshot_of_it_works():
    frozen = types.MappingProxyType({"a": 1})
    store = zc.GraphStore()
    with pytest.raises(TypeError, match=r"^params must be a dict or None$"):
        store.add_source("s", frozen)
    assert store.add_source("s", dict(frozen)) == 0


@pytest.mark.parametrize("params", [[("a", 1)], (), "a=1", 5])
def test_params_must_be_a_dict(params):
    with pytest.raises(TypeError, match=r"^params must be a dict or None$"):
        stored(params)


def test_key_must_be_str():
    with pytest.raises(TypeError):
        stored({1: 2})
    with pytest.raises(UnicodeEncodeError):
        stored({"\udcff": 1})


def test_none_and_empty_are_the_same_node():
    store = zc.GraphStore()
    assert store.add_source("s") == store.add_source("s", None) == store.add_source("s", {})
    assert store.nodes()[0]["params"] == {}


def test_dict_subclass_accepted_and_order_irrelevant():
    class MyDict(dict):
        pass

    store = zc.GraphStore()
    a = store.add_source("s", {"b": 1, "a": True})
    b = store.add_source("s", MyDict(a=True, b=1))
    assert a == b
    assert list(store.nodes()[0]["params"]) == ["a", "b"]


@pytest.mark.parametrize(
    "left, right",
    [({"a": 1}, {"a": 1.0}), ({"flag": True}, {"flag": 1}), ({"x": 0.0}, {"x": -0.0}),
     ({"x": "1"}, {"x": 1})],
)
def test_types_keep_nodes_apart(left, right):
    store = zc.GraphStore()
    assert store.add_source("s", left) != store.add_source("s", right)


def test_nans_are_one_value_and_the_first_bits_are_kept():
    first = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]
    store = zc.GraphStore()
    a = store.add_source("s", {"x": first})
    b = store.add_source("s", {"x": float("nan")})
    c = store.add_source("s", {"x": -math.nan})
    assert a == b == c
    kept = store.nodes()[0]["params"]["x"]
    assert struct.pack("<d", kept) == struct.pack("<Q", 0x7FF0000000000001)


def test_a_failing_value_records_nothing():
    store = zc.GraphStore()
    with pytest.raises(TypeError):
        store.add_source("s", {"a": 1, "b": None})
    assert store.node_count() == 0


def test_keyboard_interrupt_from_index_is_not_swallowed():
    class Interrupting:
        def __index__(self):
            raise KeyboardInterrupt

    store = zc.GraphStore()
    with pytest.raises(KeyboardInterrupt):
        store.add_source("s", {"a": Interrupting()})
    assert store.node_count() == 0


@pytest.mark.parametrize("method, result", [("__index__", 1), ("__float__", 0.5)])
def test_value_conversion_that_replaces_the_dict_content_is_safe(method, result):
    params = {}

    def convert(self):
        params.clear()
        params.update({f"k{i}": i for i in range(50)})
        return result

    params["a"] = type("Replacing", (), {method: convert})()
    store = zc.GraphStore()
    node = store.add_source("s", params)
    assert store.nodes()[node]["params"] == {"a": result}  # the dict as it was
    assert len(params) == 50


def reinserting(params, method, result, keys):
    """A value whose `method` deletes and re-inserts `keys` of `params`, so
    that a walk over the live dict would meet them again."""
    def convert(self):
        for key in keys:
            params[key] = params.pop(key)
        return result

    return type("Reinserting", (), {method: convert})()


def label_keys(store, node):
    """The parameter keys in the node's DOT label: the map's own entries."""
    label = re.search(rf'n{node} \[label="[^{{]*\{{(.*)\}}"\]', store.to_dot()).group(1)
    return [entry.split("=")[0] for entry in label.split(", ")]


@pytest.mark.parametrize("method, result", [("__index__", 4), ("__float__", 0.5)])
@pytest.mark.parametrize("position, keys", [(2, ["a"]), (0, ["a"]), (1, ["a", "b"])])
def test_keys_reinserted_during_conversion_are_read_once(method, result, position, keys):
    params = {"a": 1, "b": "x", "c": 2.5}
    name = list(params)[position]
    params[name] = reinserting(params, method, result, keys)
    store = zc.GraphStore()
    first = store.add_source("s", params)
    recorded = store.nodes()[first]["params"]
    assert recorded == {"a": 1, "b": "x", "c": 2.5, name: result}
    assert type(recorded[name]) is type(result)
    assert label_keys(store, first) == ["a", "b", "c"]
    assert store.add_source("s", dict(recorded)) == first


@pytest.mark.parametrize("value", [2, Indexable()])  # read directly, and from a snapshot
def test_str_subclass_keys_of_one_text_are_refused(value):
    class Key(str):
        def __hash__(self):
            return 12345

        def __eq__(self, other):
            return other is self

    params = {"a": 1, Key("a"): value}
    assert len(params) == 2
    store = zc.GraphStore()
    with pytest.raises(ValueError, match=r"^repeated param key 'a'$"):
        store.add_source("s", params)
    assert store.node_count() == 0
    assert store.add_source("s", {Key("b"): 1}) == store.add_source("s", {"b": 1})
