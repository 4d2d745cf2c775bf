"""Benchmarks of telem_pyb, printed as one table of medians.

    python bench/bench.py [--module-dir DIR] [--peer-dir DIR] [--repeats N] [--json FILE]

--module-dir (or TELEM_PYB_MODULE_DIR) puts a telem_pyb build ahead of the
installed one; --peer-dir names the directory of the telem_peer module.
Times are wall-clock nanoseconds per call, each the median of --repeats runs
(the round trip: three times as many, paired) with the garbage collector off;
a run lasts about 50 ms.
"""

import argparse
import datetime
import gc
import json
import os
import pathlib
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
RUN_NS = 50_000_000  # length of one timed run
TARGETS = {"ns": 2.0, "instructions": 1.5}  # telem_pyb / pure Python, at most


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--module-dir", default=os.environ.get("TELEM_PYB_MODULE_DIR"))
    ap.add_argument("--peer-dir", default=str(ROOT / "build" / "bench" / "peer"))
    ap.add_argument("--producer-dir", default=str(ROOT / "build" / "producer"))
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--callgrind-calls", type=int, default=20_000)
    ap.add_argument("--json", metavar="FILE")
    return ap.parse_args()


ARGS = parse_args()
if ARGS.module_dir:
    sys.path.insert(0, str(pathlib.Path(ARGS.module_dir).resolve()))

import telem_pyb  # noqa: E402
from telem_pyb import TelemRecorder, TsMetadata, TsPoint  # noqa: E402
from telem_pyb.backend.log import ConvertPointToDb, Point  # noqa: E402

import round_trip  # noqa: E402

if ARGS.module_dir:
    assert pathlib.Path(telem_pyb.__file__).parent == pathlib.Path(ARGS.module_dir).resolve(), telem_pyb.__file__

sys.path.insert(0, str(pathlib.Path(ARGS.peer_dir).resolve()))
try:
    import telem_peer
except ImportError:
    telem_peer = None
sys.path.insert(0, str(pathlib.Path(ARGS.producer_dir).resolve()))
try:
    import telem_producer
except ImportError:
    telem_producer = None

import record_ops  # noqa: E402


def child_env():
    """Environment of the child interpreters: same module build, fixed hashing."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    if ARGS.module_dir:
        env["PYTHONPATH"] = os.pathsep.join(
            filter(None, [str(pathlib.Path(ARGS.module_dir).resolve()), env.get("PYTHONPATH")])
        )
    return env


# ---------------------------------------------------------------------------
# Timing


def calibrate(loop):
    """Iterations that make loop(n), which returns elapsed ns, last about RUN_NS."""
    n = 1
    while True:
        elapsed = loop(n)
        if elapsed >= RUN_NS // 10 or n >= 10**8:
            return max(1, round(n * RUN_NS / max(elapsed, 1)))
        n *= 10


def stmt_loop(stmt, names):
    """loop(n): runs `stmt` n times with `names` as locals; gc is off (timeit)."""
    setup = "; ".join(f"{k} = _names[{k!r}]" for k in names) or "pass"
    return timeit.Timer(stmt, setup, timer=time.perf_counter_ns, globals={"_names": names}).timeit


def sample(loops, calls=1, repeats=None):
    """ns per call of each loop in each of `repeats` runs; the runs interleave the loops."""
    sizes = [calibrate(loop) for loop in loops]
    samples = [[] for _ in loops]
    for _ in range(repeats or ARGS.repeats):
        for loop, n, out in zip(loops, sizes, samples):
            out.append(loop(n) / (n * calls))
    return samples


def per_call(loop, calls=1):
    return statistics.median(sample([loop], calls)[0])


def run_loop(rec):
    def loop(n):
        gc.disable()
        try:
            t0 = time.perf_counter_ns()
            round_trip.run(rec, n)
            return time.perf_counter_ns() - t0
        finally:
            gc.enable()

    return loop


# ---------------------------------------------------------------------------
# Instruction counts


def callgrind_per_run(script, names, n):
    """Instructions per run of `script NAME N` for each name: (count with 2n - count with n) / n,
    which removes start-up and import. Two callgrind runs at a time, one per core."""
    if shutil.which("valgrind") is None:
        return None
    jobs = [(name, calls) for name in names for calls in (n, 2 * n)]
    totals = {}
    with tempfile.TemporaryDirectory() as tmp:
        for start in range(0, len(jobs), 2):
            procs = {}
            for index, (name, calls) in enumerate(jobs[start : start + 2], start):
                out = pathlib.Path(tmp, f"{index}.out")
                cmd = [
                    "valgrind",
                    "--tool=callgrind",
                    f"--callgrind-out-file={out}",
                    sys.executable,
                    str(HERE / script),
                    name,
                    str(calls),
                ]
                procs[name, calls] = (
                    out,
                    subprocess.Popen(
                        cmd, env=child_env(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
                    ),
                )
            for key, (out, proc) in procs.items():
                _, err = proc.communicate()
                if proc.returncode != 0:
                    raise RuntimeError(f"callgrind run {key} failed:\n{err}")
                totals[key] = int(re.search(r"^totals: (\d+)", out.read_text(), re.M).group(1))
    return {name: (totals[name, 2 * n] - totals[name, n]) / n for name in names}


def callgrind_per_call(kinds, n):
    """Instructions per record_value call of each recorder kind of round_trip.py."""
    return callgrind_per_run("round_trip.py", kinds, n)


def callgrind_ops(n):
    """Instructions per statement of record_ops.py, less the empty loop's."""
    per = callgrind_per_run("record_ops.py", list(record_ops.STATEMENTS), n)
    if per is None:
        return None
    return {name: value - per["loop"] for name, value in per.items() if name != "loop"}


