"""TelemRecorder: routing to Python overrides, pure operations, errors and argument conversion."""

import sys
import threading
import weakref
from collections import OrderedDict
from types import MappingProxyType

import pytest

import telem_peer
import telem_pyb
from helpers import Sink, incompatible, incompatible_prefix, isolated, run_isolated
from telem_pyb import TelemException, TelemRecorder, TsMetadata, TsPoint

METADATA_FIELDS = ["tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json"]
KV_SIG = "(self: telem_pyb.TelemRecorder, arg0: Dict[str, str]) -> None"


def pure(name):
    return f'Tried to call pure virtual function "type::{name}"'


def fields(meta):
    return {f: getattr(meta, f) for f in METADATA_FIELDS}


@pytest.mark.parametrize(
    "value",
    [True, 3, 2.5, "abc"],
    ids=["a bool arrives as a bool", "an integer arrives as an integer", "a double arrives as a double",
         "a text arrives as a text"],
)
def test_record_value_reaches_record_point_as_a_fresh_point(value):
    sink = Sink()
    sink.record_value(value)
    sink.record_value(value)
    first, second = sink.points
    assert type(first) is TsPoint and first is not second
    assert first.value == value and type(first.value) is type(value)
    assert first.mtime == ""
    first.value, first.mtime = "changed", "t"
    assert (second.value, second.mtime) == (value, "")


def test_record_metadata_kv_fills_the_nine_known_keys():
    sink = Sink()
    sink.record_metadata_kv({f: f"{f}-value" for f in METADATA_FIELDS})
    (meta,) = sink.metadata
    assert type(meta) is TsMetadata
    assert fields(meta) == {f: f"{f}-value" for f in METADATA_FIELDS}


@pytest.mark.parametrize(
    "kv, expected",
    [
        pytest.param({}, {}, id="an empty dict still records metadata once"),
        pytest.param({"tsid": "7", "units": "m/s", "colour": "red"}, {"tsid": "7", "units": "m/s"},
                     id="unknown keys are ignored"),
        pytest.param({"tsid": "7", "TSNAME": "x", "Units": "V"}, {"tsid": "7"}, id="keys are case sensitive"),
        pytest.param({"tsname": ""}, {}, id="an empty value equals an absent key"),
        pytest.param({b"tsname": b"raw\x00\xc3\xa9 "}, {"tsname": "raw\x00é "}, id="bytes keys and values work"),
        pytest.param({"role": bytearray(b"r")}, {"role": "r"}, id="a bytearray value works"),
        pytest.param(OrderedDict(comment="c"), {"comment": "c"}, id="a dict subclass is accepted"),
        pytest.param({"tsid": "text", b"tsid": "bytes"}, {"tsid": "text"}, id="the str key seen first wins"),
        pytest.param({b"tsid": "bytes", "tsid": "text"}, {"tsid": "bytes"}, id="the bytes key seen first wins"),
    ],
)
def test_record_metadata_kv_conversion(kv, expected):
    sink = Sink()
    sink.record_metadata_kv(kv)
    (meta,) = sink.metadata
    assert fields(meta) == {**dict.fromkeys(METADATA_FIELDS, ""), **expected}


@pytest.mark.parametrize(
    "bad",
    [
        pytest.param({1: "a"}, id="an int key is refused"),
        pytest.param({"tsid": 1}, id="an int value is refused"),
        pytest.param({"tsid": None}, id="a None value is refused"),
        pytest.param({"tsid": "ok", "\ud800": "x"}, id="a lone surrogate key fails the whole dict"),
        pytest.param([("tsid", "a")], id="a list of pairs is refused"),
        pytest.param(MappingProxyType({"tsid": "a"}), id="a mapping that is not a dict is refused"),
        pytest.param(None, id="None is refused"),
    ],
)
def test_record_metadata_kv_refuses_non_text_dicts(bad):
    sink = Sink()
    with pytest.raises(TypeError) as exc:
        sink.record_metadata_kv(bad)
    assert str(exc.value) == incompatible("record_metadata_kv", KV_SIG, sink, bad)
    assert sink.metadata == []


@pytest.mark.parametrize(
    "method, record_type",
    [("record_point", TsPoint), ("record_metadata", TsMetadata)],
    ids=["record_point hands over the very TsPoint", "record_metadata hands over the very TsMetadata"],
)
def test_native_call_passes_the_same_record_object(method, record_type):
    sink = Sink()
    record = record_type()
    getattr(TelemRecorder, method)(sink, record)
    received = sink.points if method == "record_point" else sink.metadata
    assert len(received) == 1 and received[0] is record


