"""The SQLite log recorder: one table `log_points` in a database file that
several recorders, threads and processes may share (WAL mode)."""

from __future__ import annotations

import contextlib
import itertools
import os
import sqlite3
from collections.abc import Sequence
from typing import Any

from telem_pyb_log._batching import COLUMNS, LogRecorder, Row

DEFAULT_DB = "telemetry.db"
TABLE = "log_points"

_CREATE_TABLE = f"""CREATE TABLE IF NOT EXISTS {TABLE} (
    id INTEGER PRIMARY KEY,
    {", ".join(f"{column} TEXT NOT NULL" for column in COLUMNS)}
)"""
_CREATE_INDEX = f"CREATE INDEX IF NOT EXISTS {TABLE}_tsname ON {TABLE} (tsname, id)"
_INSERT = f"INSERT INTO {TABLE} ({', '.join(COLUMNS)}) VALUES "
_ROW = f"({', '.join('?' * len(COLUMNS))})"


class _SqliteStore:
    encode = None  # rows are queued as they are

    def __init__(self, path: str | os.PathLike[str], timeout: float) -> None:
        self.where = os.fspath(path)
        # Transactions are explicit (isolation_level=None); the recorder's lock
        # serialises its callers, which may be native threads.
        self.conn = sqlite3.connect(path, timeout=timeout, isolation_level=None, check_same_thread=False)
        try:
            self.conn.execute("PRAGMA journal_mode=WAL")
            self.conn.execute("PRAGMA synchronous=NORMAL")
            self.conn.execute(_CREATE_TABLE)
            self.conn.execute(_CREATE_INDEX)
        except BaseException:
            self.conn.close()
            raise

        # Rows go in as INSERTs of many rows each, as many as the connection
        # allows parameters: a third cheaper than one INSERT per row.
        self.rows_per_insert = max(1, min(500, self.conn.getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER) // len(COLUMNS)))
        self._inserts: dict[int, str] = {}

    def _insert(self, count: int) -> str:
        """The INSERT of `count` rows (sqlite3 keeps the statements it has prepared)."""
        sql = self._inserts.get(count)
        if sql is None:
            sql = self._inserts[count] = _INSERT + ", ".join([_ROW] * count)
        return sql

    def write(self, rows: Sequence[Any], first_seq: int) -> None:
        # A transaction that fails is rolled back whole, so nothing of a failed
        # write is ever stored. BEGIN IMMEDIATE takes the write lock up front,
        # waiting up to the connection's timeout while another connection writes.
        self.conn.execute("BEGIN IMMEDIATE")
        try:
            step = self.rows_per_insert
            for start in range(0, len(rows), step):
                chunk = rows[start : start + step]
                params = list(itertools.chain.from_iterable(chunk))
                self.conn.execute(self._insert(len(chunk)), params)
            self.conn.execute("COMMIT")
        except BaseException:
            if self.conn.in_transaction:
                self.conn.execute("ROLLBACK")
            raise

    def close(self) -> None:
        self.conn.close()


class SqliteRecorder(LogRecorder):
    """Records one series into the SQLite table `log_points` of the file `path`,
    one row per point: the seven fields of the log record and an `id` that keeps
    the order of arrival.

    Batches, refusals and threads as for every `LogRecorder`. The file is in WAL
    mode; each recorder has its own connection and holds the write lock only
    while it writes a batch, waiting up to `timeout` seconds for it.
    """

    label = "SqliteRecorder"

    def __init__(
        self,
        path: str | os.PathLike[str] = DEFAULT_DB,
        *,
        batch_size: int = 1000,
        max_delay: float = 1.0,
        timeout: float = 30.0,
    ) -> None:
        super().__init__(lambda: _SqliteStore(path, timeout), batch_size=batch_size, max_delay=max_delay)
        self.path = os.fspath(path)


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
