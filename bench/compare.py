"""telem_pyb against its peers, in callgrind instructions per operation.

    python bench/compare.py --reference-dir build/bench/reference [--calls N] [--json FILE]
    python bench/compare.py --run IMPL OP N      (one child run, which callgrind counts)

Each operation runs N and 2N times in a loop inside a function whose locals
hold the objects (as with timeit), each under its own callgrind; instructions
per operation = (total of 2N - total of N) / N less the same figure of the
empty loop, which removes start-up, import and the loop itself. The peers:
pure Python (a `__slots__` point, a base class whose record_value makes one),
the C-API module ref_capi, ref_nanobind and plain pybind11 (ref_pybind11),
all built from bench/reference/ (cmake -DTELEM_PYB_BUILD_BENCH=ON).
"""

import argparse
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
IMPLS = ("telem_pyb", "python", "nanobind", "capi", "pybind11")
MODULES = {"telem_pyb": "telem_pyb", "nanobind": "ref_nanobind", "capi": "ref_capi", "pybind11": "ref_pybind11"}
MTIME = "2026-12-08T12:00:00.000000+00:00"

# name: statement over the locals of names()
OPS = {
    "loop": "pass",
    "round trip, record_point stores on self": "rs.record_value(v)",
    "round trip, empty record_point": "re.record_value(v)",
    "pt.value": "p.value",
    "pt.value = 2.5": "p.value = w",
    "pt.mtime = s": "p.mtime = s",
    "TsPoint()": "TsPoint()",
    "ConvertPointToDb(meta, pt)": "ConvertPointToDb(m, p)",
}

# (row, peer, at most this many times the peer's count)
GOALS = [
    ("round trip, record_point stores on self", "python", 0.9),
    ("round trip, record_point stores on self", "nanobind", 1.0),
    ("round trip, empty record_point", "nanobind", 1.1),
    ("pt.value", "capi", 1.1),
    ("pt.value = 2.5", "capi", 1.2),
    ("pt.mtime = s", "capi", 1.2),
    ("TsPoint()", "nanobind", 1.5),
    ("ConvertPointToDb(meta, pt)", "capi", 1.3),
    ("ConvertPointToDb(meta, pt)", "nanobind", 1.0),
]


# ---------------------------------------------------------------------------
# The pure-Python peer


class PyPoint:
    __slots__ = ("value", "mtime")

    def __init__(self, value=""):
        self.value = value
        self.mtime = ""


class PyMetadata:
    __slots__ = ("tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json")

    def __init__(self):
        self.tsid = self.tsname = self.btype = self.units = self.origin = ""
        self.serial = self.role = self.comment = self.json = ""


class PyLogPoint:
    __slots__ = ("mtime", "tsname", "value", "btype", "units", "comment", "origin")

    def __init__(self, mtime, tsname, value, btype, units, comment, origin):
        self.mtime, self.tsname, self.value, self.btype = mtime, tsname, value, btype
        self.units, self.comment, self.origin = units, comment, origin


def py_value_str(value):
    if value is True or value is False:
        return "true" if value else "false"
    return value if isinstance(value, str) else repr(value)


def py_convert_point_to_db(meta, point):
    if not meta.tsname:
        raise ValueError("ConvertPointToDb: the metadata has an empty tsname")
    return PyLogPoint(
        point.mtime, meta.tsname, py_value_str(point.value), meta.btype, meta.units, meta.comment, meta.origin
    )


class PyRecorder:
    def record_value(self, value):
        self.record_point(PyPoint(value))


def peer(impl):
    """(TsPoint, TsMetadata, ConvertPointToDb, recorder base) of one implementation."""
    if impl == "python":
        return PyPoint, PyMetadata, py_convert_point_to_db, PyRecorder
    module = __import__(MODULES[impl])
    if impl == "telem_pyb":
        from telem_pyb.backend.log import ConvertPointToDb

        return module.TsPoint, module.TsMetadata, ConvertPointToDb, module.TelemRecorder
    return module.TsPoint, module.TsMetadata, module.ConvertPointToDb, module.TelemRecorder


def names(impl):
    TsPoint, TsMetadata, ConvertPointToDb, Base = peer(impl)

    class Storing(Base):
        def record_point(self, p):
            self.last = p

    class Empty(Base):
        def record_point(self, p):
            pass

    p = TsPoint()
    p.value, p.mtime = 21.5, MTIME
    m = TsMetadata()
    m.tsid, m.tsname, m.btype, m.units, m.origin = "42", "cabin.temperature", "float", "degC", "bench"
    return {
        "p": p,
        "m": m,
        "s": MTIME,
        "v": 21.5,
        "w": 2.5,
        "rs": Storing(),
        "re": Empty(),
        "TsPoint": TsPoint,
        "ConvertPointToDb": ConvertPointToDb,
    }


