"""Reading 1,000,000 rows of one series against what a user writes by hand, in one run.

    python bench/reading.py [--rows N] [--repeats R] [--stores sqlite,postgres] [--json FILE]

The rows: one float series at 1 kHz with the recorder's own stamps, written
by SqliteRecorder into a file and by PostgresRecorder into a table on a
throwaway cluster (tests/pg_cluster.py, Unix socket); then each again in the
stored shape of version 3 (tests/stored_shapes.py, the shape the writer is
to make). For each:

- hand: `pandas.read_sql("SELECT time, number FROM log_points WHERE tsname
  = ...")`, then `pandas.to_datetime(frame["time"], utc=True)`;
- read: `read_frame(source, "engine.rpm", columns=["time", "number"])`;
- agg: `read_frame(source, "engine.rpm", every="1min", agg=["min", "max",
  "mean", "count"])`, checked equal to pandas' resample of the hand frame;
- tail: `telem-log SOURCE tail engine.rpm -n 1` against `python -c "import
  telem_pyb_log"`, each a process of its own.

Times are medians over R runs, hand and ours alternating; peak memory is the
rise of a fresh process's peak RSS (VmHWM) above its RSS after the imports
(numpy, pandas, telem_pyb_log and the store's client), one run each. Targets: read at most 0.5x hand and 150 MB; agg at most
0.25x hand; tail at most 0.15 s more than the import.
"""

import argparse
import contextlib
import datetime
import json
import os
import pathlib
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
import warnings

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from stored_shapes import to_version_3  # noqa: E402
from telem_pyb import TsPoint  # noqa: E402
from telem_pyb_log import PostgresRecorder, SqliteRecorder, read_frame  # noqa: E402

SERIES = {"tsname": "engine.rpm", "btype": "float", "units": "1/min", "origin": "bench"}
START = datetime.datetime(2026, 12, 8, 12, tzinfo=datetime.UTC)
TARGETS = {"read": 0.5, "read_mb": 150, "agg": 0.25, "tail_s": 0.15}


def record(recorder, rows):
    recorder.record_metadata_kv(SERIES)
    point = TsPoint()
    for i in range(rows):
        point.mtime = (START + datetime.timedelta(milliseconds=i)).isoformat(timespec="microseconds")
        point.value = float(i % 1000) + 0.25
        recorder.record_point(point)


def rss_kib(field):
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(field)


def peak_mb(bench, name):
    """The rise of peak RSS of a fresh process that runs `name` of `bench` once."""
    code = ("import sys; sys.argv[1:] = []; sys.path.insert(0, %r); import reading; "
            "print(reading.child_peak_mb(%r, %r, %r, %r))" % (str(HERE), bench.kind, bench.source, bench.table, name))
    return float(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout)


def child_peak_mb(kind, source, table, name):
    if kind == "sqlite":
        bench = Bench(kind, source, table, lambda: sqlite3.connect(source))
    else:
        import psycopg

        bench = Bench(kind, source, table, lambda: psycopg.connect(source))
        psycopg.connect(source).close()
    before = rss_kib("VmRSS")
    result = getattr(bench, name)()
    assert len(result) > 0
    return (rss_kib("VmHWM") - before) / 1024


class Bench:
    def __init__(self, kind, source, table, connect):
        self.kind, self.source, self.table, self.connect = kind, source, table, connect

    def hand(self):
        with contextlib.closing(self.connect()) as conn, warnings.catch_warnings():
            # pandas warns that it has not tested psycopg connections.
            warnings.simplefilter("ignore", UserWarning)
            mark = "?" if self.kind == "sqlite" else "%s"
            frame = pd.read_sql(f"SELECT time, number FROM {self.table} WHERE tsname = {mark}", conn,
                                params=("engine.rpm",))
        frame["time"] = pd.to_datetime(frame["time"], utc=True)
        return frame

    def read(self):
        return read_frame(self.source, "engine.rpm", columns=["time", "number"], table=self.table)

    def agg(self):
        return read_frame(self.source, "engine.rpm", every="1min", agg=["min", "max", "mean", "count"],
                          table=self.table)

    def tail(self):
        command = [sys.executable, "-m", "telem_pyb_log", self.source, "--table", self.table, "tail", "engine.rpm",
                   "-n", "1"]
        started = time.perf_counter()
        out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
        return time.perf_counter() - started, out


def import_seconds():
    started = time.perf_counter()
    subprocess.run([sys.executable, "-c", "import telem_pyb_log"], check=True)
    return time.perf_counter() - started


