"""Has the native producer (telem_producer, built from producer.cpp) feed an
SQLite recorder from its worker threads, then prints the series it recorded.

Run it with the directory of the built module on PYTHONPATH:

    PYTHONPATH=build/producer python examples/native_producer/feed_sqlite.py --db telemetry.db
"""

from __future__ import annotations

import argparse
import pathlib
import sys
from collections.abc import Sequence

try:
    import telem_producer
except ModuleNotFoundError as exc:
    raise SystemExit("telem_producer is not built: run `make producer` and put build/producer on PYTHONPATH") from exc

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
from sqlite_recorder import DEFAULT_DB, SqliteRecorder, print_table  # noqa: E402


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Feeds an SQLite recorder from the native producer's threads.")
    parser.add_argument("--db", default=DEFAULT_DB, help=f"the database file (default: {DEFAULT_DB})")
    parser.add_argument("--workers", type=int, default=4, help="native worker threads (default: 4)")
    parser.add_argument("--samples", type=int, default=250, help="samples per worker (default: 250)")
    args = parser.parse_args(argv)

    tsname = "producer.sample"
    metadata = {"tsid": "10", "tsname": tsname, "btype": "int", "origin": "telem_producer",
                "comment": "sample numbers from native worker threads"}
    # The recorder stays referenced here while native code uses it: a native
    # owner keeps only its native half alive.
    with SqliteRecorder(args.db) as recorder:
        recorded = telem_producer.produce(recorder, metadata, args.workers, args.samples)
    print(f"telem_producer: {args.workers} native threads recorded {recorded} points into {args.db}")
    print_table(args.db, tsname)


if __name__ == "__main__":
    main()
