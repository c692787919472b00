"""reduce, reduction_report, reduce_incremental, cone and node_map: arguments,
results as Python sees them, boundary nodes whose tokens collide, determinism,
and the consistency of node maps on random graphs."""

import struct

import pytest
from hypothesis import given, settings, strategies as st

import zembrik_core as zc

SIGNATURES = {
    "reduce": "($self, *, maximal_fusion=False, outputs=None)",
    "reduction_report": "($self, *, outputs=None)",
    "reduce_incremental": "($self, *, outputs=None)",
    "cone": "($self, *, outputs)",
    "node_map": "($self)",
}
REPORT_KEYS = {"input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
               "boundary_nodes"}
ORDER = ("input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
         "boundary_nodes")
COMMUTATIVE = ("add", "mul", "and", "or", "eq", "ne", "maximum", "minimum")
IDENTITIES = ({"scalar": 0.0, "side": "r"}, {"scalar": 0.0, "side": "l"},
              {"scalar": 1.0, "side": "r"}, {"scalar": 1.0, "side": "l"})


def counts(report):
    assert set(report) == REPORT_KEYS
    return tuple(report[key] for key in ORDER)


def five(s):
    """src a, src b, f(a, b), g(f), join(g, b): five nodes, no marks."""
    a, b = s.add_source("a"), s.add_source("b")
    g = s.add_op("g", [s.add_op("f", [a, b])])
    s.add_join([g, b])
    return s


def chain(s):
    src = s.add_source("s")
    op1 = s.add_op("op1", [src])
    return src, op1, s.add_op("op2", [op1])


# -- signatures and arguments ---------------------------------------------------------------


@pytest.mark.parametrize("method, signature", SIGNATURES.items())
def test_text_signatures(method, signature):
    assert getattr(zc.GraphStore, method).__text_signature__ == signature


def test_reduce_docstring_names_the_report_keys(store):
    _, report = five(store).reduce()
    assert {key for key in report if key in zc.GraphStore.reduce.__doc__} == REPORT_KEYS


@pytest.mark.parametrize(
    "call, message",
    [(lambda s: s.reduce(True), r"^GraphStore\.reduce\(\) takes 0 positional arguments but 1 "
      r"was given$"),
     (lambda s: s.reduction_report([0]), r"^GraphStore\.reduction_report\(\) takes 0 "
      r"positional arguments"),
     (lambda s: s.reduce_incremental(None), r"^GraphStore\.reduce_incremental\(\) takes 0 "
      r"positional arguments"),
     (lambda s: s.cone([0]), r"^GraphStore\.cone\(\) takes 0 positional arguments"),
     (lambda s: s.cone(), r"^GraphStore\.cone\(\) missing 1 required keyword-only argument: "
      r"'outputs'$"),
     (lambda s: s.node_map(0), r"^GraphStore\.node_map\(\) takes 0 positional arguments"),
     (lambda s: s.reduction_report(maximal_fusion=False),
      r"^GraphStore\.reduction_report\(\) got an unexpected keyword argument 'maximal_fusion'$"),
     (lambda s: s.reduce_incremental(maximal_fusion=True),
      r"unexpected keyword argument 'maximal_fusion'$")],
)
def test_arguments_are_keyword_only(call, message):
    with pytest.raises(TypeError, match=message):
        call(five(zc.GraphStore()))


@pytest.mark.parametrize("flag", [1, 0, None, "yes"])
def test_maximal_fusion_must_be_a_bool(flag):
    with pytest.raises(TypeError) as caught:
        five(zc.GraphStore()).reduce(maximal_fusion=flag)
    assert caught.value.__notes__ == ["while processing 'maximal_fusion'"]


REDUCERS = [
    lambda s, o: s.reduce(outputs=o),
    lambda s, o: s.reduce(maximal_fusion=True, outputs=o),
    lambda s, o: s.reduction_report(outputs=o),
    lambda s, o: s.reduce_incremental(outputs=o),
    lambda s, o: s.cone(outputs=o),
]


@pytest.mark.parametrize("method", REDUCERS)
@pytest.mark.parametrize(
    "outputs, error, message",
    [([99], ValueError, "^no node with id 99$"), ([4, 5, 7], ValueError, "^no node with id 5$"),
     ("0", TypeError, None), ({0: 0}, TypeError, None), (iter([0]), TypeError, None),
     ([0, "1"], TypeError, None), ([-1], OverflowError, None)],
)
def test_outputs_must_be_valid_ids(method, outputs, error, message):
    s = five(zc.GraphStore())
    with pytest.raises(error, match=message):
        method(s, outputs)
    assert s.node_count() == 5


