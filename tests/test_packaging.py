"""The wheel and the sdist: what they hold, and that an installed wheel works
on its own in a fresh virtual environment, for Python and for native code.

These tests build the module from scratch (about a minute in all); deselect
them with `-m "not packaging"`.
"""

import contextlib
import email
import os
import pathlib
import re
import shutil
import sqlite3
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

import pytest

pytestmark = pytest.mark.packaging

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULE_FILE = f"telem_pyb{sysconfig.get_config_var('EXT_SUFFIX')}"
STUB_FILES = ["telem_pyb-stubs/__init__.pyi", "telem_pyb-stubs/backend/__init__.pyi", "telem_pyb-stubs/backend/log.pyi"]
LOG_PACKAGE = sorted(p.relative_to(ROOT / "python").as_posix() for p in (ROOT / "python" / "telem_pyb_log").iterdir()
                     if p.suffix in (".py", ".pyi", ".typed"))
LOG_NATIVE_FILE = f"telem_pyb_log/_native{sysconfig.get_config_var('EXT_SUFFIX')}"
HEADERS = sorted(p.relative_to(ROOT / "include").as_posix() for p in (ROOT / "include").rglob("*.h"))
# Everything a build from the sdist needs, besides the headers.
BUILD_INPUTS = [
    "pyproject.toml", "CMakeLists.txt", "README.md", "cmake/telem_pybConfig.cmake.in", "cmake/PybindInternalsId.cmake",
    "brix_error/CMakeLists.txt", "telemetry_client/CMakeLists.txt", "telemetry_client/ConvertPointToDb.cpp",
    "telemetry_client/TsPoint.cpp", *(p.relative_to(ROOT).as_posix() for p in (ROOT / "src").iterdir()),
    *(p.relative_to(ROOT).as_posix() for p in (ROOT / "telem_pyb_log_native").iterdir()),
    *(f"stubs/{name}" for name in STUB_FILES), *(f"python/{name}" for name in LOG_PACKAGE),
]


