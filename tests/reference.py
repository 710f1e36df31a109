"""Strict float32 reference for the similarity kernel and the exact search.

Everything here is plain Python floats (doubles).  A single IEEE operation on
float32 operands (+, *, /, sqrt) carried out in double precision and then
rounded once to float32 gives the correctly rounded float32 result, so the
reference rounds after every single operation, in the kernel's order.
"""

import math
import struct

_INF = float("inf")


def f32(x):
    """Round a Python float to the nearest float32 (ties to even).

    Overflow gives a signed infinity, NaN stays NaN, the sign of zero is kept
    and subnormals are rounded on the 2**-149 grid.
    """
    x = float(x)
    if x != x or x == 0.0 or x in (_INF, -_INF):
        return x
    _, e = math.frexp(x)  # x = m * 2**e with 0.5 <= |m| < 1
    q = max(e - 24, -149)  # exponent of one unit in the last float32 place
    n = round(math.ldexp(x, -q))  # exact scaling; round() ties to even
    if n == 0:
        return math.copysign(0.0, x)
    if q > 0 and abs(n) << q >= 1 << 128:
        return math.copysign(_INF, x)
    return math.ldexp(float(n), q)


def is_f32(x):
    """True when x is exactly representable as a float32."""
    return x != x or f32(x) == x


def f32_vector(values):
    return [f32(v) for v in values]


def cosine(a, b):
    """Cosine similarity of two float sequences, as the native kernel does it."""
    a = f32_vector(a)
    b = f32_vector(b)
    dot = -0.0
    for x, y in zip(a, b):
        dot = f32(dot + f32(x * y))
    sa = -0.0
    for x in a:
        sa = f32(sa + f32(x * x))
    sb = -0.0
    for y in b:
        sb = f32(sb + f32(y * y))
    if sa == 0.0 or sb == 0.0:
        return 0.0
    norms = f32(_sqrt(sa) * _sqrt(sb))
    return f32(_div(dot, norms))


def _sqrt(x):
    if x != x or x == _INF:
        return x
    return f32(math.sqrt(x))


def _div(a, b):
    # b is a product of two non-zero norms: never zero, possibly inf or NaN
    if a != a or b != b:
        return float("nan")
    if a in (_INF, -_INF) and b == _INF:
        return float("nan")
    return a / b


def search(records, query, top_k):
    """Exact search over (vector, id) records: a list of (score, id).

    Descending score, ties in insertion order (+0.0 ties -0.0); NaN scores
    after every ordinary score, in insertion order among themselves.
    """
    scored = [(cosine(query, vec), rid) for vec, rid in records]
    order = sorted(
        range(len(scored)),
        key=lambda i: (True, 0.0) if math.isnan(scored[i][0]) else (False, -scored[i][0]),
    )
    return [scored[i] for i in order[:top_k]]


def bits(x):
    """Bit pattern of a double, so that scores compare exactly (sign of zero
    included); every NaN maps to one canonical pattern."""
    if math.isnan(x):
        return "nan"
    return struct.pack("<d", x)
