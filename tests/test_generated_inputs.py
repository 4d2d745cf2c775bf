"""Generated inputs held against a pure-Python model of the conversions (value_model).

Every example ends either in exactly the model's value (same type; floats by bit
pattern, nan as nan) or in the incompatible-arguments TypeError with the old
value kept. The number of examples comes from the Hypothesis profile loaded in
conftest.py.
"""

import enum
import math
import warnings
from collections import OrderedDict
from types import MappingProxyType

import numpy as np
import pytest
from hypothesis import event, given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import value_model as model
from helpers import Sink, ThroughDispatcher, ThroughRecordValue, ThroughSetter, incompatible
from telem_pyb import TsMetadata, TsPoint
from telem_pyb.backend.log import Point

POINT_FIELDS = ("mtime", "tsname", "value", "btype", "units", "comment", "origin")

# ---------------------------------------------------------------------------
# Strategies


class IntSub(int):
    pass


class FloatSub(float):
    pass


class TextSub(str):
    pass


class BytesSub(bytes):
    pass


class DictSub(dict):
    pass


class Level(enum.IntEnum):
    LOW = -1
    HIGH = 2**62


RAISE = "raise"  # a dunder that raises ValueError

any_char = st.characters(exclude_categories=())
lone_surrogate = st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF, exclude_categories=())
# Any code point; every other text may hold lone surrogates, which have no UTF-8 form.
texts = st.one_of(st.text(any_char, max_size=10), st.text(st.one_of(any_char, lone_surrogate), max_size=6))

ints = st.one_of(
    st.integers(),
    st.integers(model.INT64_MIN - 4, model.INT64_MIN + 4),
    st.integers(model.INT64_MAX - 4, model.INT64_MAX + 4),
    st.integers(-(2**200), 2**200),
)
special_floats = st.sampled_from([0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 5e-324, 1.7976931348623157e308])
floats = st.one_of(st.floats(), special_floats)

dunder_results = st.one_of(
    ints,
    floats,
    st.booleans(),
    st.none(),
    st.builds(IntSub, ints),
    st.builds(FloatSub, floats),
    st.text(max_size=2),
    st.complex_numbers(),
    st.just(RAISE),
)


def _dunder(result):
    if result == RAISE and isinstance(result, str):

        def method(self):
            raise ValueError("refused by the object")

    else:

        def method(self):
            return result

    return method


@st.composite
def custom_objects(draw):
    """An instance of a new class with any mix of __bool__, __index__, __int__ and __float__."""
    base = draw(st.sampled_from([object, object, int, float, str, bytes]))
    name = draw(st.sampled_from(["Custom", "Custom", "numpy.bool_", "numpy.bool", "numpy.complex64", "bool_"]))
    namespace = {}
    for dunder in ("bool", "index", "int", "float"):
        if draw(st.booleans()):
            namespace[f"__{dunder}__"] = _dunder(draw(dunder_results))
    cls = type(name, (base,), namespace)
    if base is object:
        return cls()
    payload = draw({int: ints, float: floats, str: texts, bytes: st.binary(max_size=6)}[base])
    return cls(payload)


NUMPY_DTYPES = [
    "bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float16", "float32",
    "float64", "longdouble", "complex64", "complex128", "clongdouble", "U3", "S3", "datetime64[s]", "timedelta64[s]",
]


def _numpy_scalar(dtype):
    dt = np.dtype(dtype)
    return hnp.from_dtype(dt).map(dt.type)


numpy_scalars = st.one_of([_numpy_scalar(d) for d in NUMPY_DTYPES])
numpy_arrays = hnp.arrays(
    st.sampled_from([np.dtype(d) for d in ("bool", "int64", "uint64", "float32", "float64", "complex128")]),
    st.sampled_from([(), (1,), (2,)]),
)

any_values = st.one_of(
    ints,
    floats,
    st.booleans(),
    st.none(),
    texts,
    st.binary(max_size=10),
    st.binary(max_size=10).map(bytearray),
    st.builds(IntSub, ints),
    st.builds(FloatSub, floats),
    st.builds(TextSub, texts),
    st.builds(BytesSub, st.binary(max_size=6)),
    st.sampled_from(list(Level)),
    st.complex_numbers(),
    st.decimals(),
    st.fractions(),
    numpy_scalars,
    numpy_arrays,
    custom_objects(),
    st.sampled_from([[1], (), {}, object(), memoryview(b"a"), range(3)]),
)

# Values that always load: the value held before each example.
simple_values = st.one_of(st.booleans(), st.integers(-(2**63), 2**63 - 1), st.floats(), st.text(max_size=5))


def outcome(read):
    """(value, None) of a read, or (None, type of the exception it raised)."""
    try:
        return read(), None
    except UnicodeDecodeError:
        return None, UnicodeDecodeError


def assert_same(got, expected):
    assert model.same(got, expected), f"got {got!r} ({type(got).__name__}), model says {expected!r}"


# ---------------------------------------------------------------------------
# Sample values


@pytest.mark.parametrize("route", [ThroughSetter, ThroughRecordValue, ThroughDispatcher],
                         ids=["TsPoint.value", "record_value", "record_value via tp_call"])
@pytest.mark.parametrize("warnings_action", ["error", "ignore"],
                         ids=["warnings raise", "warnings ignored"])