# -- outputs, reports and node maps -----------------------------------------------------------


@pytest.mark.parametrize("method", REDUCERS[:4])
def test_without_marks_nothing_is_kept(method):
    result = method(five(zc.GraphStore()), None)
    report = result if isinstance(result, dict) else result[1]
    assert counts(report) == (5, 0, 0, 0, 0, 0)
    if not isinstance(result, dict):
        assert result[0].node_count() == 0 and result[0].node_map() == [None] * 5


def test_outputs_are_where_they_landed():
    s = five(zc.GraphStore())
    for k in range(5):
        r, report = s.reduce(outputs=[k, k])  # a repeat is marked once
        assert r.outputs() == [r.node_map()[k][0]]
        assert len(r.node_map()) == s.node_count() == report["input_nodes"]
    assert s.node_map() == [] and s.outputs() == []
    # A reduced store reduces against its own marks unless outputs are given.
    assert counts(r.reduce(outputs=[])[1])[1:] == (0, 0, 0, 0, 0)
    again, _ = r.reduce()
    assert again.outputs() == [again.node_map()[r.outputs()[0]][0]]


@pytest.mark.parametrize("outputs", [[5], [3, 0], [], None])
def test_report_only_and_incremental_follow_single_use_fusion(outputs):
    s = zc.GraphStore()
    s.add_join([fan_out(s)])  # the two rules fuse this graph differently
    store, report = s.reduce(outputs=outputs)
    incremental, incremental_report = s.reduce_incremental(outputs=outputs)
    assert s.reduction_report(outputs=outputs) == report == incremental_report
    assert incremental.serialize() == store.serialize()
    assert incremental.node_map() == store.node_map()
    if outputs == [5]:
        assert s.reduce(maximal_fusion=True, outputs=outputs)[1] != report


# -- what reductions do -----------------------------------------------------------------------


def fan_out(s):
    """a = op(src), b = op(a), c = op(a), d = add(b, c)"""
    a = s.add_op("a", [s.add_source("src")])
    return s.add_op("add", [s.add_op("b", [a]), s.add_op("c", [a])])


def twice(s):
    a = s.add_op("a", [s.add_source("s")])
    return s.add_op("mul", [a, a])


def into_boundary(s):
    src = s.add_source("s")
    return s.add_join([s.add_op("f", [src]), s.add_op("g", [src])])


def commuted(s):
    a, b = s.add_source("a"), s.add_source("b")
    return s.add_join([s.add_op("mul", [a, b]), s.add_op("mul", [b, a])])


@pytest.mark.parametrize(
    "build, maximal, stages, landing",
    [(lambda s: chain(s)[2], False, [[("op1", [("input", 0)]), ("op2", [("member", 0)])]],
      [(0, None), (1, 0), (1, 1)]),
     (fan_out, False, [[("a", [("input", 0)])],
                       [("b", [("input", 0)]), ("c", [("input", 0)]),
                        ("add", [("member", 0), ("member", 1)])]],
      [(0, None), (1, 0), (2, 0), (2, 1), (2, 2)]),
     (fan_out, True, [[("a", [("input", 0)]), ("b", [("member", 0)]), ("c", [("member", 0)]),
                       ("add", [("member", 1), ("member", 2)])]],
      [(0, None), (1, 0), (1, 1), (1, 2), (1, 3)]),
     (twice, False, [[("a", [("input", 0)])], [("mul", [("input", 0), ("input", 0)])]],
      [(0, None), (1, 0), (2, 0)]),
     (twice, True, [[("a", [("input", 0)]), ("mul", [("member", 0), ("member", 0)])]],
      [(0, None), (1, 0), (1, 1)]),
     # Ops feeding one boundary never share a stage.
     *[(into_boundary, maximal, [[("f", [("input", 0)])], [("g", [("input", 0)])]],
        [(0, None), (1, 0), (2, 0), (3, None)]) for maximal in (False, True)],
     # The first of a commuted pair survives, with its own operand order.
     (commuted, False, [[("mul", [("input", 0), ("input", 1)])]],
      [(0, None), (1, None), (2, 0), (2, 0), (3, None)])],
)
def test_stages(build, maximal, stages, landing):
    s = zc.GraphStore()
    r, report = s.reduce(maximal_fusion=maximal, outputs=[build(s)])
    found = [[(m["name"], m["inputs"]) for m in n["members"]]
             for n in r.nodes() if n["kind"] == "stage"]
    assert found == stages and report["stages"] == len(stages)
    assert r.node_map() == landing
    assert report["canonical_nodes"] == len(set(landing))


