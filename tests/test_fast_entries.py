"""The vectorcall entries of hot functions against pybind11's dispatcher.

An entry takes only the plain case; every other call goes to the dispatcher
unchanged, and whatever its own steps raise comes out as the Python exception
the dispatcher would have raised: a C++ exception never reaches CPython.
"""

from decimal import Decimal
from fractions import Fraction

import pytest

import telem_peer
from helpers import Sink, isolated
from telem_pyb import TelemRecorder


class ConduitRaises:
    """pybind11 2.11.2 asks a foreign object for this method while loading with conversions."""

    def _pybind11_conduit_v1_(self, *args):
        raise ValueError("conduit refused")


class Proxy:
    """Hands out a callable for every attribute, as xmlrpc.client.ServerProxy does."""

    def __getattr__(self, name):
        def call(*args):
            raise ConnectionRefusedError(f"{name}: unreachable")

        return call


class Refusing(Sink):
    def record_point(self, point):
        raise LookupError("refused by record_point")


class FloatSub(float):
    pass


class Index:
    def __index__(self):
        return 4


def uninitialised():
    return Sink.__new__(Sink)


def outcome(call, args, kwargs):
    """What a call gives: its result, or its exception's type and text, and what the recorders received."""
    try:
        result = ("returned", call(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        result = (type(exc), str(exc))
    sinks = [arg for arg in args if isinstance(arg, Sink) and hasattr(arg, "points")]
    received = [[(type(p.value), p.value) for p in sink.points] for sink in sinks]
    for sink in sinks:
        sink.points.clear()
    return result, received


RECORD_VALUE = TelemRecorder.record_value


def through_dispatcher(function):
    return lambda *args, **kwargs: type(function).__call__(function, *args, **kwargs)


@pytest.mark.parametrize(
    "make_args, kwargs",
    [
        pytest.param(lambda: (Sink(), 1.5), {}, id="a float"),
        pytest.param(lambda: (Sink(), True), {}, id="a bool"),
        pytest.param(lambda: (Sink(), 2**63), {}, id="an int beyond 64 bits"),
        pytest.param(lambda: (Sink(), b"abc"), {}, id="bytes"),
        pytest.param(lambda: (Sink(), None), {}, id="None"),
        pytest.param(lambda: (Sink(), "\ud800"), {}, id="a lone surrogate"),
        pytest.param(lambda: (Sink(), FloatSub(2.5)), {}, id="a float subclass"),
        pytest.param(lambda: (Sink(), Decimal("0.5")), {}, id="a Decimal"),
        pytest.param(lambda: (Sink(), Fraction(1, 4)), {}, id="a Fraction"),
        pytest.param(lambda: (Sink(), Index()), {}, id="an object with __index__"),
        pytest.param(lambda: (Sink(), [1]), {}, id="a list"),
        pytest.param(lambda: (Sink(),), {}, id="no value"),
        pytest.param(lambda: (Sink(), 1, 2), {}, id="an extra positional argument"),
        pytest.param(lambda: (Sink(),), {"arg0": 1}, id="the value by keyword"),
        pytest.param(lambda: (), {}, id="no arguments"),
        pytest.param(lambda: (None, 1.5), {}, id="None as the recorder"),
        pytest.param(lambda: (object(), 1.5), {}, id="a plain object as the recorder"),
        pytest.param(lambda: (uninitialised(), 1.5), {}, id="an uninitialised recorder"),
        pytest.param(lambda: (ConduitRaises(), 1.5), {}, id="a recorder whose conduit method raises"),
        pytest.param(lambda: (Proxy(), 1.5), {}, id="a proxy that answers every attribute"),
        pytest.param(lambda: (TelemRecorder(), 1), {}, id="a recorder without record_point"),
        pytest.param(lambda: (Refusing(), 1), {}, id="a record_point that raises"),
        pytest.param(lambda: (telem_peer.NativeRecorder("telem", "full"), 1), {}, id="a native TelemException"),
    ],
)
def test_record_value_entry_answers_as_the_dispatcher(make_args, kwargs):
    args = make_args()
    fast = outcome(RECORD_VALUE, args, kwargs)
    assert fast == outcome(through_dispatcher(RECORD_VALUE), args, kwargs)


@pytest.mark.parametrize("prepend", [False, True], ids=["appended", "prepended"])
@isolated
def test_record_value_overload_added_by_another_module_is_reached(prepend):
    telem_peer.add_record_value_overload(prepend)
    sink = Sink()
    # The dispatcher prefers the added overload for None, which record_value
    # alone would convert to False.
    assert sink.record_value(None) == "peer overload"
    assert sink.record_value(1.5) is None
    assert [p.value for p in sink.points] == [1.5]
