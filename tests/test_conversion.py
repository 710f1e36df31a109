import array
import collections
import math
import operator

import pytest

import reference
import tarnix
from support import MAX_F32_HINT, HintedSequence, host_error



def float_error(obj):
    # math.copysign converts its operand with the host's float protocol
    return host_error(lambda o: math.copysign(o, 1.0), obj)


def index_error(obj):
    return host_error(operator.index, obj)


def expect_labelled(info, name, host_exc):
    assert type(info.value) is TypeError
    assert info.value.args == ("argument '%s': %s" % (name, host_exc),)


def probes(n):
    vectors = [[1.0 if i == j else 0.0 for i in range(n)] for j in range(n)]
    vectors.append([float(i + 1) for i in range(n)])
    vectors.append([0.5 - i * 0.25 for i in range(n)])
    return vectors


def assert_converts_to(obj, floats):
    """cosine_similarity sees `obj` as exactly the float32 vector `floats`."""
    assert reference.f32_vector(floats) == floats or any(map(math.isnan, floats))
    for probe in probes(len(floats)):
        got = tarnix.cosine_similarity(obj, probe)
        assert reference.bits(got) == reference.bits(reference.cosine(floats, probe))
        got = tarnix.cosine_similarity(probe, obj)
        assert reference.bits(got) == reference.bits(reference.cosine(probe, floats))


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntOnly:
    def __int__(self):
        return 3


