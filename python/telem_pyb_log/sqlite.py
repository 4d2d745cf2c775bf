"""The SQLite log recorder: one table `log_points` in a database file that
several recorders, threads and processes may share (WAL mode), and reading it."""

from __future__ import annotations

import datetime
import errno
import os
import sqlite3
import urllib.parse
from collections.abc import Iterator, Sequence
from typing import Any, Unpack

import telem_pyb
from telem_pyb_log import _native
from telem_pyb_log._batching import (
    COLUMNS,
    LogRecorder,
    LogSink,
    RecorderOptions,
    Row,
    check_options,
    check_seconds,
)
from telem_pyb_log._reading import SQLITE_TIME_FORMAT, NoTable, Selection, StoredRow, check_limit, texts, utc

DEFAULT_DB = "telemetry.db"
TABLE = "log_points"


def _sqlite_module() -> str:
    """The file of the interpreter's _sqlite3 module, whose SQLite library the
    recorder uses too: two copies of SQLite in one process break each other's
    locks on a file they both open."""
    import _sqlite3

    return _sqlite3.__file__


class SqliteRecorder(LogRecorder):
    """Records one series into the SQLite table `log_points` of the file `path`
    (created if missing), one row per point: the seven fields of the log
    record, an `id` that keeps the order of arrival, and the typed columns
    `time` (the mtime in UTC as "YYYY-MM-DDTHH:MM:SS.ffffffZ", NULL if it is
    not a time) and `number` (the value of a bool, int or float; NULL for
    text and NaN). `log_points_series` holds the metadata of each series as
    it was recorded. A file made by an earlier version is upgraded in place.

    Everything else is as for every `LogRecorder`. The file is in WAL mode;
    each recorder's writer has its own connection and holds the write lock only
    while it writes a batch, waiting up to `timeout` seconds for it. If the
    file is deleted or replaced while the recorder is open, the next write
    says so (a warning) and writes to a new file at `path`.
    """

    label = "SqliteRecorder"

    def __init__(
        self, path: str | os.PathLike[str] = DEFAULT_DB, *, timeout: float = 30.0, **options: Unpack[RecorderOptions]
    ) -> None:
        check_options(options)
        check_seconds("timeout", timeout)
        self.path = os.fspath(path)
        super().__init__(_native.open_sqlite(self.label, self.path, float(timeout), _sqlite_module()), **options)


class SqliteSink(LogSink):
    """Any number of series into the SQLite table `log_points` of the file
    `path`, through one delivery path (one writer thread, one connection):
    the sink of which a `SqliteRecorder` is the one-series shorthand. Rows,
    tables and options are as for `SqliteRecorder`. `table` must be
    "log_points", the one table the SQLite store writes."""

    label = "SqliteSink"

    def __init__(self, path: str | os.PathLike[str] = DEFAULT_DB, *, table: str = TABLE, timeout: float = 30.0,
                 **options: Unpack[RecorderOptions]) -> None:
        check_options(options)
        check_seconds("timeout", timeout)
        if table != TABLE:
            raise ValueError(f"table must be {TABLE!r} for SQLite (its store writes that table), not {table!r}")
        self.path = os.fspath(path)
        super().__init__(_native.open_sqlite(self.label, self.path, float(timeout), _sqlite_module()), **options)


class SqliteSource:
    """A database file of the SQLite recorder, opened read-only: a missing
    file is FileNotFoundError and a file without the table TelemException;
    neither is created."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.where = os.fspath(path)
        if not os.path.isfile(self.where):
            raise FileNotFoundError(errno.ENOENT, "no such SQLite file", self.where)
        # mode=rw creates no database; as the last connection to close, it
        # also removes the WAL files (mode=ro would leave them), so reading
        # leaves the directory as it was. A file that is not writable is read
        # with mode=ro.
        uri = "file:" + urllib.parse.quote(os.path.abspath(self.where))
        try:
            mode = "rw" if os.access(self.where, os.W_OK) else "ro"
            self.conn = sqlite3.connect(f"{uri}?mode={mode}", uri=True)
            tables = {name for (name,) in self.conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            columns = {row[1] for row in self.conn.execute(f"PRAGMA table_info({TABLE})")}
        except sqlite3.Error as exc:
            raise telem_pyb.TelemException(f"cannot read {self.where}: {exc}") from None
        if TABLE not in tables:
            self.conn.close()
            raise NoTable(f"{self.where} has no table {TABLE}: the log recorders did not write it")
        # A table of an earlier version, not upgraded yet, has no typed columns.
        self.typed = {"time", "number"} <= columns

    def close(self) -> None:
        self.conn.close()

    def _query(self, sql: str, params: Sequence[Any] = ()) -> Iterator[tuple[Any, ...]]:
        try:
            yield from self.conn.execute(sql, params)
        except sqlite3.Error as exc:
            raise telem_pyb.TelemException(f"cannot read {self.where}: {exc}") from None

    def _need_typed(self) -> None:
        if not self.typed:
            raise telem_pyb.TelemException(
                f"the table {TABLE} in {self.where} has no time column yet (an earlier version made it); "
                "open a SqliteRecorder on the file once to upgrade it")

    def rows(self, tsname: str | None = None, since: datetime.datetime | None = None,
             until: datetime.datetime | None = None, *, after_id: int | None = None, limit: int | None = None,
             last: bool = False) -> Iterator[StoredRow]:
        since, until = utc("since", since), utc("until", until)
        if since is not None or until is not None:
            self._need_typed()
        select = Selection("?", tsname, None if since is None else since.strftime(SQLITE_TIME_FORMAT),
                           None if until is None else until.strftime(SQLITE_TIME_FORMAT), after_id=after_id,
                           limit=limit, last=last)
        typed = "time, number" if self.typed else "NULL, NULL"
        sql = f"SELECT id, {', '.join(COLUMNS)}, {typed} FROM {TABLE}{select.where}{select.order}"
        for row in self._query(sql, select.params):
            time = row[8]
            yield (*row[:8], None if time is None else datetime.datetime.fromisoformat(time), row[9])

    def series(self) -> list[tuple[str, str, int, datetime.datetime | None, datetime.datetime | None]]:
        typed = "min(time), max(time)" if self.typed else "NULL, NULL"
        sql = (f"SELECT tsname, (SELECT units FROM {TABLE} l WHERE l.tsname = g.tsname ORDER BY id DESC LIMIT 1), "
               f"count(*), {typed} FROM {TABLE} g GROUP BY tsname ORDER BY tsname")
        return [(name, units, count, *(None if t is None else datetime.datetime.fromisoformat(t) for t in times))
                for name, units, count, *times in self._query(sql)]

    def has_series(self, tsname: str) -> bool:
        return bool(list(self._query(f"SELECT 1 FROM {TABLE} WHERE tsname = ? LIMIT 1", (tsname,))))


def read_rows(path: str | os.PathLike[str], tsname: str | None = None, *, since: datetime.datetime | None = None,
              until: datetime.datetime | None = None, limit: int | None = None) -> list[Row]:
    """The rows of the file's table in the order they were written, of one
    series or of all: the seven texts of each. `since` (inclusive) and `until`
    (exclusive) select by the time column, aware datetimes compared in UTC;
    `limit` keeps the first rows. The file is only read: a missing one is
    FileNotFoundError, one without the table TelemException."""
    since, until = utc("since", since), utc("until", until)
    check_limit(limit)
    source = SqliteSource(path)
    try:
        return texts(source.rows(tsname, since, until, limit=limit))
    finally:
        source.close()
