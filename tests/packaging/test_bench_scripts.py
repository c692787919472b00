"""Each benchmark says in one sentence what is missing, and exits non-zero,
rather than ending in a traceback.

The scripts run in the environment the sdist was installed into, which holds
zembrik_core and nothing else; HIDE makes chosen modules fail to import, as
they would where they are not installed.
"""

import subprocess
import sys

import pytest

from packaging_support import ROOT, run

BENCH = ROOT / "bench"
SCRIPTS = sorted(BENCH.glob("bench_*.py"))
NOT_IMPORTABLE = "zembrik_core is not importable: pip install . first"
HIDE = """
import os, runpy, sys
hidden, script, *args = sys.argv[1:]
for name in filter(None, hidden.split(",")):
    sys.modules[name] = None
sys.argv = [script, *args]
sys.path.insert(0, os.path.dirname(script))
runpy.run_path(script, run_name="__main__")
"""


def bench(python, script, *args, hidden=""):
    return subprocess.run([python, "-c", HIDE, hidden, str(BENCH / script), *map(str, args)],
                          capture_output=True, text=True)


def assert_says(done, message):
    assert done.returncode != 0
    assert done.stderr.rstrip().endswith(message), done.stderr
    assert "Traceback" not in done.stderr


def test_every_script_is_an_executable_python3_script():
    assert len(SCRIPTS) == 10
    for script in SCRIPTS:
        assert script.stat().st_mode & 0o111, script
        assert script.read_text().startswith("#!/usr/bin/env python3\n"), script


@pytest.mark.parametrize("script", [s.name for s in SCRIPTS])
def test_script_says_when_zembrik_core_is_missing(venv_python, script):
    assert_says(bench(venv_python, script, hidden="zembrik_core"),
                f"{NOT_IMPORTABLE}\n(import of zembrik_core halted; None in sys.modules)")


def test_reduce_says_when_dask_is_missing(venv_python):
    assert_says(bench(venv_python, "bench_reduce.py", 100, 2, 1, hidden="dask"),
                "the peer, Dask, is not installed: pip install '.[bench]'\n"
                "(import of dask halted; None in sys.modules)")


def test_service_says_when_numpy_is_missing(venv_python):
    assert_says(bench(venv_python, "bench_service.py", 100, hidden="numpy"),
                "numpy is not installed (it makes the colliding names): pip install '.[bench]'\n"
                "(import of numpy halted; None in sys.modules)")


def test_reduce_shows_a_failed_child_and_says_which(venv_python):
    # The stand-in satisfies the parent's check alone: the child, a new
    # process in an environment without Dask, fails on its import.
    run([venv_python, "-c", "import importlib.util as u; assert u.find_spec('dask') is None"])
    stand_in = "import sys, types; sys.modules['dask'] = types.ModuleType('dask'); "
    done = subprocess.run(
        [venv_python, "-c", stand_in + HIDE, "",
         str(BENCH / "bench_reduce.py"), "100", "2", "1"], capture_output=True, text=True)
    assert done.returncode != 0
    assert "ModuleNotFoundError: No module named 'dask'" in done.stderr  # the child's own
    assert done.stderr.rstrip().endswith(
        "the child process measuring dask failed with exit status 1 "
        "(its standard error is above)")


@pytest.mark.parametrize("script,args", [("bench_build.py", [2000]),
                                         ("bench_persist.py", [2000, 1]),
                                         ("bench_incremental.py", [3000])])
def test_scripts_without_optional_peers_run_on_the_installed_module(venv_python, script, args):
    done = bench(venv_python, script, *args)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("nodes: ")


def test_run_names_a_child_killed_by_a_signal_or_unable_to_start():
    sys.path.insert(0, str(BENCH))
    try:
        import _require
    finally:
        sys.path.remove(str(BENCH))
    with pytest.raises(SystemExit) as stopped:
        _require.run([sys.executable, "-c", "import os; os.kill(os.getpid(), 9)"], "the child")
    assert stopped.value.code == "the child was killed by signal 9 (it wrote no error)"
    with pytest.raises(SystemExit) as stopped:
        _require.run(["/nonexistent/python"], "the child")
    assert stopped.value.code.startswith("the child could not start: ")


