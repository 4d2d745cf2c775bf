"""Runs every operation of telem_pyb many times and reports what each left behind.

    python tests/leak_workloads.py --calls N [--group NAME ...] [--expect-module DIR] [--measure]

Each operation is called N times (a few, such as the thread runs, fewer; see
`Op.divisor`) after a warm-up that fills the interpreter's free lists and
caches. With --measure, the script prints one JSON object per operation with
the state before and after the N calls: the reference counts of the objects the
operation passes in, the number of objects the collector tracks, the blocks of
Python's allocator, the bytes in use in the C heap (glibc's mallinfo2) and the
resident set size. In a process that runs AddressSanitizer, it then asks
LeakSanitizer, once all operations have run, for blocks that nothing refers to
any more.

Without --measure it only makes the calls, for a run under valgrind.
"""

from __future__ import annotations

import argparse
import ctypes
import decimal
import gc
import itertools
import json
import os
import pathlib
import sys

import telem_pyb
from telem_pyb import TelemException, TelemRecorder, TsMetadata, TsPoint
from telem_pyb.backend.log import ConvertPointToDb, Point

try:
    import telem_peer
except ImportError:  # the native group needs the test peer module
    telem_peer = None

METADATA_FIELDS = ("tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json")
POINT_FIELDS = ("mtime", "tsname", "value", "btype", "units", "comment", "origin")

# Everything an operation uses lives here, in module globals: LeakSanitizer does
# not scan the interpreter's frame stack (mapped memory, not heap), so objects
# held only by local variables could look lost to it.
KEEP: list = []


def fresh_text(text: str) -> str:
    """A str equal to `text` that is a new object, not an interned constant."""
    return "".join(list(text))


class Op:
    """One operation: `fn` makes one call; `watched` are the objects it passes in."""

    def __init__(self, group, name, fn, watched=(), divisor=1):
        self.group, self.name, self.fn, self.watched, self.divisor = group, name, fn, tuple(watched), divisor
        KEEP.append(self)


OPS: list[Op] = []


def op(group, name, watched=(), divisor=1):
    def register(fn):
        OPS.append(Op(group, name, fn, watched, divisor))
        return fn

    return register


def raises(exc_type, fn, *args):
    """Calls fn(*args), which must raise exc_type."""
    try:
        fn(*args)
    except exc_type:
        return
    raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")


# ---------------------------------------------------------------------------
# Records


class IndexOnly:
    def __index__(self):
        return 12


class Surrogate:
    pass


BIG_INT = 1 << 40  # not one of the interpreter's cached small ints
FLOAT = 2.5 + 0.0 * len(sys.argv)  # a float object made at run time
TEXT = fresh_text("text é ☃")
RAW = b"raw bytes"
ARRAY = bytearray(b"array")
DECIMAL = decimal.Decimal("3.25")
INDEX = IndexOnly()
REFUSED = [1]
LONE_SURROGATE = fresh_text("a\ud800")
BEYOND_64_BITS = 1 << 70
KEEP.extend([BIG_INT, FLOAT, TEXT, RAW, ARRAY, DECIMAL, INDEX, REFUSED, LONE_SURROGATE, BEYOND_64_BITS])

op("records", "TsPoint()")(lambda: TsPoint())
op("records", "TsMetadata()")(lambda: TsMetadata())
op("records", "Point()")(lambda: Point())

POINT = TsPoint()
KEEP.append(POINT)


def _value_setter(value):
    def set_value():
        POINT.value = value

    return set_value


for _label, _value in [
    ("int", BIG_INT),
    ("float", FLOAT),
    ("str", TEXT),
    ("bytes", RAW),
    ("bytearray", ARRAY),
    ("bool", True),
    ("None", None),
    ("Decimal", DECIMAL),
    ("__index__ object", INDEX),
]:
    op("records", f"TsPoint.value = {_label}", watched=[_value])(_value_setter(_value))


def _refused_value(value):
    def set_refused():
        raises(TypeError, setattr, POINT, "value", value)

    return set_refused


