"""The stubs, docs/api.md and the module describe one API: every name the
module exports is in the stub, every name of the stub is documented with the
stub's own signature, and the TypedDicts have the keys the real dicts have."""

import ast
import pathlib
import re

import pytest

import zembrik_core as zc

HERE = pathlib.Path(__file__).resolve().parent
STUB = HERE / "../../src/zembrik_core-stubs/__init__.pyi"
DOCS = HERE / "../../docs/api.md"

STUB_TREE = ast.parse(STUB.read_text(encoding="utf-8"))
DOC_TEXT = DOCS.read_text(encoding="utf-8")


def is_public(name):
    return not name.startswith("_")


def stub_classes():
    return {node.name: node for node in STUB_TREE.body if isinstance(node, ast.ClassDef)}


def stub_functions():
    return {node.name: node for node in STUB_TREE.body if isinstance(node, ast.FunctionDef)}


def stub_aliases():
    return {
        node.target.id: node.value
        for node in STUB_TREE.body
        if isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "TypeAlias"
    }


def is_typed_dict(cls):
    classes = stub_classes()
    return any(
        ast.unparse(base) == "TypedDict" or (ast.unparse(base) in classes
                                             and is_typed_dict(classes[ast.unparse(base)]))
        for base in cls.bases
    )


def typed_dict_fields(name):
    """Field name -> annotation text, the inherited fields included."""
    cls = stub_classes()[name]
    fields = {}
    for base in cls.bases:
        if ast.unparse(base) != "TypedDict":
            fields.update(typed_dict_fields(ast.unparse(base)))
    for item in cls.body:
        if isinstance(item, ast.AnnAssign):
            fields[item.target.id] = ast.unparse(item.annotation)
    return fields


def members(cls):
    """The public methods and properties of a stub class, with __new__."""
    return {
        item.name: item
        for item in cls.body
        if isinstance(item, ast.FunctionDef) and (is_public(item.name) or item.name == "__new__")
    }


def stub_all():
    for node in STUB_TREE.body:
        if isinstance(node, ast.Assign) and [ast.unparse(t) for t in node.targets] == ["__all__"]:
            return ast.literal_eval(node.value)
    raise AssertionError("the stub has no __all__")


def doc_sections():
    """Heading text -> the text up to the next heading of any level."""
    parts = re.split(r"^(#{1,4} .*)$", DOC_TEXT, flags=re.MULTILINE)
    return {parts[i].lstrip("# ").strip(): parts[i + 1] for i in range(1, len(parts), 2)}


def section_of(name):
    """The section whose heading names `name` in backticks."""
    found = [text for heading, text in doc_sections().items() if f"`{name}`" in heading]
    assert found, f"docs/api.md has no section for {name}"
    return found[0]


def documented_defs(section):
    """The functions the section's first Python block declares, by name."""
    block = re.search(r"```python\n(.*?)```", section, flags=re.DOTALL)
    assert block, "the section shows no signature"
    tree = ast.parse(block.group(1).rstrip() + ": ...")
    return {node.name: node for node in ast.walk(tree) if isinstance(node, ast.FunctionDef)}


def signature(function):
    """What a caller sees of a def: parameters, their kinds, defaults, types, result."""
    return ast.dump(function.args), ast.dump(function.returns), [
        ast.unparse(d) for d in function.decorator_list]


# -- the module against the stub -------------------------------------------------------------


def is_protocol(cls):
    return any(ast.unparse(base).startswith("Protocol") for base in cls.bases)


def test_stub_declares_every_runtime_name():
    runtime = {name for name in dir(zc) if is_public(name)}
    declared = set(stub_classes()) | set(stub_functions()) | set(stub_aliases())
    assert runtime <= declared, runtime - declared
    assert stub_all() == zc.__all__


@pytest.mark.parametrize("name", [name for name in stub_aliases() if is_public(name)])
def test_public_stub_aliases_are_the_runtime_aliases(name):
    # The stub's text, evaluated with the module's own names, is the object
    # the module holds.
    names = {"ParamValue": zc.ParamValue}
    assert eval(ast.unparse(stub_aliases()[name]), names) == getattr(zc, name)


@pytest.mark.parametrize("name", ["GraphStore", "PayloadDescriptor", "IncrementalReducer"])
def test_stub_classes_have_the_runtime_members(name):
    runtime = {attr for attr in vars(getattr(zc, name)) if is_public(attr)}
    declared = {attr for attr in members(stub_classes()[name]) if is_public(attr)}
    assert runtime == declared