@pytest.mark.parametrize("maximal", [False, True])
def test_outputs_and_boundaries_cut_stages(maximal):
    s = zc.GraphStore()
    a = s.add_op("a", [s.add_source("s", {"n": 1})])
    red = s.add_reduction("sum", [a], {"axis": 0})  # a is not fused into it
    b = s.add_op("b", [red])  # an output with one consumer
    c = s.add_op("c", [b])
    ext = s.add_external(dict(kind="k", content_hash="h", framework="f", version="v",
                              io_schema="s"), [c], {"batch": 2})
    join = s.add_join([s.add_exchange([ext], {"scheme": "hash"}), 0], {"how": "inner"})
    r, report = s.reduce(maximal_fusion=maximal, outputs=[join, b])
    assert counts(report) == (8, 8, 8, 3, 8, 5)
    nodes, original = r.nodes(), s.nodes()
    assert [n["kind"] for n in nodes] == ["source", "stage", "reduction", "stage", "stage",
                                          "external", "exchange", "join"]
    # Boundaries come back as their own keys with renumbered inputs.
    for n in (0, 2, 5, 6, 7):
        assert {**nodes[n], "output": None} == {**original[n], "output": None}
    assert nodes[4]["inputs"] == [3] and r.outputs() == [7, 3]


@pytest.mark.parametrize(
    "name, params, arity, merged",
    [*[("add" if p["scalar"] == 0.0 else "mul", p, 1, True) for p in IDENTITIES],
     ("add", {"scalar": -0.0, "side": "r"}, 1, False), ("add", {"scalar": 0, "side": "r"}, 1, False),
     ("mul", {"scalar": 1.0, "side": "r", "k": 1}, 1, False),
     ("add", {"scalar": 0.0, "side": "r"}, 2, False), ("sub", {"scalar": 0.0, "side": "r"}, 1, False)],
)
def test_identity_ops_and_lookalikes(name, params, arity, merged):
    s = zc.GraphStore()
    x = s.add_op("f", [s.add_source("s")])
    y = s.add_op(name, [x] * arity, params)
    r, report = s.reduce(outputs=[s.add_op("neg", [y])])
    assert report["canonical_nodes"] == (3 if merged else 4)
    assert (r.node_map()[y] == r.node_map()[x]) == merged


@pytest.mark.parametrize("name, params", [*[(n, None) for n in COMMUTATIVE], ("sub", None),
                                          ("add", {"k": 1}), ("Add", None)])
def test_which_pairs_commute(name, params):
    s = zc.GraphStore()
    a, b = s.add_source("a"), s.add_source("b")
    pair = [s.add_op(name, [a, b], params), s.add_op(name, [b, a], params)]
    _, report = s.reduce(outputs=[s.add_join(pair)])
    assert report["canonical_nodes"] == (4 if name in COMMUTATIVE and params is None else 5)


def test_cone_rewrites_nothing():
    s = zc.GraphStore()
    a, b = s.add_source("a"), s.add_source("b")
    s.add_op("unused", [a])
    y = s.add_op("add", [s.add_op("add", [a, b])], IDENTITIES[0])
    outputs = [s.add_join([y, s.add_op("add", [b, a])]), y, y]
    cut = s.cone(outputs=outputs)
    assert cut.outputs() == [5, 3]
    assert cut.node_map() == [(0, None), (1, None), None, *[(i, None) for i in range(2, 6)]]
    kept = [n for n, entry in zip(s.nodes(), cut.node_map()) if entry is not None]
    assert [(n["kind"], n["name"], n["params"]) for n in cut.nodes()] == [
        (n["kind"], n["name"], n["params"]) for n in kept]
    assert cut.nodes()[5]["inputs"] == [3, 4]
    empty = s.cone(outputs=[])
    assert empty.node_count() == 0 and empty.node_map() == [None] * 7


# -- boundary nodes whose tokens coincide ---------------------------------------------------


