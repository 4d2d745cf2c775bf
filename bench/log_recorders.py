"""The log recorders' cost per row against the same rows stored by hand, in one run.

    python bench/log_recorders.py [--rows N] [--repeats R] [--json FILE]

For each store, `record_value(i)` on a recorder (batch_size 1000) against a
loop that makes the same rows itself (the UTC ISO 8601 time text, the value
text and the metadata fields) and stores them in batches of 1000, one
transaction each:
- SQLite: `executemany` of INSERTs, WAL and synchronous=NORMAL, as the recorder;
- PostgreSQL: psycopg `COPY` into a table of the seven text fields, on a
  throwaway cluster (tests/pg_cluster.py) with a Unix socket.
Each figure is the median over R runs of N rows; the runs alternate recorder
and reference, so that both see the same load.
"""

import argparse
import contextlib
import json
import os
import pathlib
import sqlite3
import statistics
import sys
import tempfile
import time
import uuid

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import psycopg  # noqa: E402

from pg_cluster import Cluster  # noqa: E402
from telem_pyb_log import COLUMNS, PostgresRecorder, SqliteRecorder, utc_now  # noqa: E402

BATCH = 1000
META = {"tsid": "42", "tsname": "cabin.temperature", "btype": "int", "units": "degC", "origin": "bench",
        "comment": "bench series"}
TARGET = 1.25


def by_recorder(make, rows):
    rec = make()
    rec.record_metadata_kv(META)
    record_value = rec.record_value
    t0 = time.perf_counter_ns()
    for i in range(rows):
        record_value(i)
    rec.close()
    return (time.perf_counter_ns() - t0) / rows


def by_hand(write_batch, rows):
    tsname, btype, units, comment, origin = (META[k] for k in ("tsname", "btype", "units", "comment", "origin"))
    batch = []
    t0 = time.perf_counter_ns()
    for i in range(rows):
        batch.append((utc_now(), tsname, str(i), btype, units, comment, origin))
        if len(batch) == BATCH:
            write_batch(batch)
            batch = []
    if batch:
        write_batch(batch)
    return (time.perf_counter_ns() - t0) / rows


def sqlite_pair(tmp, rows):
    path = pathlib.Path(tmp, f"{uuid.uuid4().hex}.db")
    conn = sqlite3.connect(pathlib.Path(tmp, f"{uuid.uuid4().hex}-plain.db"), isolation_level=None)
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA synchronous=NORMAL")
    conn.execute(f"CREATE TABLE plain (id INTEGER PRIMARY KEY, {', '.join(c + ' TEXT NOT NULL' for c in COLUMNS)})")
    insert = f"INSERT INTO plain ({', '.join(COLUMNS)}) VALUES ({', '.join('?' * len(COLUMNS))})"

    def write(batch):
        conn.execute("BEGIN IMMEDIATE")
        conn.executemany(insert, batch)
        conn.execute("COMMIT")

    with contextlib.closing(conn):
        return by_recorder(lambda: SqliteRecorder(path), rows), by_hand(write, rows)


def postgres_pair(cluster, rows):
    table = f"log_{uuid.uuid4().hex[:12]}"
    with psycopg.connect(cluster.conninfo, autocommit=True) as conn:
        plain = f"plain_{uuid.uuid4().hex[:12]}"
        conn.execute(f"CREATE TABLE {plain} ({', '.join(c + ' text NOT NULL' for c in COLUMNS)})")
        copy_sql = f"COPY {plain} ({', '.join(COLUMNS)}) FROM STDIN"

        def write(batch):
            with conn.transaction(), conn.cursor().copy(copy_sql) as copy:
                for row in batch:
                    copy.write_row(row)

        return by_recorder(lambda: PostgresRecorder(cluster.conninfo, table=table), rows), by_hand(write, rows)


def report(name, pairs):
    recorder = statistics.median(p[0] for p in pairs)
    hand = statistics.median(p[1] for p in pairs)
    ratio = statistics.median(p[0] / p[1] for p in pairs)
    verdict = "met" if ratio <= TARGET else "NOT met"
    print(f"  {name:<12}{recorder / 1000:10.2f}{hand / 1000:10.2f}   {ratio:5.2f}x  (target <= {TARGET}x: {verdict})")
    return {"recorder_ns": recorder, "by_hand_ns": hand, "ratio": ratio}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=20_000)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--json", metavar="FILE")
    args = ap.parse_args()

    results = {}
    print(f"log recorders, {args.rows} rows per run, medians of {args.repeats} runs, batches of {BATCH}")
    print(f"  {'store':<12}{'µs/row':>10}{'by hand':>10}   ratio")
    with tempfile.TemporaryDirectory() as tmp:
        results["sqlite"] = report("SQLite", [sqlite_pair(tmp, args.rows) for _ in range(args.repeats)])
    cluster = Cluster()
    try:
        cluster.start()
        results["postgres"] = report("PostgreSQL", [postgres_pair(cluster, args.rows) for _ in range(args.repeats)])
    finally:
        cluster.remove()
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
