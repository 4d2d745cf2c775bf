"""Reading 1,000,000 rows of one series against what a user writes by hand, in one run.

    python bench/reading.py [--rows N] [--repeats R] [--stores sqlite,postgres] [--json FILE]

The rows: one float series at 1 kHz with the recorder's own stamps, written
by SqliteRecorder into a file and by PostgresRecorder into a table on a
throwaway cluster (tests/pg_cluster.py, Unix socket), in the stored shape
that they write (version 3); then each again rewritten in the shape of
version 2 (tests/stored_shapes.py), for comparison. For each:

- hand: version 2, `pandas.read_sql("SELECT time, number FROM log_points
  WHERE tsname = ...")`; version 3, the query of docs/reading.md (`SELECT
  r.time, r.number FROM log_points_rows r JOIN log_points_series s ON s.id =
  r.series WHERE s.tsname = ...`); then `pandas.to_datetime` of the times;
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

from stored_shapes import to_version_2  # noqa: E402
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
            "print(reading.child_peak_mb(%r, %r, %r, %r, %r))" % (str(HERE), bench.kind, bench.source, bench.table, name,
                                                                bench.version))
    return float(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout)


def child_peak_mb(kind, source, table, name, version):
    if kind == "sqlite":
        bench = Bench(kind, source, table, lambda: sqlite3.connect(source), version)
    else:
        import psycopg

        bench = Bench(kind, source, table, lambda: psycopg.connect(source), version)
        psycopg.connect(source).close()
    before = rss_kib("VmRSS")
    result = getattr(bench, name)()
    assert len(result) > 0
    return (rss_kib("VmHWM") - before) / 1024


class Bench:
    def __init__(self, kind, source, table, connect, version):
        self.kind, self.source, self.table, self.connect, self.version = kind, source, table, connect, version

    def hand(self):
        with contextlib.closing(self.connect()) as conn, warnings.catch_warnings():
            # pandas warns that it has not tested psycopg connections.
            warnings.simplefilter("ignore", UserWarning)
            mark = "?" if self.kind == "sqlite" else "%s"
            query = (f"SELECT time, number FROM {self.table} WHERE tsname = {mark}" if self.version == 2 else
                     f"SELECT r.time, r.number FROM {self.table}_rows r JOIN {self.table}_series s ON s.id = r.series "
                     f"WHERE s.tsname = {mark}")
            frame = pd.read_sql(query, conn, params=("engine.rpm",))
        if self.kind == "sqlite" and self.version == 3:
            frame["time"] = pd.to_datetime(frame["time"], unit="us", utc=True)
        else:
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
    print(f"sqlite, version 3: {os.path.getsize(path) / rows:.0f} bytes a row as written", flush=True)
    yield "sqlite, version 3", Bench("sqlite", path, "log_points", lambda: sqlite3.connect(path), 3)
    shaped = os.path.join(directory, "bench2.db")
    with contextlib.closing(sqlite3.connect(path)) as conn:
        conn.execute(f"VACUUM INTO '{shaped}'")
    with contextlib.closing(sqlite3.connect(shaped, isolation_level=None)) as conn:
        to_version_2("sqlite", conn.execute, "log_points")
        conn.execute("VACUUM")
    print(f"sqlite, version 2: {os.path.getsize(shaped) / rows:.0f} bytes a row (rewritten, vacuumed)", flush=True)
    yield "sqlite, version 2", Bench("sqlite", shaped, "log_points", lambda: sqlite3.connect(shaped), 2)


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
            to_version_2("postgres", conn.execute, tables[1])
            for table, rows_table in ((tables[0], tables[0] + "_rows"), (tables[1], tables[1])):
                conn.execute(f"VACUUM ANALYZE {rows_table}")
                size = conn.execute(f"SELECT pg_total_relation_size('{rows_table}')").fetchone()[0]
                print(f"postgres, {table}: {size / rows:.0f} bytes a row ({rows_table} with its indexes)", flush=True)
        yield "postgres, version 3", Bench("postgres", conninfo, tables[0], lambda: psycopg.connect(conninfo), 3)
        yield "postgres, version 2", Bench("postgres", conninfo, tables[1], lambda: psycopg.connect(conninfo), 2)
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
