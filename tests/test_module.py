"""Module layout, names, docstrings, shown signatures and the interpreter version gate."""

import glob
import os
import shutil
import subprocess
import sys
import types

import pytest

import telem_pyb
from helpers import run_python
from telem_pyb import TelemRecorder, TsMetadata, TsPoint
from telem_pyb.backend.log import ConvertPointToDb, Point

STANDARD_MODULE_ATTRS = set(dir(types.ModuleType("plain"))) | {"__file__"}

METADATA_FIELDS = ["tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json"]
LOG_POINT_FIELDS = ["mtime", "tsname", "value", "btype", "units", "comment", "origin"]
VALUE_TYPE = "Union[bool, int, float, str]"


@pytest.mark.parametrize(
    "module, names",
    [
        pytest.param(telem_pyb, {"__version__", "TsPoint", "TsMetadata", "TelemException", "TelemRecorder", "backend"},
                     id="the top module holds the records, recorder, exception, version and backend"),
        pytest.param(telem_pyb.backend, {"log"}, id="backend holds only log"),
        pytest.param(telem_pyb.backend.log, {"Point", "ConvertPointToDb"}, id="log holds Point and ConvertPointToDb"),
    ],
)
def test_module_holds_exactly_its_names(module, names):
    assert set(dir(module)) - STANDARD_MODULE_ATTRS == names


@pytest.mark.parametrize(
    "name, module",
    [
        pytest.param("telem_pyb", telem_pyb, id="the top module is registered"),
        pytest.param("telem_pyb.backend", telem_pyb.backend, id="backend is registered under its dotted name"),
        pytest.param("telem_pyb.backend.log", telem_pyb.backend.log, id="log is registered under its dotted name"),
    ],
)
def test_modules_are_registered_in_sys_modules(name, module):
    assert sys.modules[name] is module
    assert module.__name__ == name


def test_version_is_the_str_5_0_0():
    assert type(telem_pyb.__version__) is str
    assert telem_pyb.__version__ == "5.0.0"


@pytest.mark.parametrize(
    "module",
    [telem_pyb, telem_pyb.backend, telem_pyb.backend.log],
    ids=["top module has no docstring", "backend has no docstring", "log has no docstring"],
)
def test_modules_have_no_docstring(module):
    assert module.__doc__ is None


@pytest.mark.parametrize(
    "cls, module, name",
    [
        pytest.param(TsPoint, "telem_pyb", "TsPoint", id="TsPoint lives in telem_pyb"),
        pytest.param(TsMetadata, "telem_pyb", "TsMetadata", id="TsMetadata lives in telem_pyb"),
        pytest.param(TelemRecorder, "telem_pyb", "TelemRecorder", id="TelemRecorder lives in telem_pyb"),
        pytest.param(Point, "telem_pyb.backend.log", "Point", id="Point lives in telem_pyb.backend.log"),
    ],
)
def test_class_names_and_docstrings(cls, module, name):
    assert cls.__module__ == module
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__doc__ == name


def _property_rows():
    rows = [
        ("TsPoint", TsPoint, "value", VALUE_TYPE),
        ("TsPoint", TsPoint, "mtime", "str"),
    ]
    rows += [("TsMetadata", TsMetadata, f, "str") for f in METADATA_FIELDS]
    rows += [("backend.log.Point", Point, f, "str") for f in LOG_POINT_FIELDS]
    return [
        pytest.param(cls, field, f"telem_pyb.{qual}", kind, id=f"{qual}.{field} is a {kind} property")
        for qual, cls, field, kind in rows
    ]


@pytest.mark.parametrize("cls, field, qualname, kind", _property_rows())
def test_property_accessor_signatures(cls, field, qualname, kind):
    prop = cls.__dict__[field]
    assert isinstance(prop, property)  # a subclass whose slots run the fast bodies directly
    assert prop.__doc__ == ""
    assert prop.fdel is None
    assert prop.fget.__doc__ == f"(self: {qualname}) -> {kind}\n"
    assert prop.fset.__doc__ == f"(self: {qualname}, arg0: {kind}) -> None\n"


