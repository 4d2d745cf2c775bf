"""The fast layer where it meets what users and other modules do to the classes.

Making an instance while an allocation fails, patching a class's `__new__`
(unittest.mock) and overloads that another module adds to a field's getter or
setter: each answers as plain pybind11 would. The tests that change a class
run in a fresh interpreter (`isolated`).
"""

from unittest import mock

import pytest

import telem_peer
from helpers import Sink, isolated
from telem_pyb import TelemRecorder, TsMetadata, TsPoint
from telem_pyb.backend.log import Point

CLASSES = {"TsPoint": TsPoint, "TsMetadata": TsMetadata, "Point": Point, "TelemRecorder": TelemRecorder}


def usable(obj):
    """An instance whose native part was made and works: its first field, or a recorder's call."""
    if isinstance(obj, TelemRecorder):
        obj.record_value(1.5)
        return obj.points[-1].value
    field = {TsPoint: "mtime", TsMetadata: "tsid", Point: "origin"}[
        next(c for c in (TsPoint, TsMetadata, Point) if isinstance(obj, c))
    ]
    setattr(obj, field, "set")
    return getattr(obj, field)


def maker(name, subclass):
    cls = CLASSES[name]
    if name == "TelemRecorder":
        return Sink if subclass else cls
    return type("Sub", (cls,), {}) if subclass else cls


@pytest.mark.parametrize("subclass", [False, True], ids=["the class", "a Python subclass"])
@pytest.mark.parametrize("name", list(CLASSES))
@isolated
def test_failed_allocation_while_making_an_instance_is_a_memory_error(name, subclass):
    # Every allocation of the call fails in turn, until the call makes fewer.
    make = maker(name, subclass)
    for fail_at in range(1000):
        outcome, reached = telem_peer.call_failing_allocation(make, fail_at)
        if not reached:
            break
        assert outcome is MemoryError or isinstance(outcome, make), (fail_at, outcome)
    else:
        pytest.fail("the call never ran without a failing allocation")
    assert isinstance(outcome, make)
    if not (name == "TelemRecorder" and not subclass):
        assert usable(outcome) in ("set", 1.5)


@pytest.mark.parametrize("name", list(CLASSES))
@isolated
def test_new_patched_and_restored_leaves_the_class_working(name):
    cls = CLASSES[name]
    sub = Sink if cls is TelemRecorder else type("Sub", (cls,), {})
    original = cls.__new__
    made = []

    def patched(c, *args, **kwargs):
        made.append(c)
        return original(c, *args, **kwargs)

    with mock.patch.object(cls, "__new__", patched):
        inside = [cls(), sub()]
    after = [cls(), sub(), cls.__new__(cls), type("Later", (sub,), {})()]
    assert made == [cls, sub] and cls.__new__ is original
    assert [type(obj) for obj in inside] == [cls, sub]
    assert [usable(obj) for obj in (inside[1], after[1], after[3])] == (
        [1.5] * 3 if cls is TelemRecorder else ["set"] * 3
    )
    if cls is not TelemRecorder:
        assert [usable(obj) for obj in (inside[0], after[0])] == ["set", "set"]
    with pytest.raises(TypeError, match=r"is not safe, use .*\.__new__\(\)"):
        object.__new__(sub)
    with pytest.raises(TypeError, match=r"is not a subtype of"):
        cls.__new__(int)


def test_new_refuses_what_a_built_in_class_refuses():
    with pytest.raises(TypeError, match=r"^telem_pyb\.TsPoint\.__new__\(\): not enough arguments$"):
        TsPoint.__new__()
    with pytest.raises(TypeError, match=r"^telem_pyb\.TsPoint\.__new__\(X\): X is not a type object \(int\)$"):
        TsPoint.__new__(1)
    with pytest.raises(
        TypeError,
        match=r"^telem_pyb\.TsPoint\.__new__\(telem_pyb\.TsMetadata\): telem_pyb\.TsMetadata "
        r"is not a subtype of telem_pyb\.TsPoint$",
    ):
        TsPoint.__new__(TsMetadata)


PROPERTIES = [("TsPoint", "value"), ("TsPoint", "mtime"), ("TsMetadata", "json"), ("Point", "origin")]


@pytest.mark.parametrize("prepend", [False, True], ids=["appended", "prepended"])
@pytest.mark.parametrize("name, field", PROPERTIES)
@isolated
def test_field_overloads_added_by_another_module_run_on_attribute_access(name, field, prepend):
    cls = CLASSES[name]
    prop = vars(cls)[field]
    telem_peer.add_field_overloads(cls, field, prepend)
    by_attribute, by_function = cls(), cls()
    setattr(by_attribute, field, "v")
    prop.fset(by_function, "v")
    assert telem_peer.setter_calls == (["v", "v"] if prepend else [])
    assert getattr(by_attribute, field) == prop.fget(by_function) == ("peer getter" if prepend else "v")
    # The overloads take what the class's own refuse, first or last.
    setattr(by_attribute, field, [1])
    prop.fset(by_function, [1])
    assert getattr(by_attribute, field) == prop.fget(by_function)
    assert telem_peer.setter_calls[-2:] == [[1], [1]]