op("records", "TsPoint.value = list (TypeError)", watched=[REFUSED])(_refused_value(REFUSED))
op("records", "TsPoint.value = lone surrogate (TypeError)", watched=[LONE_SURROGATE])(_refused_value(LONE_SURROGATE))
op("records", "TsPoint.value = int beyond 64 bits (TypeError)", watched=[BEYOND_64_BITS])(
    _refused_value(BEYOND_64_BITS)
)

VALUE_POINTS = {}
for _label, _value in [("int", BIG_INT), ("float", FLOAT), ("str", TEXT), ("bool", False)]:
    _p = TsPoint()
    _p.value = _value
    VALUE_POINTS[_label] = _p
    op("records", f"TsPoint.value get ({_label})")((lambda p: lambda: p.value)(_p))
    op("records", f"TsPoint.value_str() ({_label})")((lambda p: lambda: p.value_str())(_p))

BAD_UTF8 = TsPoint()
BAD_UTF8.value = b"\xff\xfe"
BAD_UTF8.mtime = b"\xff"
KEEP.extend([VALUE_POINTS, BAD_UTF8])
op("records", "TsPoint.value get of non-UTF-8 (UnicodeDecodeError)")(
    lambda: raises(UnicodeDecodeError, getattr, BAD_UTF8, "value")
)
op("records", "TsPoint.value_str() of non-UTF-8 (UnicodeDecodeError)")(
    lambda: raises(UnicodeDecodeError, BAD_UTF8.value_str)
)


def _set_mtime():
    POINT.mtime = TEXT


op("records", "TsPoint.mtime = str", watched=[TEXT])(_set_mtime)
op("records", "TsPoint.mtime get")(lambda: POINT.mtime)

# The same through pybind11's dispatcher (tp_call) instead of the fast entries.
TP_CALL = type(TsPoint.mtime.fget).__call__
KEEP.append(TP_CALL)
op("records", "TsPoint.mtime get through tp_call")(lambda: TP_CALL(TsPoint.mtime.fget, POINT))
op("records", "TsPoint.mtime = str through tp_call", watched=[TEXT])(
    lambda: TP_CALL(TsPoint.mtime.fset, POINT, TEXT)
)
op("records", "TsPoint() init through tp_call")(
    lambda: TP_CALL(TsPoint.__init__.__func__, TsPoint.__new__(TsPoint))
)

# ---------------------------------------------------------------------------
# Text fields of TsMetadata and Point

META = TsMetadata()
LOG_POINT = Point()
KEEP.extend([META, LOG_POINT])


def _field_ops(obj, cls_name, fields):
    for field in fields:
        setattr(obj, field, TEXT)

        def set_field(field=field):
            setattr(obj, field, TEXT)

        op("fields", f"{cls_name}.{field} = str", watched=[TEXT])(set_field)
        op("fields", f"{cls_name}.{field} get")((lambda field: lambda: getattr(obj, field))(field))


_field_ops(META, "TsMetadata", METADATA_FIELDS)
_field_ops(LOG_POINT, "Point", POINT_FIELDS)


def _set_units_bytes():
    META.units = RAW


op("fields", "TsMetadata.units = bytes", watched=[RAW])(_set_units_bytes)
op("fields", "TsMetadata.units = int (TypeError)", watched=[BIG_INT])(
    lambda: raises(TypeError, setattr, META, "units", BIG_INT)
)
op("fields", "Point.value = float (TypeError)", watched=[FLOAT])(
    lambda: raises(TypeError, setattr, LOG_POINT, "value", FLOAT)
)
BAD_META = TsMetadata()
BAD_META.comment = b"\xc3"
KEEP.append(BAD_META)
op("fields", "TsMetadata.comment get of non-UTF-8 (UnicodeDecodeError)")(
    lambda: raises(UnicodeDecodeError, getattr, BAD_META, "comment")
)

# ---------------------------------------------------------------------------
# Recorders


class Discarding(TelemRecorder):
    """Overrides the three operations and keeps nothing."""

    def record_point(self, point):
        pass

    def record_metadata(self, meta):
        pass

    def close(self):
        pass


class Raising(TelemRecorder):
    def record_point(self, point):
        raise ValueError("refused")

    def record_metadata(self, meta):
        raise TelemException("refused")

    def close(self):
        raise KeyError("refused")


