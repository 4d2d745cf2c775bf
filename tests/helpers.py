"""Shared helpers for the telem_pyb Python tests."""

import ctypes
import functools
import pathlib
import subprocess
import sys
import textwrap

import pytest

import telem_pyb

# True when AddressSanitizer runs in this process (the sanitizer build).
SANITIZED = hasattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check")

# Names every statement run by run_isolated can use.
_PRELUDE = """\
import telem_pyb
from telem_pyb import TelemRecorder, TsMetadata, TsPoint
from telem_pyb.backend.log import ConvertPointToDb, Point


class SubPoint(TsPoint):
    pass


class SubMetadata(TsMetadata):
    pass


class SubRecorder(TelemRecorder):
    def record_point(self, point):
        pass

    def record_metadata(self, meta):
        pass

    def close(self):
        pass


class SubLogPoint(Point):
    pass
"""


# Source for a fresh interpreter: a recorder that notes in `callers` the
# threads its points arrive on.
CALLER_NOTING_RECORDER = """
import threading
from telem_pyb import TelemRecorder

callers = set()

class CallerNoting(TelemRecorder):
    def record_point(self, point):
        callers.add(threading.get_ident())

    def record_metadata(self, meta):
        pass

    def close(self):
        pass
"""


def run_python(code, executable=sys.executable, timeout=60):
    """Runs `code` in a fresh interpreter, so that a crash cannot take the test run down."""
    return subprocess.run(
        [executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def run_isolated(statement):
    """Runs one statement in a fresh interpreter and returns the TypeError text it raised.

    Fails the calling test if the interpreter dies, the statement raises anything
    else, or it raises nothing.
    """
    code = (
        _PRELUDE
        + "try:\n"
        + f"    {statement}\n"
        + "except TypeError as exc:\n"
        + "    print(str(exc), end='')\n"
        + "else:\n"
        + "    print('<no TypeError>', end='')\n"
    )
    result = run_python(code)
    assert result.returncode == 0, f"interpreter ended with {result.returncode}: {result.stderr}"
    assert result.stdout != "<no TypeError>", f"{statement} was accepted"
    return result.stdout


def incompatible_prefix(name, signature):
    """pybind11's incompatible-arguments message up to the list of actual arguments."""
    return (
        f"{name}(): incompatible function arguments. The following argument types are supported:\n"
        f"    1. {signature}\n\nInvoked with: "
    )


def shown(obj):
    """An argument as pybind11's argument error shows it."""
    try:
        return repr(obj)
    except Exception:
        return "<repr raised Error>"


def incompatible(name, signature, *args):
    """pybind11's full incompatible-arguments message for positional `args`."""
    return incompatible_prefix(name, signature) + ", ".join(shown(a) for a in args)


class Sink(telem_pyb.TelemRecorder):
    """A recorder that keeps everything it is given."""

    def __init__(self):
        super().__init__()
        self.points = []
        self.metadata = []
        self.closed = 0

    def record_point(self, point):
        self.points.append(point)

    def record_metadata(self, meta):
        self.metadata.append(meta)

    def close(self):
        self.closed += 1



# What a recorder operation without a Python method raises, by method name.
PURE = {op: f'Tried to call pure virtual function "type::{op}"' for op in ("record_metadata", "record_point", "close")}


def expect_pure_virtual(holder):
    """Every operation through the test peer's RecorderHolder `holder` raises its pure-operation RuntimeError."""
    calls = {
        "record_point": [lambda: holder.record_value(1), lambda: holder.record_point(2.5, "t")],
        "record_metadata": [lambda: holder.record_metadata_kv({}), lambda: holder.record_metadata(tsid="x")],
        "close": [holder.close],
    }
    for target, callers in calls.items():
        for call in callers:
            with pytest.raises(RuntimeError) as info:
                call()
            assert str(info.value) == PURE[target]

# The routes by which a sample value is stored: each puts a value, reads back
# the one stored, counts the values stored so far and composes the TypeError
# message for a value it refuses.
VALUE_TYPE = "Union[bool, int, float, str]"


class ThroughSetter:
    """TsPoint.value = v."""

    stores_each_value = False

    def __init__(self):
        self.point = telem_pyb.TsPoint()

    def put(self, value):
        self.point.value = value

    def read(self):
        return self.point.value

    def count(self):
        return 1

    def message(self, value):
        return incompatible("", f"(self: telem_pyb.TsPoint, arg0: {VALUE_TYPE}) -> None", self.point, value)


class ThroughRecordValue:
    """recorder.record_value(v): the bound method's vectorcall entry; reads the point given to record_point."""

    stores_each_value = True

    def __init__(self):
        self.recorder = Sink()

    def put(self, value):
        self.recorder.record_value(value)

    def read(self):
        return self.recorder.points[-1].value

    def count(self):
        return len(self.recorder.points)

    def message(self, value):
        signature = f"(self: telem_pyb.TelemRecorder, arg0: {VALUE_TYPE}) -> None"
        return incompatible("record_value", signature, self.recorder, value)


class ThroughDispatcher(ThroughRecordValue):
    """pybind11's generic dispatcher: the tp_call of the function inside TelemRecorder.record_value
    (calling the instance-method wrapper would reach the vectorcall entry)."""

    def put(self, value):
        function = telem_pyb.TelemRecorder.record_value.__func__
        type(function).__call__(function, self.recorder, value)


def isolated(body=None, *, timeout=120):
    """Runs the decorated test body in a fresh interpreter, so that a crash or a hang fails the test.

    The body runs as `module.body.__wrapped__(**params)` in a child that must load the
    same telem_pyb. A watchdog in the child dumps every thread's stack and ends it
    shortly before `timeout` seconds; the parent kills it at `timeout`.
    """
    if body is None:
        return functools.partial(isolated, timeout=timeout)
    module = sys.modules[body.__module__]

    @functools.wraps(body)
    def run(**params):
        code = "\n".join(
            [
                "import faulthandler, sys",
                f"faulthandler.dump_traceback_later({max(1, timeout - 10)}, exit=True)",
                f"sys.path.insert(0, {str(pathlib.Path(module.__file__).parent)!r})",
                "import telem_pyb",
                f"assert telem_pyb.__file__ == {telem_pyb.__file__!r}, telem_pyb.__file__",
                f"import {pathlib.Path(module.__file__).stem} as tests",
                f"tests.{body.__name__}.__wrapped__(**{params!r})",
            ]
        )
        proc = subprocess.run(
            [sys.executable, "-W", "error", "-X", "faulthandler", "-c", code],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stdout}\n{proc.stderr}"

    return run
