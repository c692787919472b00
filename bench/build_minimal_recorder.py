"""Builds bench/minimal_recorder.cpp into an importable module for the running
interpreter: compiled with its headers (sysconfig) and the project's own
hashing and record code, at the optimization of the package's release build.

    folder = build_minimal_recorder.build(into)   # then sys.path.insert(0, folder)
"""

import os
import shutil
import subprocess
import sysconfig

import _require

BENCH = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(os.path.dirname(BENCH), "src")
# The record codec that a NaN record's canonical form needs, and the hash key.
CORE_SOURCES = ["base/hash.cpp", "ir/key_record.cpp", "ir/params.cpp", "ir/display.cpp"]


def build(folder):
    """Compiles the module into `folder` and returns the folder."""
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        _require.fail("no C++ compiler to build the minimal recorder: apt-get install g++")
    target = os.path.join(folder, "minimal_recorder" + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [compiler, "-std=c++20", "-O3", "-DNDEBUG", "-fPIC", "-shared",
               "-fvisibility=hidden", "-I", sysconfig.get_paths()["include"], "-I", SRC,
               os.path.join(BENCH, "minimal_recorder.cpp"),
               *(os.path.join(SRC, source) for source in CORE_SOURCES), "-o", target]
    _require.run(command, "building the minimal recorder")
    return folder