class SuperCalling(TelemRecorder):
    """Calls the base operation from its override, which fails instead of recursing."""

    def record_point(self, point):
        try:
            super().record_point(point)
        except RuntimeError:
            pass


class NotCallable(TelemRecorder):
    close = None


DISCARDING = Discarding()
RAISING = Raising()
SUPER_CALLING = SuperCalling()
NOT_CALLABLE = NotCallable()
PLAIN = TelemRecorder()
KV = {fresh_text("tsid"): fresh_text("id-1"), fresh_text("units"): RAW, b"comment": ARRAY, fresh_text("other"): TEXT}
BAD_KV = {fresh_text("tsid"): BIG_INT}
RECORD_VALUE_CALL = TelemRecorder.record_value.__call__  # pybind11's dispatcher instead of the vectorcall entry
KEEP.extend([DISCARDING, RAISING, SUPER_CALLING, NOT_CALLABLE, PLAIN, KV, BAD_KV, RECORD_VALUE_CALL])

op("recorder", "TelemRecorder()")(lambda: TelemRecorder())
op("recorder", "Python subclass()")(lambda: Discarding())
op("recorder", "record_value(float) -> record_point", watched=[DISCARDING, FLOAT])(
    lambda: DISCARDING.record_value(FLOAT)
)
op("recorder", "record_value(str) -> record_point", watched=[DISCARDING, TEXT])(lambda: DISCARDING.record_value(TEXT))
op("recorder", "record_value through tp_call", watched=[DISCARDING, FLOAT])(
    lambda: RECORD_VALUE_CALL(DISCARDING, FLOAT)
)
op("recorder", "record_metadata_kv -> record_metadata", watched=[DISCARDING, KV, *KV.keys(), *KV.values()])(
    lambda: DISCARDING.record_metadata_kv(KV)
)
op("recorder", "record_point override", watched=[DISCARDING, POINT])(
    lambda: TelemRecorder.record_point(DISCARDING, POINT)
)
op("recorder", "record_metadata override", watched=[DISCARDING, META])(
    lambda: TelemRecorder.record_metadata(DISCARDING, META)
)
op("recorder", "close override", watched=[DISCARDING])(lambda: TelemRecorder.close(DISCARDING))
op("recorder", "close without override (RuntimeError)", watched=[PLAIN])(lambda: raises(RuntimeError, PLAIN.close))
op("recorder", "record_point without override (RuntimeError)", watched=[PLAIN, POINT])(
    lambda: raises(RuntimeError, PLAIN.record_point, POINT)
)
op("recorder", "record_metadata without override (RuntimeError)", watched=[PLAIN, META])(
    lambda: raises(RuntimeError, PLAIN.record_metadata, META)
)
op("recorder", "record_value without override (RuntimeError)", watched=[PLAIN, FLOAT])(
    lambda: raises(RuntimeError, PLAIN.record_value, FLOAT)
)
op("recorder", "record_metadata_kv without override (RuntimeError)", watched=[PLAIN, KV])(
    lambda: raises(RuntimeError, PLAIN.record_metadata_kv, KV)
)
op("recorder", "record_value, override raises ValueError", watched=[RAISING, FLOAT])(
    lambda: raises(ValueError, RAISING.record_value, FLOAT)
)
op("recorder", "record_metadata_kv, override raises TelemException", watched=[RAISING, KV])(
    lambda: raises(TelemException, RAISING.record_metadata_kv, KV)
)
op("recorder", "close, override raises KeyError", watched=[RAISING])(
    lambda: raises(KeyError, TelemRecorder.close, RAISING)
)
op("recorder", "super() inside the override (RuntimeError caught)", watched=[SUPER_CALLING, FLOAT])(
    lambda: SUPER_CALLING.record_value(FLOAT)
)
op("recorder", "override that is not callable (TypeError)", watched=[NOT_CALLABLE])(
    lambda: raises(TypeError, TelemRecorder.close, NOT_CALLABLE)
)
op("recorder", "record_value refused (TypeError)", watched=[DISCARDING, REFUSED])(
    lambda: raises(TypeError, DISCARDING.record_value, REFUSED)
)
op("recorder", "record_metadata_kv refused (TypeError)", watched=[DISCARDING, BAD_KV])(
    lambda: raises(TypeError, DISCARDING.record_metadata_kv, BAD_KV)
)

