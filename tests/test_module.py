import importlib.util
import inspect
import sys
import types

import pytest

import tarnix
from support import IS_PYPY

HOST_HAS_NO_SIGNATURE = object()


def text_signature(obj):
    # PyPy does not expose text signatures on every kind of callable
    if IS_PYPY:
        return getattr(obj, "__text_signature__", HOST_HAS_NO_SIGNATURE)
    return obj.__text_signature__


def test_all_lists_the_class_then_the_function():
    assert tarnix.__all__ == ["Vectorstore", "cosine_similarity"]
    assert type(tarnix.__all__) is list


def test_public_namespace_is_exactly_all():
    public = {name for name in dir(tarnix) if not name.startswith("_")}
    assert public == {"Vectorstore", "cosine_similarity"}
    assert not hasattr(tarnix, "PanicException")


def test_module_identity():
    assert isinstance(tarnix, types.ModuleType)
    assert tarnix.__name__ == "tarnix"
    assert tarnix.__doc__ == ""


def test_class_names():
    cls = tarnix.Vectorstore
    assert isinstance(cls, type)
    assert cls.__name__ == "Vectorstore"
    assert cls.__qualname__ == "Vectorstore"
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)


def test_class_doc_and_signature():
    cls = tarnix.Vectorstore
    # the doc text is only a signature, so nothing is left for __doc__
    assert cls.__doc__ in ("", None)
    if not IS_PYPY and sys.version_info < (3, 10):
        # CPython 3.9 keeps a heap type's doc without its signature line
        assert cls.__text_signature__ is None
        return
    assert text_signature(cls) == "(vector_size, vectors=None)"
    if not IS_PYPY:
        assert str(inspect.signature(cls)) == "(vector_size, vectors=None)"


@pytest.mark.parametrize(
    "name, signature",
    [
        ("insert", "($self, vector, id)"),
        ("search", "($self, vector, top_k)"),
        ("parallel_search", "($self, vector, top_k, n_threads=None)"),
        ("insert_many", "($self, vectors, ids)"),
        ("search_many", "($self, vectors, top_k, n_threads=None, *, as_arrays=False)"),
        ("vectors", "($self)"),
        ("ids", "($self)"),
    ],
)
def test_method_doc_and_signature(name, signature):
    method = getattr(tarnix.Vectorstore, name)
    assert callable(method)
    assert method.__name__ == name
    assert not method.__doc__
    assert text_signature(method) in (signature, HOST_HAS_NO_SIGNATURE)
    if not IS_PYPY:
        assert str(inspect.signature(method)) == signature.replace("$self", "self, /")


def test_function_properties():
    fn = tarnix.cosine_similarity
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == "cosine_similarity"
    assert fn.__module__ == "tarnix"
    assert not fn.__doc__
    assert text_signature(fn) == "(vec1, vec2)"
    if not IS_PYPY:
        assert str(inspect.signature(fn)) == "(vec1, vec2)"


@pytest.mark.parametrize("change", [
    lambda s: setattr(s, "vector_size", 4),
    lambda s: delattr(s, "vector_size"),
    lambda s: object.__setattr__(s, "vector_size", 4),
    lambda s: object.__delattr__(s, "vector_size"),
    lambda s: tarnix.Vectorstore.__dict__["vector_size"].__set__(s, 4),
    lambda s: tarnix.Vectorstore.__dict__["vector_size"].__delete__(s),
])
def test_vector_size_is_a_read_only_property_without_doc(change):
    assert not tarnix.Vectorstore.__dict__["vector_size"].__doc__
    store = tarnix.Vectorstore(3)
    with pytest.raises(AttributeError) as info:
        change(store)
    assert str(info.value) == "attribute 'vector_size' of 'builtins.Vectorstore' objects is not writable"
    assert store.vector_size == 3


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda s: setattr(s, "extra", 1), "'builtins.Vectorstore' object has no attribute 'extra'"),
        (lambda s: delattr(s, "extra"), "'builtins.Vectorstore' object has no attribute 'extra'"),
        (lambda s: setattr(s, "__dict__", {}), "'builtins.Vectorstore' object has no attribute '__dict__'"),
        (lambda s: setattr(s, "search", None), "'builtins.Vectorstore' object attribute 'search' is read-only"),
        (lambda s: setattr(s, "__doc__", "x"), "'builtins.Vectorstore' object attribute '__doc__' is read-only"),
    ],
)
def test_instances_take_no_attributes(change, message):
    store = tarnix.Vectorstore(1)
    with pytest.raises(AttributeError) as info:
        change(store)
    if not IS_PYPY and sys.version_info >= (3, 13) and " has no attribute " in message:
        message += " and no __dict__ for setting new attributes"  # the host's own words since 3.13
    assert str(info.value) == message
    assert not hasattr(store, "__dict__")
    assert store.search is not None


@pytest.mark.skipif(IS_PYPY, reason="PyPy's object.__setattr__ writes an instance's own attributes "
                    "without asking its class, and keeps them for every class defined in C")
