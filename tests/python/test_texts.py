# Every docstring the module exposes, checked in one table against the type
# stub, where they are written for readers. The parameters are stubtest's to
# compare (the runtime's come from the text signature each docstring starts
# with, which is also where the binder reads them when the module is built);
# what is left to check here is the prose, and that each method's binder was
# given its own docstring.
import ast
import inspect
import pathlib
import re

import pytest

import nodalis_core

STUB = ast.parse(pathlib.Path(nodalis_core.__file__).with_name("__init__.pyi").read_text())


def entries():
    """(qualified name, runtime object, stub function or class) of everything
    the stub declares for the native module."""
    for node in STUB.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, getattr(nodalis_core, node.name), node
        elif isinstance(node, ast.ClassDef) and node.name != "PanicException":
            cls = getattr(nodalis_core, node.name)
            yield node.name, cls, node
            for m in node.body:
                if (isinstance(m, ast.FunctionDef) and m.name != "__new__"
                        and not any(ast.unparse(d) == "property" for d in m.decorator_list)):
                    yield f"{node.name}.{m.name}", getattr(cls, m.name), m


ENTRIES = list(entries())
IDS = [e[0] for e in ENTRIES]


@pytest.mark.parametrize("name, obj, stub", ENTRIES, ids=IDS)
def test_docstring_is_the_stubs(name, obj, stub):
    assert obj.__doc__ == ast.get_docstring(stub)


INSTANCES = {
    "GraphStore": nodalis_core.GraphStore,
    "IncrementalReducer": nodalis_core.IncrementalReducer,
    "PayloadDescriptor": lambda: nodalis_core.PayloadDescriptor(
        kind="k", content_hash="h", framework="f", version="v", io_schema="s"),
}


def as_called(name, obj):
    """`obj` as a user calls it: a method is taken from an instance."""
    cls_name, _, method = name.partition(".")
    cls = getattr(nodalis_core, cls_name)
    if not method or isinstance(inspect.getattr_static(cls, method), staticmethod):
        return obj
    return getattr(INSTANCES[cls_name](), method)


class Unconvertible:
    """An argument no conversion accepts: binding succeeds, converting fails."""


def parameters(stub):
    """The parameter names a stub function or class (its __new__) declares."""
    if isinstance(stub, ast.ClassDef):
        stub = next(m for m in stub.body if isinstance(m, ast.FunctionDef) and m.name == "__new__")
    a = stub.args
    return [p.arg for p in a.posonlyargs + a.args + a.kwonlyargs if p.arg not in ("self", "cls")]


# What goes through the binder: the constructors and every native callable
# with parameters (those without take the interpreter's METH_NOARGS path).
BOUND = [e for e in ENTRIES
         if not inspect.isfunction(e[1]) and (isinstance(e[2], ast.ClassDef) or parameters(e[2]))]


@pytest.mark.parametrize("name, obj, stub", BOUND, ids=[e[0] for e in BOUND])
def test_binder_names_the_callable_and_takes_its_parameters(name, obj, stub):
    call = as_called(name, obj)
    # The binder's errors name the callable whose docstring it was given.
    with pytest.raises(TypeError, match="^" + re.escape(f"{name}() ")):
        call(not_a_parameter=1)
    # Every parameter the stub declares binds by name: what fails is the
    # conversion of the value, not the binding.
    if names := parameters(stub):
        with pytest.raises(TypeError) as info:
            call(**{n: Unconvertible() for n in names})
        assert not any(w in str(info.value) for w in ("keyword argument", "missing", "positional"))