# ---------------------------------------------------------------------------
# Backend conversion and exceptions

CONVERT_META = TsMetadata()
CONVERT_META.tsname = "cabin.temperature"
CONVERT_META.units = "degC"
EMPTY_META = TsMetadata()
CONVERT_POINT = TsPoint()
CONVERT_POINT.value = 21.5
CONVERT_POINT.mtime = "2024-01-01T00:00:00Z"
KEEP.extend([CONVERT_META, EMPTY_META, CONVERT_POINT])

op("backend", "ConvertPointToDb", watched=[CONVERT_META, CONVERT_POINT])(
    lambda: ConvertPointToDb(CONVERT_META, CONVERT_POINT)
)
op("backend", "ConvertPointToDb raising TelemException", watched=[EMPTY_META, CONVERT_POINT])(
    lambda: raises(TelemException, ConvertPointToDb, EMPTY_META, CONVERT_POINT)
)
op("backend", "ConvertPointToDb refused (TypeError)", watched=[CONVERT_POINT])(
    lambda: raises(TypeError, ConvertPointToDb, None, CONVERT_POINT)
)
op("backend", "ConvertPointToDb through tp_call", watched=[CONVERT_META, CONVERT_POINT])(
    lambda: type(ConvertPointToDb).__call__(ConvertPointToDb, CONVERT_META, CONVERT_POINT)
)


def _raise_telem():
    raise TelemException(TEXT)


op("backend", "raise and catch TelemException", watched=[TEXT])(lambda: raises(TelemException, _raise_telem))

# ---------------------------------------------------------------------------
# Native callers (the test peer module)

if telem_peer is not None:
    GONE = Discarding()
    GONE_HOLDER = telem_peer.RecorderHolder(GONE)
    del GONE  # the holder keeps only the native half
    HOLDER = telem_peer.RecorderHolder(DISCARDING)
    KEEP.extend([GONE_HOLDER, HOLDER])

    op("native", "native RecordValue -> record_point", watched=[DISCARDING, FLOAT])(
        lambda: telem_peer.record_value(DISCARDING, FLOAT)
    )
    op("native", "native RecordPoint with a native point", watched=[DISCARDING, TEXT])(
        lambda: telem_peer.record_point(DISCARDING, TEXT, TEXT)
    )
    op("native", "native RecordPoint with a Python point", watched=[DISCARDING, POINT])(
        lambda: telem_peer.record_point_object(DISCARDING, POINT)
    )
    op("native", "native RecordMetadata", watched=[DISCARDING])(
        lambda: telem_peer.record_metadata(DISCARDING, tsid="a", units="b")
    )
    op("native", "native RecordMetadataKv", watched=[DISCARDING, KV])(
        lambda: telem_peer.record_metadata_kv(DISCARDING, KV)
    )
    op("native", "native Close", watched=[DISCARDING])(lambda: telem_peer.close(DISCARDING))
    op("native", "native call, override raises ValueError", watched=[RAISING, FLOAT])(
        lambda: raises(ValueError, telem_peer.record_value, RAISING, FLOAT)
    )
    op("native", "native call after the Python object is gone (RuntimeError)")(
        lambda: raises(RuntimeError, GONE_HOLDER.record_value, 1)
    )
    op("native", "TelemException thrown in another module", watched=[TEXT])(
        lambda: raises(TelemException, telem_peer.throw_telem, TEXT)
    )

    def _native_threads():
        result = HOLDER.run_threads(2, 50, "mkpvc")
        if result != [{"ok": 50, "errors": {}}] * 2:
            raise AssertionError(result)

    op("native", "2 native threads x 50 calls", watched=[DISCARDING], divisor=1000)(_native_threads)

    def _native_threads_raising():
        RAISING_HOLDER.run_threads(2, 50, "mkpvc")

    RAISING_HOLDER = telem_peer.RecorderHolder(RAISING)
    KEEP.append(RAISING_HOLDER)
    op("native", "2 native threads x 50 failing calls", watched=[RAISING], divisor=1000)(_native_threads_raising)

GROUPS = sorted({o.group for o in OPS})

# ---------------------------------------------------------------------------
# Deliberate leaks, one of each kind, to show that the measurements catch them.

