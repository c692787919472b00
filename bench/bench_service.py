#!/usr/bin/env python3
"""How the module holds up inside a long-running service.

Four figures, each beside its peer from the same run:
- memory: resident growth over 3,000 reductions of distinct 10-op pipelines
  after a warm-up, and over five reductions of ops with fresh 20 MiB names;
- flooding: one reduce over 20,000 op names that collided under the symbol
  table's former hash, against 20,000 random names of the same length;
- stalls: the longest a thread sleeping 1 ms in a loop waits while another
  reduces an N-node chain, against the length of that reduction;
- parallelism: two threads reducing two N/2-node stores, against one
  thread reducing both.

Five more, each measured in a fresh child process, and printed as a table
with one column for the interpreter running this script ("after") and one for
--before PYTHON, another interpreter with its own installed module ("before"):
- fork: worker threads stay inside long calls (a reducer stepping a store
  another thread records into; serialize() and cone() of a 200,000-node
  store; reductions of freshly deserialized stores) while the process forks
  K children at random moments. Each child records and reduces a fresh store,
  then uses the busy objects (step, finalize and serialize, or serialize and
  cone) and must exit within the timeout; one still running then is killed
  and counted as hung. A child ending on a Python exception counts as raised.
- exit: K interpreters whose main thread returns while daemon threads are
  inside reduce, serialize, cone and step of a 300,000-node store; counts the
  exit statuses other than 0 (an abort is SIGABRT) and the hangs.
- signal: for each long call on an N-node store (node_map on its reduction),
  made in the main thread, the time from a SIGINT that a helper process sends
  50 ms into the call (or a quarter of its length when shorter) to the
  KeyboardInterrupt; or, when the call ran to its end regardless, to its
  return ("not interrupted").
- copy: the longest gap of a 1 ms sleeper thread, and the longest
  node_count() call of the main thread polling it, while a third thread
  copies a 400 MiB store by serialize() and cone() in turn.
- node_map: the longest gap of a 1 ms sleeper thread while the main thread
  calls node_map() of a cone with N entries, and outputs() of a store with N
  output marks.

    python3 bench/bench_service.py [--before PYTHON] [--only NAME,...] [--quick]
                                   [--children K] [--timeout S] [--arena MIB] [N]

N is the chain length (1,000,000; 100,000 with --quick), K the children per
case (48; 8 with --quick), S the seconds a child may take (10), MIB the size
of the copied store (400; 40 with --quick). NAME is one of the figures above.

The flooding figure needs numpy for the colliding names
(tests/python/colliding_names.py); the others need only the module.
"""

import argparse
import collections
import functools
import gc
import json
import os
import random
import shutil
import signal
import sys
import tempfile
import threading
import time
import warnings

import _children
import _require

zc = _require.zembrik_core()

HERE = os.path.dirname(os.path.abspath(__file__))
PAGE = os.sysconf("SC_PAGE_SIZE")
CLASSIC = ("memory", "flooding", "stalls", "parallelism")
RAISED = 3  # the exit status of a forked child whose call raised


def resident():
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def best_reduce(store, outputs, rounds=3):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        store.reduce(outputs=outputs)
        best = min(best, time.perf_counter() - start)
    return best


def flooding(cfg):
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
    import colliding_names

    def store_of(names):
        store = zc.GraphStore()
        source = store.add_source("src")
        return store, [store.add_op(name, [source]) for name in names]

    hostile = best_reduce(*store_of(colliding_names.colliding_names(20_000)))
    plain = best_reduce(*store_of(colliding_names.random_names(20_000)))
    return (f"flood reduce   colliding: {hostile * 1e3:8.1f} ms   random: {plain * 1e3:8.1f} ms"
            f"   ratio {hostile / plain:5.2f}x (target <= 3x)")


