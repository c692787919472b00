"""Turns a GraphStore into a Dask task graph.

Each node the outputs reach becomes one task; a Stage becomes one task that
runs its members in order and yields its last member's value, or, when its
members form independent branches, several such tasks (see `to_dask`'s
`stages`). A task's key is
`f"{prefix}{digest}"`, the digest naming the node's content and, through
their digests, its inputs': equal computations get equal keys in any store,
process or run, and different ones never share a key. A task is a tuple
`(callable, *input keys)` whose callable is a `functools.partial` of a
module-level function, so the graph pickles and every Dask scheduler accepts
it. Parameters and names live inside the partials, never in the tuple,
because Dask reads every string argument of a task tuple as a possible key.
"""

from __future__ import annotations

import hashlib
import marshal
import operator
from collections.abc import Mapping, Sequence
from functools import partial
from typing import TYPE_CHECKING, Any, Literal, Protocol

from zembrik_core import GraphStore

from ._extras import missing_extra
from .protocol import Fn, LoweringError, Resolver

if TYPE_CHECKING:
    # The id lists zembrik_core takes: sequences of ints or of objects with
    # __index__, and numpy id arrays.
    from zembrik_core import _Ids

Task = tuple[Any, ...]
TaskGraph = dict[str, Task]
# A member's callable, its inputs (k >= 0 is the task's input k, -1 - m is
# the task's member m), its kind, name and index in the stage for error
# notes, and the task's members whose values it is the last to use.
MemberPlan = tuple[Fn, tuple[int, ...], str, str, int, tuple[int, ...]]
StageMode = Literal["auto", "whole", "split"]
STAGE_MODES: tuple[StageMode, ...] = ("auto", "whole", "split")
# In "auto", a part of a stage reads at most AUTO_MAX_READS values from
# outside it (the stage's inputs, other parts' values), where branches meet
# allow a cut: the values a task holds while it runs stay few, and a stage
# fed by many tasks becomes a tree of parts that Dask can run side by side.
# A stage so wide that this would make more than about AUTO_MAX_PARTS parts
# lets each part read more, so that its tasks stay few beside the tasks
# that feed it.
AUTO_MAX_READS = 2
AUTO_MAX_PARTS = 256
_MEMBER_ENTRY = {"op": "ops", "red": "reductions"}
# The personalization names the encoding of `_digest`: a change to it must
# change every key. Copying the hasher is cheaper than making one.
_HASHER = hashlib.blake2b(digest_size=16, person=b"zembrik-task-v1")


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
    # no intermediate value is ever handed to Dask. A value is dropped once
    # its last user has run, so only live values take memory.
    values: list[Any] = []
    for bound, refs, kind, name, index, frees in plan:
        args = [inputs[ref] if ref >= 0 else values[-1 - ref] for ref in refs]
        try:
            values.append(bound(*args))
        except Exception as error:
            error.add_note(f"while computing stage member {index} ({kind} {name!r}) of "
                           f"node {node}")
            raise
        del args
        for m in frees:
            values[m] = None
    return values[-1]


def _describe(node: Mapping[str, Any]) -> str:
    name = node.get("name") or ""
    kind = node["kind"]
    return f"node {node['id']} ({kind} {name!r})" if name else f"node {node['id']} ({kind})"


def _leaf(node: Mapping[str, Any], resolver: Resolver, where: str) -> Fn:
    """The node's callable with its leading arguments bound, so that the
    task passes only the input values; `where` is `_describe(node)`."""
    kind = node["kind"]
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
    found: list[tuple[Fn, tuple[int, ...], str, str]] = []
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
        found.append((partial(fn, member["params"]), tuple(refs), kind, name))
    frees = _frees([[-1 - ref for ref in refs if ref < 0] for _, refs, _, _ in found])
    return tuple((bound, refs, kind, name, index, frees[index])
                 for index, (bound, refs, kind, name) in enumerate(found))


