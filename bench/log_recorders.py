"""The log recorders' cost per row against the same rows stored by hand, in one run.

    python bench/log_recorders.py [--rows N] [--repeats R] [--json FILE]

For each store, `record_value(i)` on a recorder (batch_size 1000) against
plain code that makes the same rows itself (the time text from
`datetime.now(UTC).isoformat(timespec="microseconds")`, the value text and the
metadata fields) and stores them in batches of 1000, one transaction each:
- SQLite: `executemany` of one-row INSERTs into the recorder's own table and
  index, WAL and synchronous=NORMAL, as the recorder;
- PostgreSQL: psycopg `COPY` into a table of the seven text fields, on a
  throwaway cluster (tests/pg_cluster.py) with a Unix socket.
The recorder formats the same time text with its own, faster `utc_now`; the
rows marked "own stamps" give the plain code that formatter as well.
Each figure is the median over R runs of N rows; the runs alternate recorder
and reference, so that both see the same load.
"""

import argparse
import contextlib
import datetime
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
from telem_pyb_log import COLUMNS, PostgresRecorder, SqliteRecorder, sqlite, utc_now  # noqa: E402

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


def plain_utc_now():
    return datetime.datetime.now(datetime.UTC).isoformat(timespec="microseconds")


def by_hand(write_batch, rows, stamp=plain_utc_now):
    tsname, btype, units, comment, origin = (META[k] for k in ("tsname", "btype", "units", "comment", "origin"))
    batch = []
    t0 = time.perf_counter_ns()
    for i in range(rows):
        batch.append((stamp(), tsname, str(i), btype, units, comment, origin))
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
    # The recorder's own table and index: the same rows into the same file format.
    conn.execute(sqlite._CREATE_TABLE)
    conn.execute(sqlite._CREATE_INDEX)
    insert = f"INSERT INTO {sqlite.TABLE} ({', '.join(COLUMNS)}) VALUES ({', '.join('?' * len(COLUMNS))})"

    def write(batch):
        conn.execute("BEGIN IMMEDIATE")
        conn.executemany(insert, batch)
        conn.execute("COMMIT")

    with contextlib.closing(conn):
        return by_recorder(lambda: SqliteRecorder(path), rows), by_hand(write, rows), by_hand(write, rows, utc_now)


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

        return (by_recorder(lambda: PostgresRecorder(cluster.conninfo, table=table), rows), by_hand(write, rows),
                by_hand(write, rows, utc_now))


def report(name, runs):
    recorder = statistics.median(r[0] for r in runs)
    hand = statistics.median(r[1] for r in runs)
    ratio = statistics.median(r[0] / r[1] for r in runs)
    own = statistics.median(r[2] for r in runs)
    own_ratio = statistics.median(r[0] / r[2] for r in runs)
    verdict = "met" if ratio <= TARGET else "NOT met"
    print(f"  {name:<12}{recorder / 1000:10.2f}{hand / 1000:10.2f}   {ratio:5.2f}x  (target <= {TARGET}x: {verdict})")
    print(f"  {'  own stamps':<12}{'':10}{own / 1000:10.2f}   {own_ratio:5.2f}x")
    return {"recorder_ns": recorder, "by_hand_ns": hand, "ratio": ratio, "by_hand_own_stamps_ns": own,
            "ratio_own_stamps": own_ratio}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=20_000)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--json", metavar="FILE")
    ap.add_argument("--old-sqlite", metavar="DIR",
                    help="measure the SqliteRecorder of DIR/sqlite_recorder.py instead (an earlier release's example); "
                         "skips PostgreSQL")
    args = ap.parse_args()
    global SqliteRecorder
    if args.old_sqlite:
        sys.path.insert(0, args.old_sqlite)
        from sqlite_recorder import SqliteRecorder  # noqa: F401 - replaces the package's for sqlite_pair

    results = {}
    print(f"log recorders, {args.rows} rows per run, medians of {args.repeats} runs, batches of {BATCH}")
    print(f"  {'store':<12}{'µs/row':>10}{'by hand':>10}   ratio")
    with tempfile.TemporaryDirectory() as tmp:
        results["sqlite"] = report("SQLite", [sqlite_pair(tmp, args.rows) for _ in range(args.repeats)])
    if not args.old_sqlite:
        cluster = Cluster()
        try:
            cluster.start()
            results["postgres"] = report("PostgreSQL", [postgres_pair(cluster, args.rows)
                                                        for _ in range(args.repeats)])
        finally:
            cluster.remove()
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
