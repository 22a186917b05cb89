# The module's shape: what import registers, the frozen classes and the
# PanicException class (the texts it exposes are test_texts.py's).
import importlib.metadata
import importlib.util
import inspect
import subprocess
import sys

import pytest

import nodalis_core
from nodalis_core import GraphStore, IncrementalReducer, PanicException, PayloadDescriptor


def test_version_is_the_packages():
    assert nodalis_core.version() == importlib.metadata.version("nodalis_core")
    with pytest.raises(TypeError):
        nodalis_core.version(1)


def test_module_registers_classes_function_and_panic():
    assert nodalis_core.__doc__ == ""
    assert nodalis_core.GraphStore.__name__ == "GraphStore"
    assert nodalis_core.PayloadDescriptor.__module__ == "nodalis_core"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)


def test_each_module_object_has_its_own_classes_and_panic_exception():
    # In a child: a second module object takes over what deserialize builds.
    code = """if True:
        import importlib.util, nodalis_core
        spec = importlib.util.find_spec("nodalis_core")
        other = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(other)
        assert other.PanicException is not nodalis_core.PanicException
        assert other.PanicException.__bases__ == (BaseException,)
        assert other.GraphStore is not nodalis_core.GraphStore
        store = other.GraphStore()
        store.add_op("f", [store.add_source("x")])
        assert nodalis_core.GraphStore.deserialize(store.serialize()).node_count() == 2
    """
    subprocess.run([sys.executable, "-c", code], check=True)


def test_a_second_copy_of_the_library_decodes_into_its_own_class(tmp_path):
    # Two builds side by side in one process (as a benchmark loads them): each
    # build's deserialize must build its own class, whose code frees the store.
    copy = tmp_path / "nodalis_core" / "copy.so"
    copy.parent.mkdir()
    copy.write_bytes(open(nodalis_core.__file__, "rb").read())
    code = f"""if True:
        import importlib.util, nodalis_core
        module_spec = importlib.util.spec_from_file_location("nodalis_core", {str(copy)!r})
        other = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(other)
        store = nodalis_core.GraphStore()
        store.add_op("neg", [store.add_source("x")])
        blob = store.serialize()
        for module in (nodalis_core, other, nodalis_core):
            back = module.GraphStore.deserialize(blob)
            assert type(back) is module.GraphStore
            back.add_op("neg", [1])
            assert back.node_count() == 3
    """
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.skipif(importlib.util.find_spec("_interpreters") is None,
                    reason="needs the interpreter's sub-interpreter module (3.13+)")
def test_imports_into_an_isolated_subinterpreter():
    import _interpreters

    interp = _interpreters.create("isolated")  # its own GIL: refuses modules that do not declare it
    try:
        failure = _interpreters.run_string(interp, "import nodalis_core as m\n"
                                                   "g = m.GraphStore()\n"
                                                   "assert g.add_source('x') == 0\n"
                                                   "assert m.PanicException.__bases__ == (BaseException,)")
    finally:
        _interpreters.destroy(interp)
    assert failure is None, failure.formatted


@pytest.mark.parametrize("cls", [GraphStore, PayloadDescriptor, IncrementalReducer])
def test_classes_are_frozen(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises((TypeError, AttributeError)):
        cls.extra = 1
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    assert "__weakref__" not in dir(cls)


def test_instances_take_no_attributes():
    store = GraphStore()
    with pytest.raises(AttributeError):
        store.anything = 1
    d = PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    for field in ("kind", "preprocessing_ref", "other"):
        with pytest.raises(AttributeError):
            setattr(d, field, "x")
    assert d.kind == "k"


def test_method_table_order():
    names = [n for n in GraphStore.__dict__ if not n.startswith("_")]
    assert names == ["add_source", "add_op", "add_reduction", "add_external", "add_exchange",
                     "node_count", "to_dot", "serialize", "deserialize", "nodes", "outputs",
                     "reduce", "reduce_incremental", "reduction_report", "reduce_plan"]


def test_new_through_the_type_machinery():
    store = GraphStore.__new__(GraphStore)
    assert store.node_count() == 0
    with pytest.raises(TypeError):
        GraphStore.__new__(PayloadDescriptor)
    with pytest.raises(TypeError):
        object.__new__(GraphStore)


def test_the_module_exports_only_its_init_function():
    import ctypes

    lib = ctypes.CDLL(nodalis_core.__file__)
    assert hasattr(lib, "PyInit_nodalis_core")
    # The core's symbols (here GraphStore's constructor) stay inside.
    assert not hasattr(lib, "_ZN7nodalis2ir10GraphStoreC1Ev")