def pack_str(text):
    raw = text.encode()
    return struct.pack("<I", len(raw)) + raw


def pack_ids(ids):
    return struct.pack(f"<I{len(ids)}Q", len(ids), *ids)


def source_record(name):
    return b"\x00" + pack_str(name) + bytes(4)


def external_record(kind, content_hash, preprocessing_ref, inputs):
    data = b"\x03" + pack_str(kind) + pack_str(content_hash)
    data += pack_str("torch") + pack_str("2") + pack_str("f32")
    if preprocessing_ref is None:
        data += b"\x00"
    else:
        data += b"\x01" + pack_str(preprocessing_ref)
    return data + bytes(4) + pack_ids(inputs)


def stage_record(inputs, members):
    data = b"\x04" + pack_ids(inputs) + struct.pack("<I", len(members))
    for token, refs in members:
        data += pack_str(token) + struct.pack("<I", len(refs))
        data += b"".join(struct.pack("<BI", kind == "member", i) for kind, i in refs)
    return data


def join_record(inputs):
    return b"\x06" + bytes(4) + pack_ids(inputs)


def blob(records, outputs):
    data = b"ZIR1" + struct.pack("<I", len(records)) + b"".join(records)
    return data + struct.pack(f"<I{len(outputs)}Q", len(outputs), *outputs)


COLLIDING = {
    # Every Stage with two members has the token "stage|2".
    "stages": [stage_record([0], [("op|x", [("input", 0)]), ("op|y", [("member", 0)])]),
               stage_record([0], [("op|y", [("input", 0)]), ("op|x", [("member", 0)])]),
               stage_record([0], [("op|x", [("input", 0)]), ("op|y", [("input", 0)])])],
    # Descriptor strings are not escaped in tokens, and an absent
    # preprocessing_ref is written "-".
    "externals": [external_record("a|b", "c", None, [0]), external_record("a", "b|c", None, [0]),
                  external_record("a", "b|c", "-", [0])],
}


@pytest.mark.parametrize("maximal", [False, True])
@pytest.mark.parametrize("kind", COLLIDING)
def test_boundaries_with_equal_tokens_stay_apart(kind, maximal):
    records = [source_record("s"), *COLLIDING[kind]]
    s = zc.GraphStore.deserialize(blob([*records, join_record([1, 2, 3])], [4]))
    assert s.node_count() == 5
    r, report = s.reduce(maximal_fusion=maximal)
    assert counts(report) == (5, 5, 5, 0, 5, 5)
    assert r.node_map() == [(i, None) for i in range(5)]
    assert repr(r.nodes()) == repr(s.nodes())
    assert r.serialize() == s.serialize()


def test_equal_boundaries_over_merged_inputs_merge():
    # The stages are equal keys over add(a, b) and add(b, a), which merge.
    s = zc.GraphStore.deserialize(blob(
        [source_record("a"), source_record("b"),
         b"\x01" + pack_str("add") + bytes(4) + pack_ids([0, 1]),
         b"\x01" + pack_str("add") + bytes(4) + pack_ids([1, 0]),
         stage_record([2], [("op|x", [("input", 0)])]),
         stage_record([3], [("op|x", [("input", 0)])]),
         join_record([4, 5])], [6]))
    r, report = s.reduce()
    assert report["canonical_nodes"] == 5
    assert r.node_map()[4] == r.node_map()[5] == (3, None)
    assert r.nodes()[4]["inputs"] == [3, 3]


def f_again(r):
    """f(a) recorded again beside the Stage holding it; sub uses both."""
    g = r.add_op("f", [0])
    return [r.add_op("sub", [1, g]), g], 3


def f_again_under_exchanges(r):
    """The same f(a) behind an exchange equal to one over the input Stage."""
    x = r.add_exchange([1])
    g = r.add_op("f", [0])
    return [r.add_join([x, r.add_exchange([g])]), g], 4


