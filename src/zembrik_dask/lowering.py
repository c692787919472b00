"""Turns a GraphStore into a Dask task graph.

Each node the outputs reach becomes one task keyed `f"{prefix}{id}"`; a
Stage becomes one task that runs its members in order and yields its last
member's value. A task is a tuple `(callable, *input keys)` whose callable is
a `functools.partial` of a module-level function, so the graph pickles and
every Dask scheduler accepts it. Parameters and names live inside the
partials, never in the tuple, because Dask reads every string argument of a
task tuple as a possible key.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from functools import partial
from typing import Any, Protocol
from uuid import uuid4

from .protocol import Fn, LoweringError, Resolver

Task = tuple[Any, ...]
TaskGraph = dict[str, Task]
# A member's callable, its inputs (k >= 0 is the stage's input k, -1 - m is
# member m), and its kind and name for error notes.
MemberPlan = tuple[Fn, tuple[int, ...], str, str]
_MEMBER_ENTRY = {"op": "ops", "red": "reductions"}


class StoreView(Protocol):
    """What the lowering reads from a `zembrik_core.GraphStore`."""

    def nodes(self) -> Sequence[Mapping[str, Any]]: ...

    def outputs(self) -> Sequence[int]: ...


class ReducedView(Protocol):
    """What `outputs_in` reads from a reduced `zembrik_core.GraphStore`."""

    def node_map(self) -> Sequence[tuple[int, int | None] | None]: ...


def _run_node(label: str, bound: Fn, *inputs: Any) -> Any:
    try:
        return bound(*inputs)
    except Exception as error:
        error.add_note(f"while computing {label}")
        raise


def _run_stage(node: int, plan: tuple[MemberPlan, ...], *inputs: Any) -> Any:
    # Members run back to back in this one task: no scheduler round-trip and
    # no intermediate value is ever handed to Dask.
    values: list[Any] = []
    for bound, refs, kind, name in plan:
        args = [inputs[ref] if ref >= 0 else values[-1 - ref] for ref in refs]
        try:
            values.append(bound(*args))
        except Exception as error:
            error.add_note(f"while computing stage member {len(values)} ({kind} {name!r}) of "
                           f"node {node}")
            raise
    return values[-1]


def _describe(node: Mapping[str, Any]) -> str:
    name = node.get("name") or ""
    kind = node["kind"]
    return f"node {node['id']} ({kind} {name!r})" if name else f"node {node['id']} ({kind})"


def _leaf(node: Mapping[str, Any], resolver: Resolver) -> Fn:
    """The node's callable with its leading arguments bound, so that the
    task passes only the input values."""
    kind = node["kind"]
    where = _describe(node)
    params = dict(node["params"])
    if kind == "source":
        return partial(resolver.plain("source", where), node["name"], params)
    if kind == "op":
        return partial(resolver.named("ops", node["name"], where), params)
    if kind == "reduction":
        return partial(resolver.named("reductions", node["name"], where), params)
    if kind == "external":
        return partial(resolver.plain("external", where), dict(node["descriptor"]), params)
    if kind in ("exchange", "join"):
        return partial(resolver.plain(kind, where), params)
    raise LoweringError(f"{where}: no lowering for kind {kind!r}")


def _stage_plan(node: Mapping[str, Any], resolver: Resolver) -> tuple[MemberPlan, ...]:
    members: Sequence[Mapping[str, Any]] = node.get("members") or ()
    if not members:
        raise LoweringError(f"node {node['id']} (stage): it has no members")
    n_inputs = len(node["inputs"])
    plan: list[MemberPlan] = []
    for index, member in enumerate(members):
        kind, name = member["kind"], member["name"]
        entry = _MEMBER_ENTRY.get(kind)
        if entry is None:
            raise LoweringError(f"{_where(node, index, kind, name)}: no lowering for member "
                                f"kind {kind!r}")
        refs: list[int] = []
        for origin, k in member["inputs"]:
            if origin == "input" and 0 <= k < n_inputs:
                refs.append(k)
            elif origin == "member" and 0 <= k < index:
                refs.append(-1 - k)
            else:
                raise LoweringError(f"{_where(node, index, kind, name)}: input ({origin!r}, {k}) "
                                    "names no earlier value")
        fn = resolver.named(entry, name, partial(_where, node, index, kind, name))
        plan.append((partial(fn, member["params"]), tuple(refs), kind, name))
    return tuple(plan)


def _where(node: Mapping[str, Any], index: int, kind: str, name: str) -> str:
    return f"node {node['id']} (stage member {index}: {kind} {name!r})"


def _reachable(nodes: Sequence[Mapping[str, Any]], outputs: Sequence[int]) -> list[int]:
    seen = [False] * len(nodes)
    stack = list(outputs)
    while stack:
        i = stack.pop()
        if not seen[i]:
            seen[i] = True
            stack.extend(nodes[i]["inputs"])
    return [i for i, kept in enumerate(seen) if kept]


def to_dask(store: StoreView, ops: object, outputs: Sequence[int] | None = None, *,
            prefix: str | None = None) -> tuple[TaskGraph, list[str]]:
    """The Dask task graph of what `outputs` need, and the outputs' keys in order.

    `outputs` defaults to the store's output marks; a store without marks
    needs explicit outputs (LoweringError otherwise), and `outputs=[]` gives
    an empty graph. Duplicates are kept in the key list. Only nodes reachable
    from the outputs become tasks, and only their `ops` entries are looked
    up: a missing one raises LoweringError naming the node before anything
    runs.

    Keys are `f"{prefix}{node id}"`. The default prefix is "zembrik-" and a
    token drawn afresh for each call: node ids repeat from store to store, and
    a distributed scheduler that already knows a key may hand back the value
    it computed for another graph under that key. Pass a prefix for stable
    keys when nothing else shares the scheduler.
    """
    if prefix is None:
        prefix = f"zembrik-{uuid4().hex[:12]}-"
    nodes = store.nodes()
    if outputs is None:
        outputs = list(store.outputs())
        if not outputs:
            raise LoweringError("the store has no output marks; pass outputs=[node ids] to "
                                "say what to compute")
    for o in outputs:
        if not 0 <= o < len(nodes):
            raise ValueError(f"no node with id {o}")
    resolver = Resolver(ops)
    graph: TaskGraph = {}
    for i in _reachable(nodes, outputs):
        node = nodes[i]
        keys = [f"{prefix}{x}" for x in node["inputs"]]
        if node["kind"] == "stage":
            graph[f"{prefix}{i}"] = (partial(_run_stage, i, _stage_plan(node, resolver)), *keys)
        else:
            graph[f"{prefix}{i}"] = (partial(_run_node, _describe(node), _leaf(node, resolver)),
                                     *keys)
    return graph, [f"{prefix}{o}" for o in outputs]


def outputs_in(reduced: ReducedView, ids: Sequence[int]) -> list[int]:
    """Where nodes of the store a reduced store came from landed in it: the
    ids to pass as `outputs` to compute, from the reduced store, the values of
    the original nodes `ids`.

    A node dropped by the reduction, or fused into a stage other than as its
    last member (so no task yields its value), raises ValueError; reduce
    with those ids among the outputs to keep them computable.
    """
    landing = reduced.node_map()
    # Every member of a stage is where some node of the original landed, so
    # the largest member index the map names is the stage's last member.
    last: dict[int, int] = {}
    for place in landing:
        if place is not None and place[1] is not None:
            last[place[0]] = max(last.get(place[0], 0), place[1])
    result: list[int] = []
    for i in ids:
        place = landing[i] if 0 <= i < len(landing) else None
        if place is None:
            raise ValueError(f"node {i} did not survive the reduction; reduce with it among "
                             "the outputs")
        target, member = place
        if member is not None and member != last[target]:
            raise ValueError(f"node {i} landed as member {member} inside stage {target}, whose "
                             "task yields only its last member; reduce with it among the "
                             "outputs")
        result.append(target)
    return result


def execute(store: StoreView, ops: object, outputs: Sequence[int] | None = None, *,
            get: Fn | None = None) -> list[Any]:
    """Lowers and runs the graph, returning the outputs' values in order.

    `get` is any Dask scheduler get, e.g. `dask.get`, `dask.threaded.get` or
    a `distributed.Client`'s `get`; the default is `dask.threaded.get`.
    """
    graph, keys = to_dask(store, ops, outputs)
    if get is None:
        import dask.threaded

        get = dask.threaded.get
    return list(get(graph, keys))
