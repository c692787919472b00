"""The add_* methods: argument binding, id lists, input checks, and that a
failed call records nothing."""

import pytest

import zembrik_core as zc


def chain(store, length):
    prev = store.add_source("src")
    for i in range(length - 1):
        prev = store.add_op("map", [prev], {"k": i})
    return prev


def test_equal_nodes_share_an_id(store):
    assert store.add_source("src") == store.add_source("src") == 0
    assert store.node_count() == 1
    a = store.add_op("add", [0, 0])
    assert store.add_op("add", [0, 0]) == a
    assert store.add_op("add", (0, 0)) == a
    assert store.add_op("add", range(0, 0)) != a
    assert store.add_reduction("add", [0, 0]) != a


def test_input_order_matters_and_params_order_does_not(store):
    x, y = store.add_source("x"), store.add_source("y")
    assert store.add_op("f", [x, y]) != store.add_op("f", [y, x])
    assert store.add_op("g", [x], {"a": 1, "b": 2}) == store.add_op("g", [x], {"b": 2, "a": 1})


def test_every_kind_records(store, descriptor_fields):
    s = store.add_source("s", {"n": 1})
    ids = [
        s,
        store.add_op("map", [s]),
        store.add_reduction("sum", [s], {"axis": 0}),
        store.add_external(descriptor_fields, [s], {"batch": 8}),
        store.add_exchange([s], {"scheme": "hash"}),
        store.add_join([s, s], {"how": "inner"}),
        store.add_join([s]),
        store.add_exchange([]),
        store.add_op("map", []),
    ]
    assert ids == list(range(len(ids)))
    kinds = [n["kind"] for n in store.nodes()]
    assert kinds == ["source", "op", "reduction", "external", "exchange", "join", "join",
                     "exchange", "op"]


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.add_op("map", [5]),
        lambda s: s.add_op("map", [0, 2]),
        lambda s: s.add_reduction("sum", [7]),
        lambda s: s.add_external({"kind": "k", "content_hash": "h", "framework": "f",
                                  "version": "v", "io_schema": "s"}, [2]),
        lambda s: s.add_exchange([2]),
        lambda s: s.add_join([0, 2**64 - 1]),
    ],
)
def test_unknown_input_ids(call, store):
    store.add_source("a")
    store.add_source("b")
    with pytest.raises(ValueError, match=r"^no node with id (2|5|7|18446744073709551615)$"):
        call(store)
    assert store.node_count() == 2


def test_first_offending_input_is_named(store):
    chain(store, 3)
    with pytest.raises(ValueError, match="^no node with id 7$"):
        store.add_op("m", [7, 5])
    with pytest.raises(ValueError, match="^no node with id 3$"):
        store.add_op("m", [1, 3])
    assert store.add_op("m", [2, 2]) == 3


