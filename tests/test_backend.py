"""telem_pyb.backend.log: the log Point and ConvertPointToDb."""

import pytest

from helpers import incompatible, incompatible_prefix, run_isolated
from telem_pyb import TsMetadata, TsPoint
from telem_pyb.backend.log import ConvertPointToDb, Point

LOG_FIELDS = ["mtime", "tsname", "value", "btype", "units", "comment", "origin"]
METADATA_FIELDS = ["tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json"]
CONVERT_SIG = "(arg0: telem_pyb.TsMetadata, arg1: telem_pyb.TsPoint) -> telem_pyb.backend.log.Point"


def fields(point):
    return {f: getattr(point, f) for f in LOG_FIELDS}


def named_series(**values):
    meta = TsMetadata()
    for field in METADATA_FIELDS:
        setattr(meta, field, values.get(field, f"<{field}>"))
    return meta


def sample(value, mtime="2024-05-01T12:00:00.250Z"):
    point = TsPoint()
    point.value, point.mtime = value, mtime
    return point


def test_new_point_has_seven_empty_fields():
    assert fields(Point()) == dict.fromkeys(LOG_FIELDS, "")


def test_each_field_is_its_own_storage():
    point = Point()
    for field in LOG_FIELDS:
        setattr(point, field, f"<{field}>")
    assert fields(point) == {f: f"<{f}>" for f in LOG_FIELDS}


@pytest.mark.parametrize(
    "given, expected",
    [
        pytest.param(b"m/s", "m/s", id="bytes read back as str"),
        pytest.param(bytearray(b"kg"), "kg", id="a bytearray reads back as str"),
        pytest.param("°C\x00", "°C\x00", id="non-ASCII and NUL are kept"),
    ],
)
def test_field_accepts_text(given, expected):
    point = Point()
    point.units = given
    assert point.units == expected


def test_non_utf8_field_is_unreadable_until_overwritten():
    point = Point()
    point.comment = b"\xff"
    with pytest.raises(UnicodeDecodeError):
        point.comment
    point.comment = "fixed"
    assert point.comment == "fixed"


@pytest.mark.parametrize(
    "bad",
    [5, None, 2.5, "\ud800"],
    ids=["an int is refused", "None is refused", "a float is refused", "a lone surrogate is refused"],
)
def test_field_refuses_non_text(bad):
    point = Point()
    point.value = "kept"
    with pytest.raises(TypeError) as exc:
        point.value = bad
    assert str(exc.value) == incompatible("", "(self: telem_pyb.backend.log.Point, arg0: str) -> None", point, bad)
    assert point.value == "kept"


def test_constructor_takes_no_arguments():
    with pytest.raises(TypeError, match="^__init__\\(\\): incompatible constructor arguments"):
        Point("x")


def test_conversion_maps_metadata_and_point_fields():
    result = ConvertPointToDb(named_series(), sample(2.5))
    assert type(result) is Point
    assert fields(result) == {
        "mtime": "2024-05-01T12:00:00.250Z",
        "tsname": "<tsname>",
        "value": "2.5",
        "btype": "<btype>",
        "units": "<units>",
        "comment": "<comment>",
        "origin": "<origin>",
    }


@pytest.mark.parametrize(
    "value, text",
    [
        pytest.param(True, "true", id="a bool becomes true"),
        pytest.param(-7, "-7", id="an integer becomes its decimal text"),
        pytest.param(0.1, "0.1", id="a double becomes its shortest text"),
        pytest.param("OPEN", "OPEN", id="a text is copied"),
        pytest.param("", "", id="the default empty text stays empty"),
    ],
)
def test_value_is_the_points_text(value, text):
    assert ConvertPointToDb(named_series(), sample(value)).value == text


def test_non_utf8_input_bytes_pass_through_unchecked():
    result = ConvertPointToDb(named_series(units=b"\xb5s"), sample(b"\xfe"))
    with pytest.raises(UnicodeDecodeError):
        result.units
    with pytest.raises(UnicodeDecodeError):
        result.value
    assert result.tsname == "<tsname>"


def test_each_call_returns_a_distinct_independent_point():
    meta, point = named_series(), sample(3)
    first, second = ConvertPointToDb(meta, point), ConvertPointToDb(meta, point)
    assert first is not second
    first.units, first.value = "changed", "changed"
    assert (second.units, second.value) == ("<units>", "3")
    assert (meta.units, point.value) == ("<units>", 3)


