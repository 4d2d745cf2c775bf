"""C++ subclasses of telem_pyb's types that another module binds, and
assignments of `__class__` and `__bases__`: every access reads and writes the
native object it names, whichever path it takes.

telem_subclasses binds MIPoint, MIMetadata and MIRecorder behind a base of its
own (multiple inheritance, so the telem_pyb part sits at an offset) and
BigPoint with extra fields (single inheritance). Their own parts must stay
intact: a write through the wrong type would overwrite them.
"""

import pytest

import telem_subclasses as sub
from helpers import isolated
from telem_pyb import TelemRecorder, TsMetadata, TsPoint
from telem_pyb.backend.log import ConvertPointToDb, Point


class PyMIPoint(sub.MIPoint):
    pass


def intact(obj):
    """The C++ subclass's own part, as its own methods read it."""
    return obj.extra() if isinstance(obj, sub.BigPoint) else obj.tag()


OWN_PART = {sub.MIPoint: "mixin intact", PyMIPoint: "mixin intact", sub.MIMetadata: "mixin intact",
            sub.MIRecorder: "mixin intact", sub.BigPoint: ["e0", "e1", "e2", "e3"]}


@pytest.mark.parametrize("cls", [sub.MIPoint, PyMIPoint, sub.BigPoint], ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "value, seen",
    [(2.5, (2, b"2.500000")), (-7, (1, b"-7")), (True, (0, b"true")), ("text", (3, b"text")), (b"\xff", (3, b"\xff"))],
    ids=repr,
)
def test_point_fields_of_a_cpp_subclass_are_its_native_fields(cls, value, seen):
    p = cls()
    p.value, p.mtime = value, "2026-12-09T10:00:00+00:00"
    assert sub.point_seen(p) == (*seen, b"2026-12-09T10:00:00+00:00")
    assert p.mtime == "2026-12-09T10:00:00+00:00"
    if not isinstance(value, bytes):
        assert p.value == value and type(p.value) is type(value)
    assert intact(p) == OWN_PART[cls]


def test_metadata_fields_and_conversion_of_cpp_subclasses():
    meta, point = sub.MIMetadata(), sub.MIPoint()
    meta.tsname, meta.json, meta.units = "pump.pressure", "{}", "bar"
    point.value, point.mtime = 1.25, "t"
    assert sub.metadata_seen(meta) == (b"pump.pressure", b"{}")
    row = ConvertPointToDb(meta, point)
    assert (row.mtime, row.tsname, row.value, row.units) == ("t", "pump.pressure", "1.25", "bar")
    assert ConvertPointToDb(meta, sub.BigPoint()).value == ""  # a new point holds the empty text
    assert intact(meta) == intact(point) == "mixin intact"


def test_bound_methods_reach_a_cpp_subclass_recorder_behind_another_base():
    rec, meta, point = sub.MIRecorder(), sub.MIMetadata(), TsPoint()
    meta.tsname, point.value = "series", "p"
    rec.record_value(3)
    rec.record_value(2.5)
    rec.record_metadata(meta)
    rec.record_metadata_kv({"tsname": "kv"})
    rec.record_point(point)
    TelemRecorder.close(rec)
    assert rec.seen == ["point 3", "point 2.500000", "metadata series", "metadata kv", "point p", "close"]
    assert intact(rec) == "mixin intact"


# (base class, subclass): the base's constructor given an instance of the subclass.
FOREIGN_SELVES = [("TsPoint", "BigPoint"), ("TsPoint", "MIPoint"), ("TsPoint", "PyMIPoint"),
                  ("TsMetadata", "MIMetadata"), ("TelemRecorder", "MIRecorder")]
CLASSES = {"TsPoint": TsPoint, "TsMetadata": TsMetadata, "TelemRecorder": TelemRecorder, "PyMIPoint": PyMIPoint,
           "BigPoint": sub.BigPoint, "MIPoint": sub.MIPoint, "MIMetadata": sub.MIMetadata, "MIRecorder": sub.MIRecorder}


@pytest.mark.parametrize("base, subclass", FOREIGN_SELVES)
@isolated
def test_base_constructor_refuses_an_instance_without_storage_for_it(base, subclass):
    # pybind11's own constructor call would end the process for these.
    cls = CLASSES[subclass]
    obj = cls.__new__(cls)
    for args, kwargs in [((), {}), ((1,), {}), ((), {"arg0": 1})]:
        with pytest.raises(TypeError, match=r"^__init__\(self, \.\.\.\) called with invalid or missing `self` argument$"):
            CLASSES[base].__init__(obj, *args, **kwargs)
    cls.__init__(obj)  # its own constructor still makes it whole
    assert intact(obj) == OWN_PART[cls]


class SubA(TsPoint):
    pass


class SubB(TsPoint):
    pass


class Plain:
    pass


class OtherPlain:
    pass


ASSIGNMENTS = {
    "attribute": lambda obj, cls: setattr(obj, "__class__", cls),
    "object.__setattr__": lambda obj, cls: object.__setattr__(obj, "__class__", cls),
    "the descriptor": lambda obj, cls: object.__dict__["__class__"].__set__(obj, cls),
}


@pytest.mark.parametrize("how", list(ASSIGNMENTS))
@pytest.mark.parametrize(
    "make, to",
    [
        (TsPoint, TsMetadata),
        (TsMetadata, TsPoint),
        (TsPoint, Point),
        (sub.BigPoint, TsPoint),
        (TsPoint, sub.BigPoint),
        (sub.MIPoint, TsPoint),
        (TsPoint, sub.MIPoint),
        (TsPoint, TelemRecorder),
    ],
    ids=lambda c: c.__name__,
)
def test_class_assignment_between_native_types_is_refused(make, to, how):
    obj = make()
    with pytest.raises(TypeError, match="holds other native types"):
        ASSIGNMENTS[how](obj, to)
    assert type(obj) is make
    if isinstance(obj, TsPoint):
        obj.value = 5
        assert obj.value == 5 and sub.point_seen(obj)[0] == 1


@pytest.mark.parametrize("make, to", [(SubA, SubB), (Plain, OtherPlain)], ids=lambda c: c.__name__)
def test_class_assignment_that_keeps_the_native_types_goes_ahead(make, to):
    obj = make()
    if isinstance(obj, TsPoint):
        obj.value = 1.5
    obj.__class__ = to
    assert type(obj) is to
    if isinstance(obj, TsPoint):
        assert obj.value == 1.5


def test_bases_assignment_that_changes_the_native_types_is_refused():
    class Moving(TsPoint):
        pass

    class Moving2(Moving):
        pass

    with pytest.raises(TypeError, match="would hold other native types"):
        Moving.__bases__ = (TsMetadata,)
    with pytest.raises(TypeError, match="would hold other native types"):
        Moving2.__bases__ = (sub.BigPoint,)
    assert Moving2.__mro__[1:3] == (Moving, TsPoint)
    p = Moving2()
    p.value = 2
    assert p.value == 2


def test_bases_assignment_between_subclasses_of_one_native_type_goes_ahead():
    class Child(SubA):
        pass

    Child.__bases__ = (SubB,)
    assert Child.__mro__[1] is SubB
    c = Child()
    c.mtime = "m"
    assert c.mtime == "m"