def test_service_names_the_figures_when_asked_for_an_unknown_one(venv_python):
    done = bench(venv_python, "bench_service.py", "--only", "stalls,bogus")
    assert done.returncode == 2
    assert "error: no figure named bogus; the figures are memory, flooding," in done.stderr
    assert "Traceback" not in done.stderr


def test_service_says_when_the_before_interpreter_cannot_start(venv_python):
    done = bench(venv_python, "bench_service.py", "--before", "/nonexistent/python",
                 "--only", "signal")
    assert done.returncode != 0
    assert done.stderr.startswith(
        "importing zembrik_core under --before /nonexistent/python could not start: ")
    assert "Traceback" not in done.stderr


def test_service_prints_each_table_with_a_column_per_interpreter(venv_python):
    done = bench(venv_python, "bench_service.py", "--before", venv_python, "--quick",
                 "--only", "fork,exit,signal,copy,node_map", "--children", "2",
                 "--arena", "1", 2000)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith(f"before: {venv_python} (zembrik_core ")
    headings = [i for i, line in enumerate(lines) if not line.startswith(" ")][2:]
    assert [lines[i].split(":")[0] for i in headings] == ["fork", "exit", "signal", "copy",
                                                          "node_map"]
    for i in headings:
        assert lines[i + 1].split() == ["before", "after"]
    assert "measuring child" not in done.stdout
    # Every child of a case ended one way or another, under both interpreters.
    for case in ("stepping while recording", "serialize and cone", "fresh reductions"):
        outcomes = ("hung, fresh store", "hung, busy objects", "raised")
        counts = [[int(cell) for cell in line.split()[-2:]] for line in lines
                  for outcome in outcomes if line.startswith(f"  {case}: {outcome} ")]
        assert len(counts) == len(outcomes)
        assert all(0 <= sum(column) <= 2 for column in zip(*counts))
    signal_rows = [line for line in lines if line.startswith("  IncrementalReducer.step ")]
    assert len(signal_rows) == 1 and signal_rows[0].count(" ms") >= 2


def test_service_prints_the_classic_figures_for_both_interpreters(venv_python):
    done = bench(venv_python, "bench_service.py", "--before", venv_python,
                 "--only", "stalls,parallelism", 2000)
    assert done.returncode == 0, done.stderr
    assert [line.split()[:2] for line in done.stdout.splitlines()[2:]] == [
        ["before", "stall"], ["after", "stall"], ["before", "two"], ["after", "two"]]


def internals(venv_python, code):
    """Runs `code` with bench_service imported as b under the installed module."""
    return run([venv_python, "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
                "import bench_service as b\n" + code, str(BENCH)])


def test_service_table_marks_missing_cells_and_a_failed_child(venv_python):
    done = internals(venv_python, """
b.print_table("fork", "fork: heading", [
    ("before", [("a", "1")], "ended with signal SIGABRT", "boom\\n"),
    ("after", [("a", "22"), ("b", "3")], None, "")])
""")
    assert done.stdout.splitlines() == ["fork: heading",
                                        "        before   after",
                                        "  a     1        22",
                                        "  b     -        3",
                                        "  (before: the measuring child ended with signal SIGABRT)"]
    assert done.stderr == "before: the standard error of the child measuring fork:\nboom\n"


def test_service_forked_children_say_how_far_they_got(venv_python):
    done = internals(venv_python, """
import random, time
def loop(stop):
    stop.wait()
def fails():
    raise ValueError("no")
for use in (fails, lambda: time.sleep(60), lambda: None):
    print(b.fork_during([loop], use, {"children": 2, "timeout": 1.0}, random.Random(1)))
""")
    assert done.stdout.splitlines() == [str([(3, "FBEValueError: no")] * 2),
                                        str([(None, "FB")] * 2),
                                        str([(0, "FB")] * 2)]
