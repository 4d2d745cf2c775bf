"""Conversion of Python objects into sample values, through TsPoint.value and record_value."""

import collections
import enum
import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from helpers import ThroughDispatcher, ThroughRecordValue, ThroughSetter

I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


def _fail(*_):
    raise ValueError("refused by the object")


def make(name="Custom", **dunders):
    """An instance of a fresh class with the given dunder methods (index=... gives __index__)."""
    return type(name, (), {f"__{k}__": v for k, v in dunders.items()})()


class Level(enum.IntEnum):
    HIGH = 4


class IntSub(int):
    pass


class FloatSub(float):
    pass


class ComplexSub(complex):
    pass


class Text(str):
    pass


class Raw(bytes):
    pass


ACCEPTED = [
    # Exact kinds
    pytest.param(True, True, id="True stays the bool True"),
    pytest.param(False, False, id="False stays the bool False, not 0"),
    pytest.param(0, 0, id="zero is the integer 0, not False"),
    pytest.param(I64_MAX, I64_MAX, id="the largest 64-bit integer is kept"),
    pytest.param(I64_MIN, I64_MIN, id="the smallest 64-bit integer is kept"),
    pytest.param(IntSub(9), 9, id="an int subclass becomes its integer"),
    pytest.param(Level.HIGH, 4, id="an IntEnum member becomes its integer"),
    pytest.param(make(index=lambda s: 7), 7, id="an object with __index__ becomes its index"),
    pytest.param(make(index=lambda s: 0, bool=lambda s: True), 0,
                 id="an object with __index__ and __bool__ becomes its index"),
    pytest.param(2.0, 2.0, id="an integral float stays a float"),
    pytest.param(-0.0, -0.0, id="negative zero keeps its sign"),
    pytest.param(math.inf, math.inf, id="infinity is kept"),
    pytest.param(math.nan, math.nan, id="nan is kept"),
    pytest.param(FloatSub(1.5), 1.5, id="a float subclass becomes its float"),
    pytest.param("x", "x", id="a str is kept"),
    pytest.param("", "", id="the empty str is kept"),
    pytest.param("ä€😀", "ä€😀", id="a non-ASCII str is kept"),
    pytest.param("a\x00b", "a\x00b", id="a str with an embedded NUL keeps its length"),
    pytest.param(Text("sub"), "sub", id="a str subclass becomes a str"),
    pytest.param(b"abc", "abc", id="bytes become a str"),
    pytest.param(bytearray(b"abc"), "abc", id="a bytearray becomes a str"),
    pytest.param(Raw(b"raw"), "raw", id="a bytes subclass becomes a str"),
    # numpy scalars
    pytest.param(np.bool_(True), True, id="numpy True becomes the bool True"),
    pytest.param(np.bool_(False), False, id="numpy False becomes the bool False"),
    pytest.param(make("numpy.bool_", bool=lambda s: True, index=lambda s: 5), True,
                 id="a type named numpy.bool_ is taken by its truth"),
    pytest.param(make("numpy.bool", bool=lambda s: False, index=lambda s: 5), False,
                 id="a type named numpy.bool is taken by its truth"),
    pytest.param(make("bool_", bool=lambda s: True, index=lambda s: 5), 5,
                 id="another type with truth and index is taken by its index"),
    pytest.param(np.int64(-3), -3, id="numpy int64 becomes its integer"),
    pytest.param(np.uint8(200), 200, id="numpy uint8 becomes its integer"),
    pytest.param(np.float32(21.5), 21.5, id="numpy float32 becomes its float value"),
    pytest.param(np.float64(1.5), 1.5, id="numpy float64 becomes its float value"),
    pytest.param(np.float16(0.5), 0.5, id="numpy float16 becomes its float value"),
    pytest.param(np.longdouble(2.5), 2.5, id="numpy longdouble becomes its float value"),
    pytest.param(np.array(7), 7, id="a zero-dimensional integer array becomes its integer"),
    pytest.param(np.array(3.5), 3.5, id="a zero-dimensional float array becomes its float"),
    # Converted numbers and other objects
    pytest.param(None, False, id="None becomes False"),
    pytest.param(Decimal("3.5"), 3.5, id="a Decimal becomes its float value"),
    pytest.param(Fraction(1, 2), 0.5, id="a Fraction becomes its float value"),
    pytest.param(make(float=lambda s: 2.5), 2.5, id="an object with __float__ becomes its float"),
    pytest.param(make(int=lambda s: -5), -5, id="an object with __int__ only becomes its integer"),
    pytest.param(make(int=lambda s: 3, float=lambda s: 3.75), 3.75,
                 id="an object with __int__ and __float__ becomes its float"),
    pytest.param(make(float=lambda s: 0.25, bool=lambda s: True), 0.25,
                 id="a number with __bool__ is not truth-tested"),
    pytest.param(make(index=_fail, float=lambda s: 1.25), 1.25, id="a failing __index__ falls back to __float__"),
    pytest.param(make(index=_fail, int=lambda s: 11), 11, id="a failing __index__ falls back to __int__"),
    pytest.param(make(bool=lambda s: True), True, id="a non-number with a true __bool__ becomes True"),
    pytest.param(make(bool=lambda s: False), False, id="a non-number with a false __bool__ becomes False"),
]