def producer_rows(rec, workers=4, samples=20_000):
    """ns per point: produce() against peer threads that do the same work (a point with the current UTC
    time text into RecordPoint) and keep their thread state, or make one per call."""
    if telem_producer is None or telem_peer is None:
        return None

    def produce(n):
        t0 = time.perf_counter_ns()
        telem_producer.produce(rec, {"tsname": "bench"}, workers, n)
        return time.perf_counter_ns() - t0

    def peer(keep):
        def loop(n):
            t0 = time.perf_counter_ns()
            telem_peer.run_threads(rec, workers, n, "t", keep)
            return time.perf_counter_ns() - t0

        return loop

    runs = {"produce": [], "kept": [], "per call": []}
    for _ in range(ARGS.repeats):
        runs["produce"].append(produce(samples) / (workers * samples))
        runs["kept"].append(peer(True)(samples) / (workers * samples))
        runs["per call"].append(peer(False)(samples // 10) / (workers * samples // 10))
    ratio = statistics.median(p / k for p, k in zip(runs["produce"], runs["kept"]))
    return {k: statistics.median(v) for k, v in runs.items()}, ratio


# ---------------------------------------------------------------------------
# Import time and size


def import_times(runs=21):
    """Median over fresh interpreters of the wall time of `import telem_pyb` less
    that of `pass` (ms, paired runs), and of -X importtime's cumulative figure (ms)."""
    env = child_env()

    def wall(code):
        t0 = time.perf_counter_ns()
        subprocess.run([sys.executable, "-c", code], env=env, check=True)
        return time.perf_counter_ns() - t0

    extra, own = [], []
    for _ in range(runs):
        base = wall("pass")
        extra.append((wall("import telem_pyb") - base) / 1e6)
        err = subprocess.run(
            [sys.executable, "-X", "importtime", "-c", "import telem_pyb"],
            env=env,
            check=True,
            capture_output=True,
            text=True,
        ).stderr
        own.append(int(re.search(r"^import time:\s+\d+ \|\s+(\d+) \| telem_pyb$", err, re.M).group(1)) / 1000)
    return statistics.median(extra), statistics.median(own)


# ---------------------------------------------------------------------------


class BenchRec(TelemRecorder):
    def record_point(self, p):
        pass

    def record_metadata(self, m):
        pass

    def close(self):
        pass


def record_rows():
    """(label, timing loop, calls per statement) for each per-call row."""
    p = TsPoint()
    p.value = round_trip.VALUE
    p.mtime = "2024-05-01T12:00:00.000Z"
    m = TsMetadata()
    m.tsid, m.tsname, m.units = "42", "cabin.temperature", "degC"
    pt = Point()
    pt.value = "21.5"
    names = {
        "TsPoint": TsPoint,
        "TelemRecorder": TelemRecorder,
        "ConvertPointToDb": ConvertPointToDb,
        "p": p,
        "m": m,
        "pt": pt,
        "r": BenchRec(),
        "t": p.mtime,
        "v": round_trip.VALUE,
        "kv": {"tsid": "42", "tsname": "cabin.temperature", "units": "degC"},
    }
    rows = [
        ("empty statement (loop overhead)", "pass", 1),
        ("TsPoint()", "TsPoint()", 1),
        ("TsPoint.value get", "p.value", 1),
        ("TsPoint.value set (float)", "p.value = v", 1),
        ("TsPoint.mtime get", "p.mtime", 1),
        ("TsPoint.mtime set", "p.mtime = t", 1),
        ("TsMetadata.tsname get", "m.tsname", 1),
        ("TsMetadata.tsname set", "m.tsname = t", 1),
        ("Point.value get", "pt.value", 1),
        ("Point.value set", "pt.value = t", 1),
        ("TsPoint.value_str() (float)", "p.value_str()", 1),
        ("r.record_metadata_kv(3 keys) -> Python record_metadata", "r.record_metadata_kv(kv)", 1),
        ("ConvertPointToDb(meta, point)", "ConvertPointToDb(m, p)", 1),
        ("TelemRecorder.close(r) -> Python close", "TelemRecorder.close(r)", 1),
        ("TelemRecorder.record_point(r, p) -> Python record_point", "TelemRecorder.record_point(r, p)", 1),
    ]
    if telem_peer is not None:
        names.update(peer=telem_peer, nr=telem_peer.NativeRecorder("none"))
        rows += [
            ("native Close, lock held -> Python close", "peer.repeat_calls(r, 'c', 1000)", 1000),
            ("native RecordPoint, lock held -> Python record_point", "peer.repeat_calls(r, 'p', 1000)", 1000),
            ("native thread Close -> Python close", "peer.run_threads(r, 1, 2000, 'c')", 2000),
            ("native thread RecordPoint -> Python record_point", "peer.run_threads(r, 1, 2000, 'p')", 2000),
            ("  the peer's own Close loop, on a native recorder", "peer.repeat_calls(nr, 'c', 1000)", 1000),
        ]
    return [(label, stmt_loop(stmt, names), calls) for label, stmt, calls in rows]


def cpu_model():
    for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor()


def verdict(ratio, target):
    return f"{ratio:5.2f}x  (target <= {target}x: {'met' if ratio <= target else 'NOT met'})"


def main():
    module = pathlib.Path(telem_pyb.__file__)
    info = {
        "module": str(module),
        "peer": telem_peer.__file__ if telem_peer else None,
        "python": platform.python_version(),
        "cpus": os.cpu_count(),
        "cpu": cpu_model(),
        "date": datetime.date.today().isoformat(),
        "repeats": ARGS.repeats,
    }
    print(f"telem_pyb {telem_pyb.__version__}: {info['module']}")
    print(f"telem_peer: {info['peer'] or 'not found, native rows skipped'}")
    print(
        f"CPython {info['python']}, {info['cpus']} CPUs, {info['cpu']}, {info['date']}; "
        f"medians of {ARGS.repeats} runs ({3 * ARGS.repeats} paired for the round trip)"
    )

    kinds = ("telem", "python")
    recs = {kind: round_trip.RECORDERS[kind]() for kind in kinds}
    # Paired runs of the two recorders, three times as many: the ratio is the
    # median of the per-run ratios, which a change in machine load moves least.
    telem_runs, python_runs = sample([run_loop(recs[k]) for k in kinds], repeats=3 * ARGS.repeats)
    ns = {"telem": statistics.median(telem_runs), "python": statistics.median(python_runs)}
    ns_ratio = statistics.median(t / p for t, p in zip(telem_runs, python_runs))
    rows = [(label, per_call(loop, calls)) for label, loop, calls in record_rows()]
    producer = producer_rows(BenchRec())
    instr = callgrind_per_call(kinds, ARGS.callgrind_calls)
    ops = callgrind_ops(ARGS.callgrind_calls)
    import_ms, importtime_ms = import_times()
    size = module.stat().st_size

    print()
    print(f"{'record_value round trip':<28}{'telem_pyb':>12}{'pure Python':>13}   ratio")
    print(f"{'  wall time, ns/call':<28}{ns['telem']:12.1f}{ns['python']:13.1f}   {verdict(ns_ratio, TARGETS['ns'])}")
    if instr:
        print(
            f"{'  callgrind, instr/call':<28}{instr['telem']:12.0f}{instr['python']:13.0f}   "
            f"{verdict(instr['telem'] / instr['python'], TARGETS['instructions'])}"
        )
    else:
        print("  callgrind: valgrind not found, skipped")
    print()
    print(f"{'per call':<58}{'ns':>9}")
    for label, value in rows:
        print(f"  {label:<56}{value:9.1f}")
    if producer:
        times, ratio = producer
        print()
        print(f"{'native producer, 4 workers, Python record_point':<58}{'ns/point':>9}")
        print(f"  {'produce() (examples/native_producer)':<56}{times['produce']:9.1f}")
        print(f"  {'peer threads that keep their thread state':<56}{times['kept']:9.1f}")
        print(f"  {'peer threads that make one per call':<56}{times['per call']:9.1f}")
        print(f"  produce() / kept: {verdict(ratio, 1.5)}")
    if ops:
        print()
        print(f"{'record operations, callgrind instr/op (loop subtracted)':<58}{'instr':>9}   target")
        for name, value in ops.items():
            target = record_ops.STATEMENTS[name][1]
            mark = "" if target is None else f"   <= {target}: {'met' if value <= target else 'NOT met'}"
            print(f"  {name:<56}{value:9.0f}{mark}")
    print()
    print(f"  {'import telem_pyb, fresh interpreter less `pass` (ms)':<56}{import_ms:9.2f}")
    print(f"  {'import telem_pyb, -X importtime cumulative (ms)':<56}{importtime_ms:9.2f}")
    print(f"  {'module file size (KiB)':<56}{size / 1024:9.1f}")

    if ARGS.json:
        results = dict(
            info,
            round_trip_ns=ns,
            round_trip_ns_ratio=ns_ratio,
            round_trip_instructions=instr,
            per_call_ns=dict(rows),
            producer=producer,
            record_op_instructions=ops,
            import_ms=import_ms,
            importtime_ms=importtime_ms,
            module_bytes=size,
        )
        pathlib.Path(ARGS.json).write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
