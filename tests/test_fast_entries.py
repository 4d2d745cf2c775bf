"""The vectorcall entries of hot functions against pybind11's dispatcher.

An entry takes only the plain case; every other call goes to the dispatcher
unchanged, and whatever its own steps raise comes out as the Python exception
the dispatcher would have raised: a C++ exception never reaches CPython. The
dispatcher is reached through the bound function's tp_call (`type(f).__call__`
of the function itself, `__func__` for a method), which never goes through
the entry. Instances of C++ subclasses bound by another module
(telem_subclasses) are among the arguments: their types hold other native
types, so the entries must hand them over.
"""

import copy
import weakref
from decimal import Decimal
from fractions import Fraction

import pytest

import telem_peer
import telem_subclasses
from helpers import Sink, isolated
from telem_pyb import TelemRecorder, TsMetadata, TsPoint
from telem_pyb.backend.log import ConvertPointToDb, Point


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


class MIRecorderSub(telem_subclasses.MIRecorder):
    pass


FIELDS = {
    TsPoint: ("value", "mtime"),
    TsMetadata: ("tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json"),
    Point: ("mtime", "tsname", "value", "btype", "units", "comment", "origin"),
}


def state(obj):
    """What can be seen of an object: a record's fields (or that it has none), a recorder's points."""
    for cls, fields in FIELDS.items():
        if isinstance(obj, cls):
            try:
                return cls.__name__, [(type(v), v) for v in (getattr(obj, f) for f in fields)]
            except (TypeError, UnicodeDecodeError) as exc:
                return cls.__name__, type(exc)
    if isinstance(obj, Sink) and hasattr(obj, "points"):
        received = [(type(p.value), p.value) for p in obj.points]
        obj.points.clear()
        return received
    if isinstance(obj, (telem_subclasses.MIRecorder, telem_peer.NativeRecorder)):
        # What arrived since the last look: native recorders keep everything.
        arrived = (
            obj.seen if isinstance(obj, telem_subclasses.MIRecorder) else [(type(p.value), p.value) for p in obj.points]
        )
        start, _native_arrivals[obj] = _native_arrivals.get(obj, 0), len(arrived)
        return "recorder", arrived[start:]
    return obj


_native_arrivals = weakref.WeakKeyDictionary()


def outcome(call, args, kwargs):
    """What a call gives: its result, or its exception's type and text, and the state of its arguments."""
    try:
        result = ("returned", state(call(*args, **kwargs)))
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        result = (type(exc), str(exc))
    return result, [state(arg) for arg in args]


RECORD_VALUE = TelemRecorder.record_value


def through_dispatcher(function):
    function = getattr(function, "__func__", function)  # a method's instance-method wrapper calls the entry
    return lambda *args, **kwargs: type(function).__call__(function, *args, **kwargs)


def answers_alike(function, args, kwargs):
    """The function's fast entry and its dispatcher give the same outcome for the same arguments."""
    fast = outcome(function, args, kwargs)
    assert fast == outcome(through_dispatcher(function), args, kwargs)


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
        pytest.param(lambda: (telem_peer.NativeRecorder("none"), 2.5), {}, id="a C++ subclass recorder"),
        pytest.param(lambda: (telem_subclasses.MIRecorder(), 2.5), {}, id="a recorder behind another C++ base"),
        pytest.param(lambda: (MIRecorderSub(), "v"), {}, id="a Python subclass of that recorder"),
    ],
)
@pytest.mark.parametrize("via", ["the class attribute", "the descriptor in the class dict"])
def test_record_value_entry_answers_as_the_dispatcher(make_args, kwargs, via):
    function = RECORD_VALUE if via == "the class attribute" else vars(TelemRecorder)["record_value"]
    args = make_args()
    assert outcome(function, args, kwargs) == outcome(through_dispatcher(RECORD_VALUE), args, kwargs)


