"""Sustained throughput of the log recorders with a spool against without one.

    python bench/spool.py [--rows N] [--repeats R] [--spool-dir DIR] [--json FILE]

The delivery benchmark's run (bench/log_recorders.py): `record_value(i)` for
N rows on a recorder (batch_size 1000), timed until `close()` returns, that
is until every row is in the store; once with a spool (a new directory under
DIR, on this machine's disk: default build/, not a tmpfs) and once without,
alternating, R times; medians. Also the time of the recording loop alone (the
calls, before close), which the spool must not change: the spooler thread,
not the caller, writes it; on two cores the writer and the spooler compete
with the recording thread for them, so the calls are timed a second way too,
with both threads idle while the calls run (batch_size, max_delay and
spool_interval beyond the run). Target: throughput with a spool >= 0.5x of
without.
"""

import argparse
import json
import pathlib
import shutil
import statistics
import sys
import tempfile
import time
import uuid

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

META = {"tsid": "42", "tsname": "cabin.temperature", "btype": "int", "units": "degC", "origin": "bench",
        "comment": "bench series"}
TARGET = 0.5


def run(store, target, rows, spool, idle=False):
    """(ns per recording call, ns per row until close) of one run."""
    from telem_pyb_log import PostgresRecorder, SqliteRecorder

    options = {"spool": spool} if spool else {}
    if idle:
        options.update(batch_size=2**31, max_delay=3600.0, **({"spool_interval": 3600.0} if spool else {}))
    if store == "sqlite":
        rec = SqliteRecorder(target, **options)
    else:
        rec = PostgresRecorder(target, table=f"log_{uuid.uuid4().hex[:12]}", **options)
    rec.record_metadata_kv(META)
    record_value = rec.record_value
    t0 = time.perf_counter_ns()
    for i in range(rows):
        record_value(i)
    t1 = time.perf_counter_ns()
    rec.close()
    t2 = time.perf_counter_ns()
    assert rec.stats.written == rows
    return (t1 - t0) / rows, (t2 - t0) / rows


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--spool-dir", default=str(HERE.parent / "build"))
    ap.add_argument("--json", metavar="FILE")
    args = ap.parse_args()

    import telem_pyb_log
    from pg_cluster import Cluster

    pathlib.Path(args.spool_dir).mkdir(parents=True, exist_ok=True)
    print(f"log recorders of {pathlib.Path(telem_pyb_log.__file__).parent}: {args.rows} rows per run, medians of "
          f"{args.repeats} runs; spools under {args.spool_dir}")
    results = {}
    cluster = Cluster()
    spools = tempfile.mkdtemp(prefix="bench-spool-", dir=args.spool_dir)
    try:
        cluster.start()
        with tempfile.TemporaryDirectory() as tmp:
            for store in ("sqlite", "postgres"):
                runs = {"plain": [], "spool": [], "plain-idle": [], "spool-idle": []}
                for _ in range(args.repeats):
                    for kind in runs:
                        target = cluster.conninfo if store == "postgres" else str(pathlib.Path(tmp, f"{uuid.uuid4().hex}.db"))
                        spool = str(pathlib.Path(spools, uuid.uuid4().hex)) if kind.startswith("spool") else None
                        runs[kind].append(run(store, target, args.rows, spool, kind.endswith("idle")))
                call = {k: statistics.median(r[0] for r in v) for k, v in runs.items()}
                total = {k: statistics.median(r[1] for r in v) for k, v in runs.items()}
                ratio = total["plain"] / total["spool"]
                print(f"  {store:<9} without a spool {1e9 / total['plain']:9.0f} rows/s, with {1e9 / total['spool']:9.0f}"
                      f" rows/s: {ratio:.2f}x (target >= {TARGET}x: {'met' if ratio >= TARGET else 'NOT met'})")
                print(f"  {'':<9} recording call {call['plain']:7.0f} ns without, {call['spool']:7.0f} ns with; "
                      f"writer and spooler idle: {call['plain-idle']:5.0f} ns without, {call['spool-idle']:5.0f} ns with")
                results[store] = {"rows_per_s_plain": 1e9 / total["plain"], "rows_per_s_spool": 1e9 / total["spool"],
                                  "throughput_ratio": ratio, "call_ns_plain": call["plain"],
                                  "call_ns_spool": call["spool"], "idle_call_ns_plain": call["plain-idle"],
                                  "idle_call_ns_spool": call["spool-idle"]}
    finally:
        cluster.remove()
        shutil.rmtree(spools, ignore_errors=True)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
