"""Types of zembrik_core, the native pipeline IR graph store.

The TypedDicts and aliases below exist only for type checkers: the module
hands out plain dicts, lists and tuples.
"""

from _collections_abc import dict_items, dict_values
from collections.abc import Iterator, Sequence
from typing import (
    Any,
    Literal,
    NotRequired,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    TypeVar,
    final,
    type_check_only,
)

__all__ = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]

__version__: str

# A parameter value; bool is kept apart from int, so True and 1 are different values.
ParamValue: TypeAlias = bool | int | float | str
# Parameters as nodes() returns them (keys in ascending order), and a type to
# annotate the params a front end builds.
Params: TypeAlias = dict[str, ParamValue]

# What a params value may be when recorded: one of the four, or any number
# the interpreter converts (an object with __index__ or __float__, such as a
# numpy scalar).
_ParamInput: TypeAlias = ParamValue | SupportsIndex | SupportsFloat
_V_co = TypeVar("_V_co", covariant=True)

@type_check_only
class _ParamDict(Protocol[_V_co]):
    """A dict or dict subclass with str keys, of any value type within _V_co.

    Only dicts are accepted, but dict[str, int] is not a dict[str, ParamValue]
    (dict is invariant); what only dicts have, read covariantly, admits both.
    """

    def items(self) -> dict_items[str, _V_co]: ...
    def values(self) -> dict_values[str, _V_co]: ...

_ParamsArgument: TypeAlias = _ParamDict[_ParamInput] | None

@type_check_only
class _IdArray(Protocol):
    """An array of ids, such as a numpy array of integers."""

    def __array__(self) -> Any: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsIndex: ...
    def __iter__(self) -> Iterator[SupportsIndex]: ...

# An id list: a sequence (not a str) of ints or objects with __index__.
_Ids: TypeAlias = Sequence[SupportsIndex] | _IdArray
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
    params: Params
    inputs: list[_StageRef]

@type_check_only
class _NodeFields(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    name: str
    params: Params

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
    def add_source(self, name: str, params: _ParamsArgument = None) -> int: ...
    def add_op(self, name: str, inputs: _Ids, params: _ParamsArgument = None) -> int: ...
    def add_reduction(
        self, name: str, inputs: _Ids, params: _ParamsArgument = None
    ) -> int: ...
    def add_external(
        self,
        descriptor: PayloadDescriptor | Descriptor,
        inputs: _Ids,
        params: _ParamsArgument = None,
    ) -> int: ...
    def add_exchange(self, inputs: _Ids, params: _ParamsArgument = None) -> int: ...
    def add_join(self, inputs: _Ids, params: _ParamsArgument = None) -> int: ...
    def node_count(self) -> int: ...
    def to_dot(self) -> str: ...
    def serialize(self, outputs: _Ids | None = None) -> bytes: ...
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
    def cone(self, *, outputs: _Ids) -> GraphStore: ...
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def reduce_incremental(
        self, *, outputs: _Ids | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def reduction_report(self, *, outputs: _Ids | None = None) -> ReductionReport: ...

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
        outputs: _Ids | None = None,
    ) -> tuple[GraphStore, ReductionReport]: ...