def _frees(uses: Sequence[Sequence[int]]) -> list[tuple[int, ...]]:
    """Per member of a task, the members whose value it is the last to use
    (a value nobody uses is dropped at once); never the last member's, the
    task's value. `uses[j]` lists the members member j reads."""
    last_use = list(range(len(uses)))
    for j, used in enumerate(uses):
        for m in used:
            last_use[m] = j
    frees: list[list[int]] = [[] for _ in uses]
    for m, j in enumerate(last_use[:-1]):
        frees[j].append(m)
    return [tuple(f) for f in frees]


def _stage_parts(key: str, task: Task, mode: StageMode) -> list[tuple[str, Task]] | None:
    """The tasks a stage task splits into under `mode`, each running a part of
    its members, the last part's under the stage's own key; None to keep it
    whole.

    Members are split only where branches meet: a member whose sole user
    reads other members too may end a part of its own. "split" ends one at
    every such member, so every part is a chain; "auto" only where the part
    above would otherwise read more than AUTO_MAX_READS outside values,
    cutting the branches that read most first. A member whose value another
    part reads is always the last of its part, the value its task yields.
    """
    run = task[0]
    node, plan = run.args
    n = len(plan)
    uses = [[-1 - ref for ref in refs if ref < 0] for _, refs, *_ in plan]
    users: list[list[int]] = [[] for _ in range(n)]
    for j, used in enumerate(uses):
        for m in dict.fromkeys(used):
            users[m].append(j)
    # The part a member joins follows its last user (an unused one, the
    # stage's last member).
    parent = [u[-1] if u else n - 1 for u in users]
    branches = [0] * n
    for m in range(n - 1):
        branches[parent[m]] += 1
    last = [False] * n
    last[n - 1] = True
    if mode == "split":
        for m in range(n - 1):
            last[m] = len(users[m]) != 1 or branches[parent[m]] > 1
    else:
        n_inputs = len(task) - 1
        max_reads = max(AUTO_MAX_READS, -(-n_inputs // AUTO_MAX_PARTS))
        _cut_by_reads(plan, parent, branches, last, max_reads)
    part = [0] * n
    changed = True
    while changed:
        for m in range(n - 1, -1, -1):
            part[m] = m if last[m] else part[parent[m]]
        changed = False
        for m in range(n):
            if not last[m] and any(part[j] != part[m] for j in users[m]):
                last[m] = changed = True
    roots = [m for m in range(n) if last[m]]
    if len(roots) == 1:
        return None
    members: dict[int, list[int]] = {r: [] for r in roots}
    for m in range(n):
        members[part[m]].append(m)

    def key_of(root: int) -> str:
        return key if root == n - 1 else f"{key}-{root}"

    parts: list[tuple[str, Task]] = []
    for root in roots:  # a part reads only parts of earlier roots
        own = {m: i for i, m in enumerate(members[root])}
        slots: dict[str, int] = {}
        found: list[tuple[Fn, tuple[int, ...], str, str, int]] = []
        for m in members[root]:
            bound, refs, kind, name, index, _ = plan[m]
            mapped: list[int] = []
            for ref in refs:
                if ref < 0 and part[-1 - ref] == root:
                    mapped.append(-1 - own[-1 - ref])
                else:
                    source = task[1 + ref] if ref >= 0 else key_of(-1 - ref)
                    mapped.append(slots.setdefault(source, len(slots)))
            found.append((bound, tuple(mapped), kind, name, index))
        frees = _frees([[-1 - ref for ref in refs if ref < 0] for _, refs, *_ in found])
        part_plan = tuple((*entry, frees[i]) for i, entry in enumerate(found))
        parts.append((key_of(root), (partial(_run_stage, node, part_plan), *slots)))
    return parts


def _cut_by_reads(plan: tuple[MemberPlan, ...], parent: list[int], branches: list[int],
                  last: list[bool], max_reads: int) -> None:
    """Marks in `last` the branches "auto" cuts off: at a member where
    branches meet, while the part would read more than `max_reads` outside
    values (stage input k as k, a cut branch ending at member m as
    -1 - m), the branch that reads most (the earliest of those) is cut and
    read as one value."""
    n = len(plan)
    reads: list[set[int]] = [{ref for ref in refs if ref >= 0} for _, refs, *_ in plan]
    below: list[list[int]] = [[] for _ in range(n)]
    for m in range(n - 1):
        below[parent[m]].append(m)
    for p in range(n):  # a member's branches come before it
        kept = list(below[p])
        while True:
            held = reads[p].union(*(reads[c] for c in kept))
            held.update(-1 - c for c in below[p] if c not in kept)
            if len(held) <= max_reads or branches[p] < 2 or not kept:
                break
            widest = max(kept, key=lambda c: (len(reads[c]), -c))
            kept.remove(widest)
            last[widest] = True
        reads[p] = held
        for c in below[p]:
            reads[c] = set()  # merged into p's, or cut


def _wide(task: Task, mode: StageMode) -> bool:
    """Whether `mode` may split the stage task: its members do not form one
    chain, and under "auto" it reads more values than one part may."""
    plan: tuple[MemberPlan, ...] = task[0].args[1]
    if mode == "whole" or (mode == "auto" and len(task) - 1 <= AUTO_MAX_READS):
        return False
    return any(-j not in refs for j, (_, refs, *_) in enumerate(plan) if j > 0)


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


def _digest(node: Mapping[str, Any], digests: list[str]) -> str:
    """The hex digest of the node's content and its inputs' digests in order;
    the id and the output mark play no part.

    marshal's version 2 writes each value after its type and each string and
    container after its length, floats as their eight bytes: 1, 1.0, True and
    "1" differ, and so do 0.0 and -0.0, and no two contents give the same
    bytes. Unlike later versions it has no back-references and no mark for
    interned strings, so equal content gives equal bytes whatever objects
    hold it. It is also several times faster than encoding in Python.
    """
    inputs = node["inputs"]
    # Digests all have the same length, so joined they still stand apart.
    ins = digests[inputs[0]] if len(inputs) == 1 else "".join([digests[x] for x in inputs])
    content = (node["kind"], node.get("name"), node["params"], node.get("descriptor"),
               node.get("members"), ins)
    try:
        data = marshal.dumps(content, 2)
    except ValueError as error:  # a type marshal refuses, subclasses included
        raise LoweringError(f"{_describe(node)}: its content cannot be keyed ({error})") from None
    hasher = _HASHER.copy()
    hasher.update(data)
    return hasher.hexdigest()


def _node_id(o: Any) -> int:
    # True is an int and would pass the range check; a float or str would
    # fail it with a misleading message.
    if isinstance(o, bool):
        raise TypeError(f"output ids must be ints, got bool ({o!r})")
    try:
        return operator.index(o)
    except TypeError:
        raise TypeError(f"output ids must be ints, got {type(o).__name__} ({o!r})") from None


def to_dask(store: StoreView, ops: object, outputs: _Ids | None = None, *,
            prefix: str | None = None,
            stages: StageMode = "auto") -> tuple[TaskGraph, list[str]]:
    """The Dask task graph of what `outputs` need, and the outputs' keys in order.

    `outputs` defaults to the store's output marks; a store without marks
    needs explicit outputs (LoweringError otherwise), and `outputs=[]` gives
    an empty graph. Output ids must be ints (anything with `__index__` but
    bool; TypeError otherwise). Duplicates are kept in the key list. Only
    nodes reachable from the outputs become tasks, and only their `ops`
    entries are looked up: a missing one raises LoweringError naming the
    node before anything runs.

    Keys are `f"{prefix}{digest}"`, the digest 32 hex digits of the node's
    kind, name, typed parameters, descriptor or stage members, and its
    inputs' digests in order. The id is left out, so that a computation
    recorded at different ids in two stores (a recorded store and its
    reduction, say) has one key and a shared scheduler computes it once.
    The default prefix (None) is "zembrik-", with no fresh token: different
    content never shares a digest. Keys name the recorded computation, not the `ops` that carry it
    out, since `ops` may hold data with no stable name (the arrays of
    `numpy_ops.with_arrays`): lowerings through different `ops` that share a
    distributed scheduler need distinct prefixes, or it may answer one with
    the other's values.

    `stages` says how a stage becomes tasks. "whole": one task that runs
    every member, which costs the scheduler least; right when chunks are
    small, and the reduction's fewest tasks. "split": where a stage's
    members form independent branches (a fan-in tree, chains that meet only
    at the end), a task per chain between the points where branches meet,
    so that Dask runs them side by side; right when each member does heavy
    work. "auto" (the default) cuts a stage where branches meet only as far
    as needed for each task to read at most AUTO_MAX_READS values from
    outside it: a stage fed by many tasks becomes a tree of parts that run
    side by side and hold few values each, and a stage that reads few values
    stays one task. A stage
    that is one chain is one task in every mode. Inside a task, each member's value is
    dropped once its last user has run. The keys of outputs and the values
    are the same in every mode; parts other than a stage's last get the
    stage's key followed by "-" and the index of their last member.
    """
    if stages not in STAGE_MODES:
        raise ValueError(f"stages must be one of {', '.join(map(repr, STAGE_MODES))}, "
                         f"not {stages!r}")
    if prefix is None:
        prefix = "zembrik-"
    if outputs is None:
        ids = list(store.outputs())
        if not ids:
            raise LoweringError("the store has no output marks; pass outputs=[node ids] to "
                                "say what to compute")
    else:
        ids = [_node_id(o) for o in outputs]
    resolver = Resolver(ops)
    if isinstance(store, GraphStore):
        # A GraphStore builds the same graph from its records, without the
        # nodes() dicts; None leaves what is unusual to the general path.
        lowered = store._lower(ids, prefix, (stages, AUTO_MAX_READS, AUTO_MAX_PARTS),
                               (partial, _run_node, _run_stage, resolver.plain, resolver.named))
        if lowered is not None:
            return lowered
    return _lower_nodes(store.nodes(), ids, prefix, resolver, stages)


def _lower_nodes(nodes: Sequence[Mapping[str, Any]], outputs: list[int], prefix: str,
                 resolver: Resolver, stages: StageMode) -> tuple[TaskGraph, list[str]]:
    """The general path of `to_dask`, over the nodes() entries of any store view."""
    for o in outputs:
        if not 0 <= o < len(nodes):
            raise ValueError(f"no node with id {o}")
    graph: TaskGraph = {}
    digests = [""] * len(nodes)
    key_of = [""] * len(nodes)
    # In id order, so that every input's digest is there before its users'.
    for i in _reachable(nodes, outputs):
        node = nodes[i]
        digests[i] = digest = _digest(node, digests)
        key_of[i] = key = prefix + digest
        keys = [key_of[x] for x in node["inputs"]]
        if node["kind"] == "stage":
            task = (partial(_run_stage, i, _stage_plan(node, resolver)), *keys)
            parts = _stage_parts(key, task, stages) if _wide(task, stages) else None
            for part_key, part_task in parts or [(key, task)]:
                graph[part_key] = part_task
        else:
            label = _describe(node)
            graph[key] = (partial(_run_node, label, _leaf(node, resolver, label)), *keys)
    return graph, [key_of[o] for o in outputs]


def outputs_in(reduced: ReducedView, ids: _Ids) -> list[int]:
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
    for i in map(operator.index, ids):
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


def execute(store: StoreView, ops: object, outputs: _Ids | None = None, *,
            get: Fn | None = None, stages: StageMode = "auto") -> list[Any]:
    """Lowers and runs the graph, returning the outputs' values in order.

    `get` is any Dask scheduler get, e.g. `dask.get`, `dask.threaded.get` or
    a `distributed.Client`'s `get`; the default is `dask.threaded.get`. The
    keys have the default prefix: on a scheduler shared with lowerings through
    other `ops`, run a graph of `to_dask(..., prefix=...)` instead.
    """
    if get is None:
        try:
            import dask.threaded
        except ModuleNotFoundError as missing:
            raise missing_extra(missing, "execute without get=", "dask")
        get = dask.threaded.get
    graph, keys = to_dask(store, ops, outputs, stages=stages)
    return list(get(graph, keys))
