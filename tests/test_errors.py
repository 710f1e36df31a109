import traceback

import pytest

import tarnix
from support import reported_about


class Raises:
    """A vector element whose conversion to float raises `exc`."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def frames(exc):
    return [entry.name for entry in traceback.extract_tb(exc.__traceback__)]


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "exc",
    [
        ValueError("bad value"),
        KeyError("k"),
        OverflowError("too big"),
        MyTypeError("a subclass is not relabelled"),
        ZeroDivisionError(),
        KeyboardInterrupt("stop"),
    ],
)
def test_errors_of_other_types_reach_the_caller_unchanged(exc):
    with pytest.raises(BaseException) as info:
        tarnix.cosine_similarity([1.0, Raises(exc)], [1.0, 1.0])
    assert info.value is exc
    assert "__float__" in frames(info.value)


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda e: tarnix.cosine_similarity([Raises(e)], [1.0]), "vec1"),
        (lambda e: tarnix.cosine_similarity([1.0], [Raises(e)]), "vec2"),
        (lambda e: tarnix.Vectorstore(1).insert([Raises(e)], 1), "vector"),
        (lambda e: tarnix.Vectorstore(1).search([Raises(e)], 1), "vector"),
        (lambda e: tarnix.Vectorstore(1, [([Raises(e)], 1)]), "vectors"),
    ],
)
def test_type_errors_are_relabelled_with_the_parameter(call, name):
    original = TypeError("not a number")
    with pytest.raises(TypeError) as info:
        call(original)
    exc = info.value
    assert type(exc) is TypeError
    assert exc is not original
    assert exc.args == ("argument '%s': not a number" % name,)
    # the replaced error is not chained as the cause
    assert exc.__cause__ is None


def test_relabelled_error_takes_over_the_cause():
    root = KeyError("root cause")

    class Chained:
        def __float__(self):
            raise TypeError("wrapped") from root

    with pytest.raises(TypeError) as info:
        tarnix.Vectorstore(1).insert([Chained()], 1)
    assert info.value.args == ("argument 'vector': wrapped",)
    assert info.value.__cause__ is root


def test_relabelled_error_uses_str_of_the_exception():
    with pytest.raises(TypeError) as info:
        tarnix.cosine_similarity([Raises(TypeError("two", "args"))], [1.0])
    assert info.value.args == ("argument 'vec1': ('two', 'args')",)
    with pytest.raises(TypeError) as info:
        tarnix.cosine_similarity([Raises(TypeError())], [1.0])
    assert info.value.args == ("argument 'vec1': ",)


class Unprintable:
    def __str__(self):
        raise RuntimeError("cannot print")


def test_unprintable_type_error_is_reported_as_unraisable(unraisable):
    original = TypeError(Unprintable())
    with pytest.raises(TypeError) as info:
        tarnix.cosine_similarity([1.0], [Raises(original)])
    assert info.value.args == ("argument 'vec2': <unprintable TypeError object>",)
    assert len(unraisable) == 1
    assert unraisable[0].exc_type is RuntimeError
    assert str(unraisable[0].exc_value) == "cannot print"
    assert reported_about(unraisable[0], original)


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda: tarnix.cosine_similarity([1.0], []), ValueError, "vectors have different dimensions (1 vs 0)"),
        (lambda: tarnix.Vectorstore(2).search([1.0], 1), ValueError, "query has length 1 but vectorstore expects 2"),
        (lambda: tarnix.Vectorstore(2).insert([1.0], 1), ValueError, "vector has length 1 but vectorstore expects 2"),
        (lambda: tarnix.Vectorstore(2, [([1.0], 1)]), ValueError, "vector has length 1 but vectorstore expects 2"),
        (lambda: tarnix.Vectorstore(2, [((),)]), ValueError, "expected tuple of length 2, but got tuple of length 1"),
        (lambda: tarnix.Vectorstore(2 ** 32), OverflowError, "out of range integral type conversion attempted"),
        (lambda: tarnix.cosine_similarity("a", []), TypeError, "argument 'vec1': Can't extract `str` to `Vec`"),
        (lambda: tarnix.Vectorstore(), TypeError, "Vectorstore.__new__() missing 1 required positional argument: 'vector_size'"),
    ],
)
def test_module_errors_have_exact_types_and_one_argument(call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call()
    exc = info.value
    assert type(exc) is exc_type
    assert exc.args == (message,)
    assert str(exc) == message
    assert exc.__cause__ is None


def test_borrow_errors_are_plain_runtime_errors():
    store = tarnix.Vectorstore(1)
    caught = []

    class Element:
        def __float__(self):
            for action in (lambda: len(store), lambda: store.insert([1.0], 2)):
                try:
                    action()
                except Exception as exc:
                    caught.append(exc)
            return 1.0

    store.insert([Element()], 1)
    assert [type(e) for e in caught] == [RuntimeError, RuntimeError]
    assert [e.args for e in caught] == [("Already mutably borrowed",), ("Already borrowed",)]
    assert len(store) == 1


# Hooks that call back into the module for ever: each call is one more level of the
# interpreter's recursion, so the caller gets RecursionError, and every borrow taken on
# the way down is given back on the way up. Run in a separate process, because a host
# that handles this wrongly ends the process.
@pytest.mark.parametrize(
    "recurse",
    [
        "tarnix.cosine_similarity([Hook()], [1.0])",
        "store.search([Hook()], 1)",
        "store.parallel_search([Hook()], 1, 1)",
        "tarnix.Vectorstore(1).insert([Hook()], 1)",
        "tarnix.Vectorstore(1, [([Hook()], 1)])",
        "store.search([1.0], Hook())",
    ],
)
def test_endless_recursion_through_a_hook_is_a_recursion_error(run_python, recurse):
    proc = run_python(
        """
        import tarnix
        store = tarnix.Vectorstore(1, [([1.0], 1)])

        class Hook:
            def __float__(self):
                %s
                return 1.0

            __index__ = lambda self: int(self.__float__())

        try:
            Hook().__float__()
        except RecursionError:
            print("RecursionError")
        store.insert([2.0], 2)
        print(len(store), store.search([1.0], 2))
        """
        % recurse
    )
    assert (proc.returncode, proc.stdout) == (0, "RecursionError\n2 [(1.0, 1), (1.0, 2)]\n"), proc.stderr[-2000:]
