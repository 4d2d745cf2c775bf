"""The PostgreSQL log recorder: a table that recorders of many processes and
hosts share, each batch written with COPY in one transaction, every row
delivered exactly once. Needs psycopg 3 (`pip install 'telem_pyb[postgres]'`)."""

from __future__ import annotations

import re
import uuid
from collections.abc import Sequence
from typing import Any, TYPE_CHECKING

import telem_pyb
from telem_pyb_log._batching import COLUMNS, LogRecorder, Row, RowRefused

if TYPE_CHECKING:
    import psycopg

DEFAULT_TABLE = "log_points"

# Backslash escapes of COPY's text format for the characters that end a field
# or a line, and for the backslash itself.
_COPY_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"})
# What a field may not hold unescaped (tabs are counted instead), and NUL,
# which PostgreSQL's text cannot hold at all.
_COPY_SPECIALS = re.compile("[\\\\\n\r\x00]")

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
    """One connection, and the delivery of one recorder's rows.

    The ledger table `<table>_delivered` holds, per recorder id, how many of
    the recorder's rows the table holds. The transaction that copies a batch
    also advances the ledger, and only from the count the batch follows on, so
    a batch is stored whole or not at all, and never twice. After a write that
    failed, possibly after its commit, the next write reads the ledger and
    sends only the rows the table lacks. (A unique key on every row would do
    the same at twice the cost of each COPY.)
    """

    def __init__(self, conninfo: str, table: str, connect_timeout: float) -> None:
        _require_psycopg()
        import psycopg
        from psycopg import sql

        self.conninfo = conninfo
        self.connect_timeout = connect_timeout
        described = describe(conninfo)
        self.where = f"{table} on PostgreSQL ({described or 'an unparsable connection string'})"
        self.recorder_id = str(uuid.uuid4())
        self.verify = False  # set after a failed write: the next one reads the ledger first
        name, ledger = sql.Identifier(table), sql.Identifier(f"{table}_delivered")
        self._copy = sql.SQL("COPY {} ({}) FROM STDIN").format(name, sql.SQL(", ").join(map(sql.Identifier, COLUMNS)))
        self._stored = sql.SQL("SELECT stored FROM {} WHERE recorder_id = %s").format(ledger)
        self._advance = sql.SQL(
            "INSERT INTO {0} (recorder_id, stored) VALUES (%(id)s, %(after)s)"
            " ON CONFLICT (recorder_id) DO UPDATE SET stored = EXCLUDED.stored WHERE {0}.stored = %(before)s"
        ).format(ledger)
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
                fields = sql.SQL(", ").join(sql.SQL("{} text NOT NULL").format(sql.Identifier(c)) for c in COLUMNS)
                self.conn.execute(
                    sql.SQL("CREATE TABLE IF NOT EXISTS {} (id bigint GENERATED ALWAYS AS IDENTITY, {})").format(
                        name, fields
                    )
                )
                self.conn.execute(
                    sql.SQL("CREATE TABLE IF NOT EXISTS {} (recorder_id uuid PRIMARY KEY, stored bigint NOT NULL)")
                    .format(ledger)
                )
        except BaseException:
            self.conn.close()
            raise

    def _connect(self) -> psycopg.Connection[tuple[object, ...]]:
        import psycopg

        return psycopg.connect(self.conninfo, autocommit=True, connect_timeout=max(1, round(self.connect_timeout)))

    def encode(self, row: Row) -> Any:
        """The row as a line of COPY's text format, without its line end."""
        line = "\t".join(row)
        if _COPY_SPECIALS.search(line) is None and line.count("\t") == len(COLUMNS) - 1:
            return line
        if "\x00" in line:
            raise RowRefused("PostgreSQL text cannot hold the NUL character")
        return "\t".join(field.translate(_COPY_ESCAPES) for field in row)

    def write(self, rows: Sequence[Any], first_seq: int) -> None:
        before = first_seq - 1  # the recorder's rows stored before these
        conn = self.conn
        try:
            if conn is None or conn.broken or conn.closed:
                if conn is not None:
                    conn.close()
                self.conn = None
                self.verify = True
                self.conn = conn = self._connect()
            if self.verify:
                found = conn.execute(self._stored, (self.recorder_id,)).fetchone()
                stored = int(str(found[0])) if found else 0
                skip = min(len(rows), max(0, stored - before))
                rows, before = rows[skip:], before + skip
            if not rows:
                self.verify = False
                return
            with conn.transaction():
                with conn.cursor().copy(self._copy) as copy:
                    copy.write("\n".join(rows) + "\n")  # the lines encode() made
                advanced = conn.execute(
                    self._advance, {"id": self.recorder_id, "before": before, "after": before + len(rows)}
                )
                if advanced.rowcount != 1:
                    raise telem_pyb.TelemException(
                        f"PostgresRecorder: the ledger of {self.where} does not show {before} rows of this "
                        "recorder; the batch is not written"
                    )
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
    missing), one row per point: the seven fields of the log record and an `id`
    that keeps the order of arrival; the table `<table>_delivered` keeps count
    of each recorder's rows.

    `conninfo` is a libpq connection string or URI; one that does not connect
    fails here with `telem_pyb.TelemException`. Batches, refusals and threads
    as for every `LogRecorder`; a text holding the NUL character, which
    PostgreSQL cannot store, is refused. Each batch is one `COPY` in one
    transaction, which also advances the recorder's count. A batch whose write
    fails, or whose commit is left in doubt (the server restarted, the
    connection dropped), stays queued; the next write reconnects and stores
    exactly the rows the table lacks, so no row is lost or stored twice.
    Several recorders and processes may share a table.
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
