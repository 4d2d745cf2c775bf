"""The SQLite log recorder: one table `log_points` in a database file that
several recorders, threads and processes may share (WAL mode), and reading it."""

from __future__ import annotations

import contextlib
import datetime
import errno
import os
import sqlite3
import urllib.parse
from collections.abc import Iterable, Iterator, Mapping
from typing import Any, Unpack

import telem_pyb
from telem_pyb_log import _native, _reading
from telem_pyb_log._batching import LogRecorder, LogSink, RecorderOptions, Row, check_options, check_seconds
from telem_pyb_log._reading import NoTable, Source
from telem_pyb_log._schema import Layout, Statement, quoted

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
    text and NaN). `log_points` is a view of `log_points_rows`, whose rows
    name their series by the id of `log_points_series` (the metadata of each
    series as it was recorded), keep `time` in microseconds since the epoch
    and leave out the texts that `time` and `number` give back. A file made
    by an earlier version is upgraded in place.

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


class SqliteSource(Source):
    """A database file of the SQLite recorder, opened for reading: a missing
    file is FileNotFoundError and a file without the table TelemException;
    neither is created."""

    def __init__(self, path: str | os.PathLike[str], table: str = TABLE) -> None:
        self.where = os.fspath(path)
        if not os.path.isfile(self.where):
            raise FileNotFoundError(errno.ENOENT, "no such SQLite file", self.where)
        # mode=rw creates no database; as the last connection to close, it
        # also removes the WAL files (mode=ro would leave them), so reading
        # leaves the directory as it was. A file that is not writable is read
        # with mode=ro.
        self._path = os.path.abspath(self.where)
        uri = "file:" + urllib.parse.quote(self._path)
        self._read_only = not os.access(self.where, os.W_OK)
        self._depth = 0
        try:
            self.conn = sqlite3.connect(f"{uri}?mode={'ro' if self._read_only else 'rw'}", uri=True, timeout=30.0,
                                        isolation_level=None)
            names = {name for (name,) in self.conn.execute(
                "SELECT name FROM sqlite_master WHERE type IN ('table', 'view')")}
            version, unfilled = 1, 0
            if table in names and f"{table}_schema" in names:
                version, unfilled = self.conn.execute(
                    f"SELECT max(version), max(unfilled_upto) FROM {quoted(table + '_schema')}").fetchone()
        except sqlite3.Error as exc:
            self.conn.close()
            raise telem_pyb.TelemException(f"cannot read {self.where}: {exc}") from None
        if table not in names:
            self.conn.close()
            raise NoTable(f"{self.where} has no table {table}: the log recorders did not write it")
        try:
            self._check_version(int(version or 1), int(unfilled or 0), table)
        except BaseException:
            self.conn.close()
            raise
        self.layout = Layout("sqlite", int(version), table)

    def close(self) -> None:
        self.conn.close()

    def _query(self, statement: Statement) -> Iterator[tuple[Any, ...]]:
        try:
            yield from self.conn.execute(*statement)
        except sqlite3.Error as exc:
            raise telem_pyb.TelemException(f"cannot read {self.where}: {exc}") from None

    @contextlib.contextmanager
    def snapshot(self) -> Iterator[None]:
        outer = self._depth == 0
        if outer:
            self.conn.execute("BEGIN")
        self._depth += 1
        try:
            yield
        finally:
            self._depth -= 1
            if outer and self.conn.in_transaction:
                self.conn.execute("COMMIT")

    def _delete(self, statement: Statement) -> int:
        if self._read_only:
            raise telem_pyb.TelemException(f"cannot delete from {self.where}: the file is not writable")
        try:
            self.conn.execute("BEGIN IMMEDIATE")
            try:
                count = self.conn.execute(*statement).rowcount
                self.conn.execute("COMMIT")
            except BaseException:
                self.conn.execute("ROLLBACK")
                raise
        except sqlite3.Error as exc:
            raise telem_pyb.TelemException(f"cannot delete from {self.where}: {exc}") from None
        return count

    def _numbers(self, statements: list[Statement]) -> tuple[Any, Any]:
        import numpy as np

        times, numbers = _native.read_sqlite_numbers(_sqlite_module(), self._path, self._read_only, statements)
        return np.frombuffer(times, dtype=np.int64), np.frombuffer(numbers, dtype=np.float64)

    def free_bytes(self) -> int:
        """The space of deleted rows that the file keeps for new ones."""
        pages = self.conn.execute("PRAGMA freelist_count").fetchone()[0]
        return int(pages) * int(self.conn.execute("PRAGMA page_size").fetchone()[0])


def read_rows(path: str | os.PathLike[str], tsname: str | None = None, *, since: datetime.datetime | None = None,
              until: datetime.datetime | None = None, limit: int | None = None,
              where: Mapping[str, str | Iterable[str]] | None = None) -> list[Row]:
    """`telem_pyb_log.read_rows` of a SQLite file: the seven texts of its
    rows in time order."""
    return _reading.read_rows(os.fspath(path), tsname, since=since, until=until, limit=limit, where=where)
