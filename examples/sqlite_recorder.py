"""A log-backend recorder that stores one series' points in an SQLite table.

`SqliteRecorder` keeps the metadata last given to it, turns every point into
the log backend's record with `ConvertPointToDb` and stores the record's seven
fields as one row of the table `log_points`. Rows are written in batches, each
batch in one transaction; several recorders (and processes) may share one
database file, which is kept in WAL mode so that readers never block writers.

Run as a script, it records a few demo series into `telemetry.db` in the
working directory (`--db` names another file) and prints what the table holds.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import os
import sqlite3
import threading
import time
import weakref
from collections.abc import Sequence
from types import TracebackType
from typing import Self

import telem_pyb
from telem_pyb.backend.log import ConvertPointToDb

DEFAULT_DB = "telemetry.db"
TABLE = "log_points"
COLUMNS = ("mtime", "tsname", "value", "btype", "units", "comment", "origin")
METADATA_FIELDS = ("tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json")

Row = tuple[str, str, str, str, str, str, str]

_CREATE_TABLE = f"""CREATE TABLE IF NOT EXISTS {TABLE} (
    id INTEGER PRIMARY KEY,
    {", ".join(f"{column} TEXT NOT NULL" for column in COLUMNS)}
)"""
_CREATE_INDEX = f"CREATE INDEX IF NOT EXISTS {TABLE}_tsname ON {TABLE} (tsname, id)"
_INSERT = f"INSERT INTO {TABLE} ({', '.join(COLUMNS)}) VALUES ({', '.join('?' * len(COLUMNS))})"


def utc_now() -> str:
    """The current UTC time in ISO 8601, to the microsecond."""
    return datetime.datetime.now(datetime.UTC).isoformat(timespec="microseconds")


def copy_metadata(meta: telem_pyb.TsMetadata) -> telem_pyb.TsMetadata:
    """A new TsMetadata with the nine fields of `meta` (the class has no copy of its own)."""
    copy = telem_pyb.TsMetadata()
    for field in METADATA_FIELDS:
        setattr(copy, field, getattr(meta, field))
    return copy


class _Store:
    """The connection and the rows not written yet.

    Kept apart from the recorder so that a finaliser can write the last rows of
    a recorder that was never closed without keeping the recorder alive.
    """

    def __init__(self, path: str | os.PathLike[str], batch_size: int, max_delay: float, timeout: float) -> None:
        self.lock = threading.Lock()
        self.pending: list[Row] = []
        self.batch_size = batch_size
        self.max_delay = max_delay
        self.first_pending_at = 0.0
        # Transactions are explicit (isolation_level=None); the lock above
        # serialises the recorder's callers, which may be native threads.
        self.conn: sqlite3.Connection | None = sqlite3.connect(
            path, timeout=timeout, isolation_level=None, check_same_thread=False
        )
        try:
            self.conn.execute("PRAGMA journal_mode=WAL")
            self.conn.execute("PRAGMA synchronous=NORMAL")
            self.conn.execute(_CREATE_TABLE)
            self.conn.execute(_CREATE_INDEX)
        except BaseException:
            self.conn.close()
            raise

    def add(self, row: Row) -> None:
        """Queues one row; writes the queue once it is full or its oldest row has waited max_delay."""
        if not self.pending:
            self.first_pending_at = time.monotonic()
        self.pending.append(row)
        if len(self.pending) >= self.batch_size or time.monotonic() - self.first_pending_at >= self.max_delay:
            self.flush()

    def flush(self) -> None:
        """Writes the queued rows in one transaction. On failure they stay queued for the next try."""
        if not self.pending or self.conn is None:
            return
        # BEGIN IMMEDIATE takes the write lock up front, waiting up to the
        # connection's timeout while another connection writes.
        self.conn.execute("BEGIN IMMEDIATE")
        try:
            self.conn.executemany(_INSERT, self.pending)
            self.conn.execute("COMMIT")
        except BaseException:
            if self.conn.in_transaction:
                self.conn.execute("ROLLBACK")
            raise
        self.pending.clear()

    def close(self) -> None:
        """Writes what is queued and releases the connection; the queue is kept if the write fails."""
        with self.lock:
            if self.conn is None:
                return
            self.flush()
            self.conn.close()
            self.conn = None


class SqliteRecorder(telem_pyb.TelemRecorder):
    """Records one series into the SQLite table `log_points`, one row per point.

    - `record_metadata` (and so `record_metadata_kv`) sets the series for the
      points that follow; the recorder keeps its own copy. Metadata without a
      `tsname` is refused (the log record needs the series name).
    - A point whose `mtime` is empty gets the current UTC time (ISO 8601) set
      on it before it is converted.
    - A point before any metadata, and any record after `close()`, is refused
      with `telem_pyb.TelemException`; a refused record stores nothing.
    - Rows are written every `batch_size` points, when the oldest unwritten row
      has waited `max_delay` seconds (checked as points arrive), on `flush()`
      and on `close()`. A recorder that is garbage collected or still open at
      interpreter exit writes its rows then. A write that fails (the database
      stayed locked for `timeout` seconds, say) raises sqlite3's error and
      keeps the rows for the next write.

    The recorder may be called from several threads, native ones included.
    """

    def __init__(
        self,
        path: str | os.PathLike[str] = DEFAULT_DB,
        *,
        batch_size: int = 1000,
        max_delay: float = 1.0,
        timeout: float = 30.0,
    ) -> None:
        super().__init__()
        if batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, not {batch_size}")
        self.path = os.fspath(path)
        self._meta: telem_pyb.TsMetadata | None = None
        self._store = _Store(path, batch_size, max_delay, timeout)
        # Writes the last rows if the recorder is collected or the interpreter
        # exits before close().
        self._finalizer = weakref.finalize(self, self._store.close)

    @property
    def closed(self) -> bool:
        return self._store.conn is None

    @property
    def metadata(self) -> telem_pyb.TsMetadata | None:
        """A copy of the metadata that the next points are recorded with."""
        with self._store.lock:
            return None if self._meta is None else copy_metadata(self._meta)

    def record_metadata(self, meta: telem_pyb.TsMetadata) -> None:
        with self._store.lock:
            self._check_open()
            if not meta.tsname:
                raise telem_pyb.TelemException(
                    "SqliteRecorder: metadata without a tsname; the log records need the series name"
                )
            self._meta = copy_metadata(meta)

    def record_point(self, point: telem_pyb.TsPoint) -> None:
        store = self._store
        with store.lock:
            self._check_open()
            if self._meta is None:
                raise telem_pyb.TelemException(
                    "SqliteRecorder: a point arrived before any metadata; call record_metadata or record_metadata_kv first"
                )
            if not point.mtime:
                point.mtime = utc_now()
            db = ConvertPointToDb(self._meta, point)
            # Read every field before queueing: one that is not valid UTF-8
            # raises here and the point is refused whole.
            store.add((db.mtime, db.tsname, db.value, db.btype, db.units, db.comment, db.origin))

    def flush(self) -> None:
        """Writes the rows recorded so far."""
        with self._store.lock:
            self._check_open()
            self._store.flush()

    def close(self) -> None:
        """Writes the remaining rows and releases the database. Closing twice does nothing.

        If the last write fails, the error is raised, the recorder stays open
        and close() can be tried again.
        """
        self._store.close()
        self._finalizer.detach()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def _check_open(self) -> None:
        if self._store.conn is None:
            raise telem_pyb.TelemException(f"SqliteRecorder: {self.path} is closed; it records nothing more")


def read_rows(path: str | os.PathLike[str], tsname: str | None = None) -> list[Row]:
    """The rows of the table in the order they were written, of one series or of all."""
    with contextlib.closing(sqlite3.connect(path)) as conn:
        select = f"SELECT {', '.join(COLUMNS)} FROM {TABLE}"
        if tsname is None:
            cursor = conn.execute(f"{select} ORDER BY id")
        else:
            cursor = conn.execute(f"{select} WHERE tsname = ? ORDER BY id", (tsname,))
        rows: list[Row] = cursor.fetchall()
    return rows


def print_table(path: str | os.PathLike[str], tsname: str | None = None, last: int = 5) -> None:
    """Prints, per series (or for one), how many rows the table holds and the last few of them."""
    series: dict[str, list[Row]] = {}
    for row in read_rows(path, tsname):
        series.setdefault(row[1], []).append(row)
    if tsname is None:
        print(f"{os.fspath(path)}: {sum(map(len, series.values()))} rows in {TABLE}")
    for tsname, rows in sorted(series.items()):
        *_, btype, units, comment, origin = rows[-1]
        print(f"\n{tsname} ({btype}, {units or 'no units'}, from {origin}): {len(rows)} rows  # {comment}")
        if len(rows) > last:
            print(f"  ... {len(rows) - last} earlier rows")
        for row in rows[-last:]:
            print(f"  {row[0]}  {row[2]}")


def record_demo_series(path: str | os.PathLike[str]) -> None:
    """Records four short series, one recorder each, all in one database file."""
    with SqliteRecorder(path) as door:
        door.record_metadata_kv({"tsid": "1", "tsname": "cabin.door_open", "btype": "bool", "origin": "demo",
                                 "comment": "cabin door switch"})
        for state in (False, True, False):
            door.record_value(state)

    with SqliteRecorder(path) as rpm, SqliteRecorder(path) as temperature:
        rpm.record_metadata_kv({"tsid": "2", "tsname": "engine.rpm", "btype": "int", "units": "1/min",
                                "origin": "demo", "comment": "engine speed"})
        temperature.record_metadata_kv({"tsid": "3", "tsname": "cabin.temperature", "btype": "float",
                                        "units": "degC", "origin": "demo", "comment": "cabin sensor"})
        # Two recorders writing the same file, interleaved.
        for rpm_value, degrees in ((800, 21.5), (2400, 21.75), (3100, 22.0)):
            rpm.record_value(rpm_value)
            temperature.record_value(degrees)
        # A point that carries its own time text keeps it.
        point = telem_pyb.TsPoint()
        point.value = 22.25
        point.mtime = "2026-12-08T12:00:00.000000+00:00"
        temperature.record_point(point)

    with SqliteRecorder(path) as status:
        meta = telem_pyb.TsMetadata()
        meta.tsid, meta.tsname, meta.btype = "4", "cabin.status", "string"
        meta.origin, meta.comment = "demo", "cabin state"
        status.record_metadata(meta)
        for text in ("boarding", "cruise", "landing"):
            point = telem_pyb.TsPoint()
            point.value = text
            status.record_point(point)


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Records demo series into an SQLite file and prints its table.")
    parser.add_argument("--db", default=DEFAULT_DB, help=f"the database file (default: {DEFAULT_DB} in the working directory)")
    args = parser.parse_args(argv)
    record_demo_series(args.db)
    print_table(args.db)


if __name__ == "__main__":
    main()
