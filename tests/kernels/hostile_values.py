"""Hypothesis strategies for odd arguments of every kind: wrong types, special numbers,
arrays of every dtype, byte order and layout, containers of the wrong shape, and objects
whose conversions, lengths or iterators misbehave. Nothing here keeps state, so an
object converts the same way every time it is asked."""

from decimal import Decimal
from fractions import Fraction

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp


class Refused(Exception):
    """Raised by the odd objects below, so that a propagated failure is recognisable."""


class FloatRaises:
    def __float__(self):
        raise Refused("no float")


class IndexRaises:
    def __index__(self):
        raise Refused("no index")


class FloatAndIndexRaise(FloatRaises, IndexRaises):
    pass


class FloatReturnsText:
    def __float__(self):
        return "0.5"


class IndexReturnsFloat:
    def __index__(self):
        return 1.5


class FloatOnly:
    def __float__(self):
        return 0.25


class IndexOnly:
    def __index__(self):
        return 3


class IntWithOddMethods(int):
    """Read as the int it is, whatever its methods say; but its __float__ is used."""

    def __index__(self):
        raise Refused("index of an int")

    def __float__(self):
        raise Refused("float of an int")


class FloatSubclass(float):
    def __float__(self):
        raise Refused("float of a float")


class LyingTuple(tuple):
    """A tuple whose length and items are read in place, not through these methods."""

    def __len__(self):
        return 99

    def __getitem__(self, k):
        raise Refused("item")

    def __iter__(self):
        raise Refused("iteration")


class LengthRaises(list):
    def __len__(self):
        raise Refused("no length")


class LengthNegative(list):
    def __len__(self):
        return -1


class LengthNotAnInt(list):
    def __len__(self):
        return "2"


class LengthBeyondAnIndex(list):
    def __len__(self):
        return 2**64


class LengthBeyondAnyBuffer(list):
    def __len__(self):
        return 2**62


class IterationRaises(list):
    def __iter__(self):
        raise Refused("no iterator")


class IterationFailsLater(list):
    def __iter__(self):
        yield from list.__iter__(self)[:1]
        raise Refused("no more items")