# The log recorders' entries (telem_pyb_log._native) against their dispatcher.


class FloatSub(float):
    pass


def through_dispatcher(function):
    function = getattr(function, "__func__", function)
    return lambda *args, **kwargs: type(function).__call__(function, *args, **kwargs)


@pytest.fixture(params=["a SqliteRecorder", "a recorder of a sink"])
def log_recorder(tmp_path, request):
    from telem_pyb_log import SqliteRecorder, SqliteSink

    if request.param == "a SqliteRecorder":
        recorder = SqliteRecorder(tmp_path / "entries.db", batch_size=1_000_000, max_delay=1e6)
        yield recorder
        recorder.close()
    else:
        with SqliteSink(tmp_path / "entries.db", batch_size=1_000_000, max_delay=1e6) as sink:
            yield sink.recorder(tsname="entries")


def log_outcome(recorder, call, args, kwargs):
    before = recorder.stats.recorded
    try:
        result = ("returned", call(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        result = (type(exc), str(exc))
    return result, recorder.stats.recorded - before


@pytest.mark.parametrize("method", ["record_value", "record_point"])
@pytest.mark.parametrize(
    "make_args, kwargs",
    [
        pytest.param(lambda r: (r, 1.5), {}, id="a float"),
        pytest.param(lambda r: (r, 7), {}, id="an int"),
        pytest.param(lambda r: (r, 2**63), {}, id="an int beyond 64 bits"),
        pytest.param(lambda r: (r, "\ud800"), {}, id="a lone surrogate"),
        pytest.param(lambda r: (r, None), {}, id="None"),
        pytest.param(lambda r: (r, FloatSub(2.5)), {}, id="a float subclass"),
        pytest.param(lambda r: (r, [1]), {}, id="a list"),
        pytest.param(lambda r: (r, TsPoint()), {}, id="a point"),
        pytest.param(lambda r: (r, type("Sub", (TsPoint,), {})()), {}, id="a subclass point"),
        pytest.param(lambda r: (r, TsPoint.__new__(TsPoint)), {}, id="an uninitialised point"),
        pytest.param(lambda r: (r,), {}, id="no argument"),
        pytest.param(lambda r: (r, 1.5, 2), {}, id="an extra argument"),
        pytest.param(lambda r: (r,), {"arg0": 1.5}, id="a keyword"),
        pytest.param(lambda r: (None, 1.5), {}, id="None as the recorder"),
        pytest.param(lambda r: (type(r).__new__(type(r)), 1.5), {}, id="an uninitialised recorder"),
        pytest.param(lambda r: (Sink(), 1.5), {}, id="another recorder"),
    ],
)
def test_log_recorder_entries_answer_as_the_dispatcher(log_recorder, method, make_args, kwargs):
    # None and an uninitialised recorder are refused (plain pybind11 would call through a null value).
    function = getattr(type(log_recorder), method)
    args = make_args(log_recorder)
    fast = log_outcome(
        log_recorder,
        getattr(log_recorder, method) if args[0] is log_recorder else function,
        args[1:] if args[0] is log_recorder else args,
        kwargs,
    )
    assert fast == log_outcome(log_recorder, through_dispatcher(function), args, kwargs)


@pytest.mark.parametrize("make", [lambda cls: None, lambda cls: cls.__new__(cls)], ids=["None", "an uninitialised one"])
def test_log_recorder_operations_refuse_a_recorder_that_is_not_one(make):
    from telem_pyb_log import _native

    recorder = make(_native.Recorder)
    calls = [
        lambda: _native.Recorder.flush(recorder),
        lambda: _native.Recorder.close(recorder),
        lambda: _native.Recorder._stats(recorder),
        lambda: _native.Recorder.record_metadata(recorder, TsMetadata()),
        lambda: _native.native_half(recorder).close_uncollected(),
    ]
    for call in calls:
        # pybind11's own refusal of a holder that was never made is a RuntimeError.
        with pytest.raises(TypeError if recorder is None or call is not calls[-1] else RuntimeError):
            call()
    series = make(_native.SeriesRecorder)
    for call in [
        lambda: _native.SeriesRecorder.close(series),
        lambda: _native.SeriesRecorder.record_metadata(series, TsMetadata()),
        lambda: _native.SeriesRecorder.stats.fget(series),
    ]:
        with pytest.raises(TypeError):
            call()
    with pytest.raises(TypeError if recorder is None else RuntimeError):
        _native.SeriesRecorder(recorder)  # a sink's native half that is not one