def clean_env(**extra):
    """The environment without anything that points into the source tree or the test venv."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV",
                                                            "TELEM_PYB_MODULE_DIR")}
    env.update(extra)
    return env


def run(args, cwd, **env):
    proc = subprocess.run([str(a) for a in args], cwd=cwd, env=clean_env(**env), capture_output=True, text=True,
                          timeout=900)
    assert proc.returncode == 0, f"{' '.join(map(str, args))} failed:\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def tool(name):
    """A build tool from this environment's bin directory, or else from PATH."""
    local = pathlib.Path(sys.executable).parent / name
    return str(local) if local.exists() else shutil.which(name)


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The wheel as `make wheel` builds it: repaired by auditwheel to a manylinux tag."""
    out = tmp_path_factory.mktemp("wheel")
    run([ROOT / "tools" / "build-wheel", sys.executable, out], cwd=out)
    (built,) = out.glob("telem_pyb-*.whl")
    return built


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    """A new virtual environment of the base CPython 3.12 with only the wheel installed."""
    where = tmp_path_factory.mktemp("venv")
    base = pathlib.Path(sys.base_prefix) / "bin" / f"python{sys.version_info.major}.{sys.version_info.minor}"
    run([base, "-m", "venv", where / "env"], cwd=where)
    python = where / "env" / "bin" / "python"
    run([python, "-m", "pip", "install", "--no-index", "--no-deps", wheel], cwd=where)
    site = run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"], cwd=where).strip()
    return python, pathlib.Path(site)


@pytest.fixture
def examples_copy(tmp_path):
    """The examples, copied out of the source tree."""
    dest = tmp_path / "examples"
    shutil.copytree(ROOT / "examples", dest, ignore=shutil.ignore_patterns("__pycache__"))
    return dest


def wheel_names(path):
    """The files of a wheel (auditwheel's repair adds entries for directories)."""
    with zipfile.ZipFile(path) as zf:
        return {name for name in zf.namelist() if not name.endswith("/")}


def test_the_wheel_is_a_manylinux_wheel_for_cpython_312(wheel):
    tag = re.fullmatch(r"telem_pyb-5\.0\.0-cp312-cp312-(manylinux_2_\d+_x86_64)\.whl", wheel.name)
    assert tag, wheel.name
    shown = run([sys.executable, "-m", "auditwheel", "show", wheel], cwd=wheel.parent)
    assert f'following platform tag: "{tag.group(1)}"' in " ".join(shown.split())


def test_the_wheel_metadata(wheel):
    with zipfile.ZipFile(wheel) as zf:
        metadata = email.message_from_bytes(zf.read("telem_pyb-5.0.0.dist-info/METADATA"))
    assert tuple(map(int, metadata["Metadata-Version"].split("."))) >= (2, 2)
    assert metadata["Version"] == re.search(r'^version = "(.+)"$', (ROOT / "pyproject.toml").read_text(), re.M)[1]
    assert metadata["License-Expression"] == "LicenseRef-Proprietary"
    assert "Private :: Do Not Upload" in metadata.get_all("Classifier")
    # The test tools are a dependency group.
    assert metadata.get_all("Provides-Extra") == ["postgres", "pandas", "plot"]


def test_the_wheel_holds_the_module_stubs_headers_and_cmake_package(wheel):
    names = wheel_names(wheel)
    expected = {MODULE_FILE, LOG_NATIVE_FILE, *STUB_FILES, *LOG_PACKAGE,
                *(f"telem_pyb-native/include/{h}" for h in HEADERS),
                "telem_pyb-native/cmake/telem_pybConfig.cmake", "telem_pyb-native/cmake/telem_pybConfigVersion.cmake",
                "telem_pyb-native/cmake/PybindInternalsId.cmake",
                "telem_pyb-native/lib/libnorv-services-telemetry-client.a"}
    assert {n for n in names if ".dist-info/" not in n} == expected
    with zipfile.ZipFile(wheel) as zf:
        for name in STUB_FILES:
            assert zf.read(name) == (ROOT / "stubs" / name).read_bytes(), name
        for name in LOG_PACKAGE:
            assert zf.read(name) == (ROOT / "python" / name).read_bytes(), name
        for header in HEADERS:
            assert zf.read(f"telem_pyb-native/include/{header}") == (ROOT / "include" / header).read_bytes(), header


def test_the_installed_wheel_imports_with_nothing_else_on_the_path(venv, tmp_path):
    python, site = venv
    out = run([python, "-c", "import sys, telem_pyb.backend.log as log, telem_pyb; "
               "print(telem_pyb.__file__); print(telem_pyb.__version__); print(log.Point.__module__); "
               "print('\\n'.join(sys.path))"], cwd=tmp_path)
    module_file, version, point_module, *path = out.splitlines()
    assert pathlib.Path(module_file) == site / MODULE_FILE
    assert (version, point_module) == ("5.0.0", "telem_pyb.backend.log")
    assert not [p for p in path if p and pathlib.Path(p).resolve().is_relative_to(ROOT)]


def test_the_readme_quick_start_runs_from_the_installed_wheel(venv, tmp_path):
    python, _ = venv
    readme = (ROOT / "README.md").read_text()
    quick_start = readme.split("## Quick start", 1)[1].split("python - <<'PY'\n", 1)[1].split("\nPY\n", 1)[0]
    out = run([python, "-c", quick_start], cwd=tmp_path)
    assert [line.split(", ")[1:3] for line in out.splitlines()] == [["'pump.pressure'", "'1.25'"],
                                                                    ["'pump.pressure'", "'1.5'"]]


def test_both_log_recorders_import_from_the_installed_wheel(venv, tmp_path):
    python, site = venv
    out = run([python, "-c", "import telem_pyb_log as log, telem_pyb_log._native as native; print(log.__file__, "
               "native.__file__, log.SqliteRecorder.__name__, log.PostgresRecorder.__name__)"], cwd=tmp_path)
    assert out.split() == [str(site / "telem_pyb_log" / "__init__.py"), str(site / LOG_NATIVE_FILE), "SqliteRecorder",
                           "PostgresRecorder"]


def test_the_demo_runs_from_the_installed_wheel(venv, examples_copy, tmp_path):
    python, _ = venv
    workdir = tmp_path / "work"
    workdir.mkdir()
    out = run([python, examples_copy / "log_demo.py"], cwd=workdir)
    assert "telemetry.db (log_points): 368 rows" in out
    with contextlib.closing(sqlite3.connect(workdir / "telemetry.db")) as conn:
        assert conn.execute("SELECT COUNT(DISTINCT tsname) FROM log_points").fetchone()[0] == 4


def test_mypy_finds_the_installed_stubs(venv, examples_copy, tmp_path):
    python, _ = venv
    out = run([sys.executable, "-m", "mypy", "--strict", "--python-executable", python,
               "--cache-dir", tmp_path / "mypy-cache", examples_copy / "log_demo.py"], cwd=tmp_path)
    assert out.startswith("Success")


@pytest.fixture(scope="module")
def producer(venv, tmp_path_factory):
    """The native producer example, configured and built by CMake against the fresh environment's wheel."""
    python, site = venv
    where = tmp_path_factory.mktemp("producer")
    shutil.copytree(ROOT / "examples", where / "examples", ignore=shutil.ignore_patterns("__pycache__"))
    build = where / "build"
    configure = [tool("cmake"), "-S", where / "examples" / "native_producer", "-B", build,
                 f"-DPython_EXECUTABLE={python}", f"-DCMAKE_PREFIX_PATH={site}",
                 f"-Dpybind11_DIR={run([sys.executable, '-m', 'pybind11', '--cmakedir'], cwd=where).strip()}"]
    if tool("ninja"):
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}"]
    run(configure, cwd=where)
    run([tool("cmake"), "--build", build], cwd=where)
    return build, where / "examples"


