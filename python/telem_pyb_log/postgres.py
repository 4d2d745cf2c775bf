"""The PostgreSQL log recorder: a table that recorders of many processes and
hosts share, each batch written with COPY in one transaction, every row
delivered exactly once. Needs psycopg 3 (`pip install 'telem_pyb[postgres]'`),
whose libpq the recorder uses."""

from __future__ import annotations

import contextlib
import datetime
import importlib
from collections.abc import Iterable, Iterator, Mapping
from typing import Any, Unpack

import telem_pyb
from telem_pyb_log import _native, _reading
from telem_pyb_log._batching import (
    LogRecorder,
    LogSink,
    RecorderOptions,
    Row,
    check_options,
    check_seconds,
    spool_path,
)
from telem_pyb_log._reading import NoTable, Source
from telem_pyb_log._schema import NO_TIME, Layout, Statement, quoted

DEFAULT_TABLE = "log_points"


def _require_psycopg() -> None:
    try:
        import psycopg  # noqa: F401
    except ImportError as exc:
        raise ImportError(
            "PostgresRecorder needs psycopg 3: pip install 'telem_pyb[postgres]' (or 'psycopg[binary]')"
        ) from exc


def _libpq_module() -> str:
    """A file whose loaded libraries hold the libpq that psycopg uses: the
    recorder calls that libpq, so that the process holds one."""
    _require_psycopg()
    import psycopg.pq

    implementation = {"binary": "psycopg_binary.pq", "c": "psycopg_c.pq"}.get(psycopg.pq.__impl__)
    if implementation is not None:
        return str(importlib.import_module(implementation).__file__)
    # The pure-Python implementation loads libpq with ctypes.
    return str(importlib.import_module("psycopg.pq._pq_ctypes").pq._name)


def _without_password(conninfo: str, message: str) -> str:
    import psycopg

    try:
        password = psycopg.conninfo.conninfo_to_dict(conninfo).get("password")
    except psycopg.Error:
        return "(the connection string does not parse)"
    return message.replace(str(password), "********") if password else message


def _open_store(label: str, conninfo: str, table: str, connect_timeout: float, write_timeout: float,
                options: RecorderOptions) -> _native.NativeStore:
    check_options(options)
    check_seconds("connect_timeout", connect_timeout)
    check_seconds("write_timeout", write_timeout)
    # With a spool the server need not be reachable yet: the writer
    # connects, and creates the tables, when it can.
    return _native.open_postgres(label, conninfo, table, float(connect_timeout), float(write_timeout),
                                 _libpq_module(), not spool_path(options))


class PostgresRecorder(LogRecorder):
    """Records one series into the PostgreSQL table `table` (created if
    missing), one row per point: the seven fields of the log record, an `id`
    that keeps the order of arrival, and the typed columns `time`
    (timestamptz, parsed from mtime; NULL if it is not a time) and `number`
    (double precision: the value of a bool, int or float; NULL for text).
    `<table>` is a view of `<table>_rows`, whose rows name their series by
    the id of `<table>_series` (the metadata of each series as recorded) and
    leave out the texts that `time` and `number` give back. The table
    `<table>_delivered` keeps count of each recorder's rows, and
    `<table>_schema` the version of the tables' shape. A table made by an
    earlier version is upgraded in place.

    `conninfo` is a libpq connection string or URI. One that does not connect,
    a database that is not UTF8, a table name too long for its ledger's name
    (PostgreSQL keeps 63 bytes of a name), a name that is another table's
    ledger and an existing table of other columns fail here with
    `telem_pyb.TelemException`; no message shows the password. Each batch is
    one `COPY` in one transaction that also advances the recorder's count in
    the ledger. A write whose outcome is unknown (the server restarted, the
    connection dropped) is retried; the retry reads the ledger and stores
    exactly the rows the table lacks, so no row is lost or stored twice. If
    the ledger shows fewer rows than the server had confirmed (a failover to
    a standby that had not received them), the recorder logs an error naming
    them and goes on from the ledger's count. Connecting waits at most
    `connect_timeout` seconds, each write at most `write_timeout`. A text
    holding the NUL character, which PostgreSQL cannot store, is refused.
    Several recorders and processes may share a table. With a `spool`, the
    server need not be reachable when the recorder is made: it connects, and
    creates the tables, with its first write; the ledger then counts the
    rows under the spool's identity, so that every recorder that opens the
    spool goes on where the last one stopped.
    """

    label = "PostgresRecorder"

    def __init__(
        self,
        conninfo: str,
        *,
        table: str = DEFAULT_TABLE,
        connect_timeout: float = 10.0,
        write_timeout: float = 10.0,
        **options: Unpack[RecorderOptions],
    ) -> None:
        self.table = table
        super().__init__(_open_store(self.label, conninfo, table, connect_timeout, write_timeout, options), **options)