@given(previous=simple_values, value=any_values)
def test_sample_value_follows_the_model(route, warnings_action, previous, value):
    target = route()
    target.put(previous)
    with warnings.catch_warnings():
        warnings.simplefilter(warnings_action)
        expected = model.load_value(value)
        try:
            target.put(value)
        except TypeError as exc:
            refused = exc
        else:
            refused = None

    event(f"model: {expected.kind if expected != model.MISMATCH else expected}")
    if expected == model.MISMATCH:
        assert refused is not None, f"{value!r} was stored as {outcome(target.read)}"
        assert type(refused) is TypeError
        assert str(refused) == target.message(value)
        assert target.count() == 1
        assert_same(target.read(), previous)
    else:
        assert refused is None, f"{value!r} refused, model stores {expected}"
        assert target.count() == (2 if target.stores_each_value else 1)
        got, got_error = outcome(target.read)
        want, want_error = model.read_back(expected)
        assert got_error is want_error
        if want_error is None:
            assert_same(got, want)


# ---------------------------------------------------------------------------
# Text fields

TEXT_FIELDS = (
    [(TsPoint, "mtime", "telem_pyb.TsPoint")]
    + [(TsMetadata, f, "telem_pyb.TsMetadata") for f in model.METADATA_FIELDS]
    + [(Point, f, "telem_pyb.backend.log.Point") for f in POINT_FIELDS]
)

text_like = st.one_of(
    texts,
    st.builds(TextSub, texts),
    st.binary(max_size=10),
    st.binary(max_size=10).map(bytearray),
    st.builds(BytesSub, st.binary(max_size=6)),
    _numpy_scalar("U3"),
    _numpy_scalar("S3"),
)
not_text = st.one_of(
    ints,
    floats,
    st.none(),
    st.booleans(),
    st.binary(max_size=4).map(memoryview),
    st.lists(st.text(max_size=2), max_size=2),
    numpy_scalars,
    custom_objects(),
)
text_inputs = st.one_of(text_like, text_like, not_text)


@given(field=st.sampled_from(TEXT_FIELDS), previous=st.text(max_size=5), value=text_inputs)
def test_text_field_follows_the_model(field, previous, value):
    cls, name, qualified = field
    record = cls()
    setattr(record, name, previous)
    expected = model.load_text(value)
    try:
        setattr(record, name, value)
    except TypeError as exc:
        refused = exc
    else:
        refused = None

    event("model: refused" if expected == model.MISMATCH else "model: stored")
    if expected == model.MISMATCH:
        assert refused is not None, f"{value!r} was accepted"
        signature = f"(self: {qualified}, arg0: str) -> None"
        assert str(refused) == incompatible("", signature, record, value)
        assert getattr(record, name) == previous
    else:
        assert refused is None, f"{value!r} refused, model stores {expected!r}"
        got, got_error = outcome(lambda: getattr(record, name))
        want, want_error = model.read_back(expected)
        assert got_error is want_error
        if want_error is None:
            assert_same(got, want)


# ---------------------------------------------------------------------------
# record_metadata_kv

KV_SIGNATURE = "(self: telem_pyb.TelemRecorder, arg0: Dict[str, str]) -> None"
known_keys = st.sampled_from(model.METADATA_FIELDS + ("Tsid", "other", ""))
plain_texts = st.text(max_size=8)  # no lone surrogates
good_keys = st.one_of(known_keys, known_keys, known_keys.map(str.encode), known_keys.map(TextSub),
                      known_keys.map(lambda k: BytesSub(k.encode())), plain_texts, st.binary(max_size=5))
good_values = st.one_of(plain_texts, st.binary(max_size=6), st.binary(max_size=6).map(bytearray),
                        st.builds(TextSub, plain_texts))
any_keys = st.one_of(good_keys, texts, st.integers(), st.none(), st.floats(allow_nan=False), st.tuples(st.integers()))
any_values = st.one_of(good_values, texts, st.integers(), st.none(), st.floats(), st.lists(st.text(max_size=1)))
good_pairs = st.lists(st.tuples(good_keys, good_values), max_size=10)
any_pairs = st.lists(st.tuples(any_keys, any_values), max_size=6)
kv_inputs = st.one_of(
    good_pairs.map(dict),
    good_pairs.map(OrderedDict),
    good_pairs.map(DictSub),
    any_pairs.map(dict),
    good_pairs.map(lambda p: MappingProxyType(dict(p))),
    good_pairs,
    st.none(),
)


@given(kv=kv_inputs)
def test_record_metadata_kv_follows_the_model(kv):
    recorder = Sink()
    expected = model.load_metadata_kv(kv)
    try:
        recorder.record_metadata_kv(kv)
    except TypeError as exc:
        refused = exc
    else:
        refused = None

    event("model: refused" if expected == model.MISMATCH else "model: stored")
    if expected == model.MISMATCH:
        assert refused is not None, f"{kv!r} was accepted"
        assert str(refused) == incompatible("record_metadata_kv", KV_SIGNATURE, recorder, kv)
        assert recorder.metadata == []
    else:
        assert refused is None, f"{kv!r} refused"
        (meta,) = recorder.metadata
        for name, raw in expected.items():
            got, got_error = outcome(lambda: getattr(meta, name))
            want, want_error = model.read_back(raw)
            assert (got, got_error) == (want, want_error), name

