"""telem_pyb.TelemException: the type and how telemetry errors reach Python."""

import pytest

from telem_pyb import TelemException, TelemRecorder, TsMetadata, TsPoint
from telem_pyb.backend.log import ConvertPointToDb


@pytest.mark.parametrize(
    "attribute, expected",
    [
        pytest.param("__module__", "telem_pyb", id="it lives in telem_pyb"),
        pytest.param("__name__", "TelemException", id="it is named TelemException"),
        pytest.param("__qualname__", "TelemException", id="its qualified name is plain"),
        pytest.param("__doc__", None, id="it has no docstring"),
        pytest.param("__bases__", (Exception,), id="its only base is Exception"),
    ],
)
def test_exception_type(attribute, expected):
    assert getattr(TelemException, attribute) == expected


def test_exception_is_not_a_runtime_error():
    assert not issubclass(TelemException, RuntimeError)
    assert type(TelemException) is type


def _unnamed_series():
    meta = TsMetadata()
    meta.tsid, meta.units = "id-1", "V"
    point = TsPoint()
    point.value = 1.5
    return meta, point


def test_native_error_becomes_telem_exception_with_its_message():
    meta, point = _unnamed_series()
    with pytest.raises(TelemException) as exc:
        ConvertPointToDb(meta, point)
    assert type(exc.value) is TelemException
    message = str(exc.value)
    assert "tsname" in message and "empty" in message
    assert exc.value.args == (message,)
    assert exc.value.__cause__ is None


def test_failed_conversion_leaves_inputs_unchanged():
    meta, point = _unnamed_series()
    with pytest.raises(TelemException):
        ConvertPointToDb(meta, point)
    assert (meta.tsid, meta.tsname, meta.units) == ("id-1", "", "V")
    assert (point.value, point.mtime) == (1.5, "")
    meta.tsname = "now named"
    assert ConvertPointToDb(meta, point).tsname == "now named"


class StoreDown(TelemException):
    pass


@pytest.mark.parametrize(
    "error",
    [
        pytest.param(TelemException("disk full", 28), id="a TelemException keeps its type and args"),
        pytest.param(StoreDown("gone"), id="a TelemException subclass keeps its own type"),
    ],
)
def test_python_raised_telem_exception_crosses_native_code_unchanged(error):
    class Failing(TelemRecorder):
        def record_point(self, point):
            raise error

    with pytest.raises(TelemException) as exc:
        Failing().record_value("v")
    assert exc.value is error
    assert type(exc.value) is type(error)