def test_cmake_finds_the_telem_pyb_package_in_the_installed_wheel(venv, producer):
    _, site = venv
    build, _ = producer
    assert f"telem_pyb_DIR:PATH={site}/telem_pyb-native/cmake" in (build / "CMakeCache.txt").read_text()


def test_the_native_producer_feeds_the_sqlite_recorder_from_its_threads(venv, producer, tmp_path):
    python, _ = venv
    build, examples = producer
    workers, samples = 3, 400
    db = tmp_path / "producer.db"
    out = run([python, examples / "native_producer" / "feed_recorder.py", "--db", db,
               "--workers", workers, "--samples", samples], cwd=tmp_path, PYTHONPATH=str(build))
    assert f"{workers} native threads recorded {workers * samples} points" in out
    with contextlib.closing(sqlite3.connect(db)) as conn:
        stored = sorted(int(v) for (v,) in conn.execute("SELECT value FROM log_points WHERE tsname = 'producer.sample'"))
    assert stored == sorted(w * 1_000_000 + i for w in range(workers) for i in range(samples))


def test_an_error_in_a_worker_stops_the_producer_and_reaches_the_caller(venv, producer, tmp_path):
    python, _ = venv
    build, _ = producer
    code = """
import telem_pyb, telem_producer

class Failing(telem_pyb.TelemRecorder):
    def __init__(self):
        super().__init__()
        self.points = 0

    def record_metadata(self, meta):
        pass

    def record_point(self, point):
        self.points += 1
        if self.points == 50:
            raise ValueError("recorder full")

    def close(self):
        pass

rec = Failing()
try:
    telem_producer.produce(rec, {"tsname": "x"}, 4, 10000)
except ValueError as exc:
    print(exc, rec.points < 4 * 10000)
"""
    assert run([python, "-c", code], cwd=tmp_path, PYTHONPATH=str(build)) == "recorder full True\n"


# A native consumer of the installed package: docs/native.md's CMakeLists.txt with
# a module that calls value_str, ConvertPointToDb and a Python recorder.
CONSUMER = """
#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "norv/telem/telem.h"

namespace py = pybind11;
using namespace norv::telem;

PYBIND11_MODULE(my_module, m) {
    py::module_::import("telem_pyb");
    m.def("value_text", [](double v) { return TsPoint(TsValue(v)).value_str(); });
    m.def("log_value", [](const TsMetadata& meta, const TsPoint& point) {
        return backend::log::ConvertPointToDb(meta, point).value;
    });
    m.def("feed", [](const std::shared_ptr<TelemRecorder>& rec, long v) { rec->RecordValue(TsValue(v)); });
}
"""


def documented_cmake(project):
    """The CMakeLists.txt of `project` that docs/native.md shows."""
    page = (ROOT / "docs" / "native.md").read_text()
    return page.split(f"```cmake\n# {project}/CMakeLists.txt\n", 1)[1].split("```", 1)[0]


def configure_consumer(venv, where, pybind11_dir):
    python, site = venv
    where.mkdir()
    (where / "CMakeLists.txt").write_text(documented_cmake("my_module"))
    (where / "my_module.cpp").write_text(CONSUMER)
    args = [tool("cmake"), "-S", where, "-B", where / "build", f"-DPython_EXECUTABLE={python}",
            f"-DCMAKE_PREFIX_PATH={site}", f"-Dpybind11_DIR={pybind11_dir}"]
    if tool("ninja"):
        args += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}"]
    return subprocess.run([str(a) for a in args], cwd=where, env=clean_env(), capture_output=True, text=True,
                          timeout=900)


def test_the_documented_cmake_builds_a_consumer_of_the_client_library(venv, tmp_path):
    python, _ = venv
    pybind11_dir = run([sys.executable, "-m", "pybind11", "--cmakedir"], cwd=tmp_path).strip()
    configured = configure_consumer(venv, tmp_path / "consumer", pybind11_dir)
    assert configured.returncode == 0, configured.stdout + configured.stderr
    run([tool("cmake"), "--build", tmp_path / "consumer" / "build"], cwd=tmp_path)
    code = (
        "import telem_pyb, my_module\n"
        "class R(telem_pyb.TelemRecorder):\n"
        "    def record_point(self, p): print('record_point', p.value)\n"
        "meta, point = telem_pyb.TsMetadata(), telem_pyb.TsPoint()\n"
        "meta.tsname, point.value = 'x', 7\n"
        "print(my_module.value_text(2.5), my_module.log_value(meta, point))\n"
        "my_module.feed(R(), 3)\n"
    )
    out = run([python, "-c", code], cwd=tmp_path, PYTHONPATH=str(tmp_path / "consumer" / "build"))
    assert out == "2.5 7\nrecord_point 3\n"


