"""telem_pyb's recorders and exceptions as native code of another module sees them.

The peer module telem_peer receives recorders through pybind11's shared type
registry and calls them natively, from the calling thread or from native
threads that never had a Python thread state. Tests that could crash the
interpreter run their body in a fresh interpreter (see `isolated`).
"""

import collections
import gc
import re
import weakref

import pytest

import telem_pyb
import telem_peer
from helpers import CALLER_NOTING_RECORDER, PURE, expect_pure_virtual, isolated

TelemRecorder = telem_pyb.TelemRecorder
TelemException = telem_pyb.TelemException
TsMetadata = telem_pyb.TsMetadata
TsPoint = telem_pyb.TsPoint

FIELDS = ("tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json")


# The operation letters of telem_peer.run_threads and the Python method each ends in.
OP_TARGET = {"m": "record_metadata", "k": "record_metadata", "p": "record_point", "v": "record_point", "c": "close"}

THREADS = 8
CALLS = 2000

# One sample value of each alternative, with edge values of the integer range.
VALUES = [True, False, 0, -(2**63), 2**63 - 1, 2.5, -0.0, "text é", ""]


def fields(meta):
    return {f: getattr(meta, f) for f in FIELDS}


class Collecting(TelemRecorder):
    """Keeps every record it receives."""

    def __init__(self):
        super().__init__()
        self.points = []
        self.metadata = []
        self.closes = []

    def record_point(self, point):
        self.points.append(point)

    def record_metadata(self, meta):
        self.metadata.append(meta)

    def close(self):
        self.closes.append(None)
        return "ignored"


class Mutating(Collecting):
    """Keeps what it receives and then changes it."""

    def record_point(self, point):
        super().record_point(point)
        point.value = 99
        point.mtime = "changed"

    def record_metadata(self, meta):
        super().record_metadata(meta)
        for f in FIELDS:
            setattr(meta, f, "changed")


class PointOnly(TelemRecorder):
    """Defines record_point alone; the other two operations have no override."""

    def __init__(self):
        super().__init__()
        self.points = []

    def record_point(self, point):
        self.points.append(point)


class Raising(TelemRecorder):
    """Counts each call, then raises `exc_type` with "<method> refused"."""

    def __init__(self, exc_type):
        super().__init__()
        self.exc_type = exc_type
        self.calls = collections.Counter()
        self.raised = []

    def _fail(self, name):
        self.calls[name] += 1
        exc = self.exc_type(f"{name} refused")
        self.raised.append(exc)
        raise exc

    def record_point(self, point):
        self._fail("record_point")

    def record_metadata(self, meta):
        self._fail("record_metadata")

    def close(self):
        self._fail("close")


# ---------------------------------------------------------------------------
# Native calls with the lock held


def test_native_record_metadata_reaches_python_with_all_fields():
    rec = Collecting()
    given = {f: f"{f} value" for f in FIELDS}
    given["comment"] = "spaces, é and \N{SNOWMAN}"
    after = telem_peer.record_metadata(rec, **given)
    assert len(rec.metadata) == 1
    assert type(rec.metadata[0]) is TsMetadata
    assert fields(rec.metadata[0]) == given
    assert after == {f: v.encode() for f, v in given.items()}
    assert rec.points == [] and rec.closes == []


def test_native_record_metadata_kv_routes_to_record_metadata():
    rec = Collecting()
    telem_peer.record_metadata_kv(rec, {"tsid": "id 7", "TSNAME": "caps", "units": "V", "extra": "x", b"json": b"{}"})
    assert len(rec.metadata) == 1
    expected = dict.fromkeys(FIELDS, "")
    expected.update(tsid="id 7", units="V", json="{}")
    assert fields(rec.metadata[0]) == expected
    assert rec.points == []


def test_native_record_metadata_kv_with_empty_map_calls_once_with_empty_fields():
    rec = Collecting()
    telem_peer.record_metadata_kv(rec, {})
    assert [fields(m) for m in rec.metadata] == [dict.fromkeys(FIELDS, "")]