def test_record_value_reached_through_an_instance_is_the_bound_function():
    sink = Sink()
    bound = sink.record_value
    assert type(bound).__name__ == "method" and bound.__self__ is sink and bound.__func__ is RECORD_VALUE.__func__
    assert type(RECORD_VALUE).__name__ == "instancemethod" and TelemRecorder.record_value is RECORD_VALUE
    descriptor = vars(TelemRecorder)["record_value"]
    assert descriptor.__func__ is RECORD_VALUE.__func__ and descriptor.__doc__ == RECORD_VALUE.__doc__
    assert descriptor.__name__ == "record_value"
    for call in (lambda: sink.record_value(1.5), lambda: bound(2.5)):
        assert call() is None
    assert [p.value for p in sink.points] == [1.5, 2.5]
    with pytest.raises(TypeError) as fast:
        sink.record_value()
    with pytest.raises(TypeError) as dispatched:
        through_dispatcher(RECORD_VALUE)(sink)
    assert str(fast.value) == str(dispatched.value)


class StrSub(str):
    pass


def point(value=21.5, mtime="2026-12-08T12:00:00+00:00"):
    p = TsPoint()
    p.value, p.mtime = value, mtime
    return p


def metadata(tsname="cabin.temperature"):
    m = TsMetadata()
    m.tsname, m.units = tsname, "degC"
    return m


class NotARecord:
    pass


def telemetry_subclass(name):
    return getattr(telem_subclasses, name)()


def filled(record):
    """The record with the fields point() and metadata() set."""
    source = point() if isinstance(record, TsPoint) else metadata()
    for field in FIELDS[TsPoint if isinstance(record, TsPoint) else TsMetadata]:
        setattr(record, field, getattr(source, field))
    return record


# (class, field): the field properties whose functions have fast entries.
PROPERTIES = [(TsPoint, "value"), (TsPoint, "mtime"), (TsMetadata, "json"), (Point, "origin")]
# Positional arguments besides `self` and keywords, for the getter and the setter.
SHAPES = [
    pytest.param((), {}, id="plain"),
    pytest.param((1,), {}, id="an extra argument"),
    pytest.param((), {"arg0": 1}, id="a keyword"),
]
# C++ subclasses of each record class that another module binds.
FOREIGN = {
    TsPoint: [telem_subclasses.MIPoint, telem_subclasses.BigPoint],
    TsMetadata: [telem_subclasses.MIMetadata],
    Point: [],
}


def foreign_or_plain(cls, which):
    """An instance of the `which`th C++ subclass of `cls`, or of `cls` where it has none."""
    subclasses = FOREIGN[cls]
    return subclasses[which]() if which < len(subclasses) else cls()


def two_bound_class(cls):
    """A Python class deriving from `cls` and a second bound class, constructing both."""
    other = TsPoint if cls is TsMetadata else TsMetadata

    def __init__(self):
        cls.__init__(self)
        other.__init__(self)

    return type("TwoBound", (cls, other), {"__init__": __init__})


SELVES = [
    pytest.param(lambda cls: cls(), id="an instance"),
    pytest.param(lambda cls: two_bound_class(cls)(), id="an instance holding two bound types"),
    pytest.param(lambda cls: type("Sub", (cls,), {})(), id="a subclass instance"),
    pytest.param(lambda cls: foreign_or_plain(cls, 0), id="a C++ subclass instance"),
    pytest.param(lambda cls: foreign_or_plain(cls, 1), id="another C++ subclass instance"),
    pytest.param(
        lambda cls: type("Sub", (foreign_or_plain(cls, 0).__class__,), {})(), id="a Python subclass of a C++ subclass"
    ),
    pytest.param(lambda cls: cls.__new__(cls), id="an uninitialised instance"),
    pytest.param(lambda cls: None, id="None"),
    pytest.param(lambda cls: NotARecord(), id="another type"),
    pytest.param(lambda cls: ConduitRaises(), id="an object whose conduit method raises"),
    pytest.param(lambda cls: Proxy(), id="a proxy that answers every attribute"),
]


