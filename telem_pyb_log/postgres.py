"""The PostgreSQL log recorder: a table that recorders of many processes and
hosts share, each batch written with COPY in one transaction, every row
delivered exactly once. Needs psycopg 3 (`pip install 'telem_pyb[postgres]'`)."""

from __future__ import annotations

import uuid
from collections.abc import Sequence
from typing import TYPE_CHECKING

import telem_pyb
from telem_pyb_log._batching import COLUMNS, LogRecorder, Row

if TYPE_CHECKING:
    import psycopg

DEFAULT_TABLE = "log_points"

# Serialises the creation of tables by recorders that start at the same time
# (CREATE TABLE IF NOT EXISTS alone may fail in all but one of them).
_CREATE_LOCK = 0x74656C656D  # "telem"


def _require_psycopg() -> None:
    try:
        import psycopg  # noqa: F401
    except ImportError as exc:
        raise ImportError(
            "PostgresRecorder needs psycopg 3: pip install 'telem_pyb[postgres]' (or 'psycopg[binary]')"
        ) from exc


def describe(conninfo: str) -> str | None:
    """The connection string's parameters without the password, for messages;
    None if it does not parse."""
    import psycopg

    try:
        params = psycopg.conninfo.conninfo_to_dict(conninfo)
    except psycopg.Error:
        return None
    params.pop("password", None)
    return " ".join(f"{key}={value}" for key, value in params.items()) or "the default server"


class _PostgresStore:
    """One connection, and the rows of one recorder: each row carries the
    recorder's id and its number, unique together. Batches are written in
    order and whole, so the rows of a recorder that a table holds are always
    its first ones: after a write that failed, possibly after its commit, the
    next write asks how many are there and sends only the rest."""

    def __init__(self, conninfo: str, table: str, connect_timeout: float) -> None:
        _require_psycopg()
        import psycopg
        from psycopg import sql

        self.conninfo = conninfo
        self.connect_timeout = connect_timeout
        described = describe(conninfo)
        self.where = f"{table} on PostgreSQL ({described or 'an unparsable connection string'})"
        self.recorder_id = str(uuid.uuid4())
        self.verify = False  # set after a failed write: the next one checks what is stored
        name = sql.Identifier(table)
        self._copy = sql.SQL("COPY {} (recorder_id, seq, {}) FROM STDIN").format(
            name, sql.SQL(", ").join(map(sql.Identifier, COLUMNS))
        )
        self._stored = sql.SQL("SELECT coalesce(max(seq), 0) FROM {} WHERE recorder_id = %s").format(name)
        try:
            self.conn: psycopg.Connection[tuple[object, ...]] | None = self._connect()
        except psycopg.Error as exc:
            # libpq's parse errors quote the string, password and all.
            reason = str(exc) if described is not None else "it is not a valid libpq connection string"
            raise telem_pyb.TelemException(f"PostgresRecorder: cannot connect to {self.where}: {reason}") from exc
        try:
            encoding = self.conn.execute("SHOW server_encoding").fetchone()
            if encoding is None or encoding[0] != "UTF8":
                raise telem_pyb.TelemException(
                    f"PostgresRecorder: {self.where} has the encoding {encoding and encoding[0]}; "
                    "the log records need a UTF8 database"
                )
            with self.conn.transaction():
                self.conn.execute("SELECT pg_advisory_xact_lock(%s)", (_CREATE_LOCK,))
                self.conn.execute(
                    sql.SQL(
                        "CREATE TABLE IF NOT EXISTS {} ("
                        " id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
                        " recorder_id uuid NOT NULL, seq bigint NOT NULL, {},"
                        " UNIQUE (recorder_id, seq))"
                    ).format(name, sql.SQL(", ").join(sql.SQL("{} text NOT NULL").format(sql.Identifier(c))
                                                      for c in COLUMNS))
                )
        except BaseException:
            self.conn.close()
            raise

    def _connect(self) -> psycopg.Connection[tuple[object, ...]]:
        import psycopg

        return psycopg.connect(self.conninfo, autocommit=True, connect_timeout=max(1, round(self.connect_timeout)))

    def refusal(self, row: Row) -> str | None:
        if "\x00" in "".join(row):
            return "PostgreSQL text cannot hold the NUL character"
        return None

    def write(self, rows: Sequence[Row], first_seq: int) -> None:
        conn = self.conn
        try:
            if conn is None or conn.broken or conn.closed:
                if conn is not None:
                    conn.close()
                self.conn = None
                self.verify = True
                self.conn = conn = self._connect()
            skip = 0
            if self.verify:
                found = conn.execute(self._stored, (self.recorder_id,)).fetchone()
                stored = int(str(found[0])) if found else 0
                skip = min(len(rows), max(0, stored - first_seq + 1))
            recorder_id = self.recorder_id
            with conn.transaction(), conn.cursor().copy(self._copy) as copy:
                for seq in range(first_seq + skip, first_seq + len(rows)):
                    copy.write_row((recorder_id, seq, *rows[seq - first_seq]))
        except BaseException:
            self.verify = True  # the commit may have happened all the same
            raise
        self.verify = False

    def close(self) -> None:
        if self.conn is not None:
            self.conn.close()
            self.conn = None


class PostgresRecorder(LogRecorder):
    """Records one series into the PostgreSQL table `table` (created if
    missing), one row per point: the seven fields of the log record, the
    recorder's id and the row's number (unique together), and an `id` that
    keeps the order of arrival.

    `conninfo` is a libpq connection string or URI; one that does not connect
    fails here with `telem_pyb.TelemException`. Batches, refusals and threads
    as for every `LogRecorder`; a text holding the NUL character, which
    PostgreSQL cannot store, is refused. Each batch is one `COPY` in one
    transaction. A batch whose write fails, or whose commit is left in doubt
    (the server restarted, the connection dropped), stays queued; the next
    write reconnects and stores exactly the rows the table lacks, so no row is
    lost or stored twice. Several recorders and processes may share a table.
    """

    label = "PostgresRecorder"

    def __init__(
        self,
        conninfo: str,
        *,
        table: str = DEFAULT_TABLE,
        batch_size: int = 1000,
        max_delay: float = 1.0,
        connect_timeout: float = 10.0,
    ) -> None:
        super().__init__(
            lambda: _PostgresStore(conninfo, table, connect_timeout), batch_size=batch_size, max_delay=max_delay
        )
        self.table = table


def read_rows(conninfo: str, tsname: str | None = None, *, table: str = DEFAULT_TABLE) -> list[Row]:
    """The rows of the table in the order they were written, of one series or of all."""
    _require_psycopg()
    import psycopg
    from psycopg import sql

    select = sql.SQL("SELECT {} FROM {}").format(sql.SQL(", ").join(map(sql.Identifier, COLUMNS)),
                                                sql.Identifier(table))
    with psycopg.connect(conninfo) as conn:
        if tsname is None:
            cursor = conn.execute(select + sql.SQL(" ORDER BY id"))
        else:
            cursor = conn.execute(select + sql.SQL(" WHERE tsname = %s ORDER BY id"), (tsname,))
        return [tuple(map(str, row)) for row in cursor.fetchall()]  # type: ignore[misc]
