"""to_dot() as Python sees it: a str, marks from a blob, non-ASCII labels."""

import zembrik_core as zc


def test_worked_example_and_text(descriptor_fields):
    s = zc.GraphStore()
    s.add_op("add", [s.add_source("a")], {"side": "r", "scalar": 0.0})
    # Marks come only from blobs; one marked twice is drawn once.
    assert zc.GraphStore.deserialize(s.serialize(outputs=[1, 1])).to_dot() == (
        "digraph zembrik {\n"
        '  n0 [label="Source a"];\n'
        '  n1 [label="Op add {scalar=0, side=\\"r\\"}", shape=doublecircle];\n'
        "  n0 -> n1;\n"
        "}\n"
    )
    s.add_external(descriptor_fields, [0], {"path": 'é "x"'})
    assert s.to_dot().split("\n")[3] == (
        '  n2 [label="External model:h [torch 2] {path=\\"é \\\\\\"x\\\\\\"\\"}"];'
    )
