#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets to tests/fuzz/corpus/<target>/.

Blobs are serialized from stores recorded and reduced with zembrik_core (so
they hold stages), plus the few shapes the writer never produces (a repeated
record, unsorted parameter keys). Tokens are the stage member tokens of those
blobs plus the malformed ones the reader must refuse. Patterns are the rule
texts of the saturation engine and the reader's corner cases.

Run it with zembrik_core importable, e.g. after `pip install .`:
    python3 scripts/gen_fuzz_corpus.py
Files are named by the SHA-1 of their bytes, as libFuzzer names its own.
"""

import hashlib
import pathlib
import shutil
import struct

import zembrik_core as zc

CORPUS = pathlib.Path(__file__).resolve().parent.parent / "tests" / "fuzz" / "corpus"

COMMUTATIVE = ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"]
IDENTITIES = [
    "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl",
]
DESCRIPTOR = dict(kind="model", content_hash="sha256:9f2c", framework="torch", version="2.4",
                  io_schema="f32[batch, 16] -> f32[batch]")


def pipeline():
    """Every node kind, identities, swapped operands and op runs to fuse."""
    s = zc.GraphStore()
    events = s.add_source("events", {"path": "s3://b/e", "format": "parquet", "n": 3})
    users = s.add_source("us|ers;=%")
    cleaned = s.add_op("filter", [events], {"predicate": "valid", "strict": True})
    scaled = s.add_op("mul", [cleaned], {"scalar": 2.5, "side": "r"})
    shifted = s.add_op("add", [scaled], {"scalar": 0.0, "side": "r"})
    one = s.add_op("mul", [shifted], {"scalar": 1.0, "side": "l"})
    model = s.add_external(DESCRIPTOR, [one], {"batch": 64})
    ref = s.add_external({**DESCRIPTOR, "preprocessing_ref": "norm|v1"}, [model])
    shuffled = s.add_exchange([ref], {"scheme": "hash"})
    joined = s.add_join([shuffled, users], {"how": "inner"})
    left = s.add_op("add", [joined, users])
    right = s.add_op("add", [users, joined])
    odd = s.add_op("map", [s.add_op("maximum", [left, right])],
                   {"nan": float("nan"), "neg": -0.0, "big": -(2**63), "text": "é\u2028"})
    total = s.add_reduction("sum", [odd], {"axis": 0})
    s.add_op("debug_dump", [cleaned])
    return s, total


def blobs():
    s, total = pipeline()
    yield zc.GraphStore().serialize()
    yield s.serialize()
    yield s.serialize(outputs=[total, 0, total])
    for fusion in (False, True):
        reduced, _ = s.reduce(outputs=[total], maximal_fusion=fusion)
        yield reduced.serialize()
    yield s.cone(outputs=[total]).serialize()
    chain = zc.GraphStore()
    x = chain.add_source("x")
    for k in range(6):
        x = chain.add_op("step", [x], {"k": k})
    fanned = chain.add_reduction("count", [x, chain.add_op("tap", [x])])
    yield chain.reduce(outputs=[fanned], maximal_fusion=True)[0].serialize()
    # Shapes the writer never produces.
    source_a = b"\x00" + struct.pack("<I", 1) + b"a" + bytes(4)
    yield b"ZIR1" + struct.pack("<I", 3) + source_a + source_a + b"\x05" + bytes(4) + \
        struct.pack("<IQ", 1, 1) + struct.pack("<IQ", 1, 2)
    unsorted = b"\x00" + struct.pack("<I", 1) + b"s" + struct.pack("<I", 2)
    for key, value in ((b"z", 1), (b"a", 2)):
        unsorted += struct.pack("<I", 1) + key + b"\x00" + struct.pack("<q", value)
    yield b"ZIR1" + struct.pack("<I", 1) + unsorted + struct.pack("<IQ", 1, 0)


def member_tokens(blob):
    """The strings of a blob that look like Op or Reduction tokens."""
    for head in (b"op|", b"red|"):
        at = blob.find(head)
        while at >= 4:
            (length,) = struct.unpack_from("<I", blob, at - 4)
            if at + length <= len(blob):
                yield blob[at:at + length]
            at = blob.find(head, at + 1)


def tokens():
    for blob in blobs():
        yield from member_tokens(blob)
    for text in ["op|", "op|100%25", "red|sum|axis=i-3;axis=i+7", "op|a|k=f+1", "op|a|x=s",
                 "op|a|f=fFFF0000000000001;t=bfalse", "op", "src|a", "op|a|k", "op|a|k=",
                 "op|a|k=x1", "op|a|k=i", "op|a|k=i1;", "op|a|k=bTrue", "op|a|k=f-1", "op|a|k=FF",
                 "op|a|k=i99999999999999999999", "op|a|b|c"]:
        yield text.encode()


def patterns():
    for op in COMMUTATIVE:
        yield f"(op|{op} ?a ?b)"
        yield f"(op|{op} ?b ?a)"
    for token in IDENTITIES:
        yield f"({token} ?x)"
    yield "?x"
    yield from ["(f ?x ?x)", "(f (g ?x) ?y)", "(g (f a b))", "((a) b)", "(?f a)", "()", "(a",
                ")", "(a b) junk", '"a\\"b"', "(a\tb)", "?", "(f\n  a\r\n  b)",
                "\u3000 (f a) \u00a0", "(f \"q q\" (g))", ""]


def write(target, items):
    folder = CORPUS / target
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    names = set()
    for item in items:
        data = item.encode() if isinstance(item, str) else item
        name = hashlib.sha1(data).hexdigest()
        (folder / name).write_bytes(data)
        names.add(name)
    print(f"{target}: {len(names)} seeds")


if __name__ == "__main__":
    write("blob", blobs())
    write("op_token", tokens())
    write("pattern", patterns())
