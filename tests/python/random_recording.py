"""Random recordings: calls of every add_* method with random names, inputs
and parameters, mostly good and sometimes bad, and what each call gave.

Run as a script it prints, per seed, each call's outcome, the blob and the
node views, so that two builds can be compared line for line:

    python tests/python/random_recording.py [SEEDS] [CALLS]
"""

import random
import struct
import sys

NAMES = ["map", "filter", "", "naïve", "straße", "日本語", "\U0001f600", "n" * 70]
KEYS = ["k", "scale", "axis", "", "ключ", "é", "z" * 30, "K"]
NAN_WITH_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]
VALUES = [
    0, 1, -1, 7, 2**31, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64 + 3, -(2**80),
    0.0, -0.0, 0.5, 1e300, float("inf"), float("nan"), NAN_WITH_PAYLOAD,
    True, False, "", "x", "naïve ✓", "\U0001f600" * 3, "v" * 200,
]
BAD_VALUES = [None, b"bytes", [1], "\ud800", 1j, 10**400]
DESCRIPTOR = dict(kind="model", content_hash="h", framework="torch", version="2",
                  io_schema="f32[4]")


# Values that are, or are nearly, equal to one another as Python sees them:
# a call made again with one swapped for its twin may or may not be the same
# node.
TWINS = {0.0: -0.0, -0.0: 0.0, 1: True, True: 1, 0: 0.0, 2**63: float(2**63),
         "x": "x\u0000"}


def twin(value):
    if isinstance(value, float) and value != value:
        return NAN_WITH_PAYLOAD if value is not NAN_WITH_PAYLOAD else float("nan")
    try:
        return TWINS.get(value, value)
    except TypeError:  # unhashable
        return value


def random_params(rng):
    roll = rng.random()
    if roll < 0.1:
        return None
    if roll < 0.12:
        return rng.choice([[("k", 1)], "k=1", 5])
    params = {rng.choice(KEYS): rng.choice(VALUES) for _ in range(rng.randrange(0, 5))}
    if rng.random() < 0.03:
        params[rng.choice(KEYS)] = rng.choice(BAD_VALUES)
    if rng.random() < 0.02:
        params[rng.choice([1, None])] = 1
    return params


def random_inputs(rng, count):
    roll = rng.random()
    if roll < 0.02:
        return rng.choice(["ab", 5, None, {0: 0}])
    ids = [rng.randrange(count) for _ in range(rng.randrange(0, 4))] if count else []
    if roll < 0.06:
        ids.append(rng.choice([count, count + 5, 2**64 - 1, 2**64, -1]))
    return tuple(ids) if rng.random() < 0.3 else ids


def random_name(rng):
    return rng.choice([1, None, b"n", "\ud800"]) if rng.random() < 0.02 else rng.choice(NAMES)


def again(rng, method, args):
    """An earlier call made again: its params in another order, some values
    swapped for their twins, a list of inputs given as a tuple."""
    args = list(args)
    for i, arg in enumerate(args):
        if isinstance(arg, dict):
            items = [(k, twin(v) if rng.random() < 0.5 else v) for k, v in arg.items()]
            rng.shuffle(items)
            args[i] = dict(items)
        elif isinstance(arg, list) and all(isinstance(x, int) for x in arg):
            args[i] = tuple(arg)
    return method, tuple(args)


def random_call(rng, count):
    """(method name, arguments) of one call into a store of `count` nodes."""
    kind = rng.choice(["add_source", "add_op", "add_op", "add_op", "add_reduction",
                       "add_exchange", "add_join", "add_external"])
    if kind == "add_source":
        return kind, (random_name(rng), random_params(rng))
    if kind in ("add_op", "add_reduction"):
        return kind, (random_name(rng), random_inputs(rng, count), random_params(rng))
    if kind == "add_external":
        return kind, (dict(DESCRIPTOR, version=rng.choice("12")), random_inputs(rng, count),
                      random_params(rng))
    return kind, (random_inputs(rng, count), random_params(rng))


def outcome(store, method, args):
    """("id", id) or ("error", type name, message, notes) of one call."""
    try:
        return ("id", getattr(store, method)(*args))
    except Exception as error:  # every error is part of the transcript
        return ("error", type(error).__name__, str(error), getattr(error, "__notes__", []))


def transcript(zc, seed, calls):
    """The calls made, their outcomes, and the store they were recorded in."""
    rng = random.Random(seed)
    store = zc.GraphStore()
    made = []
    for _ in range(calls):
        if made and rng.random() < 0.3:
            method, args = again(rng, *rng.choice(made)[:2])
        else:
            method, args = random_call(rng, store.node_count())
        made.append((method, args, outcome(store, method, args)))
    return made, store


def main(argv):
    import zembrik_core as zc

    seeds = int(argv[0]) if argv else 20
    calls = int(argv[1]) if len(argv) > 1 else 400
    for seed in range(seeds):
        made, store = transcript(zc, seed, calls)
        for method, _, result in made:
            print(method, repr(result))
        print(store.serialize().hex())
        print(repr(store.nodes()))


if __name__ == "__main__":
    main(sys.argv[1:])
