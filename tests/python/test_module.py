import importlib.metadata
import pathlib
import tomllib

import pytest

import zembrik_core as zc

PYPROJECT = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"

GRAPH_STORE_DOCS = {
    "add_source": "add_source($self, name, params=None)\n--\n\n",
    "add_op": "add_op($self, name, inputs, params=None)\n--\n\n",
    "add_reduction": "add_reduction($self, name, inputs, params=None)\n--\n\n",
    "add_external": "add_external($self, descriptor, inputs, params=None)\n--\n\n",
    "add_exchange": "add_exchange($self, inputs, params=None)\n--\n\nRecord an `Exchange` "
    "boundary (plan M39 §2.1). No `name` — an Exchange's identity is its\n`scheme` ParamMap "
    '(`params`) + its one logical input; `nodes()[i]["kind"] == "exchange"`.',
    "add_join": "add_join($self, inputs, params=None)\n--\n\nRecord a `Join` boundary (plan "
    "M40 §2.1). Two inputs `[left, right]`; identity is its\n`scheme` ParamMap (`params`) + "
    'its ordered inputs; `nodes()[i]["kind"] == "join"`.',
    "node_count": "node_count($self)\n--\n\n",
    "to_dot": "to_dot($self)\n--\n\n",
    "serialize": "serialize($self, outputs=None)\n--\n\nSerialize the IR to the canonical, "
    "versioned, byte-identical durable form (plan M8 / A.3.1:\nthe serializable IR — not "
    "cloudpickle — is the canonical durable representation). With\n`outputs=` the bytes flag "
    "EXACTLY that set, ignoring stored marks (M22: outputs are a\nproperty of the compile "
    "request); the default keeps the marks-based behavior.",
    "deserialize": "deserialize(data)\n--\n\nRebuild a store from canonical bytes. A round "
    "trip reproduces the same node ids, so\n`serialize` of the result is byte-identical to the "
    "input (plan M8 determinism gate).",
    "nodes": "nodes($self)\n--\n\nStructured, read-only view of every node in id order (plan "
    "M9: `inspect` renders the IR and\n`reproduce` interprets it). Each entry is a dict with "
    "`id`, `kind`\n(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` "
    "(bool), plus a\n`descriptor` dict for external nodes and `n_members` for stage nodes.",
    "outputs": "outputs($self)\n--\n\nThe marked output node ids, in mark order (what an IR "
    "evaluator returns, in order).",
}

CLASS_DOCS = {
    zc.GraphStore: "GraphStore()\n--\n\nThread-safe interned graph store (frozen pyclass: "
    "interior mutability via a Mutex, safe to\nshare across threads under the GIL and "
    "free-threaded 3.14t).",
    zc.PayloadDescriptor: "PayloadDescriptor(*, kind, content_hash, framework, version, "
    "io_schema, preprocessing_ref=None)\n--\n\nReproducibility metadata an External node "
    "carries (participates in the structural hash).",
    zc.IncrementalReducer: "IncrementalReducer()\n--\n\nGenuinely incremental reduction (plan "
    "§A.1): feed it a store as the graph is being built; each\n`step` canonicalizes ONLY the "
    "nodes recorded since the last step (identity elimination,\ncommutativity dedup, "
    "hash-consing — the same sound rules the SaturationEngine runs), so a concise\ncanonical "
    "form is maintained while building and `finalize` does one linear pass instead of a\n"
    "whole-history optimization. `total_work()` counts nodes processed across all steps — it "
    "equals\nthe node count of the store, no matter how many steps fed it (the "
    "incrementality witness).",
}


def test_registers_four_names_in_order():
    assert zc.__all__ == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]
    assert zc.__doc__ is None
    assert all(getattr(zc, name) is not None for name in zc.__all__)


def test_version_is_the_project_version():
    with PYPROJECT.open("rb") as f:
        assert zc.version() == tomllib.load(f)["project"]["version"]


def test_version_is_the_installed_package_version():
    try:
        installed = importlib.metadata.version("zembrik_core")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("zembrik_core is imported from a build directory, not installed")
    assert zc.version() == installed


def test_version_signature():
    assert zc.version.__text_signature__ == "()"
    with pytest.raises(TypeError, match=r"^version\(\) takes 0 positional arguments but 1 was given$"):
        zc.version(1)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'x'"):
        zc.version(x=1)


@pytest.mark.parametrize("method, doc", GRAPH_STORE_DOCS.items())
def test_method_docstrings(method, doc):
    function = getattr(zc.GraphStore, method)
    signature, _, body = doc.partition("\n--\n\n")
    assert function.__text_signature__ == signature[len(method):]
    assert (function.__doc__ or "") == body


def test_methods_in_class_order():
    methods = [name for name in vars(zc.GraphStore) if name in GRAPH_STORE_DOCS]
    assert methods == list(GRAPH_STORE_DOCS)
    assert isinstance(vars(zc.GraphStore)["deserialize"], staticmethod)


@pytest.mark.parametrize("cls", CLASS_DOCS)
def test_class_docstrings(cls):
    signature, _, body = CLASS_DOCS[cls].partition("\n--\n\n")
    assert cls.__text_signature__ == signature[len(cls.__name__):]
    assert cls.__doc__ == body
    assert cls.__module__ == "zembrik_core"


def test_internal_error_is_outside_exception():
    assert issubclass(zc.InternalError, BaseException)
    assert not issubclass(zc.InternalError, Exception)
    assert "InternalError" not in zc.__all__


@pytest.mark.parametrize(
    "make", [zc.GraphStore, zc.IncrementalReducer, lambda: zc.PayloadDescriptor(
        kind="k", content_hash="h", framework="f", version="v", io_schema="s")]
)
def test_objects_are_frozen(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        type(obj).anything = 1
    with pytest.raises(TypeError):
        type("Sub", (type(obj),), {})


@pytest.mark.parametrize("cls", [zc.GraphStore, zc.IncrementalReducer])
def test_constructors_take_no_arguments(cls):
    cls()
    with pytest.raises(TypeError, match=rf"^{cls.__name__}\(\) takes 0 positional arguments but 1 was given$"):
        cls(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'size'"):
        cls(size=3)


def test_graph_store_defines_no_special_methods():
    store = zc.GraphStore()
    with pytest.raises(TypeError):
        len(store)
    assert store != zc.GraphStore()
    assert "GraphStore object at" in repr(store)