@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_native_record_point_reaches_python(value):
    rec = Collecting()
    after = telem_peer.record_point(rec, value, "2024-01-01T00:00:00Z")
    assert len(rec.points) == 1
    got = rec.points[0]
    assert type(got) is TsPoint
    assert type(got.value) is type(value) and got.value == value
    assert got.mtime == "2024-01-01T00:00:00Z"
    assert after == (value, b"2024-01-01T00:00:00Z")


@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_native_record_value_reaches_record_point_with_fresh_point(value):
    rec = Collecting()
    telem_peer.record_value(rec, value)
    telem_peer.record_value(rec, value)
    assert len(rec.points) == 2
    first, second = rec.points
    assert first is not second
    for got in rec.points:
        assert type(got) is TsPoint
        assert type(got.value) is type(value) and got.value == value
        assert got.mtime == ""
    assert rec.metadata == []


def test_native_close_reaches_python_and_its_result_is_ignored():
    rec = Collecting()
    telem_peer.close(rec)
    telem_peer.close(rec)
    assert rec.closes == [None, None]
    assert rec.points == [] and rec.metadata == []


def test_native_records_reach_python_as_copies():
    rec = Mutating()
    after_point = telem_peer.record_point(rec, "native value", "t0")
    after_meta = telem_peer.record_metadata(rec, tsid="id", units="V")
    # The native records are as they were; the Python copies took the changes
    # and stay readable after the native records are gone.
    assert after_point == ("native value", b"t0")
    assert after_meta["tsid"] == b"id" and after_meta["units"] == b"V"
    assert (rec.points[0].value, rec.points[0].mtime) == (99, "changed")
    assert set(fields(rec.metadata[0]).values()) == {"changed"}


def test_records_owned_by_python_objects_arrive_as_those_objects():
    rec = Collecting()
    point = TsPoint()
    point.value = 4
    meta = TsMetadata()
    meta.tsid = "x"
    telem_peer.record_point_object(rec, point)
    telem_peer.record_metadata_object(rec, meta)
    assert rec.points[0] is point
    assert rec.metadata[0] is meta


CALLERS = {
    "m": lambda rec: telem_peer.record_metadata(rec, tsid="a"),
    "k": lambda rec: telem_peer.record_metadata_kv(rec, {"tsid": "a"}),
    "p": lambda rec: telem_peer.record_point(rec, 1, "t"),
    "v": lambda rec: telem_peer.record_value(rec, 1),
    "c": lambda rec: telem_peer.close(rec),
}


@pytest.mark.parametrize("op", list(CALLERS))
def test_native_call_without_override_raises_runtime_error(op):
    for rec in (TelemRecorder(), PointOnly()):
        if isinstance(rec, PointOnly) and OP_TARGET[op] == "record_point":
            CALLERS[op](rec)
            assert len(rec.points) == 1
            continue
        with pytest.raises(RuntimeError) as info:
            CALLERS[op](rec)
        assert type(info.value) is RuntimeError
        assert str(info.value) == PURE[OP_TARGET[op]]


@pytest.mark.parametrize("exc_type", [ValueError, TelemException])
@pytest.mark.parametrize("op", list(CALLERS))
def test_python_exception_in_override_reaches_python_caller_unchanged(op, exc_type):
    rec = Raising(exc_type)
    with pytest.raises(exc_type) as info:
        CALLERS[op](rec)
    assert info.value is rec.raised[-1]
    assert str(info.value) == f"{OP_TARGET[op]} refused"
    assert rec.calls == {OP_TARGET[op]: 1}
    # The recorder stays usable.
    with pytest.raises(exc_type):
        CALLERS[op](rec)
    assert rec.calls == {OP_TARGET[op]: 2}


# ---------------------------------------------------------------------------
# Native threads without the lock


