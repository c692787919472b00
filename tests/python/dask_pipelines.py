"""Seeded random pipelines over the operators of zembrik_dask.numpy_ops, with
the inputs to run them on: both operand orders of commutative operators,
identity scalars on both sides, fan-out, exchanges, joins, externals and
reductions, over arrays that hold signed zeros, NaN and infinities."""

import random

import numpy as np

SIZE = 6
COMMUTATIVE = ("add", "mul", "and", "or", "eq", "ne", "maximum", "minimum")
UNARY = ("neg", "abs", "exp", "log", "map")
REDUCTIONS = ("sum", "prod", "max", "min", "mean")
SPECIALS = (0.0, -0.0, 1.0, -1.0, 2.0, 0.5, float("nan"), float("inf"), float("-inf"))
DESCRIPTOR = dict(kind="model", content_hash="h", framework="numpy", version="2",
                  io_schema="f64[n]")


def input_array(rng):
    """Normal draws with about a third of the entries taken from SPECIALS, so
    that equalities, signed zeros and non-finite values all occur."""
    values = np.random.default_rng(rng.getrandbits(32)).standard_normal(SIZE)
    for k in range(SIZE):
        if rng.random() < 0.35:
            values[k] = rng.choice(SPECIALS)
    return values


class Recorder:
    def __init__(self, store, rng, add_zero):
        self.store, self.rng, self.add_zero = store, rng, add_zero
        self.values = []  # (node id, length)

    def pick(self):
        # Mostly recent values, so that chains form; older ones give fan-out.
        back = min(len(self.values) - 1, int(self.rng.expovariate(0.6)))
        return self.values[-1 - back]

    def partner(self, length):
        fits = [v for v in self.values if v[1] in (length, 1) or length == 1]
        return self.rng.choice(fits)

    def push(self, node, length):
        self.values.append((node, length))
        return node

    def scalar_params(self):
        rng = self.rng
        if rng.random() < 0.6:
            name, unit = rng.choice((("add", 0.0), ("mul", 1.0)))
            if name == "add" and not self.add_zero:
                name, unit = "sub", 0.0
            return name, {"scalar": unit, "side": rng.choice("lr")}
        name = rng.choice(("add", "mul", "sub"))
        return name, {"scalar": rng.choice((-0.0, 2.0, -1.5, 0.5, 3)), "side": rng.choice("lr")}

    def step(self):
        s, rng = self.store, self.rng
        x, n = self.pick()
        action = rng.choices(("unary", "scalar", "commute", "sub", "reduce", "exchange",
                              "join", "external"), weights=(25, 20, 20, 5, 5, 4, 4, 3))[0]
        if action == "unary":
            name = rng.choice(UNARY)
            params = {"scale": rng.choice((0.5, -2.0)), "offset": rng.choice((0.0, 1.0))} \
                if name == "map" else {}
            return self.push(s.add_op(name, [x], params), n)
        if action == "scalar":
            name, params = self.scalar_params()
            return self.push(s.add_op(name, [x], params), n)
        if action == "commute":
            y, m = self.partner(n)
            name = rng.choice(COMMUTATIVE)
            xy = self.push(s.add_op(name, [x, y]), max(n, m))
            if rng.random() < 0.6:
                yx = self.push(s.add_op(name, [y, x]), max(n, m))
                if rng.random() < 0.5:
                    return self.push(s.add_op("sub", [xy, yx]), max(n, m))
            return xy
        if action == "sub":
            y, m = self.partner(n)
            return self.push(s.add_op("sub", [y, x] if rng.random() < 0.5 else [x, y]),
                             max(n, m))
        if action == "reduce":
            return self.push(s.add_reduction(rng.choice(REDUCTIONS), [x], {"axis": 0}), 1)
        if action == "exchange":
            return self.push(s.add_exchange([x], {"scheme": rng.choice(("hash", "range"))}), n)
        if action == "join":
            y, m = self.pick()
            return self.push(s.add_join([x, y], {"how": "concat"}), n + m)
        return self.push(s.add_external(DESCRIPTOR, [x], {"scale": rng.choice((1.0, 0.25))}), n)


def random_pipeline(store, seed, add_zero=True):
    """Records a pipeline into `store`; returns (outputs, arrays by source
    name). Without `add_zero`, no add-0.0 identity is recorded, so the
    reduced pipeline must agree with the recorded one to the sign of every
    zero."""
    rng = random.Random(seed)
    recorder = Recorder(store, rng, add_zero)
    arrays = {}
    for k in range(rng.randint(1, 3)):
        arrays[f"in{k}"] = input_array(rng)
        recorder.push(store.add_source(f"in{k}", {"k": k}), SIZE)
    for _ in range(rng.randint(3, 40)):
        recorder.step()
    last = recorder.values[-1][0]
    outputs = [last] + [recorder.pick()[0] for _ in range(rng.randint(0, 2))]
    if rng.random() < 0.1:
        outputs.append(last)
    # A dead branch that the lowering must leave out.
    store.add_op("neg", [last])
    return outputs, arrays
