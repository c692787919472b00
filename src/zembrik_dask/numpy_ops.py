"""A reference `ops` over numpy arrays, for tests, benchmarks and examples.

The module itself is an `ops` object: `to_dask(store, numpy_ops)`. Its
sources build arrays from their parameters; `with_arrays(arrays)` gives an
`ops` whose sources read named arrays instead, for feeding chosen inputs.

What it computes matches what reduction assumes of these names:

- `add`, `mul`, `and`, `or`, `eq`, `ne`, `maximum`, `minimum` with two
  inputs and no parameters are commutative, bit for bit: `maximum` and
  `minimum` order signed zeros (-0.0 < 0.0) rather than keeping an operand,
  and the four predicates give 0/1 in the operands' common dtype.
- `add` and `mul` with one input and parameters `scalar` (a number) and
  `side` ("r": x op scalar, "l": scalar op x, default "r") are the scalar
  forms; `add` with scalar 0.0 and `mul` with scalar 1.0 are the identities
  reduction removes. `mul` by 1.0 returns its operand exactly; `add` of 0.0
  turns -0.0 into 0.0, so removing it can change the sign of a zero and
  nothing else.
- `sub` (binary, or the scalar form) does not commute.
- Unary `neg`, `abs`, `exp`, `log`, and `map` (x * scale + offset, from the
  parameters `scale` and `offset`, defaults 1.0 and 0.0).
- Reductions `sum`, `prod`, `max`, `min`, `mean` along `axis` (default 0),
  keeping the reduced axis so that the result still broadcasts and joins.
- `external` multiplies its one input by the parameter `scale` (default 1.0),
  a stand-in for a model; `exchange` returns its one input; `join`
  concatenates its inputs along axis 0.

Floating-point warnings (log of a negative, overflow) are silenced: NaN and
infinity are values here like any other. Inputs are never modified.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from functools import partial
from typing import Any

from ._extras import missing_extra
from .protocol import OpsTable

try:
    import numpy as np
    import numpy.typing as npt
except ModuleNotFoundError as missing:
    raise missing_extra(missing, "zembrik_dask.numpy_ops", "numpy")

Array = npt.NDArray[Any]
Params = Mapping[str, Any]

_SIDES = ("r", "l")


def _one(name: str, inputs: tuple[Array, ...]) -> Array:
    if len(inputs) != 1:
        raise ValueError(f"{name} takes one input, got {len(inputs)}")
    return inputs[0]


def _two(name: str, inputs: tuple[Array, ...]) -> tuple[Array, Array]:
    if len(inputs) != 2:
        raise ValueError(f"{name} takes two inputs, got {len(inputs)}")
    return inputs[0], inputs[1]


def _number(params: Params, key: str, default: float | None = None) -> float:
    value = params.get(key, default)
    if value is None:
        raise ValueError(f"missing parameter {key!r}")
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"parameter {key!r} must be a number, got {value!r}")
    return value


def _side(params: Params) -> str:
    side = params.get("side", "r")
    if side not in _SIDES:
        raise ValueError(f"parameter 'side' must be 'r' or 'l', got {side!r}")
    return str(side)


def _arith(name: str, ufunc: np.ufunc, params: Params, inputs: tuple[Array, ...]) -> Array:
    with np.errstate(all="ignore"):
        if len(inputs) == 2:
            return np.asarray(ufunc(inputs[0], inputs[1]))
        x = _one(name, inputs)
        scalar = _number(params, "scalar")
        if _side(params) == "r":
            return np.asarray(ufunc(x, scalar))
        return np.asarray(ufunc(scalar, x))


def add(params: Params, *inputs: Array) -> Array:
    return _arith("add", np.add, params, inputs)


def mul(params: Params, *inputs: Array) -> Array:
    return _arith("mul", np.multiply, params, inputs)


def sub(params: Params, *inputs: Array) -> Array:
    return _arith("sub", np.subtract, params, inputs)


def _predicate(name: str, ufunc: np.ufunc, inputs: tuple[Array, ...]) -> Array:
    a, b = _two(name, inputs)
    return np.asarray(ufunc(a, b)).astype(np.result_type(a, b))


def and_(params: Params, *inputs: Array) -> Array:
    return _predicate("and", np.logical_and, inputs)


def or_(params: Params, *inputs: Array) -> Array:
    return _predicate("or", np.logical_or, inputs)


def eq(params: Params, *inputs: Array) -> Array:
    return _predicate("eq", np.equal, inputs)


def ne(params: Params, *inputs: Array) -> Array:
    return _predicate("ne", np.not_equal, inputs)


def maximum(params: Params, *inputs: Array) -> Array:
    a, b = _two("maximum", inputs)
    result = np.maximum(a, b)
    zeros = (a == 0) & (b == 0)
    if not zeros.any():
        return np.asarray(result)
    # np.maximum keeps one operand when both are zeros, so maximum(-0.0, 0.0)
    # and maximum(0.0, -0.0) would differ; a + b of two zeros is -0.0 only
    # when both are, which makes it the larger zero.
    with np.errstate(all="ignore"):
        return np.asarray(np.where(zeros, a + b, result))


def minimum(params: Params, *inputs: Array) -> Array:
    a, b = _two("minimum", inputs)
    result = np.minimum(a, b)
    zeros = (a == 0) & (b == 0)
    if not zeros.any():
        return np.asarray(result)
    # The smaller zero is -0.0 as soon as one operand is; -((-a) + (-b)) of
    # two zeros is exactly that.
    with np.errstate(all="ignore"):
        return np.asarray(np.where(zeros, -((-a) + (-b)), result))


def _unary(name: str, ufunc: np.ufunc, inputs: tuple[Array, ...]) -> Array:
    x = _one(name, inputs)
    with np.errstate(all="ignore"):
        return np.asarray(ufunc(x))


def neg(params: Params, *inputs: Array) -> Array:
    return _unary("neg", np.negative, inputs)


def abs_(params: Params, *inputs: Array) -> Array:
    return _unary("abs", np.absolute, inputs)


def exp(params: Params, *inputs: Array) -> Array:
    return _unary("exp", np.exp, inputs)


def log(params: Params, *inputs: Array) -> Array:
    return _unary("log", np.log, inputs)


def map_(params: Params, *inputs: Array) -> Array:
    x = _one("map", inputs)
    with np.errstate(all="ignore"):
        return np.asarray(x * _number(params, "scale", 1.0) + _number(params, "offset", 0.0))


def _reduce(name: str, ufunc: Callable[..., Any], params: Params,
            inputs: tuple[Array, ...]) -> Array:
    x = _one(name, inputs)
    axis = params.get("axis", 0)
    if isinstance(axis, bool) or not isinstance(axis, int):
        raise TypeError(f"parameter 'axis' must be an int, got {axis!r}")
    with np.errstate(all="ignore"):
        return np.asarray(ufunc(np.atleast_1d(x), axis=axis, keepdims=True))


def sum_(params: Params, *inputs: Array) -> Array:
    return _reduce("sum", np.sum, params, inputs)


def prod(params: Params, *inputs: Array) -> Array:
    return _reduce("prod", np.prod, params, inputs)


def max_(params: Params, *inputs: Array) -> Array:
    return _reduce("max", np.max, params, inputs)


def min_(params: Params, *inputs: Array) -> Array:
    return _reduce("min", np.min, params, inputs)


def mean(params: Params, *inputs: Array) -> Array:
    return _reduce("mean", np.mean, params, inputs)


def source(name: str, params: Params) -> Array:
    """An array of `size` (default 8) values: `fill` everywhere when given,
    otherwise standard normal draws from a generator seeded with `seed`
    (default 0)."""
    size = params.get("size", 8)
    if isinstance(size, bool) or not isinstance(size, int) or size < 0:
        raise ValueError(f"source {name!r}: parameter 'size' must be an int >= 0, got {size!r}")
    if "fill" in params:
        return np.full(size, _number(params, "fill"), dtype=np.float64)
    seed = params.get("seed", 0)
    if isinstance(seed, bool) or not isinstance(seed, int):
        raise ValueError(f"source {name!r}: parameter 'seed' must be an int, got {seed!r}")
    return np.random.default_rng(seed).standard_normal(size)


def source_from(arrays: Mapping[str, Array], name: str, params: Params) -> Array:
    """The array named `name`; the parameters play no part."""
    try:
        return arrays[name]
    except KeyError:
        raise KeyError(f"no array named {name!r} among {sorted(arrays)}") from None


def external(descriptor: Mapping[str, Any], params: Params, *inputs: Array) -> Array:
    x = _one("external", inputs)
    with np.errstate(all="ignore"):
        return np.asarray(x * _number(params, "scale", 1.0))


def exchange(params: Params, *inputs: Array) -> Array:
    return _one("exchange", inputs)


def join(params: Params, *inputs: Array) -> Array:
    if not inputs:
        raise ValueError("join takes at least one input")
    return np.concatenate([np.atleast_1d(x) for x in inputs])


ops: dict[str, Callable[..., Array]] = {
    "add": add, "mul": mul, "sub": sub, "and": and_, "or": or_, "eq": eq, "ne": ne,
    "maximum": maximum, "minimum": minimum, "neg": neg, "abs": abs_, "exp": exp, "log": log,
    "map": map_,
}

reductions: dict[str, Callable[..., Array]] = {
    "sum": sum_, "prod": prod, "max": max_, "min": min_, "mean": mean,
}


def with_arrays(arrays: Mapping[str, Array]) -> OpsTable:
    """These ops with sources that read `arrays` by source name. The result
    pickles as long as the arrays do, so it also serves a distributed
    cluster."""
    return {"source": partial(source_from, dict(arrays)), "ops": ops, "reductions": reductions,
            "external": external, "exchange": exchange, "join": join}
