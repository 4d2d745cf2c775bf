"""TsPoint and TsMetadata: construction, text fields, object protocol and value_str."""

import copy
import math
import pickle

import pytest

from helpers import incompatible, incompatible_prefix, run_isolated
from telem_pyb import TsMetadata, TsPoint
from telem_pyb.backend.log import ConvertPointToDb

METADATA_FIELDS = ["tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json"]
TEXT_FIELDS = [(TsPoint, "mtime")] + [(TsMetadata, f) for f in METADATA_FIELDS]
TEXT_FIELD_IDS = [f"{cls.__name__}.{field}" for cls, field in TEXT_FIELDS]


def test_new_point_holds_empty_texts():
    point = TsPoint()
    assert type(point.value) is str and point.value == ""
    assert type(point.mtime) is str and point.mtime == ""


def test_new_metadata_has_nine_empty_fields():
    meta = TsMetadata()
    assert {f: getattr(meta, f) for f in METADATA_FIELDS} == dict.fromkeys(METADATA_FIELDS, "")


def test_each_metadata_field_is_its_own_storage():
    meta = TsMetadata()
    for field in METADATA_FIELDS:
        setattr(meta, field, f"<{field}>")
    assert {f: getattr(meta, f) for f in METADATA_FIELDS} == {f: f"<{f}>" for f in METADATA_FIELDS}


class Text(str):
    pass


class Raw(bytes):
    pass


@pytest.mark.parametrize("cls, field", TEXT_FIELDS, ids=TEXT_FIELD_IDS)
@pytest.mark.parametrize(
    "given, expected",
    [
        pytest.param("2024-05-01T10:00:00Z", "2024-05-01T10:00:00Z", id="a str reads back equal"),
        pytest.param(b"m/s", "m/s", id="ASCII bytes read back as str"),
        pytest.param(bytearray(b"degC"), "degC", id="an ASCII bytearray reads back as str"),
        pytest.param("µs € 😀", "µs € 😀", id="non-ASCII characters read back with the same length"),
        pytest.param("a\x00b\x00", "a\x00b\x00", id="embedded NULs are kept"),
        pytest.param("Grad °C".encode(), "Grad °C", id="UTF-8 bytes decode on reading"),
        pytest.param(Text("sub"), "sub", id="a str subclass reads back as plain str"),
        pytest.param(Raw(b"raw"), "raw", id="a bytes subclass is taken raw"),
        pytest.param("", "", id="the empty str is kept"),
    ],
)
def test_text_field_round_trip(cls, field, given, expected):
    obj = cls()
    setattr(obj, field, given)
    got = getattr(obj, field)
    assert type(got) is str
    assert got == expected and len(got) == len(expected)


@pytest.mark.parametrize("cls, field", TEXT_FIELDS, ids=TEXT_FIELD_IDS)
def test_non_utf8_bytes_are_stored_but_unreadable(cls, field):
    obj = cls()
    setattr(obj, field, b"ok\xff")
    with pytest.raises(UnicodeDecodeError):
        getattr(obj, field)
    setattr(obj, field, "fine")
    assert getattr(obj, field) == "fine"


@pytest.mark.parametrize("cls, field", TEXT_FIELDS, ids=TEXT_FIELD_IDS)
@pytest.mark.parametrize(
    "bad",
    [
        pytest.param(None, id="None is refused"),
        pytest.param(1, id="an int is refused"),
        pytest.param(1.5, id="a float is refused"),
        pytest.param(["a"], id="a list is refused"),
        pytest.param(memoryview(b"a"), id="a memoryview is refused"),
        pytest.param("\ud800", id="a lone surrogate is refused"),
    ],
)
def test_text_field_rejects_non_text(cls, field, bad):
    obj = cls()
    setattr(obj, field, "before")
    with pytest.raises(TypeError) as exc:
        setattr(obj, field, bad)
    signature = f"(self: telem_pyb.{cls.__name__}, arg0: str) -> None"
    assert str(exc.value) == incompatible("", signature, obj, bad)
    assert getattr(obj, field) == "before"


