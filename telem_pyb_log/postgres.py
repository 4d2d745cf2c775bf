"""The PostgreSQL log recorder: a table that recorders of many processes and
hosts share, each batch written with COPY in one transaction, every row
delivered exactly once. Needs psycopg 3 (`pip install 'telem_pyb[postgres]'`),
whose libpq the recorder uses."""

from __future__ import annotations

import importlib
from typing import Unpack

import telem_pyb
from telem_pyb_log import _native
from telem_pyb_log._batching import (
    COLUMNS,
    LogRecorder,
    RecorderOptions,
    Row,
    check_options,
    check_seconds,
    spool_path,
)

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
    missing), one row per point: the seven fields of the log record and an
    `id` that keeps the order of arrival; the table `<table>_delivered` keeps
    count of each recorder's rows.

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


def read_rows(conninfo: str, tsname: str | None = None, *, table: str = DEFAULT_TABLE) -> list[Row]:
    """The rows of the table in the order they were written, of one series or of all."""
    _require_psycopg()
    import psycopg
    from psycopg import sql

    select = sql.SQL("SELECT {} FROM {}").format(sql.SQL(", ").join(map(sql.Identifier, COLUMNS)),
                                                sql.Identifier(table))
    try:
        conn = psycopg.connect(conninfo)
    except psycopg.Error as exc:
        raise telem_pyb.TelemException(f"read_rows: cannot connect: {_without_password(conninfo, str(exc))}") from None
    with conn:
        if tsname is None:
            cursor = conn.execute(select + sql.SQL(" ORDER BY id"))
        else:
            cursor = conn.execute(select + sql.SQL(" WHERE tsname = %s ORDER BY id"), (tsname,))
        return [tuple(map(str, row)) for row in cursor.fetchall()]  # type: ignore[misc]
