"""The `ops` protocol: what each kind of node computes.

`ops` is either a mapping or any object with attributes (a module, a class
instance, a namespace); the lowering reads these six entries from it, each
optional until a node that needs it is lowered:

| Entry        | Type                          | Called as                              |
|--------------|-------------------------------|----------------------------------------|
| `source`     | callable                      | `source(name, params)`                 |
| `ops`        | mapping name -> callable      | `ops[name](params, *inputs)`           |
| `reductions` | mapping name -> callable      | `reductions[name](params, *inputs)`    |
| `external`   | callable                      | `external(descriptor, params, *inputs)`|
| `exchange`   | callable                      | `exchange(params, *inputs)`            |
| `join`       | callable                      | `join(params, left, right)`            |

`params` is the node's parameter dict and `descriptor` the External's
descriptor dict, both as `GraphStore.nodes()` gives them; inputs come in the
node's operand order. A stage member of kind "op" is looked up in `ops`, one
of kind "red" in `reductions`.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any, TypedDict

# Where a node sits, for messages: a text, or a call that makes one, so that
# the thousands of lookups that succeed format nothing.
Where = str | Callable[[], str]

Params = Mapping[str, Any]
Fn = Callable[..., Any]



class OpsTable(TypedDict, total=False):
    """The mapping form of `ops`; every key may be left out."""

    source: Callable[[str, Params], Any]
    ops: Mapping[str, Fn]
    reductions: Mapping[str, Fn]
    external: Fn
    exchange: Fn
    join: Fn


class LoweringError(ValueError):
    """A node cannot become a task: a missing or unusable `ops` entry, a
    malformed stage, or no outputs to compute."""


def read_entry(ops: object, entry: str) -> object:
    """The entry as the caller supplied it, or None when absent."""
    if isinstance(ops, Mapping):
        return ops.get(entry)
    return getattr(ops, entry, None)


class Resolver:
    """Looks the callables up once per entry and name, so that a graph of
    thousands of nodes reads `ops` a handful of times."""

    def __init__(self, ops: object) -> None:
        self._ops = ops
        self._entries: dict[str, object] = {}
        self._named: dict[tuple[str, str], Fn] = {}

    def _entry(self, entry: str) -> object:
        if entry not in self._entries:
            self._entries[entry] = read_entry(self._ops, entry)
        return self._entries[entry]

    def plain(self, entry: str, where: Where) -> Fn:
        """The callable of `entry` (source, external, exchange, join)."""
        found = self._entry(entry)
        if not isinstance(where, str):
            where = where()
        if found is None:
            raise LoweringError(f"{where}: ops has no '{entry}' entry")
        if not callable(found):
            raise LoweringError(
                f"{where}: ops entry '{entry}' is {type(found).__name__}, not callable")
        return found

    def named(self, entry: str, name: str, where: Where) -> Fn:
        """The callable `entry[name]` (ops or reductions)."""
        cached = self._named.get((entry, name))
        if cached is not None:
            return cached
        if not isinstance(where, str):
            where = where()
        table = self._entry(entry)
        if table is None:
            raise LoweringError(f"{where}: ops has no '{entry}' entry (needed for {name!r})")
        if not isinstance(table, Mapping):
            raise LoweringError(
                f"{where}: ops entry '{entry}' is {type(table).__name__}, not a mapping")
        found: object = table.get(name)
        if found is None:
            raise LoweringError(f"{where}: ops has no '{entry}[{name!r}]'")
        if not callable(found):
            raise LoweringError(
                f"{where}: '{entry}[{name!r}]' is {type(found).__name__}, not callable")
        self._named[(entry, name)] = found
        return found