@pytest.mark.parametrize("cls", [TsPoint, TsMetadata], ids=["TsPoint", "TsMetadata"])
def test_comparison_and_hash_are_by_identity(cls):
    a, b = cls(), cls()
    assert a != b and not (a == b)
    assert a == a
    assert hash(a) == object.__hash__(a)
    assert repr(a).startswith(f"<telem_pyb.{cls.__name__} object at 0x")


@pytest.mark.parametrize("cls", [TsPoint, TsMetadata], ids=["TsPoint", "TsMetadata"])
@pytest.mark.parametrize(
    "duplicate",
    [pickle.dumps, copy.copy, copy.deepcopy],
    ids=["pickling is refused", "copy is refused", "deepcopy is refused"],
)
def test_pickling_and_copying_are_refused(cls, duplicate):
    with pytest.raises(TypeError):
        duplicate(cls())


@pytest.mark.parametrize("cls, field", [(TsPoint, "value"), (TsPoint, "mtime"), (TsMetadata, "json")],
                         ids=["TsPoint.value", "TsPoint.mtime", "TsMetadata.json"])
def test_deleting_a_property_is_refused(cls, field):
    obj = cls()
    setattr(obj, field, "kept")
    with pytest.raises(AttributeError, match="has no deleter"):
        delattr(obj, field)
    assert getattr(obj, field) == "kept"


@pytest.mark.parametrize("cls", [TsPoint, TsMetadata], ids=["TsPoint", "TsMetadata"])
def test_constructor_takes_no_arguments(cls):
    with pytest.raises(TypeError) as exc:
        cls(1)
    assert str(exc.value) == (
        "__init__(): incompatible constructor arguments. The following argument types are supported:\n"
        f"    1. telem_pyb.{cls.__name__}()\n\nInvoked with: 1"
    )


def test_second_init_keeps_the_fields():
    point = TsPoint()
    point.value, point.mtime = 2.5, "t"
    assert point.__init__() is None
    assert (point.value, point.mtime) == (2.5, "t")
    meta = TsMetadata()
    meta.units = "V"
    meta.__init__()
    assert meta.units == "V"


def test_subclass_instances_are_full_records():
    class Sample(TsPoint):
        def __init__(self, value):
            super().__init__()
            self.value = value
            self.note = "extra state"

    class Series(TsMetadata):
        pass

    sample, series = Sample(4), Series()
    series.tsname = "temp"
    assert sample.value == 4 and sample.note == "extra state"
    assert sample.value_str() == "4"
    assert ConvertPointToDb(series, sample).value == "4"


@pytest.mark.parametrize("base", [TsPoint, TsMetadata], ids=lambda c: f"{c.__name__} subclass")
def test_subclass_that_skips_base_init_is_refused(base):
    class Lazy(base):
        def __init__(self):
            pass

    with pytest.raises(TypeError) as exc:
        Lazy()
    assert str(exc.value) == f"telem_pyb.{base.__name__}.__init__() must be called when overriding __init__"


_POINT_VALUE_SIG = "(self: telem_pyb.TsPoint) -> Union[bool, int, float, str]"
_POINT_VALUE_SET_SIG = "(self: telem_pyb.TsPoint, arg0: Union[bool, int, float, str]) -> None"
_MEMBERS = [
    ("TsPoint", "TsPoint.value.fget(X)", "", _POINT_VALUE_SIG),
    ("TsPoint", "TsPoint.value.fset(X, 1)", "", _POINT_VALUE_SET_SIG),
    ("TsPoint", "TsPoint.mtime.fget(X)", "", "(self: telem_pyb.TsPoint) -> str"),
    ("TsPoint", "TsPoint.mtime.fset(X, 't')", "", "(self: telem_pyb.TsPoint, arg0: str) -> None"),
    ("TsPoint", "TsPoint.value_str(X)", "value_str", "(self: telem_pyb.TsPoint) -> str"),
]
for _field in METADATA_FIELDS:
    _MEMBERS += [
        ("TsMetadata", f"TsMetadata.{_field}.fget(X)", "", "(self: telem_pyb.TsMetadata) -> str"),
        ("TsMetadata", f"TsMetadata.{_field}.fset(X, 'v')", "", "(self: telem_pyb.TsMetadata, arg0: str) -> None"),
    ]

