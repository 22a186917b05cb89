"""A numeric meaning for stores, read through the node view, so that reduction
tests check what a reduced store computes rather than restating the optimizer.

Stage nodes are evaluated member by member from their view, so a wrong slot, a
wrong member reference or a token that does not read back shows up as a wrong
value. Sources get values that are never zero, so adding 0.0 is exact.
"""
import math
import random
import zlib


def _text_value(text: str) -> float:
    return 1.0 + (zlib.crc32(text.encode()) % 1000) / 7.0


def apply(kind, name, params, args):
    scalar = params.get("scalar")
    if kind == "reduction":
        return sum(args) * 0.5 + _text_value(name)
    if name == "add" and isinstance(scalar, float):
        return sum(args) + scalar
    if name == "mul" and isinstance(scalar, float):
        p = scalar
        for a in args:
            p *= a
        return p
    if len(args) == 2 and not params:
        a, b = args
        ops = {"add": a + b, "mul": a * b, "maximum": max(a, b), "minimum": min(a, b), "sub": a - b}
        if name in ops:
            return ops[name]
    v = _text_value(kind + name + repr(sorted(params.items())))
    for i, a in enumerate(args):
        v += a * (i + 1.5)
    return math.sin(v)


def values(store, outputs=None):
    """The value of every output (the store's marks when none are given)."""
    vals = []
    for n in store.nodes():
        args = [vals[i] for i in n["inputs"]]
        kind = n["kind"]
        if kind == "source":
            vals.append(_text_value(n["name"] + repr(sorted(n["params"].items()))))
        elif kind == "stage":
            members = []
            for m in n["members"]:
                margs = [args[i] if k == "input" else members[i] for k, i in m["inputs"]]
                members.append(apply(m["kind"], m["name"], m["params"], margs))
            vals.append(members[-1])
        elif kind in ("op", "reduction"):
            vals.append(apply(kind, n["name"], n["params"], args))
        else:
            extra = repr(sorted(n.get("descriptor", {}).items())) + repr(sorted(n["params"].items()))
            v = _text_value(kind + extra)
            for i, a in enumerate(args):
                v += a * (i + 2.5)
            vals.append(v)
    return [vals[o] for o in (store.outputs() if outputs is None else outputs)]


IDENTITIES = [("add", 0.0, "r"), ("add", 0.0, "l"), ("mul", 1.0, "r"), ("mul", 1.0, "l")]


def random_store(store, seed, n):
    """Fills `store` with n nodes of every kind the optimizer treats apart."""
    rng = random.Random(seed)
    ids = [store.add_source("s0"), store.add_source("s1")]
    while store.node_count() < n:
        pick = lambda: rng.choice(ids[-40:])  # noqa: E731
        r = rng.randrange(11)
        if r == 0:
            ids.append(store.add_source(f"s{store.node_count()}"))
        elif r in (1, 2):
            name = rng.choice(["add", "mul", "maximum", "minimum", "sub"])
            a, b = pick(), pick()
            ids.append(store.add_op(name, [a, b]))
            if rng.random() < 0.5:
                ids.append(store.add_op(name, [b, a]))
        elif r == 3:
            name, s, side = rng.choice(IDENTITIES)
            ids.append(store.add_op(name, [pick()], {"scalar": s, "side": side}))
        elif r == 4:
            ids.append(store.add_op("add", [pick(), pick()], {"scalar": 0.0, "side": "r"}))
        elif r == 5:
            ids.append(store.add_op("mul", [pick()], {"scalar": 2.0, "side": "r"}))
        elif r == 6:
            ids.append(store.add_op("tanh", [pick()]))
        elif r == 7:
            ids.append(store.add_reduction("sum", [pick()], {"axis": rng.randrange(2)}))
        elif r == 8:
            ids.append(store.add_exchange([pick()], {"scheme": "hash"}))
        elif r == 9:
            ids.append(store.add_external({"kind": "model", "content_hash": "h", "framework": "fw",
                                           "version": "1", "io_schema": "s",
                                           "preprocessing_ref": rng.choice([None, "-"])}, [pick()]))
        else:
            ids.append(store.add_op("add", [pick(), pick()], {"alpha": 1}))
    return store