def memory(cfg):
    def pipeline(i):
        store = zc.GraphStore()
        x = store.add_source("src")
        for k in range(10):
            x = store.add_op(f"op{i}_{k}", [x], {"k": k})
        store.reduce(outputs=[x])

    for i in range(300):
        pipeline(i)
    before = resident()
    for i in range(300, 3300):
        pipeline(i)
    pipelines = resident() - before

    def huge_name(i):
        store = zc.GraphStore()
        source = store.add_source("src")
        store.add_op(f"{i}" + "n" * (20 << 20), [source])
        store.reduce(outputs=[1])

    before = resident()
    for i in range(5):
        huge_name(i)
    huge = resident() - before
    return (f"memory growth  3000 distinct pipelines: {pipelines / 2**20:6.2f} MiB (target <= 2)"
            f"   5 fresh 20 MiB names: {huge / 2**20:6.2f} MiB (target <= 25)")


def chain(n):
    store = zc.GraphStore()
    x = store.add_source("src")
    for i in range(n - 1):
        x = store.add_op("map", [x], {"k": i % 7, "scale": 0.5})
    return store, x


def mixed_chain(n):
    """A chain of maps where every eighth node adds in the node three back, so
    that a reduction has joins to keep apart from the fused runs."""
    store = zc.GraphStore()
    x = store.add_source("src")
    for i in range(n - 1):
        if i % 8 == 7:
            x = store.add_op("add", [x, x - 3])
        else:
            x = store.add_op("map", [x], {"k": i % 7})
    return store, x


def longest_gap(work):
    """Runs work() beside a thread sleeping 1 ms in a loop; returns the
    longest the sleeper waited and work's result."""
    gaps, done = [0.0], threading.Event()

    def sleeper():
        previous = time.perf_counter()
        while not done.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            gaps.append(now - previous)
            previous = now

    thread = threading.Thread(target=sleeper)
    thread.start()
    time.sleep(0.05)
    try:
        result = work()
    finally:
        done.set()
        thread.join()
    return max(gaps), result


def stalls(cfg):
    n = cfg["n"]
    store, last = chain(n)

    def timed_reduce():
        start = time.perf_counter()
        store.reduce(outputs=[last])
        return time.perf_counter() - start

    gap, duration = longest_gap(timed_reduce)
    return (f"stall          longest: {gap * 1e3:8.1f} ms   during a reduce of "
            f"{duration * 1e3:8.1f} ms on {n} nodes (target <= 50 ms)")