class PostgresSink(LogSink):
    """Any number of series into the PostgreSQL table `table` through one
    delivery path: one writer thread and one server connection (two at most
    while it reconnects), whatever the number of series. The sink of which
    a `PostgresRecorder` is the one-series shorthand; tables, delivery and
    options are as for `PostgresRecorder`, the ledger counting the sink's
    rows (under its spool's identity where it has a spool)."""

    label = "PostgresSink"

    def __init__(
        self,
        conninfo: str,
        *,
        table: str = DEFAULT_TABLE,
        connect_timeout: float = 10.0,
        write_timeout: float = 10.0,
        **options: Unpack[RecorderOptions],
    ) -> None:
        self.table = table
        super().__init__(_open_store(self.label, conninfo, table, connect_timeout, write_timeout, options), **options)


class PostgresSource(Source):
    """A table of the PostgreSQL recorder, opened for reading; a table that
    does not exist is TelemException, and nothing is created."""

    def __init__(self, conninfo: str, table: str = DEFAULT_TABLE) -> None:
        _require_psycopg()
        import psycopg

        self.where = f"the table {table} on PostgreSQL"
        self._conninfo = conninfo
        self._cursors = 0
        self._depth = 0
        try:
            self.conn = psycopg.connect(conninfo, autocommit=True)
        except psycopg.Error as exc:
            raise telem_pyb.TelemException(f"cannot connect: {_without_password(conninfo, str(exc))}") from None
        try:
            # The statements of one reading see one snapshot.
            self.conn.isolation_level = psycopg.IsolationLevel.REPEATABLE_READ
            found = self.conn.execute("SELECT to_regclass(quote_ident(%s)) IS NOT NULL, "
                                      "to_regclass(quote_ident(%s)) IS NOT NULL", (table, table + "_schema")).fetchone()
            if not found or not found[0]:
                raise NoTable(f"there is no table {table} on the server")
            version, unfilled = 1, 0
            if found[1]:
                version, unfilled = self.conn.execute(
                    f"SELECT max(version), max(unfilled_upto) FROM {quoted(table + '_schema')}").fetchone() or (1, 0)
            self._check_version(int(version or 1), int(unfilled or 0), table)
        except psycopg.Error as exc:
            self.conn.close()
            raise telem_pyb.TelemException(f"cannot read {self.where}: {self._message(exc)}") from None
        except BaseException:
            self.conn.close()
            raise
        self.layout = Layout("postgres", int(version), table)

    def close(self) -> None:
        self.conn.close()

    def _message(self, exc: Exception) -> str:
        return _without_password(self._conninfo, str(exc)).strip()

    def _query(self, statement: Statement) -> Iterator[tuple[Any, ...]]:
        import psycopg

        self._cursors += 1
        try:
            with self.snapshot(), self.conn.cursor(name=f"telem_pyb_log_read_{self._cursors}") as cursor:
                # A server-side cursor: long reads arrive in pieces.
                cursor.execute(*statement)
                yield from cursor
        except psycopg.Error as exc:
            raise telem_pyb.TelemException(f"cannot read {self.where}: {self._message(exc)}") from None

    @contextlib.contextmanager
    def snapshot(self) -> Iterator[None]:
        if self._depth:
            self._depth += 1
            try:
                yield
            finally:
                self._depth -= 1
            return
        with self.conn.transaction():
            self._depth += 1
            try:
                yield
            finally:
                self._depth -= 1

    def visible(self) -> tuple[int, int]:
        """The oldest transaction still running and the next one to start,
        as this reading's snapshot sees them."""
        row, = list(self._query(("SELECT txid_snapshot_xmin(txid_current_snapshot()), "
                                "txid_snapshot_xmax(txid_current_snapshot())", [])))
        return int(row[0]), int(row[1])

    def _delete(self, statement: Statement) -> int:
        import psycopg

        level = self.conn.isolation_level
        try:
            # A prune's deletes need no snapshot of their own: rows deleted
            # meanwhile by another are skipped, not an error.
            self.conn.isolation_level = psycopg.IsolationLevel.READ_COMMITTED
            with self.conn.transaction():
                return self.conn.execute(*statement).rowcount
        except psycopg.Error as exc:
            raise telem_pyb.TelemException(f"cannot delete from {self.where}: {self._message(exc)}") from None
        finally:
            self.conn.isolation_level = level

    def _numbers(self, statements: list[Statement]) -> tuple[Any, Any]:
        import numpy as np
        import psycopg

        (sql, params), = statements
        data = bytearray()
        try:
            with self.snapshot(), self.conn.cursor() as cursor:
                with cursor.copy(f"COPY ({sql}) TO STDOUT (FORMAT BINARY)", params) as copy:
                    for chunk in copy:
                        data += chunk
        except psycopg.Error as exc:
            raise telem_pyb.TelemException(f"cannot read {self.where}: {self._message(exc)}") from None
        return _binary_numbers(np, data)