@pytest.mark.parametrize("cls, field", PROPERTIES, ids=lambda x: getattr(x, "__name__", x))
@pytest.mark.parametrize("make_self", SELVES)
@pytest.mark.parametrize("extra, kwargs", SHAPES)
def test_field_getter_entry_answers_as_the_dispatcher(cls, field, make_self, extra, kwargs):
    answers_alike(getattr(cls, field).fget, (make_self(cls), *extra), kwargs)


@pytest.mark.parametrize("cls, field", PROPERTIES, ids=lambda x: getattr(x, "__name__", x))
@pytest.mark.parametrize(
    "value",
    [
        "text",
        "température ✓",
        "a\x00b",
        b"\xff",
        bytearray(b"raw"),
        StrSub("sub"),
        "\ud800",
        None,
        7,
        2.5,
        True,
        2**70,
        FloatSub(1.5),
        Decimal("0.5"),
        Index(),
        memoryview(b"m"),
        [1],
    ],
    ids=lambda v: type(v).__name__ if isinstance(v, (Index, memoryview)) else repr(v),
)
@pytest.mark.parametrize("which", [0, 1, 2], ids=["own class", "C++ subclass", "other C++ subclass"])
def test_field_setter_entry_answers_as_the_dispatcher(cls, field, value, which):
    make = (lambda: cls()) if which == 0 else (lambda: foreign_or_plain(cls, which - 1))
    answers_alike(getattr(cls, field).fset, (make(), value), {})


@pytest.mark.parametrize("cls, field", PROPERTIES, ids=lambda x: getattr(x, "__name__", x))
@pytest.mark.parametrize("make_self", SELVES)
@pytest.mark.parametrize("extra, kwargs", SHAPES)
def test_field_setter_entry_hands_other_shapes_over(cls, field, make_self, extra, kwargs):
    args = (make_self(cls), "v", *extra) if not kwargs else (make_self(cls),)
    answers_alike(getattr(cls, field).fset, args, kwargs)


@pytest.mark.parametrize("cls", [TsPoint, TsMetadata, Point], ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "make_self, extra, kwargs",
    [
        pytest.param(lambda cls: cls.__new__(cls), (), {}, id="a new instance"),
        pytest.param(
            lambda cls: type("Sub", (cls,), {}).__new__(type("Sub", (cls,), {})), (), {}, id="a new subclass instance"
        ),
        pytest.param(lambda cls: cls(), (), {}, id="an initialised instance"),
        pytest.param(
            lambda cls: two_bound_class(cls).__new__(two_bound_class(cls)),
            (),
            {},
            id="a new instance holding two bound types",
        ),
        pytest.param(lambda cls: NotARecord(), (), {}, id="another type"),
        pytest.param(lambda cls: ConduitRaises(), (), {}, id="an object whose conduit method raises"),
        pytest.param(lambda cls: None, (), {}, id="None"),
        pytest.param(lambda cls: cls.__new__(cls), (1,), {}, id="an extra argument"),
        pytest.param(lambda cls: cls.__new__(cls), (), {"value": 1}, id="a keyword"),
    ],
)
def test_constructor_entry_answers_as_the_dispatcher(cls, make_self, extra, kwargs):
    answers_alike(cls.__init__.__func__, (make_self(cls), *extra), kwargs)