def run(bench, repeats, rows):
    times = {"hand": [], "read": [], "agg": []}
    for _ in range(repeats):
        for name in ("hand", "read", "agg"):
            started = time.perf_counter()
            result = getattr(bench, name)()
            times[name].append(time.perf_counter() - started)
            if name == "hand":
                hand = result
            elif name == "read":
                assert len(result) == rows and result["time"].is_monotonic_increasing
                assert (result["number"].to_numpy() == hand.sort_values("time")["number"].to_numpy()).all()
            else:
                want = hand.set_index("time")["number"].resample("1min", origin="epoch").agg(
                    ["min", "max", "mean", "count"])
                got = result.set_index("time")[["min", "max", "mean", "count"]]
                assert list(got.index) == list(want.index)
                assert np.allclose(got.to_numpy(float), want.to_numpy(float), rtol=1e-12, atol=0)
            del result
    del hand
    tails, imports = [], []
    for _ in range(repeats):
        seconds, shown = bench.tail()
        tails.append(seconds)
        imports.append(import_seconds())
    assert "engine.rpm" in shown
    median = {name: statistics.median(values) for name, values in times.items()}
    figures = {
        "hand_s": median["hand"], "read_s": median["read"], "agg_s": median["agg"],
        "read_ratio": median["read"] / median["hand"], "agg_ratio": median["agg"] / median["hand"],
        "hand_mb": peak_mb(bench, "hand"), "read_mb": peak_mb(bench, "read"),
        "tail_s": statistics.median(tails), "import_s": statistics.median(imports),
    }
    figures["tail_over_import_s"] = figures["tail_s"] - figures["import_s"]
    return figures


def show(name, f):
    print(f"{name}: hand {f['hand_s']:.3f} s ({f['hand_mb']:.0f} MB); read_frame {f['read_s']:.3f} s = "
          f"{f['read_ratio']:.2f}x ({f['read_mb']:.0f} MB; targets {TARGETS['read']}x, {TARGETS['read_mb']} MB); "
          f"per-minute aggregates {f['agg_s']:.3f} s = {f['agg_ratio']:.2f}x (target {TARGETS['agg']}x); "
          f"tail -n 1 {f['tail_s']:.3f} s, {f['tail_over_import_s']:+.3f} s over the import "
          f"(target {TARGETS['tail_s']} s)", flush=True)


def sqlite_benches(directory, rows):
    path = os.path.join(directory, "bench.db")
    with SqliteRecorder(path, batch_size=10_000, on_full="block") as rec:
        record(rec, rows)
    yield "sqlite, version 2", Bench("sqlite", path, "log_points", lambda: sqlite3.connect(path))
    shaped = os.path.join(directory, "bench3.db")
    with contextlib.closing(sqlite3.connect(path)) as conn:
        conn.execute(f"VACUUM INTO '{shaped}'")
    with contextlib.closing(sqlite3.connect(shaped, isolation_level=None)) as conn:
        to_version_3("sqlite", conn.execute, "log_points")
        conn.execute("VACUUM")
    for name, file in (("version 2", path), ("version 3", shaped)):
        print(f"sqlite, {name}: {os.path.getsize(file) / rows:.0f} bytes a row", flush=True)
    yield "sqlite, version 3", Bench("sqlite", shaped, "log_points", lambda: sqlite3.connect(shaped))


def postgres_benches(rows):
    import psycopg
    from pg_cluster import Cluster

    cluster = Cluster()
    try:
        cluster.start()
        conninfo = cluster.conninfo
        tables = [f"bench_{uuid.uuid4().hex[:8]}" for _ in range(2)]
        for table in tables:
            with PostgresRecorder(conninfo, table=table, batch_size=10_000, on_full="block") as rec:
                record(rec, rows)
        with psycopg.connect(conninfo, autocommit=True) as conn:
            to_version_3("postgres", conn.execute, tables[1])
            for table in tables:
                conn.execute(f"VACUUM ANALYZE {table if table == tables[0] else table + '_rows'}")
        yield "postgres, version 2", Bench("postgres", conninfo, tables[0], lambda: psycopg.connect(conninfo))
        yield "postgres, version 3", Bench("postgres", conninfo, tables[1], lambda: psycopg.connect(conninfo))
    finally:
        cluster.remove()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--stores", default="sqlite,postgres")
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    results = {}
    with tempfile.TemporaryDirectory(prefix="telem-bench-") as directory:
        groups = []
        if "sqlite" in args.stores:
            groups.append(sqlite_benches(directory, args.rows))
        if "postgres" in args.stores:
            groups.append(postgres_benches(args.rows))
        for group in groups:
            for name, bench in group:
                results[name] = run(bench, args.repeats, args.rows)
                show(name, results[name])
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({"rows": args.rows, "repeats": args.repeats, "targets": TARGETS,
                                                       "results": results}, indent=2) + "\n")


if __name__ == "__main__":
    main()