@pytest.mark.parametrize("name", ["extra", "search"])
def test_object_setattr_cannot_give_an_instance_attributes(name):
    store = tarnix.Vectorstore(1)
    with pytest.raises(AttributeError):
        object.__setattr__(store, name, 1)
    assert not hasattr(store, "extra")
    assert callable(store.search)


@pytest.mark.skipif(IS_PYPY or sys.version_info < (3, 12), reason="subinterpreters of their own: CPython 3.12 and later")
def test_a_subinterpreter_refuses_to_load_the_module(tmp_path):
    # The class, its exception type and the caches are the process's, one interpreter's.
    try:
        import _interpreters as interpreters  # 3.13
    except ImportError:
        import _xxsubinterpreters as interpreters  # 3.12
    found = tmp_path / "found"
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, f"""
try:
    import tarnix
    text = "loaded"
except ImportError as exc:
    text = str(exc)
with open({str(found)!r}, "w") as out:
    out.write(text)
""")
    finally:
        interpreters.destroy(interpreter)
    assert found.read_text() == "module tarnix does not support loading in subinterpreters"


def _class_statement():
    class Derived(tarnix.Vectorstore):
        pass


@pytest.mark.parametrize(
    "make",
    [
        _class_statement,
        lambda: type("Derived", (tarnix.Vectorstore,), {}),
        lambda: types.new_class("Derived", (tarnix.Vectorstore,)),
    ],
)
def test_class_cannot_be_subclassed(make):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == "type 'builtins.Vectorstore' is not an acceptable base type"


def test_new_can_be_called_explicitly():
    store = tarnix.Vectorstore.__new__(tarnix.Vectorstore, 2)
    assert type(store) is tarnix.Vectorstore
    assert repr(store) == "Vectorstore(vector_size=2, len=0)"


@pytest.mark.parametrize(
    "call",
    [
        lambda: tarnix.Vectorstore.insert(object(), [1.0], 1),
        lambda: tarnix.Vectorstore.search(object(), [1.0], 1),
        lambda: tarnix.Vectorstore.__len__(object()),
        lambda: tarnix.Vectorstore.__repr__(object()),
        lambda: tarnix.Vectorstore.__dict__["vector_size"].__get__(object(), object),
    ],
)
def test_foreign_receivers_are_refused(call):
    # the host's descriptors refuse the wrong receiver before the module sees it
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("subtype", ["object", "int", "type", "BaseException"])
def test_new_refuses_a_foreign_subtype(run_python, subtype):
    # a foreign type must never receive a store; checked in a separate
    # process because a store written into a smaller object corrupts the heap
    proc = run_python(
        '''
        import gc
        import tarnix
        try:
            obj = tarnix.Vectorstore.__new__(%s, 1)
        except TypeError:
            print("refused")
        else:
            print("created", type(obj).__name__)
        junk = [[object() for _ in range(100)] for _ in range(2000)]
        del junk
        gc.collect()
        print("done")
        '''
        % subtype
    )
    assert (proc.returncode, proc.stdout) == (0, "refused\ndone\n"), proc.stderr


@pytest.mark.parametrize(
    "arguments, message",
    [
        ("5, 3", "builtins.Vectorstore.__new__(X): X is not a type object (int)"),
        ("None, 3", "builtins.Vectorstore.__new__(X): X is not a type object (NoneType)"),
        ("int, 3", "builtins.Vectorstore.__new__(int): int is not a subtype of builtins.Vectorstore"),
    ],
)
def test_new_refuses_what_is_not_a_subtype_as_the_host_does(run_python, arguments, message):
    # in a separate process: a host that hands such objects on used to crash
    proc = run_python(
        """
        import tarnix
        try:
            tarnix.Vectorstore.__new__(%s)
        except TypeError as exc:
            print(exc)
        """
        % arguments
    )
    assert (proc.returncode, proc.stdout) == (0, message + "\n"), proc.stderr


def _execute_again(prepare=None):
    spec = importlib.util.find_spec("tarnix")
    module = importlib.util.module_from_spec(spec)
    if prepare is not None:
        prepare(module)
    spec.loader.exec_module(module)
    return module


def test_second_execution_shares_the_class():
    other = _execute_again()
    assert other is not tarnix
    assert other.__all__ == ["Vectorstore", "cosine_similarity"]
    # the class is created once per process
    assert other.Vectorstore is tarnix.Vectorstore
    assert other.cosine_similarity is not tarnix.cosine_similarity
    assert other.cosine_similarity([3.0, 4.0], [3.0, 4.0]) == 1.0


def test_execution_appends_to_an_existing_all():
    other = _execute_again(lambda m: setattr(m, "__all__", ["before"]))
    assert other.__all__ == ["before", "Vectorstore", "cosine_similarity"]


def test_execution_refuses_an_all_that_is_not_a_list():
    def prepare(module):
        module.__all__ = ("before",)

    with pytest.raises(TypeError) as info:
        _execute_again(prepare)
    assert str(info.value) == "'tuple' object is not an instance of 'list'"


def test_version_is_the_installed_distributions():
    # one version number for the metadata and the module, read from the same line
    from importlib import metadata

    assert tarnix.__version__ == metadata.version("tarnix")
    assert type(tarnix.__version__) is str
    assert "__version__" not in tarnix.__all__