@pytest.mark.parametrize("maximal", [False, True])
@pytest.mark.parametrize("extend", [f_again, f_again_under_exchanges])
def test_extended_reduced_store_reduces_to_distinct_nodes(extend, maximal):
    s = zc.GraphStore()
    r, _ = s.reduce(outputs=[s.add_op("f", [s.add_source("a")])])  # a, Stage[f(input 0)]
    outputs, expected_nodes = extend(r)
    r2, report = r.reduce(maximal_fusion=maximal, outputs=outputs)
    nodes = r2.nodes()
    assert r2.node_count() == report["reduced_nodes"] == expected_nodes
    assert report["stages"] + report["boundary_nodes"] == report["reduced_nodes"]
    keys = [repr({k: v for k, v in n.items() if k not in ("id", "output")}) for n in nodes]
    assert len(set(keys)) == len(keys)
    stages = [n for n in nodes if n["kind"] == "stage"]
    assert stages and all(len(set(n["inputs"])) == len(n["inputs"]) for n in stages)
    node_map = r2.node_map()
    assert all(0 <= entry[0] < r2.node_count() for entry in node_map if entry is not None)
    assert node_map[outputs[1]] == (1, 0)  # the new f(a) is the input Stage's member
    blob = r2.serialize()
    again = zc.GraphStore.deserialize(blob)
    assert again.serialize() == blob and repr(again.nodes()) == repr(nodes)


# -- determinism --------------------------------------------------------------------------


def pipeline(s, params_order):
    """A small pipeline with every rule, fan-outs and dead code; `params_order`
    flips the insertion order of parameter dicts, which must not matter."""
    def p(**kw):
        items = list(kw.items())
        return dict(reversed(items) if params_order else items)
    lanes = []
    for lane in range(3):
        x = s.add_source("t", p(path=f"s3://t{lane}", format="parquet"))
        for block in range(6):
            a = s.add_op("map", [x], p(fn=f"f{block}", k=block))
            z = s.add_op("add", [a], p(scalar=0.0, side="r"))
            f1, f2 = s.add_op("filter", [z], p(col=block)), s.add_op("project", [z])
            m = s.add_op("sub", [s.add_op("mul", [f1, f2]), s.add_op("mul", [f2, f1])])
            s.add_op("debug", [m])
            x = s.add_exchange([s.add_reduction("sum", [m], p(axis=0))], p(scheme="hash"))
            if lanes:
                x = s.add_join([x, lanes[-1]], p(how="inner"))
        lanes.append(x)
    return lanes


@pytest.mark.parametrize("maximal", [False, True])
def test_same_graph_in_two_stores_reduces_identically(maximal):
    results = []
    for params_order in (False, True):
        s = zc.GraphStore()
        outputs = pipeline(s, params_order)
        r, report = s.reduce(maximal_fusion=maximal, outputs=outputs)
        results.append((r.serialize(), r.to_dot(), r.node_map(), report,
                        s.reduction_report(outputs=outputs), s.cone(outputs=outputs).serialize()))
    assert results[0] == results[1]
    assert results[0][3]["canonical_nodes"] < results[0][3]["reachable_nodes"]


# -- node maps of random graphs -------------------------------------------------------------

OP_NAMES = ("add", "mul", "maximum", "sub", "f", "g")
PARAMS = st.sampled_from([None, {"k": 1}, {"k": 1.5}, *IDENTITIES,
                          {"scalar": -0.0, "side": "r"}, {"s": "a|b=c"}])
DESCRIPTORS = [dict(kind="a|b", content_hash="c", framework="f", version="1", io_schema="s"),
               dict(kind="a", content_hash="b|c", framework="f", version="1", io_schema="s"),
               dict(kind="a", content_hash="b|c", framework="f", version="1", io_schema="s",
                    preprocessing_ref="-")]


def grow(draw, s, count):
    """Records `count` random nodes of every recordable kind into `s`."""
    if s.node_count() == 0:
        s.add_source(draw(st.sampled_from("ab")))
    for _ in range(count):
        ids = st.integers(0, s.node_count() - 1)
        kind = draw(st.integers(0, 9))
        if kind == 0:
            s.add_source(draw(st.sampled_from("abc")), draw(PARAMS))
        elif kind <= 5:
            inputs = draw(st.lists(ids, min_size=1, max_size=3))
            s.add_op(draw(st.sampled_from(OP_NAMES)), inputs, draw(PARAMS))
        elif kind == 6:
            s.add_reduction("sum", [draw(ids)], draw(PARAMS))
        elif kind == 7:
            s.add_external(draw(st.sampled_from(DESCRIPTORS)), draw(st.lists(ids, max_size=2)))
        elif kind == 8:
            s.add_exchange([draw(ids)], draw(PARAMS))
        else:
            s.add_join(draw(st.lists(ids, min_size=2, max_size=2)))