@pytest.mark.parametrize(
    "function, doc",
    [
        pytest.param(TsPoint.__init__, "__init__(self: telem_pyb.TsPoint) -> None\n", id="TsPoint constructor"),
        pytest.param(TsPoint.value_str, "value_str(self: telem_pyb.TsPoint) -> str\n\nvalue to string\n",
                     id="TsPoint value_str"),
        pytest.param(TsMetadata.__init__, "__init__(self: telem_pyb.TsMetadata) -> None\n",
                     id="TsMetadata constructor"),
        pytest.param(TelemRecorder.__init__, "__init__(self: telem_pyb.TelemRecorder) -> None\n",
                     id="TelemRecorder constructor"),
        pytest.param(TelemRecorder.record_metadata,
                     "record_metadata(self: telem_pyb.TelemRecorder, arg0: telem_pyb.TsMetadata) -> None\n\n"
                     "Record Metadata\n", id="record_metadata"),
        pytest.param(TelemRecorder.record_metadata_kv,
                     "record_metadata_kv(self: telem_pyb.TelemRecorder, arg0: Dict[str, str]) -> None\n\n"
                     "Record Metadata Key-Value\n", id="record_metadata_kv"),
        pytest.param(TelemRecorder.record_point,
                     "record_point(self: telem_pyb.TelemRecorder, arg0: telem_pyb.TsPoint) -> None\n\n"
                     "Record Point\n", id="record_point"),
        pytest.param(TelemRecorder.record_value,
                     f"record_value(self: telem_pyb.TelemRecorder, arg0: {VALUE_TYPE}) -> None\n\n"
                     "Record Point Value\n", id="record_value"),
        pytest.param(TelemRecorder.close, "close(self: telem_pyb.TelemRecorder) -> None\n\nClose Recorder\n",
                     id="close"),
        pytest.param(Point.__init__, "__init__(self: telem_pyb.backend.log.Point) -> None\n",
                     id="log Point constructor"),
        pytest.param(ConvertPointToDb,
                     "ConvertPointToDb(arg0: telem_pyb.TsMetadata, arg1: telem_pyb.TsPoint) -> "
                     "telem_pyb.backend.log.Point\n", id="ConvertPointToDb"),
    ],
)
def test_shown_signatures(function, doc):
    assert function.__doc__ == doc
    assert function.__name__ == doc.split("(", 1)[0]


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda: TelemRecorder().record_point(arg0=TsPoint()), id="record_point refuses arg0 by keyword"),
        pytest.param(lambda: TelemRecorder().record_value(arg0=1), id="record_value refuses arg0 by keyword"),
        pytest.param(lambda: TsPoint.value_str(self=TsPoint()), id="value_str refuses self by keyword"),
        pytest.param(lambda: ConvertPointToDb(arg0=TsMetadata(), arg1=TsPoint()),
                     id="ConvertPointToDb refuses both arguments by keyword"),
        pytest.param(lambda: TsPoint(value=1), id="TsPoint constructor refuses keywords"),
    ],
)
def test_keyword_arguments_are_refused(call):
    with pytest.raises(TypeError, match="incompatible (function|constructor) arguments"):
        call()


@pytest.mark.parametrize(
    "cls",
    [TsPoint, TsMetadata, TelemRecorder, Point],
    ids=lambda c: f"{c.__name__} refuses unknown attributes",
)
def test_unknown_attribute_is_refused(cls):
    obj = cls()
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")
    subclass = type("Sub" + cls.__name__, (cls,), {})
    sub = subclass()
    sub.extra = 1
    assert sub.__dict__ == {"extra": 1}


def test_nested_module_imports_in_a_fresh_interpreter():
    result = run_python(
        """
        import telem_pyb.backend.log
        from telem_pyb.backend.log import Point, ConvertPointToDb
        import sys
        assert sys.modules["telem_pyb.backend.log"] is telem_pyb.backend.log
        print(Point.__module__, ConvertPointToDb.__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "telem_pyb.backend.log ConvertPointToDb\n"


def _other_interpreter(version):
    candidates = []
    pyenv = shutil.which("pyenv")
    if pyenv:
        root = subprocess.run([pyenv, "root"], capture_output=True, text=True).stdout.strip()
        candidates += sorted(glob.glob(os.path.join(root, "versions", f"{version}*", "bin", f"python{version}")))
    found = shutil.which(f"python{version}")
    if found:
        candidates.append(found)
    if not candidates:
        pytest.skip(f"no CPython {version} installed")
    return candidates[0]


_LOAD_FOREIGN = """
import importlib.machinery, importlib.util, os, sys
sys.setdlopenflags(os.RTLD_LAZY | os.RTLD_GLOBAL)
path = sys.argv[1]
loader = importlib.machinery.ExtensionFileLoader("telem_pyb", path)
found = importlib.util.spec_from_file_location("telem_pyb", path, loader=loader)
try:
    importlib.util.module_from_spec(found)
except ImportError as exc:
    expected = ("Python version mismatch: module was compiled for Python 3.12, "
                "but the interpreter version is incompatible: " + sys.version + ".")
    print("match" if str(exc) == expected else "got: " + repr(str(exc)))
    print("telem_pyb" in sys.modules, "telem_pyb.backend" in sys.modules)
else:
    print("loaded")
"""


@pytest.mark.parametrize("version", ["3.11", "3.13"], ids=lambda v: f"CPython {v} is refused with the version message")
def test_other_interpreter_is_refused(version):
    python = _other_interpreter(version)
    result = subprocess.run([python, "-c", _LOAD_FOREIGN, telem_pyb.__file__], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "match\nFalse False\n"


def test_only_strong_text_symbol_is_the_entry_point():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("binutils nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", telem_pyb.__file__], capture_output=True, text=True,
                         check=True).stdout
    strong_text = [line.split()[-1] for line in out.splitlines() if len(line.split()) == 3 and line.split()[1] == "T"]
    assert strong_text == ["PyInit_telem_pyb"]
