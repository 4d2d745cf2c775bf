"""Records a few demo series with the log recorders of telem_pyb_log and
prints what the table holds.

By default into the SQLite file `telemetry.db` in the working directory (`--db`
names another file); with `--postgres CONNINFO` into the PostgreSQL table
`log_points` of that server instead.
"""

from __future__ import annotations

import argparse
import datetime
import os
from collections.abc import Callable, Sequence

import telem_pyb
from telem_pyb_log import LogRecorder, PostgresRecorder, Row, SqliteRecorder
from telem_pyb_log import postgres, sqlite

DEFAULT_DB = sqlite.DEFAULT_DB


def print_table(rows: list[Row], where: str, tsname: str | None = None, last: int = 5) -> None:
    """Prints, per series (or for one), how many rows there are and the last few of them."""
    series: dict[str, list[Row]] = {}
    for row in rows:
        if tsname is None or row[1] == tsname:
            series.setdefault(row[1], []).append(row)
    if tsname is None:
        print(f"{where}: {sum(map(len, series.values()))} rows")
    for tsname, rows in sorted(series.items()):
        *_, btype, units, comment, origin = rows[-1]
        print(f"\n{tsname} ({btype}, {units or 'no units'}, from {origin}): {len(rows)} rows  # {comment}")
        if len(rows) > last:
            print(f"  ... {len(rows) - last} earlier rows")
        for row in rows[-last:]:
            print(f"  {row[0]}  {row[2]}")


def record_demo_series(open_recorder: Callable[[], LogRecorder]) -> None:
    """Records four short series, one recorder each, all into one table."""
    with open_recorder() as door:
        door.record_metadata_kv({"tsid": "1", "tsname": "cabin.door_open", "btype": "bool", "origin": "demo",
                                 "comment": "cabin door switch"})
        for state in (False, True, False):
            door.record_value(state)

    with open_recorder() as rpm, open_recorder() as temperature:
        rpm.record_metadata_kv({"tsid": "2", "tsname": "engine.rpm", "btype": "int", "units": "1/min",
                                "origin": "demo", "comment": "engine speed"})
        temperature.record_metadata_kv({"tsid": "3", "tsname": "cabin.temperature", "btype": "float",
                                        "units": "degC", "origin": "demo", "comment": "cabin sensor"})
        # Two recorders writing the same table, interleaved.
        for rpm_value, degrees in ((800, 21.5), (2400, 21.75), (3100, 22.0)):
            rpm.record_value(rpm_value)
            temperature.record_value(degrees)
        # A point that carries its own time text keeps it: here a reading
        # taken a second before the others.
        point = telem_pyb.TsPoint()
        point.value = 22.25
        taken = datetime.datetime.now(datetime.UTC) - datetime.timedelta(seconds=1)
        point.mtime = taken.isoformat(timespec="microseconds")
        temperature.record_point(point)

    with open_recorder() as status:
        meta = telem_pyb.TsMetadata()
        meta.tsid, meta.tsname, meta.btype = "4", "cabin.status", "string"
        meta.origin, meta.comment = "demo", "cabin state"
        status.record_metadata(meta)
        for text in ("boarding", "cruise", "landing"):
            point = telem_pyb.TsPoint()
            point.value = text
            status.record_point(point)


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Records demo series with a log recorder and prints its table.")
    parser.add_argument("--db", default=DEFAULT_DB, help=f"the SQLite file (default: {DEFAULT_DB} in the working directory)")
    parser.add_argument("--postgres", metavar="CONNINFO", help="record into PostgreSQL instead (a libpq connection string)")
    args = parser.parse_args(argv)
    if args.postgres is not None:
        conninfo: str = args.postgres
        record_demo_series(lambda: PostgresRecorder(conninfo))
        print_table(postgres.read_rows(conninfo), f"{postgres.DEFAULT_TABLE} on PostgreSQL")
    else:
        path: str = args.db
        record_demo_series(lambda: SqliteRecorder(path))
        print_table(sqlite.read_rows(path), f"{os.fspath(path)} ({sqlite.TABLE})")


if __name__ == "__main__":
    main()