@pytest.mark.parametrize(
    "make_args, kwargs",
    [
        pytest.param(lambda: (metadata(), point()), {}, id="plain"),
        pytest.param(lambda: (metadata(), point(b"\xff", b"\xfe")), {}, id="texts that are not UTF-8"),
        pytest.param(
            lambda: (filled(telemetry_subclass("MIMetadata")), filled(telemetry_subclass("MIPoint"))),
            {},
            id="records behind another C++ base",
        ),
        pytest.param(
            lambda: (metadata(), filled(telemetry_subclass("BigPoint"))), {}, id="a larger C++ subclass point"
        ),
        pytest.param(lambda: (type("M", (TsMetadata,), {})(), point()), {}, id="subclass metadata without tsname"),
        pytest.param(lambda: (point(), metadata()), {}, id="swapped arguments"),
        pytest.param(lambda: (None, point()), {}, id="None as the metadata"),
        pytest.param(lambda: (metadata(), ConduitRaises()), {}, id="a point whose conduit method raises"),
        pytest.param(lambda: (Proxy(), point()), {}, id="a proxy as the metadata"),
        pytest.param(lambda: (metadata(), TsPoint.__new__(TsPoint)), {}, id="an uninitialised point"),
        pytest.param(lambda: (metadata(),), {}, id="no point"),
        pytest.param(lambda: (metadata(), point(), 1), {}, id="an extra argument"),
        pytest.param(lambda: (metadata(),), {"arg1": point()}, id="a keyword"),
    ],
)
def test_convert_entry_answers_as_the_dispatcher(make_args, kwargs):
    answers_alike(ConvertPointToDb, make_args(), kwargs)


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


@pytest.mark.parametrize("prepend", [False, True], ids=["appended", "prepended"])
@isolated
def test_convert_overload_added_by_another_module_is_reached(prepend):
    from telem_pyb.backend import log

    telem_peer.add_convert_overload(prepend)
    assert log.ConvertPointToDb(None, None) == "peer overload"
    assert log.ConvertPointToDb(metadata(), point(3)).value == "3"


def through_metaclass(cls):
    """The class call as pybind11's metaclass makes it, never through the class's vectorcall."""
    return lambda *args, **kwargs: type(cls).__call__(cls, *args, **kwargs)


@pytest.mark.parametrize("cls", [TsPoint, TsMetadata, Point], ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "make_cls, args, kwargs",
    [
        pytest.param(lambda cls: cls, (), {}, id="the class"),
        pytest.param(lambda cls: cls, (1,), {}, id="an argument"),
        pytest.param(lambda cls: cls, (), {"value": 1}, id="a keyword"),
        pytest.param(lambda cls: type("Sub", (cls,), {}), (), {}, id="a subclass"),
        pytest.param(
            lambda cls: type("Sub", (cls,), {"__init__": lambda self: None}),
            (),
            {},
            id="a subclass whose __init__ skips the base's",
        ),
        pytest.param(two_bound_class, (), {}, id="a class holding two bound types"),
        pytest.param(lambda cls: foreign_or_plain(cls, 0).__class__, (), {}, id="a C++ subclass"),
    ],
)
def test_class_call_answers_as_the_metaclass(cls, make_cls, args, kwargs):
    target = make_cls(cls)
    assert outcome(target, args, kwargs) == outcome(through_metaclass(target), args, kwargs)


@pytest.mark.parametrize("name", ["TsPoint", "TsMetadata", "Point"])
@isolated
def test_class_call_follows_a_replaced_init_and_new(name):
    cls = {"TsPoint": TsPoint, "TsMetadata": TsMetadata, "Point": Point}[name]
    calls = []
    original = cls.__init__

    def replaced(self):
        calls.append(self)
        original(self)

    cls.__init__ = replaced
    obj = cls()
    assert calls == [obj] and state(obj) == state(through_metaclass(cls)())
    cls.__init__ = original
    calls.clear()
    assert state(cls()) == state(through_metaclass(cls)()) and calls == []

    def refused(cls):
        raise LookupError("no new instances")

    cls.__new__ = staticmethod(refused)
    with pytest.raises(LookupError, match="no new instances"):
        cls()


@pytest.mark.parametrize("cls", [TsPoint, TsMetadata, Point, TelemRecorder], ids=lambda c: c.__name__)
def test_python_subclass_instances_keep_dict_weakrefs_and_gc(cls):
    import gc

    sub = type("Sub", (cls,), {})
    obj = sub()
    obj.extra = [obj]  # a cycle through the instance's own attributes
    assert obj.__dict__ == {"extra": [obj]} and gc.is_tracked(obj)
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None
    with pytest.raises(TypeError, match=r"is not safe, use .*\.__new__\(\)"):
        object.__new__(sub)