def run(impl, op, n):
    local = names(impl)
    source = f"def inner(n, {', '.join(local)}):\n    for _ in range(n):\n        {OPS[op]}\n"
    scope = {}
    exec(compile(source, op, "exec"), scope)
    scope["inner"](100, **local)  # first-call costs, the same in every run
    scope["inner"](n, **local)


# ---------------------------------------------------------------------------
# The table


def callgrind_cmd(impl, op, n, out):
    return [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        sys.executable,
        str(HERE / "compare.py"),
        "--run",
        impl,
        op,
        str(n),
    ]


def measure(impls, ops, n, env):
    """Instructions per operation for each (impl, op), the loop's subtracted."""
    jobs = [(impl, op, calls) for impl in impls for op in ops for calls in (n, 2 * n)]
    totals = {}
    with tempfile.TemporaryDirectory() as tmp:
        for start in range(0, len(jobs), 2):  # two at a time, one per core
            procs = {}
            for index, job in enumerate(jobs[start : start + 2], start):
                out = pathlib.Path(tmp, f"{index}.out")
                procs[job] = (
                    out,
                    subprocess.Popen(
                        callgrind_cmd(*job, out), env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
                    ),
                )
            for job, (out, proc) in procs.items():
                _, err = proc.communicate()
                if proc.returncode != 0:
                    raise RuntimeError(f"callgrind run {job} failed:\n{err}")
                totals[job] = int(re.search(r"^totals: (\d+)", out.read_text(), re.M).group(1))
    per = {(impl, op): (totals[impl, op, 2 * n] - totals[impl, op, n]) / n for impl in impls for op in ops}
    return {impl: {op: per[impl, op] - per[impl, "loop"] for op in ops if op != "loop"} for impl in impls}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--run", nargs=3, metavar=("IMPL", "OP", "N"))
    ap.add_argument("--reference-dir", default=str(HERE.parent / "build" / "bench" / "reference"))
    ap.add_argument("--module-dir", default=os.environ.get("TELEM_PYB_MODULE_DIR"))
    ap.add_argument("--calls", type=int, default=20_000)
    ap.add_argument("--impls", default=",".join(IMPLS), help="comma-separated subset of " + ", ".join(IMPLS))
    ap.add_argument("--json", metavar="FILE")
    args = ap.parse_args()
    impls = [impl for impl in args.impls.split(",") if impl]
    if args.run:
        impl, op, n = args.run
        run(impl, op, int(n))
        return
    if shutil.which("valgrind") is None:
        sys.exit("compare.py: valgrind not found")
    path = [str(pathlib.Path(d).resolve()) for d in (args.module_dir, args.reference_dir) if d]
    env = dict(
        os.environ,
        PYTHONHASHSEED="0",
        PYTHONSAFEPATH="1",
        PYTHONPATH=os.pathsep.join(filter(None, path + [os.environ.get("PYTHONPATH")])),
    )
    where = subprocess.run(
        [sys.executable, "-c", "import telem_pyb; print(telem_pyb.__file__)"],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    ).stdout.strip()
    print(f"telem_pyb: {where}; references from {args.reference_dir}; {args.calls} and {2 * args.calls} calls")
    table = measure(impls, list(OPS), args.calls, env)
    print()
    print(f"{'callgrind instr/op (loop subtracted)':<42}" + "".join(f"{impl:>11}" for impl in impls))
    for op in OPS:
        if op != "loop":
            print(f"  {op:<40}" + "".join(f"{table[impl][op]:11.0f}" for impl in impls))
    print()
    print("goals")
    for op, other, bound in GOALS:
        if "telem_pyb" not in table or other not in table:
            continue
        ratio = table["telem_pyb"][op] / table[other][op]
        print(f"  {op:<40} / {other:<9} {ratio:5.2f}x  (<= {bound}x: {'met' if ratio <= bound else 'NOT met'})")
    if args.json:
        pathlib.Path(args.json).write_text(
            json.dumps({"module": where, "calls": args.calls, "instructions": table}, indent=2) + "\n"
        )


if __name__ == "__main__":
    main()
