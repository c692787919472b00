"""Subinterpreters: the module declares that it supports interpreters with a
GIL of their own, so it must import into an isolated interpreter as well as
into a legacy one sharing the main GIL, and each must record, reduce and
serialize to the same bytes as the main interpreter. Two isolated
interpreters reducing at once on two threads share only the core's
mutex-guarded tables.

The interpreters are driven through the interpreter's private module for
them: _xxsubinterpreters on 3.12, _interpreters on 3.13."""

import importlib
import sys
import threading

import pytest

if sys.version_info < (3, 12):
    pytest.skip("interpreters with their own GIL, and modules declaring support for them, "
                "arrive in 3.12", allow_module_level=True)

interpreters = None
for _name in ("_interpreters", "_xxsubinterpreters"):
    try:
        interpreters = importlib.import_module(_name)
        break
    except ImportError:
        pass
if interpreters is None:
    pytest.skip("this interpreter has no subinterpreter module", allow_module_level=True)


class SubinterpreterError(Exception):
    pass


def create(isolated):
    if hasattr(interpreters, "new_config"):
        return interpreters.create("isolated" if isolated else "legacy")
    return interpreters.create(isolated=isolated)


def run(interp, code):
    """Runs `code` in `interp`; an exception there raises SubinterpreterError."""
    if hasattr(interpreters, "exec"):
        failure = interpreters.exec(interp, code)
        if failure is not None:
            raise SubinterpreterError(failure.formatted)
        return
    try:
        interpreters.run_string(interp, code)
    except interpreters.RunFailedError as error:
        raise SubinterpreterError(str(error)) from None


# Run in the main interpreter and in the subinterpreters alike, with PATH
# set: it writes what the interpreters must agree on to PATH, and raises on
# anything unexpected.
WORK = """
import zembrik_core as zc
from pipelines import record_pipeline
assert zc.GraphStore.__module__ == "zembrik_core"
store = zc.GraphStore()
output = record_pipeline(store)
reduced, report = store.reduce(outputs=[output])
fused, _ = store.reduce(outputs=[output], maximal_fusion=True)
text = repr((store.serialize(outputs=[output]), reduced.serialize(), fused.serialize(),
             sorted(report.items()), reduced.to_dot()))
try:
    store.add_op("map", [99])
except ValueError as error:
    assert str(error) == "no node with id 99", error
else:
    raise AssertionError("a bad id was recorded")
assert zc.GraphStore.deserialize(store.serialize()).serialize() == store.serialize()
with open(PATH, "w") as out:
    out.write(text)
"""


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    path = tmp_path_factory.mktemp("main") / "out"
    exec(WORK, {"PATH": str(path)})
    return path.read_text()


def run_work(interp, path):
    run(interp, f"import sys\nsys.path[:] = {sys.path!r}\nPATH = {str(path)!r}\n{WORK}")
    return path.read_text()


@pytest.fixture
def interpreter(request):
    interp = create(request.param == "isolated")
    yield interp
    interpreters.destroy(interp)


@pytest.mark.parametrize("interpreter", ["isolated", "legacy"], indirect=True)
def test_a_subinterpreter_gives_the_main_interpreters_results(interpreter, tmp_path, expected):
    assert run_work(interpreter, tmp_path / "out") == expected
    # A second round finds the module already imported there.
    assert run_work(interpreter, tmp_path / "again") == expected


@pytest.mark.parametrize("interpreter", ["isolated"], indirect=True)
def test_the_isolated_interpreter_has_its_own_gil_and_checks_extensions(interpreter):
    if hasattr(interpreters, "get_config"):
        config = interpreters.get_config(interpreter)
        assert config.gil == "own"
        assert config.check_multi_interp_extensions
    # Without that check a module that cannot live in subinterpreters would
    # import as well, and the import of zembrik_core would prove nothing.
    try:
        importlib.import_module("_testsinglephase")
    except ImportError:
        pytest.skip("no _testsinglephase in this build to show the check")
    with pytest.raises(SubinterpreterError, match="does not support loading in subinterpreters"):
        run(interpreter, "import _testsinglephase")


@pytest.mark.parametrize("interpreter", ["isolated"], indirect=True)
def test_errors_in_the_subinterpreter_reach_the_test(interpreter):
    with pytest.raises(SubinterpreterError, match="boom"):
        run(interpreter, "raise ValueError('boom')")


def test_two_isolated_interpreters_reduce_at_once(tmp_path, expected):
    interps = [create(True) for _ in range(2)]
    outcomes = {}

    def work(index):
        try:
            texts = {run_work(interps[index], tmp_path / f"{index}-{round}") for round in range(5)}
            outcomes[index] = texts
        except BaseException as error:  # reported below, in the main thread
            outcomes[index] = error

    try:
        threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        for interp in interps:
            interpreters.destroy(interp)
    assert outcomes == {0: {expected}, 1: {expected}}
