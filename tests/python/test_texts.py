# Every signature and docstring the module exposes, checked in one table
# against the type stub, where they are written for readers: the text
# signatures and docstrings, and the binder's parameter names (stubtest
# compares the stub's parameters and types with the runtime; this adds the
# texts and the names the binder accepts).
import ast
import inspect
import pathlib

import pytest

import nodalis_core

STUB = ast.parse(pathlib.Path(nodalis_core.__file__).with_name("__init__.pyi").read_text())


def text_signature(fn):
    """The interpreter's text signature of a stub function: `$self` for self,
    no cls, defaults as written, `*` before keyword-only parameters."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    def param(arg, default):
        return arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}"
    parts = ["$self" if p.arg == "self" else param(p, d)
             for p, d in zip(positional, defaults) if p.arg != "cls"]
    if a.kwonlyargs:
        parts += ["*"] + [param(p, d) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return "(" + ", ".join(parts) + ")"


def entries():
    """(name, runtime object, text signature, docstring) of every function,
    class and method the stub declares for the native module."""
    for node in STUB.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, getattr(nodalis_core, node.name), text_signature(node), ast.get_docstring(node)
        elif isinstance(node, ast.ClassDef) and node.name != "PanicException":
            cls = getattr(nodalis_core, node.name)
            methods = [n for n in node.body if isinstance(n, ast.FunctionDef)]
            new = next(n for n in methods if n.name == "__new__")
            yield node.name, cls, text_signature(new), ast.get_docstring(node)
            for m in methods:
                if m.name == "__new__" or any(ast.unparse(d) == "property" for d in m.decorator_list):
                    continue
                yield f"{node.name}.{m.name}", getattr(cls, m.name), text_signature(m), ast.get_docstring(m)


ENTRIES = list(entries())


@pytest.mark.parametrize("name, obj, signature, doc", ENTRIES, ids=[e[0] for e in ENTRIES])
def test_signature_and_docstring_are_the_stubs(name, obj, signature, doc):
    if inspect.isfunction(obj):  # written in Python: the signature is its own
        assert str(inspect.signature(obj)) == signature.replace("$self", "self")
    else:
        assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


class Unconvertible:
    """An argument no conversion accepts: binding succeeds, converting fails."""


@pytest.mark.parametrize("name, obj, signature, doc", ENTRIES, ids=[e[0] for e in ENTRIES])
def test_the_binder_takes_the_stubs_parameters(name, obj, signature, doc):
    # A name the binder does not know, or a parameter it takes in another way,
    # fails in binding ("unexpected keyword argument", "missing required
    # argument", "positional arguments"); what the stub declares must bind.
    parts = [p.split("=")[0] for p in signature[1:-1].split(", ") if p not in ("", "$self")]
    positional = parts[:parts.index("*")] if "*" in parts else parts
    names = [p for p in parts if p != "*"]
    if inspect.isfunction(obj) or not names:
        return
    call = obj
    if signature.startswith("($self"):
        receiver = getattr(nodalis_core, name.split(".")[0])
        call = getattr(receiver(), name.split(".")[1])
    binding_words = ("keyword argument", "missing", "positional argument")
    with pytest.raises(TypeError) as by_name:
        call(**{p: Unconvertible() for p in names})
    assert not any(w in str(by_name.value) for w in binding_words)
    if positional:
        with pytest.raises(TypeError) as by_position:
            call(*[Unconvertible()] * len(positional))
        assert not any(w in str(by_position.value) for w in binding_words)
    # One more positional argument than the stub allows is a binding error.
    with pytest.raises(TypeError, match="positional argument"):
        call(*[Unconvertible()] * (len(positional) + 1))