def test_native_close_reaches_python_and_ignores_its_result():
    class Closer(Sink):
        def close(self):
            super().close()
            return 42

    closer = Closer()
    assert TelemRecorder.close(closer) is None
    assert TelemRecorder.close(closer) is None
    assert closer.closed == 2


@pytest.mark.parametrize(
    "call, method",
    [
        pytest.param(lambda r: r.close(), "close", id="close without override"),
        pytest.param(lambda r: r.record_point(TsPoint()), "record_point", id="record_point without override"),
        pytest.param(lambda r: r.record_metadata(TsMetadata()), "record_metadata",
                     id="record_metadata without override"),
        pytest.param(lambda r: r.record_value(1), "record_point", id="record_value ends in record_point"),
        pytest.param(lambda r: r.record_metadata_kv({}), "record_metadata",
                     id="record_metadata_kv ends in record_metadata"),
    ],
)
def test_plain_recorder_raises_for_pure_operations(call, method):
    with pytest.raises(RuntimeError) as exc:
        call(TelemRecorder())
    assert type(exc.value) is RuntimeError
    assert str(exc.value) == pure(method)


@pytest.mark.parametrize(
    "missing, call",
    [
        pytest.param("close", lambda r: TelemRecorder.close(r), id="a subclass without close"),
        pytest.param("record_point", lambda r: r.record_value(1.5), id="a subclass without record_point"),
        pytest.param("record_metadata", lambda r: r.record_metadata_kv({"tsid": "1"}),
                     id="a subclass without record_metadata"),
    ],
)
def test_subclass_missing_a_method_raises_its_message(missing, call):
    methods = {
        "record_point": lambda self, p: None,
        "record_metadata": lambda self, m: None,
        "close": lambda self: None,
    }
    del methods[missing]
    partial = type("Partial", (TelemRecorder,), methods)
    with pytest.raises(RuntimeError, match=f"^{pure(missing)}$"):
        call(partial())


def test_builtin_method_on_the_class_is_not_an_override():
    # A class attribute that is a built-in method (it binds to a built-in
    # function, as the class's own methods do) counts as no override.
    class BuiltinClose(TelemRecorder):
        close = list.clear

    with pytest.raises(RuntimeError, match=f"^{pure('close')}$"):
        TelemRecorder.close(BuiltinClose())


class SuperCall(TelemRecorder):
    def record_point(self, point):
        try:
            super().record_point(point)
        except RuntimeError as exc:
            self.outcome = str(exc)


class BaseCall(TelemRecorder):
    def record_point(self, point):
        try:
            TelemRecorder.record_point(self, point)
        except RuntimeError as exc:
            self.outcome = str(exc)


class ValueCall(TelemRecorder):
    def record_point(self, point):
        try:
            self.record_value(0)
        except RuntimeError as exc:
            self.outcome = str(exc)


@pytest.mark.parametrize(
    "cls",
    [
        pytest.param(SuperCall, id="super().record_point inside record_point raises instead of recursing"),
        pytest.param(BaseCall, id="the base record_point called on itself raises instead of recursing"),
        pytest.param(ValueCall, id="record_value on itself inside record_point raises instead of recursing"),
    ],
)
def test_base_call_inside_the_override_does_not_recurse(cls):
    recorder = cls()
    recorder.record_value(1)
    assert recorder.outcome == pure("record_point")
    recorder.outcome = None
    TelemRecorder.record_point(recorder, TsPoint())
    assert recorder.outcome == pure("record_point")


def test_override_may_feed_another_recorder():
    class Forwarder(TelemRecorder):
        def __init__(self, target):
            super().__init__()
            self.target = target

        def record_point(self, point):
            TelemRecorder.record_point(self.target, point)

    sink = Sink()
    point = TsPoint()
    TelemRecorder.record_point(Forwarder(sink), point)
    Forwarder(sink).record_value(6)
    assert sink.points[0] is point
    assert sink.points[1].value == 6


@pytest.mark.parametrize(
    "attr, value, call, type_name",
    [
        pytest.param("close", None, lambda r: TelemRecorder.close(r), "NoneType", id="close set to None"),
        pytest.param("record_point", None, lambda r: r.record_value(1), "NoneType", id="record_point set to None"),
        pytest.param("record_metadata", 5, lambda r: r.record_metadata_kv({}), "int", id="record_metadata set to 5"),
    ],
)
def test_not_callable_override_raises_type_error(attr, value, call, type_name):
    recorder = type("NotCallable", (Sink,), {attr: value})()
    with pytest.raises(TypeError) as exc:
        call(recorder)
    assert str(exc.value) == f"Object of type '{type_name}' is not an instance of 'function'"


def test_instance_attribute_counts_as_override():
    class Bare(TelemRecorder):
        pass

    received = []
    recorder = Bare()
    recorder.record_point = lambda point: received.append(point)
    recorder.record_value(8)
    assert [p.value for p in received] == [8]