def parallelism(cfg):
    stores = [chain(cfg["n"] // 2) for _ in range(2)]
    start = time.perf_counter()
    for store, last in stores:
        store.reduce(outputs=[last])
    one_thread = time.perf_counter() - start
    threads = [threading.Thread(target=store.reduce, kwargs={"outputs": [last]})
               for store, last in stores]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    two_threads = time.perf_counter() - start
    return (f"two reductions two threads: {two_threads * 1e3:8.1f} ms   one thread: "
            f"{one_thread * 1e3:8.1f} ms   ratio {two_threads / one_thread:5.2f} (target <= 0.65)")


def emit(row, cell):
    """Hands one table cell to the parent, at once, so that it survives a later crash."""
    print(json.dumps([row, cell]), flush=True)


# --- fork ---------------------------------------------------------------

def record_and_reduce():
    store, last = mixed_chain(2_000)
    store.reduce(outputs=[last])


def busy_recording(cfg):
    """A reducer stepping a store that another thread records into; a new
    pair past a cap, so that a child's finalize stays short."""
    def fresh():
        store = zc.GraphStore()
        store.add_source("src")
        return store, zc.IncrementalReducer()

    current = [fresh()]

    def record(stop):
        while not stop.is_set():
            store, _ = current[0]
            x = store.node_count() - 1
            if x >= cfg["fork_nodes"] // 2:
                current[0] = fresh()
                continue
            for i in range(500):
                x = store.add_op("map", [x], {"k": (x + i) % 7})

    def step(stop):
        while not stop.is_set():
            store, reducer = current[0]
            reducer.step(store)

    def use():
        store, reducer = current[0]
        reducer.step(store)
        reducer.finalize(store, outputs=[store.node_count() - 1])
        store.serialize()

    return [record, step], use


def busy_copying(cfg):
    store, last = mixed_chain(cfg["fork_nodes"])

    def serialize(stop):
        while not stop.is_set():
            store.serialize()

    def cone(stop):
        while not stop.is_set():
            store.cone(outputs=[last])

    def use():
        store.serialize()
        store.cone(outputs=[last])

    return [serialize, cone], use


def busy_reducing(cfg):
    store, last = mixed_chain(cfg["fork_nodes"])
    blob = store.serialize(outputs=[last])

    def reduce_fresh(stop):
        while not stop.is_set():
            zc.GraphStore.deserialize(blob).reduce()

    return [reduce_fresh, reduce_fresh], lambda: zc.GraphStore.deserialize(blob).reduce()


FRESH, BUSY, ERROR = "F", "B", "E"  # how far a forked child got, then what it raised


def forked_child(report, use):
    """Runs in the child after fork; never returns."""
    code = 1
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)  # stdout carries the parent's rows
        os.write(report, FRESH.encode())
        record_and_reduce()
        os.write(report, BUSY.encode())
        use()
        code = 0
    except BaseException as error:
        os.write(report, f"{ERROR}{type(error).__name__}: {error}"[:200].encode())
        code = RAISED
    finally:
        os._exit(code)


def fork_during(loops, use, cfg, rng):
    """Forks K children while `loops` run in threads; returns each child's
    (exit code or HUNG, what it raised)."""
    stop = threading.Event()
    threads = [threading.Thread(target=loop, args=(stop,)) for loop in loops]
    for thread in threads:
        thread.start()
    deadlines, reports = {}, {}
    try:
        time.sleep(0.05)
        for _ in range(cfg["children"]):
            time.sleep(rng.uniform(0.005, 0.05))
            read, write = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(read)
                forked_child(write, use)
            os.close(write)
            deadlines[pid] = time.monotonic() + cfg["timeout"]
            reports[pid] = read
    finally:
        stop.set()
        for thread in threads:
            thread.join()
        ended = _children.reap(deadlines)
    outcomes = []
    for pid, read in reports.items():
        with os.fdopen(read, "rb") as pipe:  # the child is gone, so this ends
            outcomes.append((ended[pid], pipe.read().decode(errors="replace")))
    return outcomes


def fork_figure(cfg):
    warnings.filterwarnings("ignore", message=".*fork.*", category=DeprecationWarning)
    rng = random.Random(cfg["seed"])
    for case, setup in (("stepping while recording", busy_recording),
                        ("serialize and cone", busy_copying),
                        ("fresh reductions", busy_reducing)):
        outcomes = fork_during(*setup(cfg), cfg, rng)
        codes = [code for code, _ in outcomes]
        died = collections.Counter(_children.describe(code) for code in codes
                                   if code not in (0, RAISED, _children.HUNG))
        hung = [said.endswith(BUSY) for code, said in outcomes if code is _children.HUNG]
        emit(f"{case}: hung, fresh store", str(hung.count(False)))
        emit(f"{case}: hung, busy objects", str(hung.count(True)))
        emit(f"{case}: raised", str(codes.count(RAISED)))
        emit(f"{case}: died", ", ".join(f"{how} x{k}" for how, k in died.items()) or "0")
        raised = [said.partition(ERROR)[2] for code, said in outcomes if code == RAISED]
        emit(f"{case}: first raised", raised[0][:120] if raised else "-")


# --- exit ---------------------------------------------------------------

EXIT_SCRIPT = """
import random, sys, threading, time
import zembrik_core as zc
with open(sys.argv[1], "rb") as f:
    store = zc.GraphStore.deserialize(f.read())
last = store.node_count() - 1
calls = [lambda: store.reduce(outputs=[last]), store.serialize,
         lambda: store.cone(outputs=[last]), lambda: zc.IncrementalReducer().step(store)]
def forever(call):
    while True:
        call()
for call in calls:
    threading.Thread(target=forever, args=(call,), daemon=True).start()
time.sleep(random.Random(int(sys.argv[2])).uniform(0.05, 0.4))
"""


def exit_figure(cfg):
    folder = tempfile.mkdtemp(prefix="bench_service_")
    try:
        path = os.path.join(folder, "store.blob")
        store, last = mixed_chain(cfg["exit_nodes"])
        with open(path, "wb") as f:
            f.write(store.serialize(outputs=[last]))
        del store
        commands = [[sys.executable, "-c", EXIT_SCRIPT, path, str(cfg["seed"] + i)]
                    for i in range(cfg["children"])]
        results = _children.run_all(commands, cfg["timeout"], parallel=4)
    finally:
        shutil.rmtree(folder)
    failed = [(code, err) for code, err in results if code not in (0, _children.HUNG)]
    emit("status != 0", str(len(failed)))
    emit("hung", str(sum(code is _children.HUNG for code, _ in results)))
    endings = collections.Counter(_children.describe(code) for code, _ in failed)
    emit("endings", ", ".join(f"{how} x{k}" for how, k in endings.items()) or "-")
    said = [line for _, err in failed for line in err.splitlines()[:1]]
    emit("first error line", said[0][:120] if said else "-")


# --- signal -------------------------------------------------------------

def signal_figure(cfg):
    signal.signal(signal.SIGINT, signal.default_int_handler)
    store, last = mixed_chain(cfg["n"])
    blob = store.serialize(outputs=[last])
    reduced, _ = store.reduce(outputs=[last])
    out = {"outputs": [last]}

    def stepped():
        reducer = zc.IncrementalReducer()
        reducer.step(store)
        return functools.partial(reducer.finalize, store, **out)

    # Each makes its call ready, so that only the call runs once the alarm is set.
    calls = [
        ("reduce", lambda: functools.partial(store.reduce, **out)),
        ("reduction_report", lambda: functools.partial(store.reduction_report, **out)),
        ("reduce_incremental", lambda: functools.partial(store.reduce_incremental, **out)),
        ("cone", lambda: functools.partial(store.cone, **out)),
        ("IncrementalReducer.finalize", stepped),
        ("IncrementalReducer.step", lambda: functools.partial(zc.IncrementalReducer().step,
                                                              store)),
        ("serialize", lambda: store.serialize),
        ("deserialize", lambda: functools.partial(zc.GraphStore.deserialize, blob)),
        ("to_dot", lambda: store.to_dot),
        ("nodes", lambda: store.nodes),
        ("node_map (of the reduction)", lambda: reduced.node_map),
    ]
    folder = tempfile.mkdtemp(prefix="bench_service_")
    alarm = _children.Alarm(folder)
    for label, prepare in calls:
        call = prepare()
        start = time.perf_counter()
        call()
        length = time.perf_counter() - start
        call = None
        gc.collect()
        call = prepare()
        delay = max(0.001, min(cfg["delay"], length / 4))
        outcome, seconds = _children.interrupted(alarm, call, delay)
        call = None
        if outcome == "early":
            cell = f"ended in {seconds * 1e3:.0f} ms, before the signal"
        else:
            cell = f"{seconds * 1e3:8.1f} ms (call {length * 1e3:.0f} ms)"
            if outcome != "interrupted":
                cell += ", not interrupted" if outcome == "completed" else f", {outcome}"
        emit(label, cell)
    alarm.close()
    shutil.rmtree(folder)


# --- copy ---------------------------------------------------------------

def copy_figure(cfg):
    total = cfg["arena_mib"] << 20
    count = max(100, total // (100 << 10))  # 100 KiB a node
    filler = "p" * (total // count)
    store = zc.GraphStore()
    source = store.add_source("src")
    ids = [store.add_op("blob", [source], {"data": f"{i:08d}{filler}"}) for i in range(count)]
    filler = None
    copies = {"serialize": [], "cone": []}
    blob_bytes = []
    done = threading.Event()

    def copier():
        try:
            for round_ in range(cfg["copies"]):
                name = "serialize" if round_ % 2 == 0 else "cone"
                start = time.perf_counter()
                if name == "serialize":
                    blob_bytes.append(len(store.serialize()))
                else:
                    store.cone(outputs=ids)
                copies[name].append(time.perf_counter() - start)
        finally:
            done.set()

    def poll():
        thread = threading.Thread(target=copier)
        thread.start()
        longest = 0.0
        while not done.is_set():
            start = time.perf_counter()
            store.node_count()
            longest = max(longest, time.perf_counter() - start)
        thread.join()
        return longest

    gap, longest = longest_gap(poll)
    emit("longest gap of a 1 ms sleeper", f"{gap * 1e3:8.1f} ms")
    emit("longest node_count() call", f"{longest * 1e3:8.1f} ms")
    emit("longest copy, serialize / cone", " / ".join(f"{max(copies[k]) * 1e3:.0f} ms"
                                                      for k in ("serialize", "cone")))
    emit("size of the blob", f"{blob_bytes[0] / 2**20:.0f} MiB")


# --- node_map -----------------------------------------------------------

def node_map_figure(cfg):
    n = cfg["n"]
    store, last = chain(n)
    coned = store.cone(outputs=[last])
    marked = zc.GraphStore.deserialize(store.serialize(outputs=range(n)))
    del store
    for label, call in ((f"node_map() of {n:,} entries", coned.node_map),
                        (f"outputs() of {n:,} marks", marked.outputs)):
        def three_calls():
            longest = 0.0
            for _ in range(3):
                start = time.perf_counter()
                call()
                longest = max(longest, time.perf_counter() - start)
            return longest

        gap, longest = longest_gap(three_calls)
        emit(f"{label}: longest sleeper gap", f"{gap * 1e3:8.1f} ms")
        emit(f"{label}: longest call", f"{longest * 1e3:8.1f} ms")


FIGURES = {"memory": memory, "flooding": flooding, "stalls": stalls,
           "parallelism": parallelism, "fork": fork_figure, "exit": exit_figure,
           "signal": signal_figure, "copy": copy_figure, "node_map": node_map_figure}


def title(name, cfg):
    k, s = cfg["children"], cfg["timeout"]
    return {
        "fork": f"fork: children out of {k} per case (each must exit within {s:g} s)",
        "exit": f"exit: interpreters out of {k} returning with daemon threads in long calls "
                f"on {cfg['exit_nodes']:,} nodes",
        "signal": f"signal: SIGINT to KeyboardInterrupt, per call on {cfg['n']:,} nodes",
        "copy": f"copy: a {cfg['arena_mib']} MiB store copied {cfg['copies']} times beside "
                "a sleeper and a node_count() poller",
        "node_map": "node_map: the longest stall of a 1 ms sleeper, 3 calls each",
    }[name]


def child_timeout(name, cfg):
    """How long a measuring child may take before it is killed: its children's
    deadlines plus ample room for the work."""
    k, s = cfg["children"], cfg["timeout"]
    if name == "fork":
        return 3 * (k * 0.06 + s + 120)
    if name == "exit":
        return (k / 4 + 1) * (s + 5) + 120
    return 1800


def measure(python, name, cfg):
    command = [python, os.path.abspath(__file__), "--child", name, json.dumps(cfg)]
    try:
        return _children.rows_of(command, child_timeout(name, cfg))
    except OSError as error:
        _require.fail(f"the child process measuring {name} under {python} could not start: "
                      f"{error}")


def say_trouble(label, name, trouble, err, indent):
    """Notes under the figure how a measuring child failed; its standard error
    goes to ours."""
    print(f"{indent}({label}: the measuring child {trouble})", flush=True)
    if err.strip():
        print(f"{label}: the standard error of the child measuring {name}:\n{err.rstrip()}",
              file=sys.stderr, flush=True)


def print_table(name, heading, columns):
    """Prints `columns`, [(label, rows, trouble, stderr)], side by side under `heading`."""
    print(heading)
    labels = list(dict.fromkeys(row for _, rows, _, _ in columns for row, _ in rows))
    cells = [dict(rows) for _, rows, _, _ in columns]
    width = max([len(label) for label in labels] + [4])
    widths = [max([len(label)] + [len(c) for c in column.values()]) + 3
              for (label, *_), column in zip(columns, cells)]
    print("  " + " " * width + "  " + "".join(f"{label:<{w}}" for (label, *_), w
                                              in zip(columns, widths)).rstrip())
    for row in labels:
        print(f"  {row:<{width}}  " + "".join(f"{column.get(row, '-'):<{w}}" for column, w
                                              in zip(cells, widths)).rstrip())
    sys.stdout.flush()
    for label, _, trouble, err in columns:
        if trouble:
            say_trouble(label, name, trouble, err, "  ")


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="bench_service.py", description="How the module holds up inside a service.")
    parser.add_argument("n", nargs="?", type=int, metavar="N",
                        help="chain length (1,000,000; 100,000 with --quick)")
    parser.add_argument("--before", metavar="PYTHON",
                        help="also measure the tables under this interpreter")
    parser.add_argument("--only", metavar="NAME,...",
                        help="the figures to run, of: " + ", ".join(FIGURES))
    parser.add_argument("--quick", action="store_true", help="small sizes for a trial run")
    parser.add_argument("--children", type=int, metavar="K", help="children per case")
    parser.add_argument("--timeout", type=float, default=10.0, metavar="S",
                        help="seconds a child may take (10)")
    parser.add_argument("--arena", type=int, metavar="MIB", help="size of the copied store")
    args = parser.parse_args(argv)
    names = list(FIGURES) if args.only is None else args.only.split(",")
    unknown = [name for name in names if name not in FIGURES]
    if unknown:
        parser.error(f"no figure named {', '.join(unknown)}; the figures are "
                     + ", ".join(FIGURES))
    quick = args.quick
    cfg = {
        "n": args.n or (100_000 if quick else 1_000_000),
        "children": args.children or (8 if quick else 48),
        "timeout": args.timeout,
        "arena_mib": args.arena or (40 if quick else 400),
        "copies": 4 if quick else 6,
        "fork_nodes": 40_000 if quick else 200_000,
        "exit_nodes": 50_000 if quick else 300_000,
        "delay": 0.05,
        "seed": 1,
    }
    return args.before, names, cfg


def main(argv):
    if argv[:1] == ["--child"]:
        name, cfg = argv[1], json.loads(argv[2])
        result = FIGURES[name](cfg)
        if result is not None:
            emit(name, result)
        return
    before, names, cfg = parse(argv)
    if "flooding" in names:
        _require.module("numpy", "numpy is not installed (it makes the colliding names): "
                        + _require.BENCH_EXTRA)
    interpreters = [("after", sys.executable)]
    if before:
        said = _require.run([before, "-c", "import zembrik_core; print(zembrik_core.version())"],
                            f"importing zembrik_core under --before {before}")
        print(f"before: {before} (zembrik_core {said.stdout.strip()})")
        print(f"after:  {sys.executable} (zembrik_core {zc.version()})")
        interpreters.insert(0, ("before", before))
    for name in names:
        if name in CLASSIC:
            if before:
                rows, trouble, err = measure(before, name, cfg)
                for _, line in rows:
                    print(f"before  {line}")
                if trouble:
                    say_trouble("before", name, trouble, err, "before  ")
            print(("after   " if before else "") + FIGURES[name](cfg), flush=True)
            continue
        columns = [(label if before else "measured", *measure(python, name, cfg))
                   for label, python in interpreters]
        print_table(name, title(name, cfg), columns)


if __name__ == "__main__":
    main(sys.argv[1:])
