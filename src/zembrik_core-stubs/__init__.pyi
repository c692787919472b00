"""Types of zembrik_core, the native pipeline IR graph store.

The TypedDicts and aliases below exist only for type checkers: the module
hands out plain dicts, lists and tuples.
"""

from collections.abc import Sequence
from typing import Any, Literal, NotRequired, TypeAlias, TypedDict, final, type_check_only

__all__ = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]

# A parameter value; bool is kept apart from int, so True and 1 are different values.
_ParamValue: TypeAlias = bool | int | float | str
# Parameters as nodes() returns them: keys in ascending order.
_Params: TypeAlias = dict[str, _ParamValue]
_NodeKind: TypeAlias = Literal["source", "op", "reduction", "external", "stage", "exchange", "join"]
# Where a stage member's input comes from: the stage's k-th input or its m-th member.
_StageRef: TypeAlias = tuple[Literal["input", "member"], int]
# Per node of the store a reduction started from: (reduced id, member index or
# None), or None when the node was not needed.
_NodeLanding: TypeAlias = tuple[int, int | None] | None

@type_check_only
class Descriptor(TypedDict):
    """The fields of a PayloadDescriptor as a dict; nodes() always includes preprocessing_ref."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: NotRequired[str | None]

@type_check_only
class StageMember(TypedDict):
    kind: Literal["op", "red"]
    name: str
    params: _Params
    inputs: list[_StageRef]

@type_check_only
class _NodeFields(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    name: str
    params: _Params

@type_check_only
class SourceNode(_NodeFields):
    kind: Literal["source"]

@type_check_only
class OpNode(_NodeFields):
    kind: Literal["op"]

@type_check_only
class ReductionNode(_NodeFields):
    kind: Literal["reduction"]

@type_check_only
class ExternalNode(_NodeFields):
    kind: Literal["external"]
    descriptor: Descriptor

@type_check_only
class ExchangeNode(_NodeFields):
    kind: Literal["exchange"]

@type_check_only
class JoinNode(_NodeFields):
    kind: Literal["join"]

@type_check_only
class StageNode(_NodeFields):
    kind: Literal["stage"]
    n_members: int
    members: list[StageMember]

# One entry of GraphStore.nodes(); testing "kind" narrows it to its kind's fields.
_NodeInfo: TypeAlias = (
    SourceNode | OpNode | ReductionNode | ExternalNode | ExchangeNode | JoinNode | StageNode
)

@type_check_only
class ReductionReport(TypedDict):
    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int

def version() -> str: ...

class InternalError(BaseException): ...

@final
class GraphStore:
    def __new__(cls) -> GraphStore: ...
    def add_source(self, name: str, params: _Params | None = None) -> int: ...
    def add_op(self, name: str, inputs: Sequence[int], params: _Params | None = None) -> int: ...
    def add_reduction(
        self, name: str, inputs: Sequence[int], params: _Params | None = None
    ) -> int: ...
    def add_external(
        self,
        descriptor: PayloadDescriptor | Descriptor,
        inputs: Sequence[int],
        params: _Params | None = None,
    ) -> int: ...
    def add_exchange(self, inputs: Sequence[int], params: _Params | None = None) -> int: ...
    def add_join(self, inputs: Sequence[int], params: _Params | None = None) -> int: ...
    def node_count(self) -> int: ...
    def to_dot(self) -> str: ...
    def serialize(self, outputs: Sequence[int] | None = None) -> bytes: ...
    # A static method at run time, but its function is bound to the class, so
    # it behaves (and introspects) as a class method of this final class.
    @classmethod
    def deserialize(cls, data: bytes) -> GraphStore: ...
    def nodes(self) -> list[_NodeInfo]: ...
    # zembrik_dask's lowering; not for other callers.
    def _lower(
        self,
        outputs: list[int],
        prefix: str,
        stages: tuple[str, int, int],
        calls: tuple[Any, Any, Any, Any, Any],
    ) -> tuple[dict[str, tuple[Any, ...]], list[str]] | None: ...
    def outputs(self) -> list[int]: ...
    def node_map(self) -> list[_NodeLanding]: ...
    def cone(self, *, outputs: Sequence[int]) -> GraphStore: ...
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: Sequence[int] | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def reduce_incremental(
        self, *, outputs: Sequence[int] | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def reduction_report(self, *, outputs: Sequence[int] | None = None) -> ReductionReport: ...

@final
class PayloadDescriptor:
    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> PayloadDescriptor: ...
    @property
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...

@final
class IncrementalReducer:
    def __new__(cls) -> IncrementalReducer: ...
    def step(self, store: GraphStore) -> int: ...
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...
    def finalize(
        self,
        store: GraphStore,
        *,
        maximal_fusion: bool = False,
        outputs: Sequence[int] | None = None,
    ) -> tuple[GraphStore, ReductionReport]: ...