@st.composite
def graphs(draw):
    """A store and outputs; sometimes a reduced store grown further, so that
    Stage nodes are inputs too."""
    s = zc.GraphStore()
    grow(draw, s, draw(st.integers(0, 25)))
    if draw(st.booleans()):
        outputs = draw(st.lists(st.integers(0, s.node_count() - 1), max_size=3))
        s, _ = s.reduce(maximal_fusion=draw(st.booleans()), outputs=outputs)
        grow(draw, s, draw(st.integers(0, 12)))
    return s, draw(st.lists(st.integers(0, s.node_count() - 1), max_size=4))


def identity(node):
    """What a node is apart from its inputs; floats by their bits (-0.0 is not 0.0)."""
    params = {k: struct.pack("<d", v) if isinstance(v, float) else (type(v), v)
              for k, v in node["params"].items()}
    return node["kind"], node["name"], params, repr(node.get("descriptor")), \
        repr(node.get("members"))


def reachable(nodes, outputs):
    seen, stack = set(), list(outputs)
    while stack:
        i = stack.pop()
        if i not in seen:
            seen.add(i)
            stack.extend(nodes[i]["inputs"])
    return seen


IDENTITY_OPS = [identity({"kind": "op", "name": name, "params": params})
                for name, params in zip(("add", "add", "mul", "mul"), IDENTITIES)]


def value_of(reduced, landing):
    """A landing as the value it names: a stage's value is its last member's."""
    node, member = landing
    if member is not None and member == reduced[node]["n_members"] - 1:
        return node, None
    return landing


def check_landing(original, reduced, node_map, boundaries, i):
    """Node i landed on a node or stage member that computes what it does."""
    node, landing = original[i], node_map[i]
    target = reduced[landing[0]]
    inputs = [value_of(reduced, node_map[x]) for x in node["inputs"]]
    if identity(node) in IDENTITY_OPS and len(inputs) == 1 and \
            inputs[0] == value_of(reduced, landing):
        return  # an identity op, merged into its operand
    if landing[1] is None:  # a boundary node, rebuilt from its own key
        assert landing[0] in boundaries and identity(target) == identity(node)
        assert inputs == [(x, None) for x in target["inputs"]]
        return
    member = target["members"][landing[1]]
    assert identity({**member, "kind": "op"}) == identity(node)

    def resolved(ref):
        kind, index = ref
        if kind == "member":
            return value_of(reduced, (landing[0], index))
        return target["inputs"][index], None

    operands = [resolved(ref) for ref in member["inputs"]]
    if node["name"] in COMMUTATIVE and not node["params"]:
        operands, inputs = sorted(operands, key=repr), sorted(inputs, key=repr)
    assert operands == inputs


@settings(max_examples=200, deadline=None)
@given(graphs(), st.booleans())
def test_node_maps_are_consistent(graph, maximal):
    s, outputs = graph
    r, report = s.reduce(maximal_fusion=maximal, outputs=outputs)
    original, reduced, node_map = s.nodes(), r.nodes(), r.node_map()
    live = reachable(original, outputs)
    assert len(node_map) == len(original) == report["input_nodes"]
    assert [i for i, entry in enumerate(node_map) if entry is not None] == sorted(live)
    assert report["reachable_nodes"] == len(live) and len(reduced) == report["reduced_nodes"]
    boundaries = {entry[0] for entry in node_map if entry and entry[1] is None}
    stages = {entry[0] for entry in node_map if entry and entry[1] is not None}
    # A stage fused from new Ops can equal an input Stage, a boundary; the node
    # is held, and counted, once.
    both = stages & boundaries
    assert len(stages | boundaries) == report["reduced_nodes"]
    assert len(stages) - len(both) <= report["stages"] <= len(stages)
    assert report["stages"] + report["boundary_nodes"] == report["reduced_nodes"]
    assert r.outputs() == list(dict.fromkeys(node_map[o][0] for o in outputs))
    # A stage's value is its last member's.
    assert all(node_map[o][1] is None or node_map[o][1] == reduced[node_map[o][0]]["n_members"] - 1
               for o in outputs)
    for i in live:
        check_landing(original, reduced, node_map, boundaries, i)
    if not maximal:
        assert s.reduction_report(outputs=outputs) == report
        incremental, incremental_report = s.reduce_incremental(outputs=outputs)
        assert incremental_report == report and incremental.serialize() == r.serialize()
        assert incremental.node_map() == node_map