def _expected_errors(ops, failing, kind, type_name):
    """Per-thread {message first line: count} for the calls whose target fails."""
    counts = collections.Counter()
    for j in range(CALLS):
        target = OP_TARGET[ops[j % len(ops)]]
        if target in failing:
            counts[failing[target]] += 1
    return {(kind, type_name, message): n for message, n in counts.items()}


def _first_lines(errors):
    counts = collections.Counter()
    for (kind, type_name, message), n in errors.items():
        counts[(kind, type_name, message.split("\n")[0])] += n
    return dict(counts)


@isolated
def test_calls_from_native_threads_arrive_exactly_once():
    ops = "mkpvc"
    rec = Collecting()
    result = telem_peer.run_threads(rec, THREADS, CALLS, ops)
    assert result == [{"ok": CALLS, "errors": {}}] * THREADS

    expected = collections.defaultdict(list)
    for t in range(THREADS):
        for j in range(CALLS):
            ident = t * CALLS + j
            expected[ops[j % len(ops)]].append(ident)
    want_points = sorted([(i, str(i)) for i in expected["p"]] + [(i, "") for i in expected["v"]])
    want_meta = sorted([(str(i), "direct") for i in expected["m"]] + [(str(i), "kv") for i in expected["k"]])
    assert sorted((p.value, p.mtime) for p in rec.points) == want_points
    assert all(type(p.value) is int for p in rec.points)
    assert sorted((m.tsid, m.btype) for m in rec.metadata) == want_meta
    assert len(rec.closes) == len(expected["c"])


def test_repeated_calls_on_the_calling_thread_arrive_in_order():
    rec = Collecting()
    telem_peer.repeat_calls(rec, "pvc", 6)
    assert [(p.value, p.mtime) for p in rec.points] == [(0, "0"), (1, ""), (3, "3"), (4, "")]
    assert len(rec.closes) == 2


def test_repeated_calls_stop_at_the_first_failure():
    rec = PointOnly()
    with pytest.raises(RuntimeError, match="type::close"):
        telem_peer.repeat_calls(rec, "pc", 10)
    assert [(p.value, p.mtime) for p in rec.points] == [(0, "0")]


@pytest.mark.parametrize("kind", ["plain", "point_only"])
@isolated
def test_pure_virtual_failures_reach_native_threads(kind):
    ops = "mkpvc"
    rec = TelemRecorder() if kind == "plain" else PointOnly()
    failing = dict(PURE)
    if kind == "point_only":
        del failing["record_point"]
    result = telem_peer.run_threads(rec, THREADS, CALLS, ops)
    errors = _expected_errors(ops, failing, "std", "runtime_error")
    ok = CALLS - sum(errors.values())
    assert result == [{"ok": ok, "errors": errors}] * THREADS
    if kind == "point_only":
        assert len(rec.points) == ok * THREADS


@pytest.mark.parametrize("exc_name", ["ValueError", "TelemException"])
@isolated
def test_python_exception_in_override_reaches_native_threads(exc_name):
    ops = "mkpvc"
    exc_type = {"ValueError": ValueError, "TelemException": TelemException}[exc_name]
    rec = Raising(exc_type)
    result = telem_peer.run_threads(rec, THREADS, CALLS, ops)
    failing = {op: f"{exc_name}: {op} refused" for op in PURE}
    errors = _expected_errors(ops, failing, "python", exc_name)
    assert [(r["ok"], _first_lines(r["errors"])) for r in result] == [(0, errors)] * THREADS
    per_target = collections.Counter()
    for op, n in collections.Counter(ops[j % len(ops)] for j in range(CALLS)).items():
        per_target[OP_TARGET[op]] += n * THREADS
    assert rec.calls == per_target


# ---------------------------------------------------------------------------
# A recorder kept natively after its Python object is gone


