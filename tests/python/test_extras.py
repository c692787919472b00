"""What a user without the optional dependencies meets: zembrik_dask imports
and lowers, and what needs Dask or numpy says which extra brings it. Each
case runs in a child whose importer hides the package, as if it were not
installed."""

import subprocess
import sys
import textwrap

import pytest

HINT = "install the 'dask' extra: pip install 'zembrik_core[dask]'"


# Imports of the hidden names fail as they do when the package is absent.
HIDE = """
import sys

class Hide:
    def find_spec(self, name, path=None, target=None):
        if name in HIDDEN:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None

sys.meta_path.insert(0, Hide())
"""


def run_without(hidden, body):
    script = f"HIDDEN = {set(hidden)!r}\n{HIDE}{textwrap.dedent(body)}"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip().splitlines()


def test_numpy_ops_without_numpy_names_the_extra():
    out = run_without(["numpy"], """
        try:
            import zembrik_dask.numpy_ops
        except ModuleNotFoundError as error:
            print(error.name)
            print(error)
            print(type(error.__cause__).__name__)
    """)
    assert out == ["numpy", f"zembrik_dask.numpy_ops needs numpy, which is not installed; {HINT}",
                   "ModuleNotFoundError"]


def test_execute_without_dask_names_the_extra_and_an_explicit_get_needs_none():
    out = run_without(["dask"], """
        import zembrik_core as zc
        import zembrik_dask

        store = zc.GraphStore()
        out = store.add_op("inc", [store.add_source("one")])
        ops = {"source": lambda name, params: 1, "ops": {"inc": lambda params, x: x + 1}}

        def get(graph, keys):  # a scheduler of its own, for Dask's task tuples
            done = {}
            def value(x):
                if isinstance(x, tuple) and x and callable(x[0]):
                    return x[0](*map(value, x[1:]))
                if isinstance(x, list):
                    return list(map(value, x))
                if isinstance(x, str) and x in graph:
                    if x not in done:
                        done[x] = value(graph[x])
                    return done[x]
                return x
            return [value(key) for key in keys]

        print(zembrik_dask.execute(store, ops, [out], get=get))
        try:
            zembrik_dask.execute(store, ops, [out])
        except ModuleNotFoundError as error:
            print(error.name)
            print(error)
    """)
    assert out == ["[2]", "dask", f"execute without get= needs dask, which is not installed; {HINT}"]


@pytest.mark.parametrize("hidden, name", [(["numpy.typing"], "numpy.typing"),
                                          (["numpy.linalg"], "numpy.linalg")])
def test_a_module_missing_inside_an_installed_package_is_not_blamed_on_the_extra(hidden, name):
    pytest.importorskip("numpy")
    out = run_without(hidden, """
        try:
            import zembrik_dask.numpy_ops
            print("imported")
        except ModuleNotFoundError as error:
            print(error.name)
            print("zembrik_core[dask]" in str(error))
    """)
    assert out == [name, "False"]