def test_method_added_after_a_failed_lookup_stays_unseen():
    class Late(TelemRecorder):
        pass

    with pytest.raises(RuntimeError):
        TelemRecorder.close(Late())
    Late.close = lambda self: None
    with pytest.raises(RuntimeError, match=pure("close")):
        TelemRecorder.close(Late())


class Boom(Exception):
    pass


@pytest.mark.parametrize(
    "error",
    [Boom("boom"), TelemException("telemetry failed"), KeyError("k")],
    ids=["a Python exception", "a TelemException", "a KeyError"],
)
@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda r: r.record_value(1), id="through record_value"),
        pytest.param(lambda r: TelemRecorder.record_point(r, TsPoint()), id="through record_point"),
        pytest.param(lambda r: r.record_metadata_kv({"tsid": "a"}), id="through record_metadata_kv"),
        pytest.param(lambda r: TelemRecorder.close(r), id="through close"),
    ],
)
def test_override_exception_passes_through_unchanged(error, call):
    class Failing(TelemRecorder):
        def record_point(self, point):
            raise error

        def record_metadata(self, meta):
            raise error

        def close(self):
            raise error

    recorder = Failing()
    with pytest.raises(type(error)) as exc:
        call(recorder)
    assert exc.value is error
    frames = []
    tb = exc.value.__traceback__
    while tb is not None:
        frames.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert frames[-1] in ("record_point", "record_metadata", "close")
    # The recorder stays usable.
    with pytest.raises(type(error)):
        call(recorder)


@pytest.mark.parametrize(
    "call, name, signature",
    [
        pytest.param(lambda r: r.record_point(None), "record_point",
                     "(self: telem_pyb.TelemRecorder, arg0: telem_pyb.TsPoint) -> None",
                     id="record_point refuses None"),
        pytest.param(lambda r: r.record_point(TsMetadata()), "record_point",
                     "(self: telem_pyb.TelemRecorder, arg0: telem_pyb.TsPoint) -> None",
                     id="record_point refuses metadata"),
        pytest.param(lambda r: r.record_metadata(None), "record_metadata",
                     "(self: telem_pyb.TelemRecorder, arg0: telem_pyb.TsMetadata) -> None",
                     id="record_metadata refuses None"),
        pytest.param(lambda r: r.record_value(), "record_value",
                     "(self: telem_pyb.TelemRecorder, arg0: Union[bool, int, float, str]) -> None",
                     id="record_value needs its argument"),
        pytest.param(lambda r: r.close(1), "close", "(self: telem_pyb.TelemRecorder) -> None",
                     id="close takes no argument"),
    ],
)
def test_wrong_arguments_are_refused_before_native_code_runs(call, name, signature):
    recorder = TelemRecorder()
    with pytest.raises(TypeError) as exc:
        call(recorder)
    assert str(exc.value).startswith(incompatible_prefix(name, signature) + repr(recorder))


def test_subclass_that_skips_base_init_names_the_bound_class():
    class Lazy(TelemRecorder):
        def __init__(self):
            pass

    with pytest.raises(TypeError) as exc:
        Lazy()
    assert str(exc.value) == "telem_pyb.TelemRecorder.__init__() must be called when overriding __init__"


def test_init_with_a_foreign_self_is_refused():
    with pytest.raises(TypeError) as exc:
        TelemRecorder.__init__(object())
    assert str(exc.value) == "__init__(self, ...) called with invalid or missing `self` argument"


def test_constructor_takes_no_arguments():
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        TelemRecorder(1)


def test_second_init_leaves_the_recorder_working():
    sink = Sink()
    assert TelemRecorder.__init__(sink) is None
    sink.record_value(5)
    assert [p.value for p in sink.points] == [5]


def test_init_after_new_makes_a_working_recorder():
    recorder = Sink.__new__(Sink)
    Sink.__init__(recorder)
    recorder.record_metadata_kv({"units": "A"})
    assert recorder.metadata[0].units == "A"


_RECORDER_MEMBERS = [
    ("TelemRecorder.close(X)", "close", "(self: telem_pyb.TelemRecorder) -> None"),
    ("TelemRecorder.record_point(X, TsPoint())", "record_point",
     "(self: telem_pyb.TelemRecorder, arg0: telem_pyb.TsPoint) -> None"),
    ("TelemRecorder.record_metadata(X, TsMetadata())", "record_metadata",
     "(self: telem_pyb.TelemRecorder, arg0: telem_pyb.TsMetadata) -> None"),
    ("TelemRecorder.record_value(X, 1)", "record_value",
     "(self: telem_pyb.TelemRecorder, arg0: Union[bool, int, float, str]) -> None"),
    ("TelemRecorder.record_metadata_kv(X, {})", "record_metadata_kv", KV_SIG),
]
_RECORDER_SELVES = {
    "None": "None",
    "an uninitialised recorder": "TelemRecorder.__new__(TelemRecorder)",
    "an uninitialised subclass instance": "SubRecorder.__new__(SubRecorder)",
}