@isolated
def test_recorder_kept_natively_fails_after_python_object_is_gone():
    rec = Collecting()
    rec.cycle = rec  # only the collector frees it
    alive = weakref.ref(rec)
    holder = telem_peer.RecorderHolder(rec)
    assert holder.use_count() == 2
    holder.record_value(1)
    holder.record_metadata_kv({"tsid": "a"})
    holder.close()
    assert [p.value for p in rec.points] == [1]
    assert [m.tsid for m in rec.metadata] == ["a"]
    assert len(rec.closes) == 1

    del rec
    gc.collect()
    assert alive() is None
    assert holder.use_count() == 1

    expect_pure_virtual(holder)

    result = holder.run_threads(4, 500, "mkpvc")
    errors = collections.Counter()
    for j in range(500):
        errors[("std", "runtime_error", PURE[OP_TARGET["mkpvc"[j % 5]]])] += 1
    assert result == [{"ok": 0, "errors": dict(errors)}] * 4


# ---------------------------------------------------------------------------
# A recorder implemented natively in the peer, called through telem_pyb


def _bound_calls():
    point = TsPoint()
    point.value = -5
    point.mtime = "t"
    meta = TsMetadata()
    meta.tsid = "m"
    return {
        "record_point": ("RecordPoint", lambda n: TelemRecorder.record_point(n, point)),
        "record_metadata": ("RecordMetadata", lambda n: TelemRecorder.record_metadata(n, meta)),
        "close": ("Close", lambda n: TelemRecorder.close(n)),
        "record_value": ("RecordPoint", lambda n: TelemRecorder.record_value(n, True)),
        "record_metadata_kv": ("RecordMetadata", lambda n: TelemRecorder.record_metadata_kv(n, {"tsid": "k"})),
    }


MESSAGE = "disk full: é \N{SNOWMAN}"


@pytest.mark.parametrize(
    ("mode", "expected"), [("telem", TelemException), ("derived", TelemException), ("norv", RuntimeError)]
)
@pytest.mark.parametrize("method", list(_bound_calls()))
def test_native_recorder_exceptions_through_bound_methods(method, mode, expected):
    native = telem_peer.NativeRecorder(mode, MESSAGE)
    assert isinstance(native, TelemRecorder)
    operation, call = _bound_calls()[method]
    with pytest.raises(expected) as info:
        call(native)
    assert type(info.value) is expected
    assert str(info.value) == f"{operation}: {MESSAGE}"
    assert info.value.args == (f"{operation}: {MESSAGE}",)
    received = {"RecordPoint": len(native.points), "RecordMetadata": len(native.metadata), "Close": native.closes}
    assert received == {op: int(op == operation) for op in received}


def test_native_recorder_receives_calls_of_bound_methods():
    native = telem_peer.NativeRecorder("none")
    for _, call in _bound_calls().values():
        call(native)
    TelemRecorder.record_value(native, 2.5)
    TelemRecorder.record_metadata_kv(native, {"Units": "no", "units": "V", "other": "x"})
    assert [(type(p.value), p.value, p.mtime) for p in native.points] == [
        (int, -5, "t"),
        (bool, True, ""),
        (float, 2.5, ""),
    ]
    expected = [dict.fromkeys(FIELDS, "") for _ in range(3)]
    expected[0]["tsid"] = "m"
    expected[1]["tsid"] = "k"
    expected[2]["units"] = "V"
    assert [fields(m) for m in native.metadata] == expected
    assert native.closes == 1


@pytest.mark.parametrize(
    ("thrower", "expected"),
    [
        (telem_peer.throw_telem, TelemException),
        (telem_peer.throw_telem_derived, TelemException),
        (telem_peer.throw_norv_base, RuntimeError),
        (telem_peer.throw_norv, RuntimeError),
    ],
    ids=lambda v: getattr(v, "__name__", None),
)
def test_exceptions_thrown_in_another_module(thrower, expected):
    with pytest.raises(expected) as info:
        thrower(MESSAGE)
    assert type(info.value) is expected
    assert info.value.args == (MESSAGE,)


# ---------------------------------------------------------------------------
# An instance of the peer's class that __init__ never initialised


