import importlib.metadata
import pathlib
import re
import tomllib
import typing

import pytest

import zembrik_core as zc

PYPROJECT = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"

# The text signatures callers and inspect.signature rely on, in class order.
GRAPH_STORE_SIGNATURES = {
    "add_source": "($self, name, params=None)",
    "add_op": "($self, name, inputs, params=None)",
    "add_reduction": "($self, name, inputs, params=None)",
    "add_external": "($self, descriptor, inputs, params=None)",
    "add_exchange": "($self, inputs, params=None)",
    "add_join": "($self, inputs, params=None)",
    "node_count": "($self)",
    "to_dot": "($self)",
    "serialize": "($self, outputs=None)",
    "deserialize": "(data)",
    "nodes": "($self)",
    "outputs": "($self)",
}

CLASS_SIGNATURES = {
    zc.GraphStore: "()",
    zc.PayloadDescriptor: "(*, kind, content_hash, framework, version, io_schema, "
    "preprocessing_ref=None)",
    zc.IncrementalReducer: "()",
}

# Traces of documents the module does not ship with: plans, milestones,
# sections, another binding's vocabulary, an interpreter it does not declare.
FOREIGN = re.compile(r"\bplan\b|\bM\d+\b|§|pyclass|3\.14t|free-threaded|\bA\.\d", re.IGNORECASE)


def public_callables():
    """(qualified name, object) for the function, the classes and their methods."""
    yield "version", zc.version
    for cls in (zc.GraphStore, zc.PayloadDescriptor, zc.IncrementalReducer):
        yield cls.__name__, cls
        for name, member in vars(cls).items():
            if not name.startswith("_") and callable(getattr(cls, name)):
                yield f"{cls.__name__}.{name}", getattr(cls, name)


def every_docstring():
    yield "module", zc.__doc__
    yield "InternalError", zc.InternalError.__doc__
    yield from ((name, obj.__doc__) for name, obj in public_callables())


def test_registers_four_names_in_order():
    assert zc.__all__ == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]
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


def test_dunder_version_and_the_dask_package_version_are_version():
    import zembrik_dask

    assert zc.__version__ == zembrik_dask.__version__ == zc.version()
    assert "__version__" not in zc.__all__


def test_parameter_aliases_describe_what_nodes_give_back():
    store = zc.GraphStore()
    store.add_source("s", {"b": True, "i": 1, "f": 0.5, "t": "x"})
    params = store.nodes()[0]["params"]
    assert isinstance(params, typing.get_origin(zc.Params))
    key_type, value_type = typing.get_args(zc.Params)
    assert value_type is zc.ParamValue
    assert all(isinstance(k, key_type) and isinstance(v, zc.ParamValue) for k, v in params.items())
    assert set(typing.get_args(zc.ParamValue)) == {type(v) for v in params.values()}
    assert not {"ParamValue", "Params"} & set(zc.__all__)


def test_version_signature():
    assert zc.version.__text_signature__ == "()"
    with pytest.raises(TypeError, match=r"^version\(\) takes 0 positional arguments but 1 was given$"):
        zc.version(1)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'x'"):
        zc.version(x=1)


@pytest.mark.parametrize("method, signature", GRAPH_STORE_SIGNATURES.items())
def test_method_text_signatures(method, signature):
    assert getattr(zc.GraphStore, method).__text_signature__ == signature


def test_methods_in_class_order():
    methods = [name for name in vars(zc.GraphStore) if name in GRAPH_STORE_SIGNATURES]
    assert methods == list(GRAPH_STORE_SIGNATURES)
    assert isinstance(vars(zc.GraphStore)["deserialize"], staticmethod)


@pytest.mark.parametrize("cls", CLASS_SIGNATURES)
def test_class_text_signatures(cls):
    assert cls.__text_signature__ == CLASS_SIGNATURES[cls]
    assert cls.__module__ == "zembrik_core"


@pytest.mark.parametrize("name, obj", list(public_callables()))
def test_every_callable_documents_itself_after_its_signature(name, obj):
    # The interpreter strips the signature, so __doc__ is the prose alone.
    assert obj.__text_signature__ is not None, name
    doc = obj.__doc__ or ""
    assert len(doc.split()) >= 5, f"{name} has no description"
    assert "\n--\n" not in doc and not doc.startswith(obj.__name__ + "(")


def test_module_has_a_description():
    assert zc.__doc__ and "GraphStore" in zc.__doc__
    assert zc.__doc__.strip() == zc.__doc__


@pytest.mark.parametrize("name, doc", list(every_docstring()))
def test_docstrings_are_the_modules_own(name, doc):
    assert doc, name
    assert FOREIGN.search(doc) is None, f"{name}: {FOREIGN.search(doc).group()!r}"
    assert all(len(line) <= 79 for line in doc.splitlines()), name
    assert len(doc) < 900, f"{name} is long"


def test_nodes_docstring_names_every_kind_nodes_returns(store):
    src = store.add_source("s")
    ops = store.add_op("g", [store.add_op("f", [src])])
    d = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s")
    ext = store.add_external(d, [store.add_reduction("sum", [ops])])
    join = store.add_join([store.add_exchange([ext]), src])
    reduced, _ = store.reduce(outputs=[join])
    kinds = {n["kind"] for n in store.nodes() + reduced.nodes()}
    assert kinds == {"source", "op", "reduction", "external", "exchange", "join", "stage"}
    doc = zc.GraphStore.nodes.__doc__
    assert {k for k in kinds if re.search(rf"\b{k}\b", doc)} == kinds
    member_kinds = {m["kind"] for n in reduced.nodes() if n["kind"] == "stage" for m in n["members"]}
    assert member_kinds <= {"op", "red"}
    assert all(re.search(rf"\b{k}\b", doc) for k in ("op", "red"))
    keys = {key for n in store.nodes() + reduced.nodes() for key in n}
    assert {key for key in keys if re.search(rf"\b{key}\b", doc)} == keys


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
