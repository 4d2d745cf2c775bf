"""The PostgreSQL log recorder: a table that recorders of many processes and
hosts share, each batch written with COPY in one transaction, every row
delivered exactly once. Needs psycopg 3 (`pip install 'telem_pyb[postgres]'`),
whose libpq the recorder uses."""

from __future__ import annotations

import datetime
import importlib
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
    spool_path,
)
from telem_pyb_log._reading import NoTable, Selection, StoredRow, check_limit, texts, utc

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


class PostgresRecorder(LogRecorder):
    """Records one series into the PostgreSQL table `table` (created if
    missing), one row per point: the seven fields of the log record, an `id`
    that keeps the order of arrival, and the typed columns `time`
    (timestamptz, parsed from mtime; NULL if it is not a time) and `number`
    (double precision: the value of a bool, int or float; NULL for text). The
    table `<table>_delivered` keeps count of each recorder's rows,
    `<table>_series` the metadata of each series as recorded, and
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
        check_options(options)
        check_seconds("connect_timeout", connect_timeout)
        check_seconds("write_timeout", write_timeout)
        self.table = table
        # With a spool the server need not be reachable yet: the writer
        # connects, and creates the tables, when it can.
        store = _native.open_postgres(self.label, conninfo, table, float(connect_timeout), float(write_timeout),
                                      _libpq_module(), not spool_path(options))
        super().__init__(store, **options)


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
        check_options(options)
        check_seconds("connect_timeout", connect_timeout)
        check_seconds("write_timeout", write_timeout)
        self.table = table
        store = _native.open_postgres(self.label, conninfo, table, float(connect_timeout), float(write_timeout),
                                      _libpq_module(), not spool_path(options))
        super().__init__(store, **options)


class PostgresSource:
    """A table of the PostgreSQL recorder, opened for reading; a table that
    does not exist is TelemException, and nothing is created."""

    def __init__(self, conninfo: str, table: str = DEFAULT_TABLE) -> None:
        _require_psycopg()
        import psycopg
        from psycopg import sql

        self.where = f"the table {table} on PostgreSQL"
        self._conninfo = conninfo
        try:
            self.conn = psycopg.connect(conninfo, autocommit=True)
        except psycopg.Error as exc:
            raise telem_pyb.TelemException(f"cannot connect: {_without_password(conninfo, str(exc))}") from None
        try:
            found = self.conn.execute("SELECT to_regclass(quote_ident(%s)) IS NOT NULL", (table,)).fetchone()
            if not found or not found[0]:
                raise NoTable(f"there is no table {table} on the server")
            columns = {name for (name,) in self.conn.execute(
                "SELECT attname FROM pg_attribute WHERE attrelid = to_regclass(quote_ident(%s)) AND attnum > 0 "
                "AND NOT attisdropped", (table,))}
        except BaseException:
            self.conn.close()
            raise
        self.typed = {"time", "number"} <= columns
        self._table = sql.Identifier(table)
        self._sql = sql

    def close(self) -> None:
        self.conn.close()

    def _query(self, query: Any, params: Sequence[Any] = ()) -> Iterator[tuple[Any, ...]]:
        import psycopg

        try:
            # A server-side cursor: long reads arrive in pieces.
            with self.conn.transaction(), self.conn.cursor(name="telem_pyb_log_read") as cursor:
                cursor.execute(query, params)
                yield from cursor
        except psycopg.Error as exc:
            raise telem_pyb.TelemException(
                f"cannot read {self.where}: {_without_password(self._conninfo, str(exc)).strip()}") from None

    def rows(self, tsname: str | None = None, since: datetime.datetime | None = None,
             until: datetime.datetime | None = None, *, after_id: int | None = None, limit: int | None = None,
             last: bool = False) -> Iterator[StoredRow]:
        sql = self._sql
        if (since is not None or until is not None) and not self.typed:
            raise telem_pyb.TelemException(
                f"{self.where} has no time column yet (an earlier version made it); open a PostgresRecorder on it "
                "once to upgrade it")
        select = Selection("%s", tsname, since, until, after_id=after_id, limit=limit, last=last)
        typed = "time, number" if self.typed else "NULL::timestamptz, NULL::float8"
        query = sql.SQL("SELECT id, {}, " + typed + " FROM {}" + select.where + select.order).format(
            sql.SQL(", ").join(map(sql.Identifier, COLUMNS)), self._table)
        for row in self._query(query, select.params):
            yield row

    def series(self) -> list[tuple[str, str, int, datetime.datetime | None, datetime.datetime | None]]:
        sql = self._sql
        typed = "min(time), max(time)" if self.typed else "NULL::timestamptz, NULL::timestamptz"
        query = sql.SQL("SELECT tsname, (SELECT units FROM {t} l WHERE l.tsname = g.tsname ORDER BY id DESC LIMIT 1), "
                        "count(*), " + typed + " FROM {t} g GROUP BY tsname ORDER BY tsname").format(t=self._table)
        return list(self._query(query))

    def has_series(self, tsname: str) -> bool:
        sql = self._sql
        query = sql.SQL("SELECT 1 FROM {} WHERE tsname = %s LIMIT 1").format(self._table)
        return bool(list(self._query(query, (tsname,))))


def read_rows(conninfo: str, tsname: str | None = None, *, table: str = DEFAULT_TABLE,
              since: datetime.datetime | None = None, until: datetime.datetime | None = None,
              limit: int | None = None) -> list[Row]:
    """The rows of the table in the order they were written, of one series or
    of all: the seven texts of each. `since` (inclusive) and `until`
    (exclusive) select by the time column, aware datetimes compared in UTC;
    `limit` keeps the first rows. A missing table is TelemException; nothing
    is created."""
    since, until = utc("since", since), utc("until", until)
    check_limit(limit)
    source = PostgresSource(conninfo, table)
    try:
        return texts(source.rows(tsname, since, until, limit=limit))
    finally:
        source.close()
