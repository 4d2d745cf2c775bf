"""The installed type stubs against the module.

stubtest (run by `make typecheck`) checks names, classes and properties but
cannot read the signatures of pybind11 functions. These tests compare each
stub signature with the one the module shows, and check that mypy refuses
exactly the calls and assignments that the module refuses.
"""

import ast
import pathlib
import re
import sysconfig
import textwrap

import mypy.api
import pytest

import telem_pyb
from telem_pyb.backend import log

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE_STUBS = ROOT / "stubs" / "telem_pyb-stubs"
INSTALLED_STUBS = pathlib.Path(sysconfig.get_path("platlib")) / "telem_pyb-stubs"
STUB_FILES = ["__init__.pyi", "backend/__init__.pyi", "backend/log.pyi"]

# The stub type that stands for each type the module shows: text arguments
# take bytes and bytearray too, values take everything the loader takes.
ARGUMENT_TYPES = {
    "str": "_Text",
    "Union[bool, int, float, str]": "_ValueIn",
    "Dict[str, str]": "dict[_Key, _TextValue]",
    "telem_pyb.TsPoint": "TsPoint",
    "telem_pyb.TsMetadata": "TsMetadata",
}
RESULT_TYPES = {
    "None": "None",
    "str": "str",
    "Union[bool, int, float, str]": "_Value",
    "telem_pyb.backend.log.Point": "Point",
}

SHOWN = re.compile(r"^\w*\((?P<args>.*)\) -> (?P<result>.+)$")


def shown_signature(doc, method=True):
    """(argument types, self left out; result type) from a pybind11 docstring's first line."""
    match = SHOWN.match(doc.splitlines()[0])
    args = [a.split(": ", 1)[1] for a in re.split(r", (?=\w+: )", match["args"]) if a]
    return args[1:] if method else args, match["result"]


def runtime_members():
    """Every bound function and property accessor as (path, shown arguments, shown result)."""
    members = []
    for module, cls in [(telem_pyb, telem_pyb.TsPoint), (telem_pyb, telem_pyb.TsMetadata),
                        (telem_pyb, telem_pyb.TelemRecorder), (log, log.Point)]:
        for name in vars(cls):
            if name.startswith("_") and not name.endswith("__"):
                continue  # pybind11's private helpers, not part of the module's interface
            attr = getattr(cls, name)  # a method is pybind11's instance-method wrapper, whatever holds it
            if isinstance(attr, property):
                members.append((f"{module.__name__}.{cls.__name__}.{name}.getter", *shown_signature(attr.fget.__doc__)))
                members.append((f"{module.__name__}.{cls.__name__}.{name}.setter", *shown_signature(attr.fset.__doc__)))
            elif type(attr).__name__ == "instancemethod":
                members.append((f"{module.__name__}.{cls.__name__}.{name}", *shown_signature(attr.__doc__)))
    members.append(("telem_pyb.backend.log.ConvertPointToDb", *shown_signature(log.ConvertPointToDb.__doc__, False)))
    return members


def stub_functions():
    """Every function of the installed stubs by the same paths as runtime_members: (node, is a method)."""
    functions = {}
    for rel, module in [("__init__.pyi", "telem_pyb"), ("backend/log.pyi", "telem_pyb.backend.log")]:
        tree = ast.parse((INSTALLED_STUBS / rel).read_text())
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                functions[f"{module}.{node.name}"] = node, False
            elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
                for item in node.body:
                    if isinstance(item, ast.FunctionDef):
                        decorators = [ast.unparse(d) for d in item.decorator_list]
                        suffix = ".getter" if "property" in decorators else ".setter" if decorators else ""
                        functions[f"{module}.{node.name}.{item.name}{suffix}"] = item, True
    return functions


RUNTIME = runtime_members()


def test_the_installed_stubs_are_the_ones_in_the_source_tree():
    for rel in STUB_FILES:
        assert (INSTALLED_STUBS / rel).read_text() == (SOURCE_STUBS / rel).read_text(), rel


def test_every_stub_function_exists_in_the_module():
    assert sorted(stub_functions()) == sorted(path for path, _, _ in RUNTIME)


@pytest.mark.parametrize("path, args, result", RUNTIME, ids=[path for path, _, _ in RUNTIME])
def test_stub_signature_matches_the_shown_one(path, args, result):
    stub, method = stub_functions()[path]
    params = stub.args
    assert not params.kwonlyargs and params.vararg is None and params.kwarg is None and not params.defaults
    # Positional only: nothing but `self` may be passed by keyword.
    assert [a.arg for a in params.args] in ([], ["self"])
    stub_args = (params.posonlyargs + params.args)[1 if method else 0:]
    assert [ast.unparse(a.annotation) for a in stub_args] == [ARGUMENT_TYPES[a] for a in args]
    assert ast.unparse(stub.returns) == RESULT_TYPES[result]


# Each case is run by the module and checked by mypy. The module raises
# TypeError exactly for the cases mypy must refuse.
PRELUDE = """\
import decimal
import fractions

from telem_pyb import TelemRecorder, TsMetadata, TsPoint
from telem_pyb.backend.log import ConvertPointToDb, Point


class Recorder(TelemRecorder):
    def record_point(self, point: TsPoint) -> None:
        pass

    def record_metadata(self, meta: TsMetadata) -> None:
        pass

    def close(self) -> None:
        pass


class Index:
    def __index__(self) -> int:
        return 3


class Flag:
    def __bool__(self) -> bool:
        return True


def named() -> TsMetadata:
    meta = TsMetadata()
    meta.tsname = "series"
    return meta
"""

