"""Reading what the log recorders stored, from either store: the selection
of rows (series, time range, limit), the typed columns and `read_frame`."""

from __future__ import annotations

import datetime
import os
from collections.abc import Iterator, Sequence
from typing import Any, Protocol

import telem_pyb
from telem_pyb_log._batching import COLUMNS, Row

# A stored row as the readers give it: id, the seven texts, time (an aware
# UTC datetime or None) and number (a float or None).
StoredRow = tuple[Any, ...]
TYPED_COLUMNS = ("time", "number")
# The time column's text in SQLite.
SQLITE_TIME_FORMAT = "%Y-%m-%dT%H:%M:%S.%fZ"


def utc(name: str, value: datetime.datetime | None) -> datetime.datetime | None:
    """`value` in UTC; ValueError for a naive datetime, TypeError for anything else."""
    if value is None:
        return None
    if not isinstance(value, datetime.datetime):
        raise TypeError(f"{name} must be a datetime, not {type(value).__name__}")
    if value.tzinfo is None or value.utcoffset() is None:
        raise ValueError(f"{name} must be an aware datetime (with a time zone), not {value!r}")
    return value.astimezone(datetime.UTC)


def check_limit(limit: int | None) -> None:
    if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int) or limit < 0):
        raise ValueError(f"limit must be None or an int >= 0, not {limit!r}")


def is_postgres(source: str | os.PathLike[str]) -> bool:
    return isinstance(source, str) and source.startswith(("postgresql://", "postgres://"))


class NoTable(telem_pyb.TelemException):
    """A file or server without the table of the log recorders (yet)."""


class Selection:
    """The WHERE clause, parameters and ORDER/LIMIT of a reading, for a
    parameter marker `mark` ("?" or "%s")."""

    def __init__(self, mark: str, tsname: str | None, since: Any, until: Any, *, after_id: int | None = None,
                 limit: int | None = None, last: bool = False) -> None:
        conditions: list[str] = []
        self.params: list[Any] = []
        for condition, value in (("tsname = ", tsname), ("time >= ", since), ("time < ", until),
                                 ("id > ", after_id)):
            if value is not None:
                conditions.append(condition + mark)
                self.params.append(value)
        self.where = f" WHERE {' AND '.join(conditions)}" if conditions else ""
        # The last `limit` rows are the first of the reversed order.
        self.order = " ORDER BY id DESC" if last else " ORDER BY id"
        if limit is not None:
            self.order += f" LIMIT {int(limit)}"


class Source(Protocol):
    """A store opened for reading."""

    where: str

    def rows(self, tsname: str | None = None, since: datetime.datetime | None = None,
             until: datetime.datetime | None = None, *, after_id: int | None = None, limit: int | None = None,
             last: bool = False) -> Iterator[StoredRow]:
        """The rows selected, in the order they were written (with `last`, the
        last `limit` of them, newest first)."""

    def series(self) -> list[tuple[str, str, int, datetime.datetime | None, datetime.datetime | None]]:
        """Per series name: its units (of its last row), point count, first and last time."""

    def has_series(self, tsname: str) -> bool:
        """Whether the table holds a row of the series."""

    def close(self) -> None: ...


def open_source(source: str | os.PathLike[str], table: str | None = None) -> Source:
    """A SQLite file (a path) or a PostgreSQL table (a postgresql:// URI)."""
    if is_postgres(source):
        from telem_pyb_log import postgres

        return postgres.PostgresSource(str(source), table or postgres.DEFAULT_TABLE)
    from telem_pyb_log import sqlite

    if table not in (None, sqlite.TABLE):
        raise ValueError(f"a SQLite file holds the table {sqlite.TABLE} only, not {table!r}")
    return sqlite.SqliteSource(source)


def texts(rows: Iterator[StoredRow]) -> list[Row]:
    return [row[1:8] for row in rows]


def read_frame(source: str | os.PathLike[str], tsname: str | None = None, *, since: datetime.datetime | None = None,
               until: datetime.datetime | None = None, limit: int | None = None, table: str | None = None) -> Any:
    """The rows of a SQLite file (a path) or a PostgreSQL table (a postgresql://
    URI) as a pandas DataFrame, in the order they were written: the seven texts
    of the log record, `time` as UTC datetimes (NaT where mtime is not a time)
    and `number` as floats (NaN for text values). `since` (inclusive) and
    `until` (exclusive) are aware datetimes, compared in UTC; `limit` keeps
    the first rows. Needs pandas: pip install 'telem_pyb[pandas]'."""
    try:
        import pandas as pd
    except ImportError as exc:
        raise ImportError("read_frame needs pandas: pip install 'telem_pyb[pandas]' (or 'pandas')") from exc
    since, until = utc("since", since), utc("until", until)
    check_limit(limit)
    reader = open_source(source, table)
    try:
        rows = list(reader.rows(tsname, since, until, limit=limit))
    finally:
        reader.close()
    columns: Sequence[str] = (*COLUMNS, *TYPED_COLUMNS)
    frame = pd.DataFrame([row[1:] for row in rows], columns=list(columns))
    frame["time"] = pd.to_datetime(frame["time"], utc=True)
    frame["number"] = frame["number"].astype("float64")
    return frame
