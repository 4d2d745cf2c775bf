"""The log recorders' cost per row against the same rows stored by plain code, in one run.

    python bench/log_recorders.py [--rows N] [--repeats R] [--callgrind] [--json FILE]

For each store, `record_value(i)` on a recorder (batch_size 1000), timed
until `close()` returns, against plain code that makes the same rows itself
(the time text from the package's own `utc_now`, the value text and the
metadata fields) and stores them in batches of 1000, one transaction each:
- SQLite: `executemany` of one-row INSERTs into the recorder's own table and
  index (made by opening a recorder on the file), WAL and synchronous=NORMAL,
  as the recorder;
- PostgreSQL: psycopg `COPY` (`write_row`) into a table of the columns the
  recorder stores (the seven texts, and `time` and `number` with their index
  where the package measured has them), on a throwaway cluster
  (tests/pg_cluster.py) with a Unix socket. The typed fields of the plain
  rows are the stamp's text with `Z` and `float(i)`.
Each time is the median over R runs of N rows; the runs alternate recorder
and plain code, so that both see the same load. With --callgrind, each of
the four also runs under valgrind's callgrind with N and 2N rows, and the
instructions per row are (total of 2N - total of N) / N: every thread of the
process counts (the recorder's writer too), the PostgreSQL server does not.
Targets: SQLite at most 0.6x in time; PostgreSQL at most 0.6x in time and
0.35x in client instructions.

To measure another telem_pyb_log (an earlier release's, which is pure
Python), put its directory first: --package-dir DIR.
"""

import argparse
import contextlib
import json
import os
import pathlib
import re
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

BATCH = 1000
META = {"tsid": "42", "tsname": "cabin.temperature", "btype": "int", "units": "degC", "origin": "bench",
        "comment": "bench series"}
TARGETS = {"sqlite": {"time": 0.6}, "postgres": {"time": 0.6, "instructions": 0.35}}
KINDS = ("sqlite-recorder", "sqlite-plain", "postgres-recorder", "postgres-plain")


def stored_columns():
    """The columns the recorders store: the seven texts, and the typed time
    and number where the package measured has them."""
    from telem_pyb_log import COLUMNS

    try:
        from telem_pyb_log._reading import TYPED_COLUMNS
    except ImportError:
        return tuple(COLUMNS)
    return (*COLUMNS, *TYPED_COLUMNS)


def insert_sql():
    columns = stored_columns()
    return f"INSERT INTO log_points ({', '.join(columns)}) VALUES ({', '.join('?' * len(columns))})"


def sqlite_plain_connection(path):
    from telem_pyb_log import SqliteRecorder

    # The recorder's own tables and index: the same rows into the same file format.
    SqliteRecorder(path).close()
    conn = sqlite3.connect(path, isolation_level=None)
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA synchronous=NORMAL")
    return conn


def run_kind(kind, target, rows):
    """One run of `kind` with `rows` rows into `target` (a file or a conninfo); ns per row."""
    from telem_pyb_log import PostgresRecorder, SqliteRecorder, utc_now

    if kind.endswith("recorder"):
        rec = SqliteRecorder(target) if kind == "sqlite-recorder" else PostgresRecorder(
            target, table=f"log_{uuid.uuid4().hex[:12]}")
        rec.record_metadata_kv(META)
        record_value = rec.record_value
        t0 = time.perf_counter_ns()
        for i in range(rows):
            record_value(i)
        rec.close()
        return (time.perf_counter_ns() - t0) / rows

    tsname, btype, units, comment, origin = (META[k] for k in ("tsname", "btype", "units", "comment", "origin"))
    with contextlib.ExitStack() as stack:
        if kind == "sqlite-plain":
            conn = stack.enter_context(contextlib.closing(sqlite_plain_connection(target)))
            insert = insert_sql()

            def write(batch):
                conn.execute("BEGIN IMMEDIATE")
                conn.executemany(insert, batch)
                conn.execute("COMMIT")
        else:
            import psycopg
            from telem_pyb_log import COLUMNS

            conn = stack.enter_context(psycopg.connect(target, autocommit=True))
            plain = f"plain_{uuid.uuid4().hex[:12]}"
            columns = stored_columns()
            typed = ", time timestamptz, number double precision" if len(columns) > len(COLUMNS) else ""
            conn.execute(f"CREATE TABLE {plain} ({', '.join(c + ' text NOT NULL' for c in COLUMNS)}{typed})")
            if typed:
                conn.execute(f"CREATE INDEX ON {plain} (tsname, time)")
            copy_sql = f"COPY {plain} ({', '.join(columns)}) FROM STDIN"

            def write(batch):
                with conn.transaction(), conn.cursor().copy(copy_sql) as copy:
                    for row in batch:
                        copy.write_row(row)

        batch = []
        t0 = time.perf_counter_ns()
        typed = len(stored_columns()) > 7
        for i in range(rows):
            stamp = utc_now()
            if typed:
                # The stamp is UTC: its time column is the same text with Z.
                batch.append((stamp, tsname, str(i), btype, units, comment, origin, stamp[:26] + "Z", float(i)))
            else:
                batch.append((stamp, tsname, str(i), btype, units, comment, origin))
            if len(batch) == BATCH:
                write(batch)
                batch = []
        if batch:
            write(batch)
        return (time.perf_counter_ns() - t0) / rows


