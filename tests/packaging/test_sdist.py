"""The sdist carries what a build needs, and installs into a bare virtual
environment as a working module with the project's metadata."""

import json
import tarfile
import tomllib

from packaging_support import ROOT, run

PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
VERSION = PYPROJECT["project"]["version"]
TOP = f"zembrik_core-{VERSION}"
LEFT_OUT = (".ci/", ".github/", "build/", "dist/")


def members(sdist):
    with tarfile.open(sdist) as tar:
        return {name.removeprefix(f"{TOP}/") for name in tar.getnames()}


def test_sdist_holds_every_source_and_cmake_file(sdist):
    names = members(sdist)
    needed = {"pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "PKG-INFO"}
    for path in ROOT.rglob("*"):
        relative = path.relative_to(ROOT).as_posix()
        if path.is_file() and not relative.startswith(LEFT_OUT) and (
                relative.startswith("src/") or path.name == "CMakeLists.txt"):
            needed.add(relative)
    assert needed - names == set()
    assert [name for name in names if name.startswith(LEFT_OUT)] == []


def test_sdist_metadata_carries_the_license_expression(sdist):
    with tarfile.open(sdist) as tar:
        pkg_info = tar.extractfile(f"{TOP}/PKG-INFO").read().decode()
    lines = pkg_info.splitlines()
    assert "Metadata-Version: 2.4" in lines
    assert "License-Expression: MIT" in lines
    assert "License-File: LICENSE" in lines
    assert f"Version: {VERSION}" in lines


PROBE = """
import importlib.metadata, json
import zembrik_core as zc

store = zc.GraphStore()
src = store.add_source("events")
m = store.add_op("map", [src], {"k": 3})
same = store.add_op("add", [m], {"scalar": 0.0, "side": "r"})
store.add_op("debug", [src])
reduced, report = store.reduce(outputs=[same])
blob = store.serialize(outputs=[same])
again = zc.GraphStore.deserialize(blob)
dist = importlib.metadata.distribution("zembrik_core")
print(json.dumps({
    "version": zc.version(),
    "report": {k: report[k] for k in ("input_nodes", "reachable_nodes", "canonical_nodes")},
    "node_map": [list(e) if e else None for e in reduced.node_map()],
    "round_trip": again.serialize() == blob and again.node_count() == 4,
    "license": dist.metadata["License-Expression"],
    "license_files": sorted(f.name for f in dist.files if "licenses" in f.parts),
}))
"""


def test_installed_sdist_works_and_reports_its_version(venv_python, tmp_path):
    # From an empty directory, so that only the installed module can be imported.
    seen = json.loads(run([venv_python, "-c", PROBE], cwd=tmp_path).stdout)
    assert seen["version"] == VERSION
    assert seen["report"] == {"input_nodes": 4, "reachable_nodes": 3, "canonical_nodes": 2}
    # The add-zero stands for its operand; the unconsumed debug op is dead.
    node_map = seen["node_map"]
    assert node_map[1] == node_map[2] and node_map[3] is None
    assert seen["round_trip"]
    assert seen["license"] == "MIT"
    assert seen["license_files"] == ["LICENSE"]