class Seq:
    """A sequence by item access alone."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "inputs", [[0, 1], (0, 1), range(2), Seq([0, 1]), [Idx(0), True], [False, Idx(1)]]
)
def test_accepted_id_lists(store, inputs):
    store.add_source("a")
    store.add_source("b")
    assert store.add_op("f", inputs) == 2
    assert store.nodes()[2]["inputs"] == [0, 1]


@pytest.mark.parametrize(
    "inputs, error",
    [
        ("0", TypeError),
        ("", TypeError),
        ({0: 0}, TypeError),
        ({0}, TypeError),
        (frozenset([0]), TypeError),
        (iter([0]), TypeError),
        ((i for i in [0]), TypeError),
        (None, TypeError),
        (0, TypeError),
        ([0.0], TypeError),
        (["0"], TypeError),
        ([-1], OverflowError),
        ([2**64], OverflowError),
        ([10**100], OverflowError),
    ],
)
def test_refused_id_lists(store, inputs, error):
    store.add_source("a")
    with pytest.raises(error) as info:
        store.add_op("f", inputs)
    assert info.value.__notes__ == ["while processing 'inputs'"]
    assert store.node_count() == 1


def test_id_list_whose_items_raise(store):
    class Raising(Seq):
        def __getitem__(self, i):
            raise RuntimeError("boom")

    class BadIdx:
        def __index__(self):
            raise ValueError("bad index")

    store.add_source("a")
    with pytest.raises(RuntimeError, match="boom"):
        store.add_op("f", Raising([0]))
    with pytest.raises(ValueError, match="bad index"):
        store.add_op("f", [BadIdx()])
    assert store.node_count() == 1


def test_list_that_changes_length_while_read(store):
    store.add_source("a")
    inputs = [0, 0, 0]

    class Shrinking:
        def __index__(self):
            inputs.clear()
            return 0

    inputs.insert(1, Shrinking())
    assert store.add_op("f", inputs) == 1  # read as far as the list reaches
    assert store.nodes()[1]["inputs"] == [0, 0]

    growing = [0]

    class Growing:
        def __index__(self):
            growing.append(0)
            return 0

    growing.append(Growing())
    assert store.add_op("g", growing) == 2  # the appended element is read too
    assert store.nodes()[2]["inputs"] == [0, 0, 0]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.add_op("f"), r"^GraphStore\.add_op\(\) missing 1 required positional argument: 'inputs'$"),
        (lambda s: s.add_op(), r"^GraphStore\.add_op\(\) missing 2 required positional arguments: 'name' and 'inputs'$"),
        (lambda s: s.add_op("f", [], {}, 1), r"^GraphStore\.add_op\(\) takes from 2 to 3 positional arguments but 4 were given$"),
        (lambda s: s.add_source("f", params={}, extra=1), r"^GraphStore\.add_source\(\) got an unexpected keyword argument 'extra'$"),
        (lambda s: s.add_join([], inputs=[]), r"^GraphStore\.add_join\(\) got multiple values for argument 'inputs'$"),
        (lambda s: s.node_count(1), r"^GraphStore\.node_count\(\) takes 0 positional arguments but 1 was given$"),
        (lambda s: s.nodes(x=1), r"^GraphStore\.nodes\(\) got an unexpected keyword argument 'x'$"),
        (lambda s: s.add_external(), r"^GraphStore\.add_external\(\) missing 2 required positional arguments: 'descriptor' and 'inputs'$"),
    ],
)
def test_binding_errors(store, call, message):
    with pytest.raises(TypeError, match=message):
        call(store)


def test_keywords_bind_like_positionals(store):
    s = store.add_source(name="s", params={"a": 1})
    assert store.add_op(params=None, inputs=[s], name="f") == store.add_op("f", [s])
    assert store.add_exchange(inputs=[s]) == store.add_exchange([s], None)


@pytest.mark.parametrize("name", [1, None, b"name", ["n"]])
def test_name_must_be_str(store, name):
    with pytest.raises(TypeError) as info:
        store.add_source(name)
    assert info.value.__notes__ == ["while processing 'name'"]


def test_name_with_lone_surrogate(store):
    with pytest.raises(UnicodeEncodeError) as info:
        store.add_op("\ud800", [])
    assert info.value.__notes__ == ["while processing 'name'"]
    assert store.node_count() == 0


def test_str_subclass_name(store):
    class Name(str):
        pass

    assert store.add_source(Name("s")) == store.add_source("s")


def test_fresh_store_has_no_marks(store):
    chain(store, 4)
    assert store.outputs() == []
    assert not any(n["output"] for n in store.nodes())


def test_numpy_ids_and_id_arrays_are_id_lists():
    np = pytest.importorskip("numpy")
    store = zc.GraphStore()
    a = store.add_source("a")
    b = store.add_source("b")
    ids = np.array([a, b], dtype=np.int64)
    join = store.add_join(ids)
    assert store.add_join([a, b]) == join == store.add_join([np.int64(a), np.uint8(b)])
    assert store.serialize(outputs=np.array([join])) == store.serialize(outputs=[join])
    with pytest.raises(TypeError) as info:
        store.add_join(np.array([0.0, 1.0]))
    assert info.value.__notes__ == ["while processing 'inputs'"]