def sqlite_target(tmp):
    return str(pathlib.Path(tmp, f"{uuid.uuid4().hex}.db"))


def instructions(kind, target, rows, tmp):
    """Instructions of `kind` per row, by callgrind (see the module's text)."""
    totals = []
    for n in (rows, 2 * rows):
        out = pathlib.Path(tmp, f"callgrind.{kind}.{n}")
        where = sqlite_target(tmp) if kind.startswith("sqlite") else target
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__,
               "--one", kind, where, str(n)]
        proc = subprocess.run(cmd, capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        if proc.returncode != 0:
            raise RuntimeError(f"{' '.join(cmd)}: {proc.stderr[-2000:]}")
        totals.append(int(re.search(r"refs:\s+([\d,]+)", proc.stderr)[1].replace(",", "")))
    return (totals[1] - totals[0]) / rows


def report(store, runs, instr):
    recorder = statistics.median(r[0] for r in runs)
    plain = statistics.median(r[1] for r in runs)
    ratio = statistics.median(r[0] / r[1] for r in runs)
    target = TARGETS[store]
    print(f"  {store:<10} time   {recorder / 1000:8.3f} µs/row against {plain / 1000:8.3f}   {ratio:5.2f}x"
          f"  (target <= {target['time']}x: {'met' if ratio <= target['time'] else 'NOT met'})")
    result = {"recorder_ns": recorder, "plain_ns": plain, "time_ratio": ratio}
    if instr:
        i_ratio = instr[0] / instr[1]
        verdict = ""
        if "instructions" in target:
            verdict = f"  (target <= {target['instructions']}x: {'met' if i_ratio <= target['instructions'] else 'NOT met'})"
        print(f"  {'':<10} instr  {instr[0]:8.0f} /row    against {instr[1]:8.0f}      {i_ratio:5.2f}x{verdict}")
        result.update({"recorder_instructions": instr[0], "plain_instructions": instr[1], "instruction_ratio": i_ratio})
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=50_000)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--callgrind", action="store_true", help="also count instructions per row (about 2 minutes)")
    ap.add_argument("--callgrind-rows", type=int, default=20_000)
    ap.add_argument("--json", metavar="FILE")
    ap.add_argument("--package-dir", metavar="DIR", help="measure the telem_pyb_log package of DIR")
    ap.add_argument("--one", nargs=3, metavar=("KIND", "TARGET", "ROWS"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.package_dir:
        sys.path.insert(0, args.package_dir)
        os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [args.package_dir, os.environ.get("PYTHONPATH")]))
    if args.one:
        run_kind(args.one[0], args.one[1], int(args.one[2]))
        return

    import telem_pyb_log
    from pg_cluster import Cluster

    print(f"log recorders of {pathlib.Path(telem_pyb_log.__file__).parent}: {args.rows} rows per run, medians of "
          f"{args.repeats} runs, batches of {BATCH}; plain code stamps with telem_pyb_log.utc_now")
    results = {}
    cluster = Cluster()
    try:
        cluster.start()
        with tempfile.TemporaryDirectory() as tmp:
            for store in ("sqlite", "postgres"):
                target = cluster.conninfo if store == "postgres" else None
                runs = [(run_kind(f"{store}-recorder", target or sqlite_target(tmp), args.rows),
                         run_kind(f"{store}-plain", target or sqlite_target(tmp), args.rows))
                        for _ in range(args.repeats)]
                instr = None
                if args.callgrind:
                    instr = (instructions(f"{store}-recorder", target, args.callgrind_rows, tmp),
                             instructions(f"{store}-plain", target, args.callgrind_rows, tmp))
                results[store] = report(store, runs, instr)
    finally:
        cluster.remove()
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
