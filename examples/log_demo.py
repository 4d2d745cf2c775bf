"""Records ten simulated minutes of an engine run with the log recorders of
telem_pyb_log and prints what the table holds.

Every point carries its own time, one sample every 5 seconds: the engine's
speed ramping up and down, the cabin's temperature drifting, the cabin door
switching and the cabin's status as text. The run ends now; if the table
already holds a run that ends later than two minutes before this one would
start, this one starts two minutes after it, so that each run keeps a
stretch of time of its own.

By default into the SQLite file `telemetry.db` in the working directory (`--db`
names another file); with `--postgres CONNINFO` into the PostgreSQL table
`log_points` of that server instead.
"""

from __future__ import annotations

import argparse
import datetime
import math
import os
from collections.abc import Callable, Sequence

import telem_pyb
from telem_pyb_log import LogRecorder, PostgresRecorder, Row, SqliteRecorder
from telem_pyb_log import postgres, sqlite

DEFAULT_DB = sqlite.DEFAULT_DB
RUN = datetime.timedelta(minutes=10)
STEP = datetime.timedelta(seconds=5)
PAUSE = datetime.timedelta(minutes=2)
SERIES = ("engine.rpm", "cabin.temperature", "cabin.door_open", "cabin.status")
# The cabin's status from these seconds into the run on.
STATUS = ((0, "boarding"), (60, "taxi"), (180, "cruise"), (480, "landing"), (560, "parked"))

# Reads the rows of one series from a time on.
ReadSeries = Callable[[str, datetime.datetime], list[Row]]


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


def _ease(fraction: float) -> float:
    """0 to 1 along a smooth S."""
    fraction = min(max(fraction, 0.0), 1.0)
    return fraction * fraction * (3 - 2 * fraction)


def engine_rpm(s: float) -> int:
    """The engine's speed `s` seconds into the run: started, idling, up, cruising, down, stopped."""
    if s < 20 or s >= 590:
        return 0
    if s < 60:
        speed = 800.0
    elif s < 180:
        speed = 800 + 2200 * _ease((s - 60) / 120)
    elif s < 480:
        speed = 3000 + 120 * math.sin(2 * math.pi * (s - 180) / 100)
    else:
        speed = 3000 - 2200 * _ease((s - 480) / 80)
    return round(speed + 15 * math.sin(1.3 * s))


def cabin_temperature(s: float) -> float:
    """Drifting up as the cabin warms, a little down while the door is open."""
    degrees = 18.5 + 4 * (1 - math.exp(-s / 200)) + 0.05 * math.sin(s / 7)
    return round(degrees - (0.4 * _ease((s - 555) / 45) if s > 555 else 0.0), 2)


def door_open(s: float) -> bool:
    return s < 45 or s >= 555


def point(value: bool | int | float | str, when: datetime.datetime) -> telem_pyb.TsPoint:
    """A point that carries its own time: the recorders store it as given."""
    p = telem_pyb.TsPoint()
    p.value = value
    p.mtime = when.isoformat(timespec="seconds")
    return p


def run_start(read_series: ReadSeries, now: datetime.datetime) -> datetime.datetime:
    """Where this run starts: ending now, or a pause after a run already
    stored that ends later than that pause before it."""
    start = now.replace(microsecond=0) - RUN
    ends = [datetime.datetime.fromisoformat(row[0]) for name in SERIES for row in read_series(name, start - PAUSE)]
    return max(start, max(ends) + PAUSE) if ends else start


def record_demo_series(open_recorder: Callable[[], LogRecorder], read_series: ReadSeries) -> datetime.datetime:
    """Records the four series of one run, a recorder each, all into one
    table; returns the run's start."""
    with open_recorder() as door, open_recorder() as rpm, open_recorder() as temperature, \
            open_recorder() as status:
        door.record_metadata_kv({"tsid": "1", "tsname": "cabin.door_open", "btype": "bool", "origin": "demo",
                                 "comment": "cabin door switch"})
        rpm.record_metadata_kv({"tsid": "2", "tsname": "engine.rpm", "btype": "int", "units": "1/min",
                                "origin": "demo", "comment": "engine speed"})
        temperature.record_metadata_kv({"tsid": "3", "tsname": "cabin.temperature", "btype": "float",
                                        "units": "degC", "origin": "demo", "comment": "cabin sensor"})
        meta = telem_pyb.TsMetadata()
        meta.tsid, meta.tsname, meta.btype = "4", "cabin.status", "string"
        meta.origin, meta.comment = "demo", "cabin state"
        status.record_metadata(meta)

        # The recorders have made the table by now: earlier runs can be read.
        start = run_start(read_series, datetime.datetime.now(datetime.UTC))
        changes = dict(STATUS)
        for step in range(RUN // STEP + 1):
            s = step * STEP.seconds
            when = start + step * STEP
            # Several recorders writing the same table, interleaved.
            rpm.record_point(point(engine_rpm(s), when))
            temperature.record_point(point(cabin_temperature(s), when))
            door.record_point(point(door_open(s), when))
            if s in changes:
                status.record_point(point(changes[s], when))
    return start


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Records an engine run with the log recorders and prints the table.")
    parser.add_argument("--db", default=DEFAULT_DB, help=f"the SQLite file (default: {DEFAULT_DB} in the working directory)")
    parser.add_argument("--postgres", metavar="CONNINFO", help="record into PostgreSQL instead (a libpq connection string)")
    args = parser.parse_args(argv)
    if args.postgres is not None:
        conninfo: str = args.postgres
        start = record_demo_series(lambda: PostgresRecorder(conninfo),
                                   lambda name, since: postgres.read_rows(conninfo, name, since=since))
        rows, where = postgres.read_rows(conninfo), f"{postgres.DEFAULT_TABLE} on PostgreSQL"
    else:
        path: str = args.db
        start = record_demo_series(lambda: SqliteRecorder(path),
                                   lambda name, since: sqlite.read_rows(path, name, since=since))
        rows, where = sqlite.read_rows(path), f"{os.fspath(path)} ({sqlite.TABLE})"
    print(f"an engine run from {start:%Y-%m-%d %H:%M:%S} to {start + RUN:%H:%M:%S} UTC, "
          f"a point every {STEP.seconds} s")
    print_table(rows, where)


if __name__ == "__main__":
    main()