class ItemsByIndex:
    """A sequence through __getitem__ alone, iterated until IndexError."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, k):
        return self.items[k]


class ItemRaises:
    """A sequence whose second item cannot be had."""

    def __getitem__(self, k):
        if k == 0:
            return (0, 0, 0.0)
        raise Refused("no item")

    def __len__(self):
        return 2


SEQUENCE_TYPES = [list, tuple, LengthRaises, LengthNegative, LengthNotAnInt, LengthBeyondAnIndex,
                  LengthBeyondAnyBuffer, IterationRaises, IterationFailsLater, ItemsByIndex]

ODD_OBJECTS = st.sampled_from([
    FloatRaises(), IndexRaises(), FloatAndIndexRaise(), FloatReturnsText(), IndexReturnsFloat(), FloatOnly(),
    IndexOnly(), IntWithOddMethods(2), FloatSubclass(0.5), ItemRaises(), object(), type, len, Ellipsis,
    NotImplemented, 1 + 2j, Fraction(1, 3), Decimal("1.5"), Decimal("NaN"), Decimal("-Infinity"),
    range(3), range(0), {}, {(0, 0, 0.0): 1}, set(), frozenset({1}), memoryview(b"12345678"),
    bytearray(b"\x00" * 8), slice(1, 2), np.float64, np.dtype(np.float64),
])

NUMBERS = st.one_of(
    st.floats(),
    st.integers(),
    st.integers(min_value=-(2**66), max_value=2**66),
    st.sampled_from([0, 1, -1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), 10**400, True, False,
                     0.0, -0.0, float("nan"), float("inf"), float("-inf"), 5e-324, 1.7976931348623157e308]),
)

NUMPY_SCALARS = st.one_of(
    st.sampled_from([np.float64, np.float32, np.float16, np.longdouble, np.int8, np.int64, np.uint64, np.bool_,
                     np.complex128]).flatmap(lambda t: hnp.from_dtype(np.dtype(t)).map(t)),
    st.sampled_from([np.datetime64("2020-01-01"), np.timedelta64(3, "s"), np.str_("1.5"), np.bytes_(b"2"),
                     np.void(b"\x00" * 8)]),
)

TEXT = st.one_of(st.text(max_size=4), st.binary(max_size=8), st.sampled_from(["1.5", "3", "nan", ""]))

DTYPES = st.sampled_from([
    np.dtype("<f8"), np.dtype("<f8"), np.dtype("<f8"), np.dtype(">f8"), np.dtype("f4"), np.dtype("f2"),
    np.dtype("i8"), np.dtype("u1"), np.dtype("c16"), np.dtype("?"), np.dtype("M8[s]"), np.dtype("U2"),
    np.dtype([("x", "<f8")]), np.dtype("<f8", metadata={"unit": "s/km"}), np.dtype("g"),
])


def plain_arrays(dims):
    shapes = hnp.array_shapes(min_dims=dims[0], max_dims=dims[1], min_side=0, max_side=5)
    return DTYPES.flatmap(lambda dtype: hnp.arrays(dtype, shapes))


def misaligned(array):
    """The same values starting one byte into a buffer, so never on an 8-byte boundary."""
    raw = bytearray(array.nbytes + 1)
    moved = np.frombuffer(raw, dtype=array.dtype, count=array.size, offset=1).reshape(array.shape)
    moved[...] = array
    return moved


def read_only(array):
    array = array.copy()
    array.setflags(write=False)
    return array


TWISTS = [
    lambda a: a,
    lambda a: a,
    lambda a: a.view(a.dtype.newbyteorder()) if a.dtype.byteorder in "<>=" else a,
    lambda a: a[::2] if a.ndim else a,
    lambda a: a[::-1] if a.ndim else a,
    lambda a: a[..., ::2] if a.ndim else a,
    lambda a: a.T,
    lambda a: np.asfortranarray(a),
    misaligned,
    read_only,
    lambda a: np.ma.masked_array(a),
    lambda a: np.asmatrix(a) if a.ndim == 2 else a,
    lambda a: a.reshape(-1),
    lambda a: a[np.newaxis],
]


def arrays(dims=(0, 3)):
    """Arrays of many dtypes and of every layout the module must refuse or accept."""
    return st.tuples(plain_arrays(dims), st.sampled_from(TWISTS)).map(lambda pair: pair[1](pair[0]))


def float64_arrays(dims):
    """float64 arrays of odd values, mostly laid out for reading in place, so that the
    kernels see them too."""
    shapes = hnp.array_shapes(min_dims=dims, max_dims=dims, min_side=0, max_side=5)
    values = hnp.arrays(np.float64, shapes, elements=st.floats())
    twists = st.integers(0, 1).flatmap(lambda k: st.sampled_from(TWISTS) if k else st.just(TWISTS[0]))
    return st.tuples(values, twists).map(lambda pair: pair[1](pair[0]))


SCALARS = st.one_of(st.none(), NUMBERS, NUMPY_SCALARS, TEXT, ODD_OBJECTS, arrays((0, 0)))

ANYTHING = st.one_of(
    SCALARS,
    arrays(),
    st.lists(SCALARS, max_size=4),
    st.lists(SCALARS, max_size=4).map(tuple),
    st.lists(SCALARS, max_size=3).map(lambda items: (item for item in items)),
)


def mostly(near, far):
    """`near` three times in four, so that odd values also get past the conversions."""
    return st.integers(0, 3).flatmap(lambda k: near if k else far)


def pairs(items):
    """Two-item tuples of `items`, and the other things a pair might wrongly be."""
    return mostly(st.tuples(items, items), st.one_of(
        st.tuples(items, items).map(lambda pair: LyingTuple(pair)),
        st.lists(items, max_size=4).map(tuple),
        st.tuples(items, items).map(list),
        ANYTHING,
    ))


COUNT_LIKE = mostly(st.one_of(st.integers(min_value=0, max_value=8), NUMBERS),
                    st.one_of(NUMPY_SCALARS, ODD_OBJECTS, st.none()))
FLOAT_LIKE = mostly(st.one_of(st.floats(min_value=0.05, max_value=4), NUMBERS),
                    st.one_of(NUMPY_SCALARS, ODD_OBJECTS, TEXT, st.none()))

TRIPLES = mostly(
    st.one_of(st.tuples(st.integers(0, 4), st.integers(0, 4), st.floats(-5, 5)),
              st.tuples(COUNT_LIKE, COUNT_LIKE, FLOAT_LIKE)),
    st.one_of(st.tuples(COUNT_LIKE, COUNT_LIKE, FLOAT_LIKE).map(lambda triple: LyingTuple(triple)),
              st.lists(COUNT_LIKE, max_size=4).map(tuple),
              SCALARS),
)

SEED_LISTS = mostly(
    st.tuples(st.sampled_from(SEQUENCE_TYPES), st.lists(TRIPLES, max_size=4)).map(lambda pair: pair[0](pair[1])),
    st.one_of(st.lists(TRIPLES, max_size=3).map(lambda items: (item for item in items)),
              st.text(max_size=3),
              ANYTHING),
)


def grid_values():
    return mostly(float64_arrays(2), ANYTHING)


def vector_values():
    return mostly(float64_arrays(1), ANYTHING)
