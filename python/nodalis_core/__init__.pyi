from typing import Any, Collection, Dict, List, Optional, Sequence, SupportsIndex, Tuple, Union, final

_ParamValue = Union[int, float, bool, str]
_Params = Optional[Dict[str, _ParamValue]]
_NodeIds = Sequence[SupportsIndex]
# The six counts of a reduction: input_nodes, reachable_nodes, canonical_nodes,
# stages, reduced_nodes, boundary_nodes.
_Report = Dict[str, int]

def version() -> str: ...

class PanicException(BaseException): ...

@final
class PayloadDescriptor:
    """Reproducibility metadata an External node carries (participates in the structural hash)."""

    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: Optional[str] = None,
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
    def preprocessing_ref(self) -> Optional[str]: ...
    def __reduce__(self) -> Tuple[Any, ...]:
        """Pickle and copy through the six fields."""

@final
class GraphStore:
    """Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to
    share across threads under the GIL and free-threaded 3.14t)."""

    def __new__(cls) -> GraphStore: ...
    def add_source(self, name: str, params: _Params = None) -> int: ...
    def add_op(self, name: str, inputs: _NodeIds, params: _Params = None) -> int: ...
    def add_reduction(self, name: str, inputs: _NodeIds, params: _Params = None) -> int: ...
    def add_external(
        self,
        descriptor: Union[PayloadDescriptor, Dict[str, Optional[str]]],
        inputs: _NodeIds,
        params: _Params = None,
    ) -> int: ...
    def add_exchange(self, inputs: _NodeIds, params: _Params = None) -> int:
        """Record an `Exchange` boundary (plan M39 §2.1). No `name` — an Exchange's identity is its
        `scheme` ParamMap (`params`) + its one logical input; `nodes()[i]["kind"] == "exchange"`."""
    def node_count(self) -> int: ...
    def to_dot(self) -> str: ...
    def serialize(self, outputs: Optional[_NodeIds] = None) -> bytes:
        """Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:
        the serializable IR — not cloudpickle — is the canonical durable representation). With
        `outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a
        property of the compile request); the default keeps the marks-based behavior."""
    @staticmethod
    def deserialize(data: bytes) -> GraphStore:
        """Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so
        `serialize` of the result is byte-identical to the input (plan M8 determinism gate)."""
    def nodes(self) -> List[Dict[str, Any]]:
        """Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and
        `reproduce` interprets it). Each entry is a dict with `id`, `kind`
        (source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a
        `descriptor` dict for external nodes and `n_members` for stage nodes."""
    def outputs(self) -> List[int]:
        """The marked output node ids, in mark order (what an IR evaluator returns, in order)."""
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: Optional[_NodeIds] = None
    ) -> Tuple[GraphStore, _Report]:
        """Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind
        RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in
        to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is
        pinned by the frozen M4 suite)."""
    def reduce_incremental(self, *, outputs: Optional[_NodeIds] = None) -> Tuple[GraphStore, _Report]:
        """One-shot incremental reduction of the current graph (same result as `reduce`). For genuine
        step-by-step reduction while building, use `IncrementalReducer`."""
    def reduction_report(self, *, outputs: Optional[_NodeIds] = None) -> _Report:
        """The reduction report for the current graph, without keeping the reduced store."""
    def reduce_plan(
        self, *, maximal_fusion: bool = False, outputs: Optional[_NodeIds] = None
    ) -> Tuple[GraphStore, _Report, List[int]]:
        """Reduce exactly like `reduce`, and also say where each requested output ended up. Returns
        (reduced store, report dict, output ids): the id in the reduced store of each requested
        output (or marked output, without `outputs=`), in request order with repeats kept. The
        reduced store's own marks cannot tell this: equal outputs share one mark."""
    def __reduce__(self) -> Tuple[Any, ...]:
        """Pickle and copy through the blob: the copy has the same node ids and marks."""
    def _repr_mimebundle_(
        self, include: Optional[Collection[str]] = None, exclude: Optional[Collection[str]] = None
    ) -> Dict[str, Any]:
        """The notebook display: an SVG drawing when Graphviz's `dot` is installed and the graph is
        small enough to draw, and a text summary always."""

@final
class IncrementalReducer:
    """Genuinely incremental reduction (plan §A.1): feed it a store as the graph is being built; each
    `step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,
    commutativity dedup, hash-consing — the same sound rules the SaturationEngine runs), so a concise
    canonical form is maintained while building and `finalize` does one linear pass instead of a
    whole-history optimization. `total_work()` counts nodes processed across all steps — it equals
    the node count of the store, no matter how many steps fed it (the incrementality witness)."""

    def __new__(cls) -> IncrementalReducer: ...
    def step(self, store: GraphStore) -> int:
        """Consume the nodes recorded in `store` since the last step. Returns how many were processed
        (the delta size). The reducer must always be fed the same store."""
    def watermark(self) -> int:
        """How many of the store's nodes have been consumed so far."""
    def total_work(self) -> int:
        """Cumulative nodes processed across all steps (== watermark: each node touched once)."""
    def canonical_count(self) -> int:
        """Size of the maintained canonical form."""
    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: Optional[_NodeIds] = None
    ) -> Tuple[GraphStore, _Report]:
        """Finish: consume any remaining delta, then reduce the maintained canonical form against the
        store's marked outputs — or, with `outputs=`, against EXACTLY that set (M22: stored marks
        ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`."""
    def finalize_plan(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: Optional[_NodeIds] = None
    ) -> Tuple[GraphStore, _Report, List[int]]:
        """Finish exactly like `finalize`, and also say where each requested output ended up. Returns
        (reduced store, report dict, output ids), like `GraphStore.reduce_plan`."""
