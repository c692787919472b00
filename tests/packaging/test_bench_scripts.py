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
    assert len(SCRIPTS) == 7
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
