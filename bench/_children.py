"""Child processes that may hang, abort or die, waited for with a deadline,
and a helper process that interrupts this one.

A benchmark that provokes hangs must never hang itself: every child here is
killed with SIGKILL once its deadline passes, and how each one ended comes
back as a value rather than an exception. Needs only the standard library,
so that the tests can import it without the module.
"""

import itertools
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

HUNG = None  # the outcome of a child killed at its deadline
POLL = 0.01


def _kill_and_wait(pid):
    """Kills `pid` and returns its wait status, or HUNG when the kill is what ended it."""
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    _, status = os.waitpid(pid, 0)
    # It may have ended on its own between the last poll and the kill.
    if os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL:
        return HUNG
    return status


def reap(deadlines):
    """Waits for forked children, `{pid: time.monotonic() deadline}`.

    Returns `{pid: exit code}` (os.waitstatus_to_exitcode: negative for a
    signal), or HUNG for a child still running at its deadline, which is
    killed."""
    pending, ended = dict(deadlines), {}
    while pending:
        for pid, deadline in list(pending.items()):
            done, status = os.waitpid(pid, os.WNOHANG)
            if not done and time.monotonic() >= deadline:
                status, done = _kill_and_wait(pid), True
            if done:
                ended[pid] = HUNG if status is HUNG else os.waitstatus_to_exitcode(status)
                del pending[pid]
        if pending:
            time.sleep(POLL)
    return ended


def run_all(commands, timeout, parallel):
    """Runs each command with at most `parallel` at once, killing any still
    running `timeout` seconds after it started.

    Returns, in the order of `commands`, (exit code or HUNG, standard error)."""
    results = [None] * len(commands)
    queue = list(enumerate(commands))
    running = {}  # index: (process, stderr file, deadline)
    try:
        while queue or running:
            while queue and len(running) < parallel:
                index, command = queue.pop(0)
                # A file, not a pipe: a child writing a lot must not block on it.
                err = tempfile.TemporaryFile()
                process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                           stdout=subprocess.DEVNULL, stderr=err)
                running[index] = (process, err, time.monotonic() + timeout)
            for index, (process, err, deadline) in list(running.items()):
                code = process.poll()
                if code is None and time.monotonic() >= deadline:
                    status = _kill_and_wait(process.pid)
                    # Popen reaped nothing; tell it the process is gone.
                    process.returncode = -signal.SIGKILL
                    code = HUNG if status is HUNG else os.waitstatus_to_exitcode(status)
                elif code is None:
                    continue
                err.seek(0)
                results[index] = (code, err.read().decode(errors="replace"))
                err.close()
                del running[index]
            if running:
                time.sleep(POLL)
    finally:
        for process, err, _ in running.values():
            process.kill()
            process.wait()
            err.close()
    return results


def describe(code):
    """How a child with exit code `code` (or HUNG) ended, in a few words."""
    if code is HUNG:
        return "hung"
    if code < 0:
        try:
            return f"signal {signal.Signals(-code).name}"
        except ValueError:
            return f"signal {-code}"
    return f"status {code}"


def rows_of(command, timeout):
    """Runs a measuring child that prints one JSON [row, cell] per line.

    Returns (rows, trouble, stderr): the rows it printed, kept even when it
    died or ran past `timeout`; None, or how it ended; and its standard error.
    Raises OSError when it cannot start."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)
        out, err = done.stdout, done.stderr
        trouble = None if done.returncode == 0 else f"ended with {describe(done.returncode)}"
    except subprocess.TimeoutExpired as expired:
        # Partial output comes back as bytes whatever the mode.
        out, err = (s.decode(errors="replace") if isinstance(s, bytes) else (s or "")
                    for s in (expired.stdout, expired.stderr))
        trouble = f"was killed after {timeout:.0f} s"
    rows = []
    for line in out.splitlines():
        try:
            row, cell = json.loads(line)
        except (ValueError, TypeError):
            continue  # a stray line, not a row
        rows.append((row, cell))
    return rows, trouble, err


# Sends SIGINT to a process `delay` s after "go ROUND DELAY" unless "end ROUND"
# comes first, and appends the round's outcome to a file. A process, not a
# thread: a thread needs the GIL to send, so a call holding it would put off
# its own signal. A file, not a pipe: rereading it loses nothing when an
# interrupt cuts a read short.
SENDER = r"""
import os, select, signal, sys, time
target, path = int(sys.argv[1]), sys.argv[2]
pending = b""

def line(timeout):
    # Unbuffered, so that select sees every line not yet read.
    global pending
    deadline = time.monotonic() + timeout
    while b"\n" not in pending:
        if not select.select([0], [], [], max(0.0, deadline - time.monotonic()))[0]:
            return None
        chunk = os.read(0, 4096)
        if not chunk:
            sys.exit()
        pending += chunk
    text, _, pending = pending.partition(b"\n")
    return text.decode().split()

def say(text):
    with open(path, "a") as f:
        f.write(text + "\n")

while True:
    words = line(3600)
    if not words or words[0] != "go":
        continue  # an end for a round already over
    round_, deadline = words[1], time.monotonic() + float(words[2])
    while True:
        words = line(deadline - time.monotonic())
        if words is None:
            sent = time.monotonic()
            os.kill(target, signal.SIGINT)
            say(f"{round_} {sent!r}")
            break
        if words == ["end", round_]:
            say(f"{round_} cancelled")
            break
"""


class Alarm:
    """SIGINT for this process, a chosen delay after go()."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "alarm")
        self.round = 0
        self.sender = subprocess.Popen(
            [sys.executable, "-c", SENDER, str(os.getpid()), self.path],
            stdin=subprocess.PIPE, text=True, bufsize=1)

    def go(self, delay):
        self.round += 1
        self.sender.stdin.write(f"go {self.round} {delay}\n")

    def end(self):
        self.sender.stdin.write(f"end {self.round}\n")  # again is harmless

    def sent(self):
        """When this round's signal went, or None when end() came first."""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if os.path.exists(self.path):
                with open(self.path) as f:
                    for line in f:
                        words = line.split()  # the last may still be half written
                        if len(words) == 2 and line.endswith("\n") and \
                                int(words[0]) == self.round:
                            return None if words[1] == "cancelled" else float(words[1])
            time.sleep(0.001)
        raise RuntimeError("the process sending the signals stopped answering")

    def close(self):
        self.sender.stdin.close()
        self.sender.wait()


def interrupted(alarm, call, delay):
    """Calls call() with SIGINT sent to this process `delay` s in.

    Returns (outcome, seconds): "interrupted" or "completed" with the time
    from the signal to the interrupt, "early" with the call's length when it
    ended before the signal, or the name of another exception raised."""
    sink, ended, outcome = [], None, None
    start = time.monotonic()
    try:
        alarm.go(delay)
        # C from end to end: a call that completes lands in sink before the
        # interpreter gets to raise the pending interrupt.
        sink.extend(itertools.starmap(call, [()]))
        ended = time.monotonic()
        alarm.end()
        if alarm.sent() is not None:
            time.sleep(1)  # the interrupt is due: let it land inside this try
    except KeyboardInterrupt:
        outcome = "completed" if sink else "interrupted"
    except BaseException as error:
        outcome = type(error).__name__
    caught = time.monotonic()
    alarm.end()
    sent = alarm.sent()
    if sent is None:
        return outcome or "early", (ended or caught) - start
    if sink and ended is not None and ended <= sent:
        return "early", ended - start
    return outcome or "no interrupt", caught - sent
