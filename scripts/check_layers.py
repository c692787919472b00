#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer it may not use.

The layers, bottom to top: base; ir; arena; store (the unlocked graph
value) and eqsat side by side; serialize and the optimizer side by side; the
Python binding, the one layer that locks a graph. A layer uses only the
layers listed for it below, so no include points up.
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
    "optimizer": {"base", "ir", "arena", "store", "eqsat"},
    "python": {"base", "ir", "arena", "store", "eqsat", "serialize", "optimizer"},
}

# Headers that only some layers may include: the record's field layout and
# the builders and cursor that follow it belong to the codec and the blob
# format; every other layer reads records through ir/record.hpp.
PRIVATE_TO = {
    "ir/key_record.hpp": {"ir", "serialize"},
    "ir/record_layout.hpp": {"ir", "serialize"},
    "ir/record_builder.hpp": {"ir", "serialize"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_of(path: pathlib.PurePosixPath) -> str:
    """The layer of a path under src/, such as "optimizer/pipeline.hpp"."""
    return path.parts[0]


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
            elif header in PRIVATE_TO and layer not in PRIVATE_TO[header]:
                problems.append(f"src/{relative}: includes {header}, which is private to "
                                f"{' and '.join(sorted(PRIVATE_TO[header]))}")
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