def test_stub_only_types_are_not_runtime_names():
    # A TypedDict or protocol the module does not define must stay a name for
    # type checkers.
    for name, cls in stub_classes().items():
        if is_typed_dict(cls) or is_protocol(cls):
            assert not hasattr(zc, name)
            assert "type_check_only" in [ast.unparse(d) for d in cls.decorator_list], name


def every_kind(store):
    src = store.add_source("s", {"n": 1})
    ops = store.add_op("g", [store.add_op("f", [src], {"x": 0.5})])
    ext = store.add_external(
        dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s"),
        [store.add_reduction("sum", [ops])],
    )
    join = store.add_join([store.add_exchange([ext]), src])
    return store.reduce(outputs=[join])


def test_node_typed_dicts_have_the_keys_of_the_real_entries(store):
    reduced, report = every_kind(store)
    by_kind = {}
    for name, cls in stub_classes().items():
        fields = typed_dict_fields(name) if is_typed_dict(cls) else {}
        kind = re.fullmatch(r"Literal\['(\w+)'\]", fields.get("kind", ""))
        if name.endswith("Node") and kind:
            by_kind[kind.group(1)] = set(fields)
    entries = store.nodes() + reduced.nodes()
    assert set(by_kind) == {node["kind"] for node in entries}
    for node in entries:
        assert set(node) == by_kind[node["kind"]], node["kind"]
    assert set(report) == set(typed_dict_fields("ReductionReport"))
    external = next(node for node in entries if node["kind"] == "external")
    assert set(external["descriptor"]) == set(typed_dict_fields("Descriptor"))
    stage = next(node for node in entries if node["kind"] == "stage")
    assert {key for member in stage["members"] for key in member} == set(
        typed_dict_fields("StageMember"))


def test_node_kind_alias_lists_every_kind(store):
    reduced, _ = every_kind(store)
    kinds = ast.literal_eval(stub_aliases()["_NodeKind"].slice)
    assert sorted(kinds) == sorted({node["kind"] for node in store.nodes() + reduced.nodes()})


# -- the stub against docs/api.md ------------------------------------------------------------


def test_docs_cover_every_module_level_name():
    public = {name for name in list(stub_classes()) + list(stub_functions()) if is_public(name)}
    protocols = {name for name, cls in stub_classes().items() if is_protocol(cls)}
    for name in sorted(public | protocols):
        section_of(name)


@pytest.mark.parametrize(
    "owner, name",
    [(cls, name) for cls, node in stub_classes().items()
     if not is_typed_dict(node) and not is_protocol(node) for name in members(node)],
)
def test_docs_show_each_member_with_the_stub_signature(owner, name):
    function = members(stub_classes()[owner])[name]
    if any(ast.unparse(d) == "property" for d in function.decorator_list):
        assert f"`{owner}.{name}`" in section_of(owner)
        return
    section = section_of(owner if name == "__new__" else f"{owner}.{name}")
    documented = documented_defs(section)
    assert name in documented, f"{owner}.{name} is not shown"
    assert signature(documented[name]) == signature(function)


def test_docs_show_the_functions_with_the_stub_signature():
    for name, function in stub_functions().items():
        assert signature(documented_defs(section_of(name))[name]) == signature(function)


@pytest.mark.parametrize("name", [n for n, c in stub_classes().items() if is_typed_dict(c)
                                  and is_public(n)])
def test_docs_give_every_typed_dict_field(name):
    section = section_of(name)
    for field in typed_dict_fields(name):
        assert re.search(rf"\b{field}\b", section), f"{name}.{field}"


@pytest.mark.parametrize("name", sorted(stub_aliases()))
def test_docs_define_every_alias_as_the_stub_does(name):
    row = re.search(rf"^\| `{name}` \| `(.*?)` \|", DOC_TEXT, flags=re.MULTILINE)
    assert row, f"{name} is not in the alias table"
    documented = ast.parse(row.group(1).replace("\\|", "|"), mode="eval").body
    assert ast.dump(documented) == ast.dump(stub_aliases()[name])


def test_every_dask_lowering_name_is_documented():
    import zembrik_dask

    headings = set(re.findall(r"^#+ (.*)$", DOC_TEXT, flags=re.MULTILINE))
    documented = {name for heading in headings for name in re.findall(r"`([\w.]+)`", heading)}
    missing = [name for name in zembrik_dask.__all__ if name not in documented]
    assert not missing, f"docs/api.md lacks a heading for {missing}"