CASES = [
    ("p.value = True", True, "a bool value"),
    ("p.value = 3", True, "an int value"),
    ("p.value = 2.5", True, "a float value"),
    ("p.value = 'x'", True, "a str value"),
    ("p.value = b'x'", True, "a bytes value"),
    ("p.value = bytearray(b'x')", True, "a bytearray value"),
    ("p.value = None", True, "None as value"),
    ("p.value = Index()", True, "a value with __index__"),
    ("p.value = decimal.Decimal('1.5')", True, "a Decimal value"),
    ("p.value = fractions.Fraction(1, 2)", True, "a Fraction value"),
    ("p.value = Flag()", True, "a value with __bool__"),
    ("p.value = [1]", False, "a list value"),
    ("p.value = {'a': 1}", False, "a dict value"),
    ("p.value = object()", False, "a plain object value"),
    ("p.mtime = 't'", True, "a str time text"),
    ("p.mtime = b't'", True, "a bytes time text"),
    ("p.mtime = 5", False, "an int time text"),
    ("p.mtime = None", False, "None as time text"),
    ("m.json = bytearray(b'{}')", True, "a bytearray metadata field"),
    ("m.tsid = 1", False, "an int metadata field"),
    ("lp.units = b'm'", True, "a bytes log point field"),
    ("lp.value = 5", False, "an int log point value"),
    ("lp.value = None", False, "None as log point value"),
    ("r.record_value(1)", True, "record_value with an int"),
    ("r.record_value(b'x')", True, "record_value with bytes"),
    ("r.record_value([1])", False, "record_value with a list"),
    ("r.record_value(value=1)", False, "record_value by keyword"),
    ("TelemRecorder.record_point(r, TsPoint())", True, "record_point with a point"),
    ("TelemRecorder.record_point(r, TsMetadata())", False, "record_point with metadata"),
    ("TelemRecorder.record_point(r, point=TsPoint())", False, "record_point by keyword"),
    ("TelemRecorder.record_metadata(r, TsMetadata())", True, "record_metadata with metadata"),
    ("TelemRecorder.record_metadata(r, None)", False, "record_metadata with None"),
    ("r.record_metadata_kv({'tsid': 'x'})", True, "record_metadata_kv with str"),
    ("r.record_metadata_kv({b'tsid': b'x'})", True, "record_metadata_kv with bytes"),
    ("r.record_metadata_kv({'tsid': bytearray(b'x')})", True, "record_metadata_kv with a bytearray value"),
    ("r.record_metadata_kv({'tsid': 1})", False, "record_metadata_kv with an int value"),
    ("r.record_metadata_kv({1: 'x'})", False, "record_metadata_kv with an int key"),
    ("r.record_metadata_kv([('tsid', 'x')])", False, "record_metadata_kv with pairs"),
    ("TelemRecorder.close(r)", True, "close"),
    ("TelemRecorder.close(r, 1)", False, "close with an argument"),
    ("ConvertPointToDb(named(), p)", True, "ConvertPointToDb with metadata and point"),
    ("ConvertPointToDb(p, named())", False, "ConvertPointToDb swapped"),
    ("ConvertPointToDb(named())", False, "ConvertPointToDb without a point"),
    ("ConvertPointToDb(meta=named(), point=p)", False, "ConvertPointToDb by keyword"),
    ("TsPoint(1)", False, "TsPoint with an argument"),
    ("Point('x')", False, "Point with an argument"),
    ("p.value_str(1)", False, "value_str with an argument"),
]

SETUP = "p, m, lp, r = TsPoint(), TsMetadata(), Point(), Recorder()"


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """mypy --strict's error lines for a file holding every case, one function each, by case."""
    tmp = tmp_path_factory.mktemp("mypy")
    lines = PRELUDE.splitlines()
    case_of_line = {}
    for index, (code, _, _) in enumerate(CASES):
        lines += ["", "", f"def case_{index}() -> None:", f"    {SETUP}", f"    {code}"]
        case_of_line[len(lines)] = index
    source = tmp / "cases.py"
    source.write_text("\n".join(lines) + "\n")
    out, err, _ = mypy.api.run(["--strict", "--cache-dir", str(tmp / "cache"), "--no-error-summary", str(source)])
    errors = {}
    for line in out.splitlines():
        match = re.match(rf"{re.escape(str(source))}:(\d+): error: (.*)", line)
        if match:
            assert int(match[1]) in case_of_line, f"mypy refused the shared code: {line}\n{err}"
            errors.setdefault(case_of_line[int(match[1])], []).append(match[2])
    return errors


@pytest.mark.parametrize(
    "index, code, accepted",
    [(i, code, ok) for i, (code, ok, _) in enumerate(CASES)],
    ids=[f"{what} is {'accepted' if ok else 'refused'}" for _, ok, what in CASES],
)
def test_mypy_refuses_what_the_module_refuses(mypy_errors, index, code, accepted):
    namespace = {}
    exec(PRELUDE, namespace)
    exec(SETUP, namespace)
    try:
        exec(code, namespace)
        runtime_accepted = True
    except TypeError:
        runtime_accepted = False
    assert runtime_accepted == accepted, "the module's behaviour changed"
    assert (index not in mypy_errors) == accepted, textwrap.indent("\n".join(mypy_errors.get(index, [])), "  ")
