#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer it may not use.

The layers, bottom to top: base; ir; arena; store and eqsat side by side;
serialize and the optimizer's passes side by side; the reduced stores; the
Python binding. A layer uses only the layers listed for it below, so no
include points up, and the optimizer's passes never see the locked store.
Tests, benchmarks and fuzz targets may include anything.
"""

import pathlib
import re
import sys

MAY_USE = {
    "base": set(),
    "ir": {"base"},
    "arena": {"base", "ir"},
    "store": {"base", "ir", "arena"},
    "eqsat": {"base"},
    "serialize": {"base", "ir", "arena", "store"},
    "optimizer": {"base", "ir", "arena", "eqsat"},
    "reduced_store": {"base", "ir", "arena", "store", "eqsat", "optimizer"},
    "python": {"base", "ir", "arena", "store", "eqsat", "serialize", "optimizer", "reduced_store"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_of(path: pathlib.PurePosixPath) -> str:
    """The layer of a path under src/, such as "optimizer/pipeline.hpp"."""
    folder = path.parts[0]
    if folder == "optimizer" and path.stem == "reduced_store":
        return "reduced_store"
    return folder


def main() -> int:
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    problems = []
    checked = 0
    for file in sorted(src.rglob("*")):
        if file.suffix not in {".hpp", ".cpp", ".inc"}:
            continue
        relative = pathlib.PurePosixPath(file.relative_to(src).as_posix())
        layer = layer_of(relative)
        if layer not in MAY_USE:
            problems.append(f"src/{relative}: folder {layer!r} is not a known layer")
            continue
        for header in INCLUDE.findall(file.read_text(encoding="utf-8")):
            target = pathlib.PurePosixPath(header)
            if len(target.parts) < 2:
                continue  # a file beside this one, such as a generated table
            used = layer_of(target)
            if used != layer and used not in MAY_USE[layer]:
                problems.append(f"src/{relative}: includes {header}, but {layer} may not use {used}")
            checked += 1
    for problem in problems:
        print(problem, file=sys.stderr)
    if checked == 0:
        print("no includes found under src/", file=sys.stderr)
        return 1
    print(f"layers: {checked} includes checked, {len(problems)} pointing the wrong way")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
