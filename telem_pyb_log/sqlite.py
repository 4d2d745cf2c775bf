"""The SQLite log recorder: one table `log_points` in a database file that
several recorders, threads and processes may share (WAL mode)."""

from __future__ import annotations

import contextlib
import os
import sqlite3
from typing import Unpack

from telem_pyb_log import _native
from telem_pyb_log._batching import COLUMNS, LogRecorder, RecorderOptions, Row, check_options, check_seconds

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
    record and an `id` that keeps the order of arrival.

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