_SELVES = {
    "None": lambda cls: "None",
    "an uninitialised instance": lambda cls: f"{cls}.__new__({cls})",
    "an uninitialised subclass instance": lambda cls: f"Sub{cls[2:]}.__new__(Sub{cls[2:]})",
}


@pytest.mark.parametrize(
    "statement, name, signature",
    [
        pytest.param(stmt.replace("X", make(cls)), name, sig, id=f"{stmt.replace('X', 'self')} refuses {label}")
        for label, make in _SELVES.items()
        for cls, stmt, name, sig in _MEMBERS
    ],
)
def test_member_refuses_missing_record(statement, name, signature):
    assert run_isolated(statement).startswith(incompatible_prefix(name, signature))


@pytest.mark.parametrize("cls", [TsPoint, TsMetadata], ids=lambda c: f"{c.__name__} made by __new__")
def test_init_after_new_makes_a_working_record(cls):
    obj = cls.__new__(cls)
    cls.__init__(obj)
    if cls is TsPoint:
        assert (obj.value, obj.mtime, obj.value_str()) == ("", "", "")
        obj.value = 3
        assert obj.value_str() == "3"
    else:
        obj.tsid = "id"
        assert obj.tsid == "id" and obj.json == ""


@pytest.mark.parametrize(
    "value, text",
    [
        pytest.param(True, "true", id="True reads true"),
        pytest.param(False, "false", id="False reads false"),
        pytest.param(0, "0", id="zero is 0"),
        pytest.param(-42, "-42", id="a negative integer keeps its sign"),
        pytest.param(9223372036854775807, "9223372036854775807", id="the largest integer is written in full"),
        pytest.param(-9223372036854775808, "-9223372036854775808", id="the smallest integer is written in full"),
        pytest.param(0.1, "0.1", id="0.1 is written shortest"),
        pytest.param(2.5, "2.5", id="2.5 is written shortest"),
        pytest.param(1e300, "1e+300", id="1e300 uses an exponent"),
        pytest.param("abc", "abc", id="a text is returned unchanged"),
        pytest.param("a\x00b", "a\x00b", id="a text keeps embedded NULs"),
        pytest.param("Ω≈ç", "Ω≈ç", id="a non-ASCII text is returned unchanged"),
        pytest.param("", "", id="the empty text stays empty"),
    ],
)
def test_value_str(value, text):
    point = TsPoint()
    point.value = value
    assert point.value_str() == text
    assert point.value == value and type(point.value) is type(value)


@pytest.mark.parametrize(
    "number",
    [1 / 3, 5e-324, 1.7976931348623157e308, -2.5e-10, 123456.789, 1e16, 100.0],
    ids=lambda v: f"{v!r} reads back exactly from a text no longer than repr",
)
def test_value_str_of_double_round_trips(number):
    point = TsPoint()
    point.value = number
    text = point.value_str()
    assert float(text) == number
    assert len(text) <= len(repr(number))


def test_value_str_of_non_utf8_text_raises_and_leaves_point_usable():
    point = TsPoint()
    point.value = b"\xfe\xff"
    with pytest.raises(UnicodeDecodeError):
        point.value_str()
    point.value = "ok"
    assert point.value_str() == "ok"


def test_value_str_of_infinities_and_nan_reads_back():
    point = TsPoint()
    for number in (math.inf, -math.inf):
        point.value = number
        assert float(point.value_str()) == number
    point.value = math.nan
    assert math.isnan(float(point.value_str()))
