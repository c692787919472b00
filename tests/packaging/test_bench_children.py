"""The benchmarks' child processes end, each with its outcome, by their
deadline: a hung child is killed, never waited for."""

import faulthandler
import functools
import os
import signal
import sys
import time
import zlib

import pytest

from packaging_support import ROOT

sys.path.insert(0, str(ROOT / "bench"))
try:
    import _children
finally:
    sys.path.remove(str(ROOT / "bench"))

PY = sys.executable


def fork(action):
    pid = os.fork()
    if pid == 0:
        faulthandler.disable()  # pytest's, which would print the abort's traceback
        try:
            action()
        finally:
            os._exit(0)
    return pid


def test_reap_reports_each_ending_and_kills_the_hung_child():
    ends = {
        fork(lambda: None): 0,
        fork(lambda: os._exit(3)): 3,
        fork(lambda: os.kill(os.getpid(), signal.SIGABRT)): -signal.SIGABRT,
        fork(lambda: time.sleep(60)): _children.HUNG,
    }
    deadline = time.monotonic() + 0.5
    assert _children.reap(dict.fromkeys(ends, deadline)) == ends
    for pid in ends:
        with pytest.raises(ChildProcessError):  # each one was waited for
            os.waitpid(pid, os.WNOHANG)


def test_run_all_keeps_order_and_standard_error_and_kills_the_hung_one():
    commands = [[PY, "-c", "import time; time.sleep(60)"],
                [PY, "-c", "import sys; print('said', file=sys.stderr); sys.exit(4)"],
                [PY, "-c", "import os, signal; os.kill(os.getpid(), signal.SIGABRT)"],
                [PY, "-c", "pass"]]
    results = _children.run_all(commands, timeout=3, parallel=2)
    assert [code for code, _ in results] == [_children.HUNG, 4, -signal.SIGABRT, 0]
    assert results[1][1] == "said\n"


def test_describe_names_signals_statuses_and_hangs():
    assert _children.describe(_children.HUNG) == "hung"
    assert _children.describe(-signal.SIGABRT) == "signal SIGABRT"
    assert _children.describe(2) == "status 2"
    assert _children.describe(-200) == "signal 200"  # no name for it


def test_rows_of_keeps_the_rows_of_a_child_that_died():
    script = ("import json, os; print(json.dumps(['a', '1'])); print('stray'); print(5);"
              "print(json.dumps(['too', 'many', 'cells']));"
              "print(json.dumps(['b', '2 ms']), flush=True); os.kill(os.getpid(), 9)")
    rows, trouble, err = _children.rows_of([PY, "-c", script], timeout=30)
    assert rows == [("a", "1"), ("b", "2 ms")]
    assert (trouble, err) == ("ended with signal SIGKILL", "")


def test_rows_of_kills_a_child_past_its_time_and_says_what_it_wrote():
    script = ("import json, sys, time; print(json.dumps(['a', '1']), flush=True);"
              "print('stuck', file=sys.stderr, flush=True); time.sleep(60)")
    rows, trouble, err = _children.rows_of([PY, "-c", script], timeout=2)
    assert rows == [("a", "1")]
    assert (trouble, err) == ("was killed after 2 s", "stuck\n")


@pytest.fixture
def alarm(tmp_path):
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    alarm = _children.Alarm(str(tmp_path))
    yield alarm
    alarm.close()
    signal.signal(signal.SIGINT, previous)


def test_interrupted_tells_a_call_cut_short_from_one_run_to_its_end(alarm):
    def outcome(call, *args, delay):
        return _children.interrupted(alarm, functools.partial(call, *args), delay)[0]

    # sleep gives way to the signal; compress never looks for one.
    assert outcome(time.sleep, 30, delay=0.01) == "interrupted"
    assert outcome(zlib.compress, bytes(64 << 20), 9, delay=0.001) == "completed"
    assert outcome(int, "5", delay=30) == "early"
    assert outcome(int, "x", delay=30) == "ValueError"
    # Each round's end reached the sender in time: the next one still works.
    assert outcome(time.sleep, 30, delay=0.01) == "interrupted"
