"""Has the native producer (telem_producer, built from producer.cpp) feed
recorders of one sink from its worker threads: one series that every worker
records into, and `--series` more that the workers share out among them.
Then prints what it recorded.

Run it with the directory of the built module on PYTHONPATH:

    PYTHONPATH=build/producer python examples/native_producer/feed_recorder.py --db telemetry.db
    PYTHONPATH=build/producer python examples/native_producer/feed_recorder.py --postgres "host=... dbname=..."
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from telem_pyb_log import LogSink, PostgresSink, SqliteSink, postgres, sqlite

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
    parser.add_argument("--series", type=int, default=8, help="more series, shared out among the workers (default: 8)")
    args = parser.parse_args(argv)

    tsname = "producer.sample"
    metadata = {"tsid": "10", "tsname": tsname, "btype": "int", "origin": "telem_producer",
                "comment": "sample numbers from native worker threads"}
    sink: LogSink = PostgresSink(args.postgres) if args.postgres else SqliteSink(args.db)
    # One writer and one connection for every series. The recorders stay
    # referenced here while native code uses them: a native owner keeps only
    # their native halves alive.
    with sink:
        recorded = telem_producer.produce(sink.recorder(), metadata, args.workers, args.samples)
        recorders = [sink.recorder(tsname=f"producer.series.{k}", btype="int", origin="telem_producer")
                     for k in range(args.series)]
        more = telem_producer.produce_series(recorders, args.workers, args.samples) if recorders else 0
    print(f"telem_producer: {args.workers} native threads recorded {recorded} points into {sink.where}")
    if recorders:
        print(f"telem_producer: and {more} points into {len(recorders)} more series")
    rows = postgres.read_rows(args.postgres, tsname) if args.postgres else sqlite.read_rows(args.db, tsname)
    print(f"{tsname}: {len(rows)} rows; the last: {rows[-1][0]}  {rows[-1][2]}" if rows else f"{tsname}: no rows")


if __name__ == "__main__":
    main()
