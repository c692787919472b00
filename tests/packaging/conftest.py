"""The sdist, built once per run, and a fresh virtual environment that has it
installed and nothing else: no numpy, no Dask.

ZEMBRIK_SDIST_PYTHON names the interpreter for that environment (the one
running pytest by default), so that one run measures one CPython's install.
"""

import importlib.util
import os
import sys
import time

import pytest

from packaging_support import ROOT, run

INSTALL_TIMES = []


@pytest.fixture(scope="session")
def sdist(tmp_path_factory):
    if importlib.util.find_spec("build") is None:
        pytest.fail(f"{sys.executable} has no 'build' module: pip install build")
    out = tmp_path_factory.mktemp("sdist")
    run([sys.executable, "-m", "build", "--sdist", "--outdir", str(out), str(ROOT)])
    (path,) = out.glob("*.tar.gz")
    return path


@pytest.fixture(scope="session")
def venv_python(sdist, tmp_path_factory):
    """The interpreter of a fresh virtual environment with the sdist installed."""
    base = os.environ.get("ZEMBRIK_SDIST_PYTHON", sys.executable)
    env_dir = tmp_path_factory.mktemp("venv")
    run([base, "-m", "venv", str(env_dir)])
    python = str(env_dir / "bin" / "python")
    start = time.perf_counter()
    # No cache, so that the figure is that of a first install on a clean machine.
    run([python, "-m", "pip", "install", "--quiet", "--no-cache-dir",
         "--disable-pip-version-check", str(sdist)])
    seconds = time.perf_counter() - start
    version = run([python, "-c", "import platform; print(platform.python_version())"])
    INSTALL_TIMES.append(f"sdist install with CPython {version.stdout.strip()}: {seconds:.1f} s")
    return python


def pytest_terminal_summary(terminalreporter):
    for line in INSTALL_TIMES:
        terminalreporter.write_line(line)
