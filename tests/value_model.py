"""A pure-Python model of how telem_pyb turns Python objects into stored values.

The model follows the conversion rules with Python's own protocol calls
(operator.index, float(), int(), a type's __bool__), run in the caller's
warnings context, so that a DeprecationWarning that the filters turn into an
error fails the model's step exactly where it fails the module's.

Results: `Stored(kind, value)` with kind "bool", "int", "float" or "text" (value
is then the stored bytes), or `MISMATCH`.
"""

from __future__ import annotations

import ctypes
import math
import operator
import struct
from typing import NamedTuple

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
# Offset of tp_name in a type object: after ob_refcnt, ob_type and ob_size.
_TP_NAME_OFFSET = 3 * ctypes.sizeof(ctypes.c_ssize_t)

METADATA_FIELDS = ("tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json")


class Stored(NamedTuple):
    kind: str
    value: object


MISMATCH = "mismatch"


def tp_name(cls: type) -> str:
    """The type's C-level name (tp_name), which the module compares: "numpy.bool", "decimal.Decimal",
    or for a class made in Python its name as given."""
    return ctypes.c_char_p.from_address(id(cls) + _TP_NAME_OFFSET).value.decode()


assert tp_name(int) == "int" and tp_name(type("a.b", (), {})) == "a.b"


def _has(obj, dunder: str) -> bool:
    return hasattr(type(obj), dunder)


def truth(obj):
    """The type's __bool__ as the interpreter's truth slot runs it: True, False, or None if it fails or is absent."""
    method = getattr(type(obj), "__bool__", None)
    if method is None:
        return None
    try:
        result = method(obj)
    except Exception:
        return None
    return result if result is True or result is False else None


def _index(obj):
    """operator.index(obj), or None if it raises."""
    try:
        return operator.index(obj)
    except Exception:
        return None


def _in_range(value: int) -> bool:
    return INT64_MIN <= value <= INT64_MAX


def is_number(obj) -> bool:
    return _has(obj, "__index__") or _has(obj, "__int__") or _has(obj, "__float__") or isinstance(obj, complex)


def is_complex(obj) -> bool:
    name = tp_name(type(obj))
    return isinstance(obj, complex) or name.startswith("numpy.complex") or name == "numpy.clongdouble"


def _exact(obj):
    """First pass: the value's own kind, no conversion. None when nothing matches."""
    if obj is True or obj is False:
        return Stored("bool", obj)
    if tp_name(type(obj)) in ("numpy.bool_", "numpy.bool"):
        b = truth(obj)
        if b is not None:
            return Stored("bool", b)
    if not isinstance(obj, float) and (isinstance(obj, int) or _has(obj, "__index__")):
        v = _index(obj)  # an int subclass gives its own value without calling __index__
        if v is not None and _in_range(v):
            return Stored("int", int(v))
    if isinstance(obj, float):
        return Stored("float", float.__float__(obj))  # the stored double, whatever __float__ says
    if isinstance(obj, str):
        try:
            return Stored("text", str.encode(obj, "utf-8"))
        except UnicodeEncodeError:
            return None
    if isinstance(obj, (bytes, bytearray)):
        return Stored("text", memoryview(obj).tobytes())
    return None


def _converted(obj):
    """Second pass: None is false, numbers keep their numeric value, other objects their truth."""
    if obj is None:
        return Stored("bool", False)
    if not is_number(obj):
        b = truth(obj)
        return MISMATCH if b is None else Stored("bool", b)
    if isinstance(obj, int) or _has(obj, "__index__"):
        v = _index(obj)
        if v is not None:
            return Stored("int", int(v)) if _in_range(v) else MISMATCH
    if is_complex(obj):
        return MISMATCH
    if _has(obj, "__float__"):
        try:
            return Stored("float", float(obj))
        except Exception:
            return MISMATCH
    if _has(obj, "__int__"):
        try:
            v = int(obj)
        except Exception:
            return MISMATCH
        return Stored("int", v) if _in_range(v) else MISMATCH
    return MISMATCH


def load_value(obj):
    """What the module stores for `obj` as a sample value, or MISMATCH."""
    result = _exact(obj)
    return result if result is not None else _converted(obj)


def load_text(obj):
    """What a text field stores for `obj`: its bytes, or MISMATCH."""
    if isinstance(obj, str):
        try:
            return str.encode(obj, "utf-8")
        except UnicodeEncodeError:
            return MISMATCH
    if isinstance(obj, (bytes, bytearray)):
        return memoryview(obj).tobytes()
    return MISMATCH


def load_metadata_kv(obj):
    """The nine metadata fields (as bytes) that record_metadata_kv builds from `obj`, or MISMATCH."""
    if not isinstance(obj, dict):
        return MISMATCH
    entries = {}
    for key, value in dict.items(obj):
        k, v = load_text(key), load_text(value)
        if k is MISMATCH or v is MISMATCH:
            return MISMATCH
        entries.setdefault(k, v)  # the entry visited first stays
    return {f: entries.get(f.encode(), b"") for f in METADATA_FIELDS}


def read_back(stored: Stored | bytes):
    """What reading the stored value gives: (python value, None) or (None, the exception type)."""
    kind, value = stored if isinstance(stored, Stored) else ("text", stored)
    if kind != "text":
        return value, None
    try:
        return value.decode("utf-8"), None
    except UnicodeDecodeError:
        return None, UnicodeDecodeError


def same(got, expected) -> bool:
    """Equal values of exactly the same type; floats by bit pattern, any nan equal to any nan."""
    if type(got) is not type(expected):
        return False
    if isinstance(expected, float):
        if math.isnan(expected):
            return math.isnan(got)
        return struct.pack("<d", got) == struct.pack("<d", expected)
    return got == expected