def attribute_outcome(action, obj):
    try:
        result = ("returned", state(action(obj)))
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        result = (type(exc), str(exc))
    return result, state(obj)


@pytest.mark.parametrize("cls, field", PROPERTIES, ids=lambda x: getattr(x, "__name__", x))
@pytest.mark.parametrize("make_self", SELVES[:7])
@pytest.mark.parametrize("value", ["text", b"\xff", "\ud800", None, 2.5, 2**70, Decimal("0.5"), [1]], ids=repr)
def test_field_property_answers_as_its_functions_dispatchers(cls, field, make_self, value):
    prop = vars(cls)[field]
    obj = make_self(cls)
    fast = attribute_outcome(lambda o: setattr(o, field, value), obj)
    assert fast == attribute_outcome(lambda o: through_dispatcher(prop.fset)(o, value), obj)
    fast = attribute_outcome(lambda o: getattr(o, field), obj)
    assert fast == attribute_outcome(lambda o: through_dispatcher(prop.fget)(o), obj)


@pytest.mark.parametrize("cls, field", PROPERTIES, ids=lambda x: getattr(x, "__name__", x))
def test_field_property_keeps_propertys_behaviour(cls, field):
    prop = vars(cls)[field]
    assert isinstance(prop, property) and getattr(cls, field) is prop and prop.fdel is None
    with pytest.raises(AttributeError, match="has no deleter"):
        delattr(cls(), field)
    assert copy.copy(prop) is prop and copy.deepcopy(prop) is prop


def property_in_use(prop, cls, field, use):
    """What a subclass sees that redefines the field with `prop.getter/setter/deleter`, or a property of
    prop's type made around its functions."""
    seen = []
    if use == "setter":
        made = prop.setter(lambda self, value: (seen.append(value), prop.fset(self, value)))
    elif use == "getter":
        made = prop.getter(lambda self: ("through the getter", prop.fget(self)))
    elif use == "deleter":
        made = prop.deleter(lambda self: seen.append("deleted"))
    else:
        made = type(prop)(prop.fget, prop.fset, None, "made again")
    sub = type("Sub", (cls,), {field: made})
    obj = sub()
    actions = [
        lambda: setattr(obj, field, "v"),
        lambda: getattr(obj, field),
        lambda: delattr(obj, field),
        lambda: getattr(sub, field).__doc__,
    ]
    results = []
    for action in actions:
        try:
            results.append(("returned", action()))
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome
            results.append((type(exc), str(exc)))
    return isinstance(made, property), results, seen


@pytest.mark.parametrize("cls, field", PROPERTIES, ids=lambda x: getattr(x, "__name__", x))
@pytest.mark.parametrize("use", ["setter", "getter", "deleter", "the type called"])
def test_field_property_in_use_answers_as_the_property_def_readwrite_makes(cls, field, use):
    prop = vars(cls)[field]
    plain = property(prop.fget, prop.fset, None, prop.__doc__)
    assert property_in_use(prop, cls, field, use) == property_in_use(plain, cls, field, use)


@pytest.mark.parametrize("name", ["value", "mtime"])
@isolated
def test_field_property_follows_its_functions_when_initialised_again(name):
    prop = vars(TsPoint)[name]
    getter, setter = prop.fget, prop.fset
    seen = []
    property.__init__(prop, lambda obj: "replaced", lambda obj, value: seen.append(value))
    point = TsPoint()
    assert getattr(point, name) == "replaced"
    setattr(point, name, "v")
    assert seen == ["v"]
    property.__init__(prop, getter, setter)
    setattr(point, name, "back")
    assert getattr(point, name) == "back" and seen == ["v"]