@pytest.mark.parametrize("method", ["record_point", "close", "record_value", "record_metadata_kv", "record_metadata"])
@isolated
def test_uninitialised_native_recorder_is_refused(method):
    point, meta = TsPoint(), TsMetadata()
    args = {
        "record_point": (point,),
        "record_metadata": (meta,),
        "close": (),
        "record_value": (1,),
        "record_metadata_kv": ({},),
    }[method]
    bound = getattr(TelemRecorder, method)
    # The same call on an initialised instance works, so the refusal is about self.
    bound(telem_peer.NativeRecorder("none"), *args)
    blank = telem_peer.NativeRecorder.__new__(telem_peer.NativeRecorder)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        bound(blank, *args)


# ---------------------------------------------------------------------------
# Subinterpreters that share the main interpreter's lock (legacy ones)

SUBINTERPRETER_SCRIPT = """
import telem_peer
from telem_pyb import TelemRecorder, TsPoint

class Recorder(TelemRecorder):
    def record_point(self, point):
        seen.append(("point", point.value))

    def record_metadata(self, meta):
        seen.append(("metadata", meta.tsid))

    def close(self):
        seen.append(("close",))

seen = []
recorder = Recorder()
recorder.record_value(1.5)
recorder.record_metadata_kv({"tsid": "sub"})
TelemRecorder.close(recorder)
telem_peer.record_value(recorder, 2)  # a native call on a thread that holds the lock
try:
    TelemRecorder().close()
except RuntimeError as exc:
    seen.append(("RuntimeError", str(exc)))
point = TsPoint()
point.value = 3
seen.append(("value_str", point.value_str()))
expected = [("point", 1.5), ("metadata", "sub"), ("close",), ("point", 2),
            ("RuntimeError", 'Tried to call pure virtual function "type::close"'), ("value_str", TsPoint.value_str(point))]
assert seen == expected, seen
"""


@isolated(timeout=60)
def test_legacy_subinterpreter_calls_reach_python_methods():
    import _xxsubinterpreters as interpreters

    sub = interpreters.create(isolated=False)
    interpreters.run_string(sub, SUBINTERPRETER_SCRIPT)  # raises RunFailedError if an assertion fails
    interpreters.destroy(sub)


@isolated(timeout=60)
def test_isolated_subinterpreter_refuses_the_import():
    import _xxsubinterpreters as interpreters

    sub = interpreters.create(isolated=True)
    with pytest.raises(interpreters.RunFailedError, match="does not support loading in subinterpreters"):
        interpreters.run_string(sub, "import telem_pyb")
    interpreters.destroy(sub)


SUBMODULE_IMPORTS = [
    "from telem_pyb.backend.log import ConvertPointToDb, Point",
    "import telem_pyb.backend.log as log; ConvertPointToDb, Point = log.ConvertPointToDb, log.Point",
    "import telem_pyb.backend; from telem_pyb.backend import log; ConvertPointToDb, Point = log.ConvertPointToDb, "
    "log.Point",
    "import telem_pyb_log; from telem_pyb_log import SqliteRecorder; from telem_pyb.backend.log import "
    "ConvertPointToDb, Point",
]


@isolated(timeout=60)
def test_legacy_subinterpreter_imports_the_submodules_by_name():
    import _xxsubinterpreters as interpreters

    from telem_pyb.backend import log

    shared = log.Point
    for statement in SUBMODULE_IMPORTS:
        sub = interpreters.create(isolated=False)
        interpreters.run_string(sub, statement + """
import telem_pyb
assert Point is telem_pyb.backend.log.Point and ConvertPointToDb is telem_pyb.backend.log.ConvertPointToDb
meta, point = telem_pyb.TsMetadata(), telem_pyb.TsPoint()
meta.tsname, point.value = "sub", 4
assert ConvertPointToDb(meta, point).value == "4"
""")
        interpreters.destroy(sub)
    # Ending the subinterpreters cleared only modules of their own.
    assert log.Point is shared and callable(log.ConvertPointToDb)


