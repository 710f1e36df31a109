import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
import tarnix

NAN = float("nan")
INF = float("inf")


def cos(a, b):
    result = tarnix.cosine_similarity(a, b)
    assert type(result) is float
    return result


def positive_zero(x):
    return x == 0.0 and math.copysign(1.0, x) == 1.0


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0], 0.9746317863464355),
        ([4.0, 5.0, 6.0], [1.0, 2.0, 3.0], 0.9746317863464355),
        ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], 0.9999999403953552),
        ([3.0, 4.0], [3.0, 4.0], 1.0),
        ([1.0, 0.0], [-1.0, 0.0], -1.0),
        ([1.0, 2.0], [-1.0, -2.0], -1.0),
        ([1.0, 1.0], [1.0, 0.0], 0.7071067690849304),
        ([1.0, 0.0], [0.0, 1.0], 0.0),
        # additions in strict order, each rounded to float32:
        # 1e8 + 1 is absorbed, then 1e8 - 1e8 + 1 leaves a dot product of 1
        ([1e8, 1.0, -1e8, 1.0], [1.0, 1.0, 1.0, 1.0], 3.5355338656728463e-09),
    ],
)
def test_exact_values(a, b, expected):
    assert cos(a, b) == expected


@pytest.mark.parametrize(
    "a, b",
    [
        ([], []),
        ([0.0], [1.0]),
        ([1.0], [0.0]),
        ([0.0, 0.0], [0.0, 0.0]),
        ([-0.0, -0.0], [1.0, 2.0]),
        ([1.0, 2.0], [-0.0, 0.0]),
        ([1e-23], [1.0]),
        ([1.0], [1e-23]),
        ([1e-30, -1e-25], [1e-30, 1e-30]),
        ([1e20, 1.0], [1.0, 1.0]),
        ([NAN, 1.0], [0.0, 0.0]),
        ([0.0, 0.0], [NAN, NAN]),
        ([INF], [0.0]),
        ([0.0], [-INF]),
    ],
)
def test_results_that_are_positive_zero(a, b):
    assert positive_zero(cos(a, b))


def test_negative_zero_survives():
    # every product is -0.0, so the dot product stays at its -0.0 start value
    result = cos([-0.0, 1.0], [1.0, -0.0])
    assert result == 0.0 and math.copysign(1.0, result) == -1.0


@pytest.mark.parametrize(
    "a, b",
    [
        ([1e20], [1e20]),
        ([NAN], [1.0]),
        ([1.0, 2.0], [3.0, NAN]),
        ([INF], [1.0]),
        ([INF, 0.0], [0.0, 1.0]),
        ([1e39], [1e39]),
        ([-1e20, 1.0], [1e20, 1.0]),
    ],
)
def test_results_that_are_nan(a, b):
    assert math.isnan(cos(a, b))


def test_near_one_is_not_clamped():
    # a vector against itself may land one unit in the last place off 1.0
    values = [cos(v, v) for v in ([1.0, 2.0, 3.0], [0.1, 0.2, 0.3], [7.0, 11.0, 13.0, 17.0])]
    assert values[0] < 1.0
    for v in values:
        assert abs(v - 1.0) <= 2.0 ** -23


@pytest.mark.parametrize(
    "a, b, first, second",
    [
        ([1.0, 2.0], [1.0], 2, 1),
        ([1.0], [1.0, 2.0], 1, 2),
        ([], [1.0], 0, 1),
        ([1.0, 2.0, 3.0], [], 3, 0),
        (list(range(1000)), list(range(999)), 1000, 999),
    ],
)
def test_dimension_mismatch(a, b, first, second):
    with pytest.raises(ValueError) as info:
        cos(a, b)
    assert type(info.value) is ValueError
    assert info.value.args == ("vectors have different dimensions (%d vs %d)" % (first, second),)


def test_conversion_failures_come_before_the_dimension_check():
    with pytest.raises(TypeError) as info:
        cos("ab", {1: 2})
    assert str(info.value) == "argument 'vec1': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as info:
        cos([1.0, 2.0], "ab")
    assert str(info.value) == "argument 'vec2': Can't extract `str` to `Vec`"


def test_random_vectors_match_the_reference():
    rng = random.Random(1234)
    for _ in range(300):
        n = rng.choice([1, 2, 3, 8, 17, 64, 300])
        scale = 10.0 ** rng.randint(-20, 20)
        a = [rng.gauss(0, 1) * scale for _ in range(n)]
        b = [rng.gauss(0, 1) * scale for _ in range(n)]
        assert reference.bits(cos(a, b)) == reference.bits(reference.cosine(a, b))


element = st.one_of(
    st.floats(width=32, min_value=-1e3, max_value=1e3),
    st.floats(width=32),
    st.floats(),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 1e20, 1e-23]),
)


@st.composite
def vector_pairs(draw):
    n = draw(st.integers(0, 12))
    a = draw(st.lists(element, min_size=n, max_size=n))
    b = draw(st.lists(element, min_size=n, max_size=n))
    return a, b


@settings(max_examples=300, deadline=None)
@given(vector_pairs())
def test_matches_the_reference(pair):
    a, b = pair
    assert reference.bits(cos(a, b)) == reference.bits(reference.cosine(a, b))