# COPY's binary form: a header, then per row the count of fields (2) and
# each field's length (8) and value (big-endian), then a trailer of -1.
_SIGNATURE = b"PGCOPY\n\xff\r\n\x00"
_POSTGRES_EPOCH_MICROS = 946_684_800_000_000  # 2000-01-01, where timestamptz counts from
_INFINITY = 2**63 - 1


def _binary_numbers(np: Any, data: bytearray) -> tuple[Any, Any]:
    """Time (int64 microseconds since the epoch; NO_TIME for infinity, which
    the query gives for NULL) and number of a binary COPY of the two."""
    row = np.dtype([("fields", ">i2"), ("time_size", ">i4"), ("time", ">i8"), ("number_size", ">i4"),
                    ("number", ">f8")])
    if bytes(data[:11]) != _SIGNATURE or len(data) < 21:
        raise telem_pyb.TelemException("the server's binary COPY has an unknown header")
    start = 19 + int.from_bytes(data[15:19], "big")
    count, rest = divmod(len(data) - start - 2, row.itemsize)
    rows = np.frombuffer(data, dtype=row, count=count, offset=start)
    if rest or bytes(data[-2:]) != b"\xff\xff" or (rows["fields"] != 2).any() or (rows["time_size"] != 8).any() \
            or (rows["number_size"] != 8).any():
        raise telem_pyb.TelemException("the server's binary COPY has rows of another shape")
    stamp = rows["time"].astype(np.int64)
    unbounded = (stamp == _INFINITY) | (stamp == -_INFINITY - 1)
    return np.where(unbounded, NO_TIME, stamp + _POSTGRES_EPOCH_MICROS), rows["number"].astype(np.float64)


def read_rows(conninfo: str, tsname: str | None = None, *, table: str = DEFAULT_TABLE,
              since: datetime.datetime | None = None, until: datetime.datetime | None = None,
              limit: int | None = None, where: Mapping[str, str | Iterable[str]] | None = None) -> list[Row]:
    """`telem_pyb_log.read_rows` of a PostgreSQL table: the seven texts of
    its rows in time order."""
    return _reading.read_rows(conninfo, tsname, since=since, until=until, limit=limit, where=where, table=table)