def test_a_consumer_whose_pybind11_cannot_share_the_internals_stops_at_configure(venv, tmp_path):
    # pybind11 3.x, from the package index, makes other internals than 2.11.
    target = tmp_path / "pybind11-3"
    run([sys.executable, "-m", "pip", "install", "--no-deps", "--target", target, "pybind11>=3,<4"], cwd=tmp_path)
    configured = configure_consumer(venv, tmp_path / "consumer", target / "pybind11" / "share" / "cmake" / "pybind11")
    assert configured.returncode != 0
    message = " ".join((configured.stdout + configured.stderr).split())
    assert re.search(r"telem_pyb was built with pybind11 2\.11\.\d+ .* this project uses pybind11 3\.\d+\.\d+", message)


def test_a_plain_cpp_project_finds_the_client_library_without_pybind11(venv, tmp_path):
    python, site = venv
    where = tmp_path / "tool"
    where.mkdir()
    (where / "CMakeLists.txt").write_text(documented_cmake("my_tool"))
    (where / "my_tool.cpp").write_text(
        '#include <cstdio>\n#include "norv/telem/telem.h"\n'
        "int main() {\n"
        "    norv::telem::TsMetadata meta;\n"
        '    meta.tsname = "x";\n'
        "    const auto db = norv::telem::backend::log::ConvertPointToDb(meta, norv::telem::TsPoint(norv::telem::TsValue(2.5)));\n"
        '    std::printf("%s %s\\n", db.tsname.c_str(), db.value.c_str());\n'
        "}\n")
    # The fresh environment has no pybind11; nor may CMake look for one elsewhere.
    assert subprocess.run([python, "-c", "import pybind11"], capture_output=True).returncode != 0
    args = [tool("cmake"), "-S", where, "-B", where / "build", f"-DCMAKE_PREFIX_PATH={site}",
            "-DCMAKE_DISABLE_FIND_PACKAGE_pybind11=ON"]
    if tool("ninja"):
        args += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}"]
    run(args, cwd=where)
    run([tool("cmake"), "--build", where / "build"], cwd=where)
    assert run([where / "build" / "my_tool"], cwd=where) == "x 2.5\n"


def test_the_console_script_is_installed_with_the_wheel(venv, tmp_path):
    python, _ = venv
    out = subprocess.run([python.parent / "telem-log", tmp_path / "none.db", "series"], capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 1 and out.stderr == f"telem-log: error: {tmp_path / 'none.db'}: no such SQLite file\n"


def test_a_translation_unit_compiles_against_the_installed_headers_alone(venv, tmp_path):
    _, site = venv
    source = tmp_path / "consumer.cpp"
    source.write_text(
        '#include "norv/telem/telem.h"\n'
        "int main() {\n"
        "    norv::telem::TsPoint point(norv::telem::TsValue(2.5));\n"
        "    return point.value.index() == 2 ? 0 : 1;\n"
        "}\n"
    )
    compiler = os.environ.get("CXX") or shutil.which("c++")
    run([compiler, "-std=c++17", "-Wall", "-Werror", "-I", site / "telem_pyb-native" / "include",
         source, "-o", tmp_path / "consumer"], cwd=tmp_path)
    run([tmp_path / "consumer"], cwd=tmp_path)


def test_the_sdist_holds_everything_to_build_the_same_wheel(wheel, tmp_path):
    run([sys.executable, "-m", "build", "--sdist", "--outdir", tmp_path / "sdist", ROOT], cwd=tmp_path)
    (sdist,) = (tmp_path / "sdist").glob("telem_pyb-5.0.0.tar.gz")
    with tarfile.open(sdist) as tar:
        tar.extractall(tmp_path / "unpacked", filter="data")
    source = tmp_path / "unpacked" / "telem_pyb-5.0.0"
    missing = [n for n in BUILD_INPUTS + [f"include/{h}" for h in HEADERS] if not (source / n).is_file()]
    assert not missing
    assert not (source / ".venv").exists() and not (source / "build").exists()

    run([sys.executable, "-m", "pip", "wheel", source, "-w", tmp_path / "wheel", "--no-deps"], cwd=tmp_path)
    (rebuilt,) = (tmp_path / "wheel").glob("*.whl")
    assert rebuilt.name == "telem_pyb-5.0.0-cp312-cp312-linux_x86_64.whl"  # not repaired yet
    assert wheel_names(rebuilt) == wheel_names(wheel)