def test_inputs_are_read_in_place():
    meta, point = named_series(), sample(1)
    assert ConvertPointToDb(meta, point).value == "1"
    point.value, point.mtime, meta.tsname = "later", "t2", "renamed"
    result = ConvertPointToDb(meta, point)
    assert (result.value, result.mtime, result.tsname) == ("later", "t2", "renamed")


def test_subclass_arguments_are_accepted():
    class Series(TsMetadata):
        pass

    class Sample(TsPoint):
        pass

    meta, point = Series(), Sample()
    meta.tsname, point.value = "s", False
    result = ConvertPointToDb(meta, point)
    assert type(result) is Point
    assert (result.tsname, result.value) == ("s", "false")


_META, _POINT = TsMetadata(), TsPoint()


@pytest.mark.parametrize(
    "args",
    [
        pytest.param((_POINT, _META), id="swapped arguments are refused"),
        pytest.param((_META,), id="a missing point is refused"),
        pytest.param((), id="no arguments are refused"),
        pytest.param((None, _POINT), id="None metadata is refused"),
        pytest.param((_META, None), id="a None point is refused"),
        pytest.param((_META, _POINT, _POINT), id="a third argument is refused"),
        pytest.param((_META, Point()), id="a log Point is not a TsPoint"),
        pytest.param((_META, "1.5"), id="a str is not a TsPoint"),
    ],
)
def test_wrong_arguments_are_refused(args):
    with pytest.raises(TypeError) as exc:
        ConvertPointToDb(*args)
    assert str(exc.value) == incompatible("ConvertPointToDb", CONVERT_SIG, *args)


def test_keyword_arguments_are_refused():
    with pytest.raises(TypeError) as exc:
        ConvertPointToDb(arg0=_META, arg1=_POINT)
    assert str(exc.value) == (
        incompatible_prefix("ConvertPointToDb", CONVERT_SIG) + f"kwargs: arg0={_META!r}, arg1={_POINT!r}"
    )


_LOG_SIG_GET = "(self: telem_pyb.backend.log.Point) -> str"
_LOG_SIG_SET = "(self: telem_pyb.backend.log.Point, arg0: str) -> None"
_REFUSALS = [
    pytest.param(f"Point.{field}.{accessor}", self_expr, "", sig, id=f"Point.{field} {accessor} refuses {label}")
    for field in LOG_FIELDS
    for accessor, sig in (("fget(X)", _LOG_SIG_GET), ("fset(X, 'v')", _LOG_SIG_SET))
    for label, self_expr in (("None", "None"), ("an uninitialised Point", "Point.__new__(Point)"))
] + [
    pytest.param("ConvertPointToDb(X, TsPoint())", "TsMetadata.__new__(TsMetadata)", "ConvertPointToDb", CONVERT_SIG,
                 id="ConvertPointToDb refuses uninitialised metadata"),
    pytest.param("ConvertPointToDb(TsMetadata(), X)", "TsPoint.__new__(TsPoint)", "ConvertPointToDb", CONVERT_SIG,
                 id="ConvertPointToDb refuses an uninitialised point"),
    pytest.param("ConvertPointToDb(X, TsPoint())", "SubMetadata.__new__(SubMetadata)", "ConvertPointToDb",
                 CONVERT_SIG, id="ConvertPointToDb refuses uninitialised subclass metadata"),
    pytest.param("Point.mtime.fget(X)", "SubLogPoint.__new__(SubLogPoint)", "", _LOG_SIG_GET,
                 id="Point.mtime getter refuses an uninitialised subclass instance"),
]


@pytest.mark.parametrize("statement, self_expr, name, signature", _REFUSALS)
def test_member_refuses_missing_record(statement, self_expr, name, signature):
    text = run_isolated(statement.replace("X", self_expr))
    assert text.startswith(incompatible_prefix(name, signature))


def test_init_after_new_makes_a_working_point():
    point = Point.__new__(Point)
    Point.__init__(point)
    point.origin = "lab"
    assert fields(point) == {**dict.fromkeys(LOG_FIELDS, ""), "origin": "lab"}
