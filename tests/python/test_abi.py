"""From 3.12 on the module is built on the limited API (one abi3 module for
every later CPython), where the binding reaches type objects only through
functions. What it derives from them must read as in the full-API build:
the type names in its messages, and the installed module's ABI."""

import importlib.machinery
import importlib.metadata
import pathlib
import sys

import pytest

import zembrik_core as zc


class Thing:
    pass


# A builtin, a static type of another module and a class written in Python:
# their names are "int", "numpy.ndarray" and "Thing", as in the
# interpreter's own messages.
# numpy comes with the test extras; without it the other two still run.
try:
    import numpy as np

    STATIC_TYPE_VALUES = [(np.zeros(1), "numpy.ndarray")]
except ModuleNotFoundError:
    STATIC_TYPE_VALUES = []
VALUES = [(1, "int"), *STATIC_TYPE_VALUES, (Thing(), "Thing")]

CALLS = [
    (lambda s, v: s.add_source(v), "expected str, got {}"),
    (lambda s, v: s.reduce(maximal_fusion=v), "expected bool, got {}"),
    (lambda s, v: zc.GraphStore.deserialize(v), "expected bytes, got {}"),
    (lambda s, v: zc.IncrementalReducer().step(v), "expected GraphStore, got {}"),
]


@pytest.mark.parametrize("value, name", VALUES, ids=[name for _, name in VALUES])
@pytest.mark.parametrize("call, message", CALLS, ids=["str", "bool", "bytes", "store"])
def test_messages_name_the_type_as_the_interpreter_does(call, message, value, name):
    with pytest.raises(TypeError) as raised:
        call(zc.GraphStore(), value)
    assert str(raised.value) == message.format(name)


def test_a_sequence_argument_names_the_type():
    with pytest.raises(TypeError) as raised:
        zc.GraphStore().add_op("map", Thing())
    assert str(raised.value) == "expected a sequence of node ids, got Thing"
    assert raised.value.__notes__ == ["while processing 'inputs'"]


def test_the_installed_module_is_abi3_from_312_on():
    try:
        files = importlib.metadata.files("zembrik_core") or []
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("zembrik_core is imported from a build directory, not installed")
    module = pathlib.Path(zc.__file__)
    assert module.name in {pathlib.Path(f).name for f in files}
    if sys.version_info >= (3, 12):
        assert module.name == "zembrik_core.abi3.so"
    else:
        suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
        assert module.name == "zembrik_core" + suffix