SUBINTERPRETER_RECORDER = """
import telem_peer
from telem_pyb import TelemRecorder

class Counting(TelemRecorder):
    def record_point(self, point):
        pass

    def record_metadata(self, meta):
        pass

    def close(self):
        pass

recorder = Counting()
telem_peer.stash_recorder(recorder)
"""


@isolated(timeout=300)
def test_subinterpreter_ending_while_native_threads_call_its_recorder():
    import _xxsubinterpreters as interpreters
    import time

    from helpers import SANITIZED

    refused = ("telem_pyb: the recorder's Python interpreter is not running (it finalizes or has ended); its Python "
               "methods cannot be called")
    allowed = {("std", "runtime_error", message) for message in (*PURE.values(), refused)} | {("python", "", "")}
    for _ in range(8 if SANITIZED else 30):
        sub = interpreters.create(isolated=False)
        interpreters.run_string(sub, SUBINTERPRETER_RECORDER)
        holder = telem_peer.take_stashed_recorder()
        calls = telem_peer.BackgroundCalls(holder, 4, "mpvkc")
        while calls.succeeded() < 20:
            time.sleep(0.0005)
        interpreters.destroy(sub)  # while the threads call
        time.sleep(0.002)
        outcomes = calls.stop()
        errors = collections.Counter()
        for outcome in outcomes:
            errors.update(outcome["errors"])
        assert set(errors) <= allowed, errors
        # The recorder went with its interpreter: every call is refused.
        for call in (lambda: holder.record_value(1), holder.close, lambda: holder.record_metadata_kv({})):
            with pytest.raises(RuntimeError, match="^" + re.escape(refused) + "$"):
                call()


EXIT_SCRIPT = CALLER_NOTING_RECORDER + """
import time
import telem_peer

recorder = CallerNoting()
calls = telem_peer.BackgroundCalls(recorder, 4, "pv", keep_thread_state={keep}, report=True)
while len(callers) < 4:
    time.sleep(0.001)
# The script ends while every thread calls.
"""


@pytest.mark.parametrize("keep", [False, True], ids=["a thread state per call", "a kept thread state"])
def test_script_ending_while_native_threads_call(keep):
    from helpers import SANITIZED, run_python

    for _ in range(3 if SANITIZED else 10):
        result = run_python(EXIT_SCRIPT.format(keep=keep))
        assert result.returncode == 0, result.stderr
        ends = [line for line in result.stderr.splitlines() if line.startswith("background thread ended")]
        # Every thread ended before the interpreter did, on a refused call.
        assert len(ends) == 4, result.stderr
        assert all(line.endswith("refused=1 other=0") for line in ends), ends


SUBINTERPRETER_KEEPING = """
import telem_peer
from telem_pyb import TelemRecorder

class Keeping(TelemRecorder):
    def record_point(self, point):
        seen.append(point.value)

    def record_metadata(self, meta):
        seen.append(meta.tsid)

    def close(self):
        seen.append("closed")

seen = []
recorder = Keeping()
telem_peer.stash_recorder(recorder)
"""


@isolated(timeout=120)
def test_subinterpreter_recorder_called_from_the_main_interpreter_and_native_threads():
    # Each subinterpreter's class is new, and its methods are looked up under a
    # thread state of that subinterpreter, never through another one's caches.
    import _xxsubinterpreters as interpreters

    for n in range(10):
        sub = interpreters.create(isolated=False)
        interpreters.run_string(sub, SUBINTERPRETER_KEEPING)
        holder = telem_peer.take_stashed_recorder()
        holder.record_value(n)  # from the main interpreter's thread
        holder.record_metadata(tsid=str(n))
        results = holder.run_threads(2, 50, "v")  # from native threads without a thread state
        holder.close()
        assert all(r == {"ok": 50, "errors": {}} for r in results), results
        interpreters.run_string(sub, f"assert seen[:2] == [{n}, {str(n)!r}] and seen[-1] == 'closed', seen\n"
                                     "assert len(seen) == 103, len(seen)")
        interpreters.destroy(sub)
