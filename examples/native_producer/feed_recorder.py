"""Has the native producer (telem_producer, built from producer.cpp) feed a log
recorder from its worker threads, then prints the series it recorded.

Run it with the directory of the built module on PYTHONPATH:

    PYTHONPATH=build/producer python examples/native_producer/feed_recorder.py --db telemetry.db
    PYTHONPATH=build/producer python examples/native_producer/feed_recorder.py --postgres "host=... dbname=..."
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from telem_pyb_log import LogRecorder, PostgresRecorder, SqliteRecorder, postgres, sqlite

try:
    import telem_producer
except ModuleNotFoundError as exc:
    raise SystemExit("telem_producer is not built: run `make producer` and put build/producer on PYTHONPATH") from exc


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Feeds a log recorder from the native producer's threads.")
    parser.add_argument("--db", default=sqlite.DEFAULT_DB, help=f"the SQLite file (default: {sqlite.DEFAULT_DB})")
    parser.add_argument("--postgres", metavar="CONNINFO", help="record into PostgreSQL instead")
    parser.add_argument("--workers", type=int, default=4, help="native worker threads (default: 4)")
    parser.add_argument("--samples", type=int, default=250, help="samples per worker (default: 250)")
    args = parser.parse_args(argv)

    tsname = "producer.sample"
    metadata = {"tsid": "10", "tsname": tsname, "btype": "int", "origin": "telem_producer",
                "comment": "sample numbers from native worker threads"}
    recorder: LogRecorder = PostgresRecorder(args.postgres) if args.postgres else SqliteRecorder(args.db)
    # The recorder stays referenced here while native code uses it: a native
    # owner keeps only its native half alive.
    with recorder:
        recorded = telem_producer.produce(recorder, metadata, args.workers, args.samples)
    print(f"telem_producer: {args.workers} native threads recorded {recorded} points into {recorder.where}")
    rows = postgres.read_rows(args.postgres, tsname) if args.postgres else sqlite.read_rows(args.db, tsname)
    print(f"{tsname}: {len(rows)} rows; the last: {rows[-1][0]}  {rows[-1][2]}" if rows else f"{tsname}: no rows")


if __name__ == "__main__":
    main()
