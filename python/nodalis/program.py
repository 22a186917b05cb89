"""A graph read for running: the nodes the requested outputs need, each checked and
bound to its kernel, data or model before any data is read.

Everything that can be known from the graph, the kernels and the models alone
(unknown ops, bad params, unreadable member tokens, a missing source or model,
a model whose bytes do not match its hash) fails here, naming the node.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from nodalis.elementwise import OpCall
from nodalis.errors import RunError
from nodalis.external import Model, load_model
from nodalis.kernels import Kernel, check_kernel_params, kernel_table
from nodalis.reductions import STANDARD as REDUCERS
from nodalis.stage import Member
from nodalis.stage_tokens import node_of_bad_token
from nodalis.table import key_names
from nodalis_core import GraphStore

SCHEMES = ("hash", "round_robin")


@dataclass(frozen=True)
class Step:
    """One node, ready to run."""

    id: int
    kind: str
    name: str
    inputs: Tuple[int, ...]
    params: Mapping[str, Any]
    op: Optional[OpCall] = None
    members: Tuple[Member, ...] = ()
    reduction: Optional[Callable[..., Any]] = None
    descriptor: Mapping[str, Any] = field(default_factory=dict)
    model: Optional[Model] = None
    external_kernel: Optional[Callable[..., Any]] = None
    data: Any = None
    keys: Tuple[str, ...] = ()

    def fail(self, message: str) -> RunError:
        return RunError(message, self.id, self.kind, self.name)


@dataclass(frozen=True)
class Program:
    """The steps the outputs need, in id order (inputs before their users), and the outputs."""

    steps: Tuple[Step, ...]
    outputs: Tuple[int, ...]


def read_view(store: GraphStore) -> List[Dict[str, Any]]:
    """The store's node view; a member token it cannot read is reported against its stage node."""
    try:
        return store.nodes()
    except ValueError as err:
        if "unparseable stage member token" not in str(err):
            raise
        found = node_of_bad_token(store.serialize(outputs=[]), str(err))
        if found is None:
            raise RunError(str(err)) from err
        raise RunError(f"member token {found[1]!r} cannot be parsed", found[0], "stage") from err


def needed(view: Sequence[Mapping[str, Any]], outputs: Sequence[int]) -> List[int]:
    """Ids of the nodes the outputs depend on, ascending."""
    seen = set()
    stack = list(outputs)
    while stack:
        i = stack.pop()
        if i not in seen:
            seen.add(i)
            stack.extend(view[i]["inputs"])
    return sorted(seen)


def _failure(node: Mapping[str, Any], kind: str = "", name: Optional[str] = None) -> Callable[[str], RunError]:
    """Makes the errors of one node."""
    def fail(message: str) -> RunError:
        return RunError(message, node["id"], kind or node["kind"], node["name"] if name is None else name)
    return fail


def _op_call(node: Mapping[str, Any], name: str, params: Mapping[str, Any], n_inputs: int,
             table: Mapping[str, Kernel], what: str) -> OpCall:
    fail = _failure(node)
    kernel = table.get(name)
    if kernel is None:
        raise fail(f"{what}unknown op {name!r}; register a kernel with "
                   f"nodalis.run(..., kernels={{{name!r}: fn}}) (numpy arrays in, a numpy array out)")
    if "scalar" in params and (isinstance(params["scalar"], str)):
        raise fail(f"{what}op {name!r}: scalar must be a number or bool, not {params['scalar']!r}")
    if str(params.get("side", "r")) not in ("l", "r"):
        raise fail(f"{what}op {name!r}: side must be 'l' or 'r', not {params['side']!r}")
    op = OpCall.of(name, kernel, params)
    problem = check_kernel_params(kernel, op.params)
    if problem:
        raise fail(f"{what}op {name!r}: {problem}")
    if n_inputs == 0:
        raise fail(f"{what}op {name!r} has no input")
    if kernel.arity is not None and op.arity(n_inputs) != kernel.arity:
        got = f"{n_inputs} input(s)" + (" and a scalar" if op.has_scalar else "")
        raise fail(f"{what}op {name!r} takes {kernel.arity} argument(s), got {got}")
    return op


def _stage_members(node: Mapping[str, Any], table: Mapping[str, Kernel]) -> Tuple[Member, ...]:
    members: List[Member] = []
    if not node["members"]:
        raise RunError("stage has no members", node["id"], "stage")
    for pos, m in enumerate(node["members"]):
        what = f"member {pos}: "
        if m["kind"] != "op":
            raise RunError(f"{what}a {m['kind']!r} member {m['name']!r} cannot run inside a stage; "
                           "stages hold element-wise ops", node["id"], "stage")
        refs = tuple((str(k), int(i)) for k, i in m["inputs"])
        for kind, i in refs:
            if (kind == "input" and i >= len(node["inputs"])) or \
               (kind == "member" and i >= pos) or kind not in ("input", "member"):
                raise RunError(f"{what}reference ({kind!r}, {i}) points outside the stage",
                               node["id"], "stage")
        members.append(Member(_op_call(node, m["name"], m["params"], len(refs), table, what), refs))
    return tuple(members)