@pytest.mark.parametrize(
    "statement, name, signature",
    [
        pytest.param(stmt.replace("X", self_expr), name, sig, id=f"{name} refuses {label} as self")
        for label, self_expr in _RECORDER_SELVES.items()
        for stmt, name, sig in _RECORDER_MEMBERS
    ]
    + [
        pytest.param("TelemRecorder.record_point(SubRecorder(), TsPoint.__new__(TsPoint))", "record_point",
                     _RECORDER_MEMBERS[1][2], id="record_point refuses an uninitialised point"),
        pytest.param("TelemRecorder.record_metadata(SubRecorder(), SubMetadata.__new__(SubMetadata))",
                     "record_metadata", _RECORDER_MEMBERS[2][2], id="record_metadata refuses uninitialised metadata"),
    ],
)
def test_member_refuses_missing_native_object(statement, name, signature):
    assert run_isolated(statement).startswith(incompatible_prefix(name, signature))


def test_records_from_many_threads_all_arrive():
    sink = Sink()
    lock = threading.Lock()
    errors = []

    def feed(offset):
        try:
            for i in range(300):
                sink.record_value(offset + i)
        except Exception as exc:  # surfaced through `errors`
            with lock:
                errors.append(exc)

    threads = [threading.Thread(target=feed, args=(k * 1000,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert sorted(p.value for p in sink.points) == [k * 1000 + i for k in range(6) for i in range(300)]


def test_calls_do_not_leak_references():
    class Failing(TelemRecorder):
        def record_point(self, point):
            raise Boom()

    keep, failing = Sink(), Failing()
    point, value, refused = TsPoint(), 12345.5, object()
    before = [sys.getrefcount(o) for o in (point, value, refused)]
    for _ in range(500):
        TelemRecorder.record_point(keep, point)
        with pytest.raises(Boom):
            failing.record_value(value)
        with pytest.raises(TypeError):
            failing.record_value(refused)
    keep.points.clear()
    assert [sys.getrefcount(o) for o in (point, value, refused)] == before


def test_copies_handed_to_overrides_are_released_after_the_call():
    class Watcher(TelemRecorder):
        def record_point(self, point):
            self.seen = weakref.ref(point)

        def record_metadata(self, meta):
            self.seen = weakref.ref(meta)

    watcher = Watcher()
    watcher.record_value("v")
    assert watcher.seen() is None
    watcher.record_metadata_kv({"tsid": "1"})
    assert watcher.seen() is None



def recursion_depth(call):
    """How deep two recorders calling each other through `call` get before RecursionError."""
    reached = []

    class Chain(telem_pyb.TelemRecorder):
        def record_point(self, point):
            reached.append(point)
            call(self.other)

        def record_metadata(self, meta):
            pass

        def close(self):
            pass

    a, b = Chain(), Chain()
    a.other, b.other = b, a
    with pytest.raises(RecursionError):
        call(a)
    return len(reached)


@isolated
def test_record_value_counts_recursion_as_the_dispatcher_does():
    # A limit on Python frames high enough that the limit on C calls decides.
    sys.setrecursionlimit(100_000)
    function = telem_pyb.TelemRecorder.record_value.__func__
    through_entry = recursion_depth(lambda r: r.record_value(1))
    assert through_entry == recursion_depth(lambda r: type(function).__call__(function, r, 1))
    assert through_entry == recursion_depth(lambda r: telem_peer.record_value(r, 1))


@pytest.mark.parametrize(
    "name, calls_base",
    [
        pytest.param("".join(["record", "_point"]), True, id="the name, not interned"),
        pytest.param("record_poinT", False, id="another name of that length"),
        pytest.param("record_poïnt", False, id="a name with a character beyond ASCII"),
    ],
)
def test_recursion_guard_compares_the_frames_function_name_by_text(name, calls_base):
    class Calling(TelemRecorder):
        def record_point(self, point):
            self.depth = getattr(self, "depth", 0) + 1
            if self.depth < 3:
                TelemRecorder.record_point(self, point)

    Calling.record_point.__code__ = Calling.record_point.__code__.replace(co_name=name)
    rec = Calling()
    if calls_base:
        with pytest.raises(RuntimeError, match=r'"type::record_point"'):
            rec.record_value(1)
        assert rec.depth == 1
    else:
        rec.record_value(1)
        assert rec.depth == 3