REJECTED = [
    pytest.param(2**63, id="2 to the 63 is out of range"),
    pytest.param(-(2**63) - 1, id="one below the smallest 64-bit integer is out of range"),
    pytest.param(-(2**100), id="a huge negative int is out of range"),
    pytest.param(IntSub(2**64), id="an int subclass out of range is refused"),
    pytest.param(make(index=lambda s: 2**70), id="an index out of range is refused"),
    pytest.param(make(index=lambda s: 2**70, float=lambda s: 1.0),
                 id="an index out of range is refused even with __float__"),
    pytest.param(make(int=lambda s: 2**64), id="an __int__ result out of range is refused"),
    pytest.param(np.uint64(2**64 - 1), id="numpy uint64 beyond int64 is refused"),
    pytest.param(make(int=_fail), id="a raising __int__ is refused"),
    pytest.param(make(float=_fail), id="a raising __float__ is refused"),
    pytest.param(Decimal("sNaN"), id="a signalling Decimal NaN is refused"),
    pytest.param(Fraction(10**400), id="a Fraction beyond the double range is refused"),
    pytest.param(1 + 0j, id="a nonzero complex is refused"),
    pytest.param(0j, id="a zero complex is refused"),
    pytest.param(ComplexSub(2), id="a complex subclass is refused"),
    pytest.param(np.complex64(1), id="numpy complex64 is refused"),
    pytest.param(np.complex128(0), id="numpy complex128 is refused"),
    pytest.param(np.clongdouble(1), id="numpy clongdouble is refused"),
    pytest.param(np.array([1.0, 2.0]), id="a numpy array of two values is refused"),
    pytest.param(make(bool=_fail), id="a raising __bool__ is refused"),
    pytest.param(make(bool=lambda s: 1), id="a __bool__ returning an int is refused"),
    pytest.param(make(len=lambda s: 1), id="an object with only __len__ is refused"),
    pytest.param(object(), id="a plain object is refused"),
    pytest.param([1], id="a list is refused"),
    pytest.param((), id="a tuple is refused"),
    pytest.param({}, id="a dict is refused"),
    pytest.param(memoryview(b"a"), id="a memoryview is refused"),
    pytest.param("\ud800", id="a str with a lone surrogate is refused"),
    pytest.param(Text("\udfff"), id="a str subclass with a lone surrogate is refused"),
]


@pytest.fixture(params=[ThroughSetter, ThroughRecordValue], ids=["through TsPoint.value", "through record_value"])
def target(request):
    return request.param()


def assert_same_value(got, expected):
    assert type(got) is type(expected), f"{got!r} is a {type(got).__name__}, expected {expected!r}"
    if isinstance(expected, float) and math.isnan(expected):
        assert math.isnan(got)
    else:
        assert got == expected
        if isinstance(expected, float):
            assert math.copysign(1.0, got) == math.copysign(1.0, expected)


@pytest.mark.parametrize("given, expected", ACCEPTED)
def test_value_is_stored(target, given, expected):
    target.put(given)
    assert_same_value(target.read(), expected)


@pytest.mark.parametrize("bad", REJECTED)
def test_mismatch_raises_and_keeps_previous_value(target, bad):
    target.put("previous")
    with pytest.raises(TypeError) as exc:
        target.put(bad)
    assert type(exc.value) is TypeError
    assert str(exc.value) == target.message(bad)
    assert target.count() == 1
    assert target.read() == "previous"


def test_non_utf8_bytes_are_stored_raw_but_unreadable(target):
    target.put(b"\xff")
    with pytest.raises(UnicodeDecodeError):
        target.read()
    target.put("readable")
    assert target.read() == "readable"



class Counted:
    """Counts the calls of its conversion methods; `index` is what __index__ returns or raises."""

    def __init__(self, index):
        self.index, self.calls = index, collections.Counter()

    def __index__(self):
        self.calls["__index__"] += 1
        if isinstance(self.index, Exception):
            raise self.index
        return self.index

    def __float__(self):
        self.calls["__float__"] += 1
        return 0.5


@pytest.mark.parametrize(
    "index, stored, calls",
    [
        pytest.param(3, 3, {"__index__": 1}, id="an index in range is taken at once"),
        pytest.param(2**70, TypeError, {"__index__": 1}, id="an index beyond 64 bits is refused"),
        pytest.param(ValueError("no index"), 0.5, {"__index__": 1, "__float__": 1},
                     id="a failing __index__ falls back to __float__"),
    ],
)
def test_conversion_methods_run_once_per_conversion(target, index, stored, calls):
    # record_value's own entry hands such values to the dispatcher, which must
    # not run their conversion methods again.
    value = Counted(index)
    if stored is TypeError:
        with pytest.raises(TypeError):
            target.put(value)
    else:
        target.put(value)
        assert target.read() == stored
    assert value.calls == calls


def interrupting(method, exc):
    """A value whose conversion method `method` raises `exc`, as when the user presses Ctrl-C during it."""

    def convert(self):
        raise exc

    return type(f"Interrupting{method}", (), {method: convert})()


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit], ids=lambda t: t.__name__)
@pytest.mark.parametrize("method", ["__index__", "__bool__", "__float__", "__int__"])
@pytest.mark.parametrize("route", [ThroughSetter, ThroughRecordValue, ThroughDispatcher],
                         ids=["TsPoint.value", "record_value", "the dispatcher"])
def test_exception_that_is_not_an_error_propagates_from_a_conversion(route, method, exc_type):
    # Only a failed conversion (an Exception) makes the value a mismatch.
    target, raised = route(), exc_type("stop")
    target.put("previous")
    with pytest.raises(exc_type) as info:
        target.put(interrupting(method, raised))
    assert info.value is raised
    assert target.count() == 1 and target.read() == "previous"