class GetItemOnly:
    """Old-style sequence: item access and a length, no __iter__."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class F(float):
    pass


class RaisingLen(HintedSequence):
    def __len__(self):
        raise RuntimeError("no length today")


# ----------------------------------------------------------------- float vectors


@pytest.mark.parametrize(
    "obj, floats",
    [
        ([1, 2.5, True], [1.0, 2.5, 1.0]),
        ((1.0, 2.0, 3.0), [1.0, 2.0, 3.0]),
        (b"\x01\x02", [1.0, 2.0]),
        (bytearray(b"\x03\x00\x04"), [3.0, 0.0, 4.0]),
        (memoryview(b"\x05\x07"), [5.0, 7.0]),
        (range(1, 4), [1.0, 2.0, 3.0]),
        (array.array("f", [0.5, -2.0]), [0.5, -2.0]),
        (array.array("d", [0.1, 1e-30]), [reference.f32(0.1), reference.f32(1e-30)]),
        (collections.UserList([2.0, 3.0]), [2.0, 3.0]),
        (GetItemOnly([4.0, -1.0]), [4.0, -1.0]),
        ([F(2.5), F(-1.0)], [2.5, -1.0]),
        ([FloatLike(-1.0), FloatLike(2.0)], [-1.0, 2.0]),
        ([-1, -1.0, False], [-1.0, -1.0, 0.0]),
        ([10 ** 20, 2 ** 24 + 1], [reference.f32(1e20), float(2 ** 24)]),
        ([0.1, 1.0 + 2.0 ** -24, 1.0 + 3 * 2.0 ** -24], [reference.f32(0.1), 1.0, 1.0 + 2.0 ** -22]),
        ([1e-46, 7.1e-46, -0.0], [0.0, 2.0 ** -149, -0.0]),
        ([3.4028235e38, 1.0], [3.4028234663852886e38, 1.0]),
        (HintedSequence([1.0, 2.0, 3.0], 0), [1.0, 2.0, 3.0]),
        (HintedSequence([1.0, 2.0, 3.0], 1), [1.0, 2.0, 3.0]),
        (HintedSequence([1.0, 2.0], 50), [1.0, 2.0]),
        (HintedSequence([1.0, 2.0, 3.0], -1), [1.0, 2.0, 3.0]),
        (RaisingLen([1.0, 2.0], 0), [1.0, 2.0]),
    ],
)
def test_vector_conversion(obj, floats):
    assert_converts_to(obj, floats)


def test_out_of_range_elements_become_infinite():
    # an infinite first operand makes the dot product NaN; a clamped one would not
    assert math.isnan(tarnix.cosine_similarity([1e39, 0.0], [0.0, 1.0]))
    assert math.isnan(tarnix.cosine_similarity([0.0, -1e39], [1.0, 0.0]))
    assert tarnix.cosine_similarity([1e39], [0.0]) == 0.0


def test_nan_elements_stay_nan():
    assert math.isnan(tarnix.cosine_similarity([float("nan"), 1.0], [1.0, 1.0]))


@pytest.mark.parametrize("hint", [10 ** 8, MAX_F32_HINT])
def test_capacity_hint_that_cannot_be_reserved_is_ignored(hint):
    assert_converts_to(HintedSequence([1.0, 2.0, 3.0], hint), [1.0, 2.0, 3.0])


def test_a_lying_hint_is_fine_for_stored_vectors():
    store = tarnix.Vectorstore(3, [(HintedSequence([0.0, 1.0, 0.0], 10 ** 7), 1)])
    store.insert(HintedSequence([1.0, 0.0, 0.0], 10 ** 8), 2)
    assert store.search(HintedSequence([1.0, 0.0, 0.0], 10 ** 8), 5) == [(1.0, 2), (0.0, 1)]


@pytest.mark.parametrize("obj", ["abc", "", type("S", (str,), {})("12")])
def test_str_is_refused_as_a_vector(obj):
    for call, name in [
        (lambda: tarnix.cosine_similarity(obj, [1.0]), "vec1"),
        (lambda: tarnix.cosine_similarity([1.0], obj), "vec2"),
        (lambda: tarnix.Vectorstore(1).search(obj, 1), "vector"),
        (lambda: tarnix.Vectorstore(1).insert(obj, 1), "vector"),
        (lambda: tarnix.Vectorstore(1, obj), "vectors"),
        (lambda: tarnix.Vectorstore(1, [(obj, 1)]), "vectors"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert info.value.args == ("argument '%s': Can't extract `str` to `Vec`" % name,)


def _generator():
    yield 1.0


class NoSequence:
    pass


@pytest.mark.parametrize(
    "obj, type_name",
    [
        ({1: 2.0}, "dict"),
        ({1.0, 2.0}, "set"),
        (frozenset([1.0]), "frozenset"),
        (_generator(), "generator"),
        (iter([1.0]), type(iter([])).__qualname__),
        (1.0, "float"),
        (5, "int"),
        (NoSequence(), "NoSequence"),
        (collections.OrderedDict(), "OrderedDict"),
    ],
)
def test_objects_without_the_sequence_protocol(obj, type_name):
    message = "'%s' object is not an instance of '%s'" % (type_name, "Sequence")
    for call, name in [
        (lambda: tarnix.cosine_similarity(obj, [1.0]), "vec1"),
        (lambda: tarnix.Vectorstore(1).insert(obj, 1), "vector"),
        (lambda: tarnix.Vectorstore(1, obj), "vectors"),
        (lambda: tarnix.Vectorstore(1, [(obj, 1)]), "vectors"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert info.value.args == ("argument '%s': %s" % (name, message),)


def test_type_names_come_from_the_type_itself():
    class Lying(type):
        def __getattribute__(cls, name):
            if name in ("__qualname__", "__name__"):
                return "Lie"
            return super().__getattribute__(name)

    class Honest(metaclass=Lying):
        pass

    with pytest.raises(TypeError) as info:
        tarnix.cosine_similarity(Honest(), [])
    assert str(info.value).endswith("'test_type_names_come_from_the_type_itself.<locals>.Honest' object "
                                    "is not an instance of 'Sequence'")


def test_sequence_message_uses_the_qualified_name():
    class Local:
        pass

    with pytest.raises(TypeError) as info:
        tarnix.cosine_similarity([1.0], Local())
    assert str(info.value) == (
        "argument 'vec2': 'test_sequence_message_uses_the_qualified_name.<locals>.Local' "
        "object is not an instance of 'Sequence'"
    )


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: tarnix.cosine_similarity(None, [1.0]), "vec1"),
        (lambda: tarnix.cosine_similarity([1.0], None), "vec2"),
        (lambda: tarnix.Vectorstore(1).insert(None, 1), "vector"),
        (lambda: tarnix.Vectorstore(1).search(None, 1), "vector"),
        (lambda: tarnix.Vectorstore(1, [(None, 1)]), "vectors"),
    ],
)
def test_none_as_a_vector(call, name):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == ("argument '%s': 'None' is not an instance of 'Sequence'" % name,)


@pytest.mark.parametrize("bad", ["x", None, object(), [1.0], FloatLike("1.0")])
def test_element_type_errors_are_labelled(bad):
    with pytest.raises(TypeError) as info:
        tarnix.cosine_similarity([1.0, bad], [1.0, 1.0])
    expect_labelled(info, "vec1", float_error(bad))
    with pytest.raises(TypeError) as info:
        tarnix.Vectorstore(2).insert([bad, 1.0], 1)
    expect_labelled(info, "vector", float_error(bad))
    with pytest.raises(TypeError) as info:
        tarnix.Vectorstore(2, [([1.0, 1.0], 1), ([1.0, bad], 2)])
    expect_labelled(info, "vectors", float_error(bad))


def test_element_overflow_is_not_labelled():
    huge = 10 ** 400
    with pytest.raises(OverflowError) as info:
        tarnix.cosine_similarity([1.0], [huge])
    assert type(info.value) is OverflowError
    assert info.value.args == float_error(huge).args


class FailingIter:
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 1

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        raise self.exc


class FailingNext(HintedSequence):
    def __init__(self, exc):
        HintedSequence.__init__(self, [], 2)
        self.exc = exc

    def __iter__(self):
        yield 1.0
        raise self.exc


@pytest.mark.parametrize("cls", [FailingIter, FailingNext])
def test_iteration_errors_reach_the_caller(cls):
    exc = RuntimeError("iteration broke")
    with pytest.raises(RuntimeError) as info:
        tarnix.cosine_similarity(cls(exc), [1.0])
    assert info.value is exc
    with pytest.raises(TypeError) as info:
        tarnix.cosine_similarity([1.0], cls(TypeError("bad item")))
    assert info.value.args == ("argument 'vec2': bad item",)


def test_iter_returning_a_non_iterator_is_labelled():
    class BadIter(GetItemOnly):
        def __iter__(self):
            return 5

    obj = BadIter([1.0])
    with pytest.raises(TypeError) as info:
        tarnix.Vectorstore(1).search(obj, 1)
    expect_labelled(info, "vector", host_error(iter, obj))


def test_old_style_sequence_ending_with_another_error():
    class Broken(GetItemOnly):
        def __getitem__(self, i):
            if i == 1:
                raise KeyError(i)
            return 1.0

    with pytest.raises(KeyError):
        tarnix.cosine_similarity(Broken([1.0, 1.0]), [1.0, 1.0])


# --------------------------------------------------------------------- ids


def stored_id(value):
    store = tarnix.Vectorstore(1)
    store.insert([1.0], value)
    (score, rid), = store.search([1.0], 1)
    assert type(rid) is int
    return rid


class I(int):
    def __index__(self):
        return 99


@pytest.mark.parametrize(
    "value, expected",
    [(True, 1), (False, 0), (0, 0), (2 ** 64 - 1, 2 ** 64 - 1), (2 ** 63, 2 ** 63), (IndexLike(7), 7), (I(5), 5)],
)
def test_id_conversion(value, expected):
    assert stored_id(value) == expected


@pytest.mark.parametrize("value", ["x", 1.5, 1.0, None, IntOnly(), IndexLike("7"), [1]])
def test_id_type_errors_are_labelled(value):
    store = tarnix.Vectorstore(1)
    with pytest.raises(TypeError) as info:
        store.insert([1.0], value)
    expect_labelled(info, "id", index_error(value))
    with pytest.raises(TypeError) as info:
        tarnix.Vectorstore(1, [([1.0], value)])
    expect_labelled(info, "vectors", index_error(value))
    assert len(store) == 0


@pytest.mark.parametrize("value", [-1, 2 ** 64, -2 ** 70, 2 ** 100, IndexLike(-1), IndexLike(2 ** 64)])
def test_id_out_of_range_is_the_hosts_overflow(value):
    store = tarnix.Vectorstore(1)
    for call in (lambda: store.insert([1.0], value), lambda: tarnix.Vectorstore(1, [([1.0], value)])):
        with pytest.raises(OverflowError) as info:
            call()
        assert type(info.value) is OverflowError
        assert len(info.value.args) == 1
        assert not str(info.value).startswith("argument")
        assert str(info.value) != "out of range integral type conversion attempted"
    assert len(store) == 0


def test_index_errors_reach_the_caller_unchanged():
    exc = ValueError("no index")

    class Raising:
        def __index__(self):
            raise exc

    with pytest.raises(ValueError) as info:
        tarnix.Vectorstore(1).insert([1.0], Raising())
    assert info.value is exc


# --------------------------------------------------------------- unsigned sizes


@pytest.mark.parametrize("value, expected", [(0, 0), (True, 1), (IndexLike(3), 3), (4294967295, 4294967295)])
def test_vector_size_conversion(value, expected):
    store = tarnix.Vectorstore(value)
    assert store.vector_size == expected
    assert type(store.vector_size) is int


@pytest.mark.parametrize("value", [4294967296, 2 ** 63, 2 ** 64 - 1, IndexLike(2 ** 32)])
def test_sizes_above_32_bits_overflow(value):
    for call in (lambda: tarnix.Vectorstore(value), lambda: tarnix.Vectorstore(1).search([1.0], value)):
        with pytest.raises(OverflowError) as info:
            call()
        assert type(info.value) is OverflowError
        assert info.value.args == ("out of range integral type conversion attempted",)


@pytest.mark.parametrize("value", [-1, 2 ** 64, -2 ** 64])
def test_sizes_out_of_the_64_bit_range_use_the_hosts_overflow(value):
    for call in (lambda: tarnix.Vectorstore(value), lambda: tarnix.Vectorstore(1).search([1.0], value)):
        with pytest.raises(OverflowError) as info:
            call()
        assert not str(info.value).startswith("argument")
        assert str(info.value) != "out of range integral type conversion attempted"


@pytest.mark.parametrize("value", ["3", 3.0, None, IntOnly(), [3]])
def test_size_type_errors_are_labelled(value):
    with pytest.raises(TypeError) as info:
        tarnix.Vectorstore(value)
    expect_labelled(info, "vector_size", index_error(value))
    with pytest.raises(TypeError) as info:
        tarnix.Vectorstore(1).search([1.0], value)
    expect_labelled(info, "top_k", index_error(value))


# ---------------------------------------------------------------------- pairs

Pair = collections.namedtuple("Pair", "vector id")


@pytest.mark.parametrize(
    "vectors",
    [
        [([1.0, 0.0], 1), ([0.0, 1.0], 2)],
        (([1.0, 0.0], 1), ([0.0, 1.0], 2)),
        [Pair((1.0, 0.0), 1), Pair(vector=b"\x00\x01", id=True + 1)],
        HintedSequence([((1, 0), 1), ((0, 1), IndexLike(2))], 0),
        GetItemOnly([(range(1, -1, -1), 1), ([False, True], 2)]),
    ],
)
def test_pairs_conversion(vectors):
    store = tarnix.Vectorstore(2, vectors)
    assert len(store) == 2
    assert store.search([1.0, 0.0], 2) == [(1.0, 1), (0.0, 2)]


@pytest.mark.parametrize("pair, length", [((), 0), (([1.0],), 1), (([1.0], 5, 6), 3)])
def test_pair_of_the_wrong_length(pair, length):
    with pytest.raises(ValueError) as info:
        tarnix.Vectorstore(1, [pair])
    assert type(info.value) is ValueError
    assert info.value.args == ("expected tuple of length 2, but got tuple of length %d" % length,)


@pytest.mark.parametrize(
    "pair, message",
    [
        ([[1.0], 5], "'list' object is not an instance of 'tuple'"),
        (None, "'None' is not an instance of 'tuple'"),
        ("x", "'str' object is not an instance of 'tuple'"),
        ({"a": 1}, "'dict' object is not an instance of 'tuple'"),
        (("ab", 5), "Can't extract `str` to `Vec`"),
        ((5, 5), "'int' object is not an instance of 'Sequence'"),
    ],
)
def test_bad_pairs_are_labelled(pair, message):
    with pytest.raises(TypeError) as info:
        tarnix.Vectorstore(1, [([1.0], 1), pair])
    assert info.value.args == ("argument 'vectors': " + message,)


def test_a_pair_is_what_the_tuple_holds(run_python):
    # whatever a tuple subclass claims to iterate to, have or measure; in a separate
    # process, because a host that reads the claims crashed on the missing items
    proc = run_python(
        """
        import tarnix

        class Claims(tuple):
            def __iter__(self):
                return iter([[9.0]])

        class MoreClaims(Claims):
            def __len__(self):
                return 5

            def __getitem__(self, i):
                return [7.0]

        for kind in (Claims, MoreClaims):
            store = tarnix.Vectorstore(1, [kind(([1.0], 5))])
            print(store.search([1.0], 2))
        """
    )
    assert (proc.returncode, proc.stdout) == (0, "[(1.0, 5)]\n" * 2), proc.stderr


def test_a_bare_pair_is_not_a_list_of_pairs():
    with pytest.raises(TypeError) as info:
        tarnix.Vectorstore(1, ([1.0], 1))
    assert str(info.value) == "argument 'vectors': 'list' object is not an instance of 'tuple'"


def test_every_pair_is_converted_before_any_length_check():
    with pytest.raises(TypeError) as info:
        tarnix.Vectorstore(2, [([1.0], 1), "x"])
    assert str(info.value) == "argument 'vectors': 'str' object is not an instance of 'tuple'"


# ------------------------------------------------- the Sequence name in messages

SEQUENCE_PRELUDE = """
    import collections.abc
    import tarnix

    def message(obj):
        try:
            tarnix.cosine_similarity(obj, [])
        except BaseException as exc:
            return "%s: %s" % (type(exc).__name__, exc)
"""


def test_sequence_type_is_looked_up_once(run_python):
    proc = run_python(SEQUENCE_PRELUDE + """
    print(message({}))
    class Impostor:
        pass
    collections.abc.Sequence = Impostor
    print(message(set()))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "TypeError: argument 'vec1': 'dict' object is not an instance of 'Sequence'",
        "TypeError: argument 'vec1': 'set' object is not an instance of 'Sequence'",
    ]


def test_unusable_sequence_type_panics_and_is_not_cached(run_python):
    proc = run_python(SEQUENCE_PRELUDE + """
    saved = collections.abc.Sequence
    collections.abc.Sequence = 42
    print(message({}).split(":")[0])
    del collections.abc.Sequence
    print(message({}).split(":")[0])
    collections.abc.Sequence = saved
    print(message({}))
    # sequences never need the lookup
    print(tarnix.cosine_similarity([3.0, 4.0], [3.0, 4.0]))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "PanicException",
        "PanicException",
        "TypeError: argument 'vec1': 'dict' object is not an instance of 'Sequence'",
        "1.0",
    ]