CONTROL_OPS: list[Op] = []
_new_str = ctypes.pythonapi.PyUnicode_FromString
_new_str.restype = ctypes.c_void_p  # the result is not kept as an object: the str is lost
_new_str.argtypes = [ctypes.c_char_p]
_libc_malloc = ctypes.CDLL(None).malloc
_libc_malloc.restype = ctypes.c_void_p
_libc_malloc.argtypes = [ctypes.c_size_t]
_incref = ctypes.pythonapi.Py_IncRef
_incref.argtypes = [ctypes.py_object]
LEAKED_INTO = fresh_text("an object whose references leak")
KEEP.append(LEAKED_INTO)
CONTROL_OPS += [
    Op("control", "leaks a reference to its argument", lambda: _incref(LEAKED_INTO), watched=[LEAKED_INTO]),
    Op("control", "leaks a str", lambda: _new_str(b"a str that nothing refers to")),
    Op("control", "leaks a list, which the collector still tracks", lambda: _incref([])),
    Op("control", "leaks 64 bytes of C heap", lambda: _libc_malloc(64)),
]

# ---------------------------------------------------------------------------
# Measurements


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")
    ]


_PROCESS = ctypes.CDLL(None)
LEAK_CHECK = getattr(_PROCESS, "__lsan_do_recoverable_leak_check", None)
SANITIZED = LEAK_CHECK is not None
_mallinfo2 = None if SANITIZED else getattr(_PROCESS, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2
_PAGE = os.sysconf("SC_PAGE_SIZE")


def heap_in_use():
    """Bytes handed out by the C heap (malloc), or None where not measurable."""
    return None if _mallinfo2 is None else _mallinfo2().uordblks


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def snapshot(o: Op):
    gc.collect()
    gc.collect()
    # CPython 3.12's method cache keeps a reference to the attribute name of each
    # lookup it stores, in a slot chosen by the name's address: names that
    # PyObject_GetAttrString makes afresh on every call (pybind11 formatting a
    # Python error, for one) pile up there, up to 4096 of them, as calls go on.
    sys._clear_type_cache()
    return {
        "refcounts": [sys.getrefcount(w) for w in o.watched],
        "gc_objects": len(gc.get_objects()),
        "blocks": sys.getallocatedblocks(),
        "heap": heap_in_use(),
        "rss": rss(),
    }


def run(o: Op, calls: int):
    fn = o.fn
    for _ in itertools.repeat(None, calls):
        fn()


def measure(o: Op, calls: int, warmup: int):
    n = max(1, calls // o.divisor)
    run(o, max(1, warmup // o.divisor))
    before = snapshot(o)
    run(o, n)
    after = snapshot(o)
    return {"group": o.group, "name": o.name, "calls": n, "before": before, "after": after}


def leak_check():
    """Blocks that nothing refers to any more, by LeakSanitizer: 0 when there are none."""
    gc.collect()
    return LEAK_CHECK()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--warmup", type=int, default=None, help="calls before the first measurement")
    parser.add_argument("--group", action="append", choices=GROUPS, help="only these groups (default: all)")
    parser.add_argument("--measure", action="store_true", help="print one JSON object per operation")
    parser.add_argument("--control", action="store_true", help="run only the deliberate leaks")
    parser.add_argument("--expect-module", help="fail unless telem_pyb was loaded from this directory")
    args = parser.parse_args(argv)

    if args.expect_module:
        loaded = pathlib.Path(telem_pyb.__file__).parent.resolve()
        if loaded != pathlib.Path(args.expect_module).resolve():
            sys.exit(f"telem_pyb loaded from {loaded}, not {args.expect_module}")
    groups = args.group or GROUPS
    warmup = args.warmup if args.warmup is not None else min(args.calls, 20000)
    for o in CONTROL_OPS if args.control else OPS:
        if o.group not in groups and not args.control:
            continue
        if args.measure:
            print(json.dumps(measure(o, args.calls, warmup)), flush=True)
        else:
            run(o, max(1, args.calls // o.divisor))
    if args.measure and SANITIZED:
        print(json.dumps({"leak_check": leak_check()}), flush=True)


if __name__ == "__main__":
    main()