def _reduction(node: Mapping[str, Any], table: Mapping[str, Kernel]) -> Optional[Callable[..., Any]]:
    name, params = node["name"], node["params"]
    fail = _failure(node)
    if len(node["inputs"]) != 1:
        raise fail(f"a reduction takes one input, got {len(node['inputs'])}")
    if params.get("axis", 0) not in (0, 1) or isinstance(params.get("axis", 0), bool):
        raise fail(f"axis must be 0 or 1, not {params['axis']!r}")
    user = table.get(name)
    if user is not None and user.arity is None:
        return user.fn
    if name not in REDUCERS:
        raise fail(f"unknown reduction {name!r} (standard: {', '.join(REDUCERS)}); register one "
                   f"with nodalis.run(..., kernels={{{name!r}: fn}}) called as fn(x, axis=...)")
    extra = sorted(set(params) - {"axis"})
    if extra:
        raise fail(f"unexpected param {extra[0]!r} (standard reductions take: axis)")
    return None


def _exchange(node: Mapping[str, Any]) -> None:
    params = node["params"]
    fail = _failure(node)
    if len(node["inputs"]) != 1:
        raise fail(f"an exchange takes one input, got {len(node['inputs'])}")
    scheme = params.get("scheme")
    if scheme not in SCHEMES:
        raise fail(f"unknown exchange scheme {scheme!r} (known: hash, round_robin)")
    parts = params.get("parts")
    if not isinstance(parts, int) or isinstance(parts, bool) or parts < 1:
        raise fail(f"parts must be a positive int, not {parts!r}")
    if scheme == "hash" and not isinstance(params.get("key"), str):
        raise fail("a hash exchange needs a 'key' param naming the key column")


def build_program(store: GraphStore, outputs: Sequence[int], sources: Optional[Mapping[str, Any]],
                  models: Optional[Mapping[str, Any]],
                  kernels: Optional[Mapping[str, Callable[..., Any]]]) -> Program:
    """Reads and checks everything the outputs need.

    Raises
    ------
    RunError
        Naming the first node that cannot run.
    ValueError
        An output id that is not in the store.
    """
    view = read_view(store)
    for o in outputs:
        if not 0 <= o < len(view):
            raise ValueError(f"no node with id {o}")
    table = kernel_table(kernels)
    sources = sources or {}
    steps = []
    for i in needed(view, outputs):
        node = view[i]
        kind, name, params = node["kind"], node["name"], node["params"]
        base = dict(id=i, kind=kind, name=name, inputs=tuple(node["inputs"]), params=params)
        if kind == "source":
            data = sources.get(name, params.get("path"))
            if data is None:
                raise RunError(f"no data for source {name!r}: pass sources={{{name!r}: data}} "
                               f"(--source {name}=PATH to the command) or give the source a 'path' param",
                               i, kind, name)
            steps.append(Step(**base, data=data, keys=tuple(key_names(params))))
        elif kind == "op":
            steps.append(Step(**base, op=_op_call(node, name, params, len(node["inputs"]), table, "")))
        elif kind == "stage":
            steps.append(Step(**base, members=_stage_members(node, table)))
        elif kind == "reduction":
            steps.append(Step(**base, reduction=_reduction(node, table)))
        elif kind == "exchange":
            _exchange(node)
            steps.append(Step(**base))
        elif kind == "external":
            steps.append(_external(node, base, table, models))
        else:
            raise RunError(f"unknown node kind {kind!r}", i, kind, name)
    return Program(tuple(steps), tuple(outputs))


def _external(node: Mapping[str, Any], base: Dict[str, Any], table: Mapping[str, Kernel],
              models: Optional[Mapping[str, Any]]) -> Step:
    desc = node["descriptor"]
    framework = desc["framework"]
    fail = _failure(node, name=framework)
    batch = node["params"].get("batch", 1)
    if not isinstance(batch, int) or isinstance(batch, bool) or batch < 1:
        raise fail(f"batch must be a positive int, not {batch!r}")
    if not node["inputs"]:
        raise fail("an external node needs at least one input")
    try:
        model = load_model(desc["content_hash"], models)
    except (OSError, ValueError) as err:
        raise fail(str(err)) from err
    custom = table.get(f"external:{framework}")
    if custom is not None:
        return Step(**base, descriptor=desc, model=model, external_kernel=custom.fn)
    if framework != "onnx":
        raise fail(f"no runner for framework {framework!r}: register one with nodalis.run(..., "
                   f"kernels={{'external:{framework}': fn}})")
    if model is None:
        raise fail(f"no model for content hash {desc['content_hash']!r}: pass nodalis.run(..., "
                   f"models={{{desc['content_hash']!r}: bytes or path}})")
    return Step(**base, descriptor=desc, model=model)
