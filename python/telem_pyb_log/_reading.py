"""Reading what the log recorders stored, from either store: the source (a
SQLite path or a PostgreSQL conninfo), the selection of rows (series,
metadata fields, time range, limit), `read_rows`, `read_frame` with its
aggregates, and prune. The SQL comes from `_schema`."""

from __future__ import annotations

import collections
import contextlib
import dataclasses
import datetime
import os
import re
import time
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

import telem_pyb
from telem_pyb_log._batching import COLUMNS, Row
from telem_pyb_log._schema import (
    AGGREGATES,
    NEWEST_VERSION,
    NO_TIME,
    READ_COLUMNS,
    ROW_TEXTS,
    SERIES_FIELDS,
    Layout,
    Selection,
    Statement,
    micros,
)

# The columns beside the seven texts (bench/log_recorders.py reads this).
TYPED_COLUMNS = ("time", "number")
# The time column's text in SQLite.
SQLITE_TIME_FORMAT = "%Y-%m-%dT%H:%M:%S.%fZ"
DEFAULT_AGGREGATES = ("min", "max", "mean", "count")
# Rows a prune deletes in one transaction.
PRUNE_STEP = 10_000
# More buckets than this in one aggregate (gaps filled) is a mistake of `every`.
MAX_BUCKETS = 10_000_000
# The connection keywords of libpq: a source of "keyword=value" words that
# starts with one is a PostgreSQL conninfo.
LIBPQ_KEYWORDS = frozenset((
    "host", "hostaddr", "port", "dbname", "user", "password", "passfile", "require_auth", "channel_binding",
    "connect_timeout", "client_encoding", "options", "application_name", "fallback_application_name",
    "keepalives", "keepalives_idle", "keepalives_interval", "keepalives_count", "tcp_user_timeout",
    "replication", "gssencmode", "sslmode", "requiressl", "sslcompression", "sslcert", "sslkey", "sslpassword",
    "sslcertmode", "sslrootcert", "sslcrl", "sslcrldir", "sslsni", "requirepeer", "ssl_min_protocol_version",
    "ssl_max_protocol_version", "krbsrvname", "gsslib", "gssdelegation", "service", "target_session_attrs",
    "load_balance_hosts"))
_KEYWORD = re.compile(r"\s*([A-Za-z_]+)\s*=")
_EVERY = re.compile(r"\s*(\d+(?:\.\d*)?)\s*(us|ms|s|m|min|h|d)\s*")
_UNIT_MICROS = {"us": 1, "ms": 1_000, "s": 1_000_000, "m": 60_000_000, "min": 60_000_000, "h": 3_600_000_000,
                "d": 86_400_000_000}


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
    """A postgresql:// URI, or libpq's "keyword=value" words (a file of that
    name is a SQLite file all the same)."""
    if not isinstance(source, str):
        return False
    if source.startswith(("postgresql://", "postgres://")):
        return True
    first = _KEYWORD.match(source)
    return first is not None and first.group(1) in LIBPQ_KEYWORDS and not os.path.exists(source)


class NoTable(telem_pyb.TelemException):
    """A file or server without the table of the log recorders (yet)."""


def check_where(where: Mapping[str, str | Iterable[str]] | None) -> dict[str, tuple[str, ...]]:
    """`where` as field -> texts: a text or a list of them (any of them) per
    metadata field."""
    if where is None:
        return {}
    if not isinstance(where, Mapping):
        raise TypeError(f"where must be a dict of metadata fields, not {type(where).__name__}")
    checked: dict[str, tuple[str, ...]] = {}
    for field, value in where.items():
        if field not in SERIES_FIELDS:
            raise ValueError(f"where: {field!r} is not a metadata field (one of {', '.join(SERIES_FIELDS)})")
        values = (value,) if isinstance(value, str) else tuple(value) if isinstance(value, Iterable) else None
        if values is None or not all(isinstance(v, str) for v in values):
            raise TypeError(f"where[{field!r}] must be a text or a list of texts, not {value!r}")
        checked[field] = values
    return checked


def selection(tsname: str | None, where: Mapping[str, Any] | None = None, since: datetime.datetime | None = None,
              until: datetime.datetime | None = None) -> Selection:
    if tsname is not None and not isinstance(tsname, str):
        raise TypeError(f"tsname must be a text or None, not {type(tsname).__name__}")
    return Selection(tsname, check_where(where), utc("since", since), utc("until", until))


def every_micros(every: str | datetime.timedelta) -> int:
    """An aggregate's bucket: a timedelta or a text like "1min", "30s",
    "250ms", "1h", "1d" (also "1m" for a minute), in whole microseconds."""
    if isinstance(every, datetime.timedelta):
        total = (every.days * 86_400 + every.seconds) * 1_000_000 + every.microseconds
        shown = str(every)
    elif isinstance(every, str):
        found = _EVERY.fullmatch(every)
        if found is None:
            raise ValueError(f"every: not a duration: {every!r} (a number and one of us, ms, s, m or min, h, d; "
                             "or a timedelta)")
        exact = float(found.group(1)) * _UNIT_MICROS[found.group(2)]
        total, shown = round(exact), every
        if abs(exact - total) > 1e-6 * max(1.0, exact):
            raise ValueError(f"every: {every!r} is not a whole number of microseconds")
    else:
        raise TypeError(f"every must be a text or a timedelta, not {type(every).__name__}")
    if total <= 0:
        raise ValueError(f"every must be longer than zero, not {shown}")
    return total


def check_aggregates(agg: str | Sequence[str] | None) -> tuple[str, ...]:
    names = DEFAULT_AGGREGATES if agg is None else tuple(agg.split(",")) if isinstance(agg, str) else tuple(agg)
    if not names or not all(isinstance(n, str) and n in AGGREGATES for n in names):
        raise ValueError(f"agg must name some of {', '.join(AGGREGATES)}, not {agg!r}")
    return tuple(dict.fromkeys(names))


@dataclasses.dataclass
class SeriesInfo:
    """One series as stored: its fields (those that version 2 rows cannot
    tell are None), its number of rows, first and last time."""

    tsname: str
    origin: str
    units: str
    btype: str
    comment: str
    tsid: str | None
    serial: str | None
    role: str | None
    json: str | None
    count: int
    first: datetime.datetime | None
    last: datetime.datetime | None


@dataclasses.dataclass
class Aggregate:
    """The aggregates of one series, bucket by bucket: `times` the buckets'
    starts (microseconds since the epoch), `values` per aggregate."""

    tsname: str
    origin: str
    units: str
    times: list[int]
    values: dict[str, list[Any]]


def label(tsname: str, origin: str, names: Sequence[tuple[str, str]]) -> str:
    """A series' name, with its origin where several origins share it."""
    return f"{tsname}@{origin}" if sum(name == tsname for name, _ in names) > 1 else tsname


class Source:
    """A store opened for reading: subclasses run the statements of their
    `layout` (set once the tables are found)."""

    where: str
    layout: Layout

    # -- what each store does ---------------------------------------------

    def _query(self, statement: Statement) -> Iterator[tuple[Any, ...]]:
        raise NotImplementedError

    def snapshot(self) -> contextlib.AbstractContextManager[None]:
        """One read transaction: its statements see the same rows."""
        raise NotImplementedError

    def _delete(self, statement: Statement) -> int:
        """Runs a DELETE in a transaction of its own; the rows deleted."""
        raise NotImplementedError

    def _numbers(self, statements: list[Statement]) -> tuple[Any, Any]:
        """The time (int64 microseconds, NO_TIME for none) and number
        (float64) columns of the statements' rows, as numpy arrays."""
        raise NotImplementedError

    def visible(self) -> tuple[int, int]:
        """PostgreSQL: the oldest transaction running and the next to start, as the snapshot sees them."""
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def _check_version(self, version: int, unfilled: int, table: str) -> None:
        if version > NEWEST_VERSION:
            raise telem_pyb.TelemException(
                f"the table {table} in {self.where} was made by a newer version of telem_pyb_log (schema {version}; "
                f"this version reads schemas up to {NEWEST_VERSION})")
        if version < 2 or unfilled > 0:
            raise telem_pyb.TelemException(
                f"the table {table} in {self.where} was made by an earlier version and is not upgraded yet "
                "(its rows have no time column, or not all of them); open a recorder on it once, which upgrades "
                "it, and read it when that is done")

    # -- reading -----------------------------------------------------------

    def resolve(self, sel: Selection) -> Selection:
        """`sel` with the series ids that it selects, where rows name their series by id."""
        if self.layout.by_id and sel.ids is None:
            sel = dataclasses.replace(sel, ids=[row[0] for row in self._query(self.layout.series_ids(sel))])
        return sel

    def rows(self, sel: Selection, columns: Sequence[str] = ("id", *READ_COLUMNS), *, last: bool = False,
             limit: int | None = None, micros_time: bool = False) -> Iterator[tuple[Any, ...]]:
        """The rows of `sel` in time order (with `last`, the last `limit` of
        them, newest first), each the `columns` asked; `time` an aware
        datetime (or, with `micros_time`, microseconds since the epoch)."""
        sel = self.resolve(sel)
        at = columns.index("time") if "time" in columns else -1
        convert = self.layout.time_value
        with self.snapshot():
            left = limit
            for sql, params in self.layout.rows(sel, columns, last=last):
                if left == 0:
                    break
                for row in self._query((sql if left is None else f"{sql} LIMIT {int(left)}", params)):
                    if left is not None:
                        left -= 1
                    if at >= 0:
                        value: Any = convert(row[at])
                        if micros_time:
                            value = NO_TIME if value is None else micros(value)
                        row = (*row[:at], value, *row[at + 1:])
                    yield row

    def numbers(self, sel: Selection, limit: int | None = None) -> tuple[Any, Any]:
        """Time and number of the rows of `sel`, as numpy arrays (see `_numbers`)."""
        sel = self.resolve(sel)
        statements = self.layout.numbers(sel)
        if limit is not None:
            statements = [(f"{sql} LIMIT {int(limit)}", params) for sql, params in statements]
        times, numbers = self._numbers(statements)
        return (times, numbers) if limit is None else (times[:limit], numbers[:limit])

    def has_rows(self, sel: Selection) -> bool:
        return bool(list(self._query(self.layout.has_rows(self.resolve(sel)))))

    def max_id(self, sel: Selection) -> int:
        found = list(self._query(self.layout.max_id(self.resolve(sel))))
        return int(found[0][0] or 0) if found else 0

    def series(self, sel: Selection | None = None) -> list[SeriesInfo]:
        sel = self.resolve(sel or Selection())
        convert = self.layout.time_value
        return [SeriesInfo(row[0], row[1], row[2], row[3], row[4], row[5], row[6], row[7], row[8], int(row[9]),
                           convert(row[10]), convert(row[11])) for row in self._query(self.layout.series_list(sel))]

    def aggregate(self, sel: Selection, every: int, aggs: Sequence[str]) -> tuple[list[Aggregate], list[str]]:
        """Per series, the aggregates of `every` microseconds of the rows of
        `sel` (empty buckets between filled in: count and sum 0, the others
        None), computed by the store; and notes on series left out (those
        without a number: text)."""
        sel = self.resolve(sel)
        groups: dict[tuple[Any, ...], list[tuple[int, dict[str, Any]]]] = {}
        if self.layout.sqlite:
            found = list(self._query(self.layout.aggregate_keys(sel)))
            width = 6 if self.layout.by_id else 5
            per_name = collections.Counter(key[width - 5] for key in found)
            for key in found:
                if not key[width]:
                    continue  # another series of a name selected
                alone = per_name[key[width - 5]] == 1
                for row in self._query(self.layout.aggregate(sel, every, aggs, key, alone)):
                    series, bucket, aggregates = self.layout.aggregate_row(row, key)
                    groups.setdefault(series, []).append((bucket, aggregates))
        else:
            for row in self._query(self.layout.aggregate(sel, every, aggs)):
                series, bucket, aggregates = self.layout.aggregate_row(row)
                groups.setdefault(series, []).append((bucket, aggregates))
        keys = sorted(groups, key=lambda k: (k[1], k[5], k[3], k[2], k[4], k[0] or 0))
        names = [(k[1], k[5]) for k in keys]
        result: list[Aggregate] = []
        notes: list[str] = []
        total = 0
        for key in keys:
            buckets = sorted(groups[key], key=lambda b: b[0])
            name = label(key[1], key[5], names)
            if not any(values["count"] for _, values in buckets):
                notes.append(f"{name}: left out: no numbers to aggregate (a text series)")
                continue
            first, last = buckets[0][0], buckets[-1][0]
            total += (last - first) // every + 1
            if total > MAX_BUCKETS:
                raise ValueError(f"every={every} microseconds makes more than {MAX_BUCKETS} buckets here; "
                                 "choose a longer one or a shorter time range")
            by_time = dict(buckets)
            times = list(range(first, last + every, every))
            empty: dict[str, Any] = {"count": 0, "sum": 0.0}
            values: dict[str, list[Any]] = {
                name: [by_time[t][name] if t in by_time else empty.get(name) for t in times] for name in aggs}
            result.append(Aggregate(key[1], key[5], key[3], times, values))
        return result, notes

    def prune(self, sel: Selection, before: datetime.datetime, *, step: int = PRUNE_STEP,
              progress: Callable[[int], None] | None = None) -> list[tuple[str, int]]:
        """Deletes the rows of `sel` whose time is before `before`, at most
        `step` rows a transaction (after each, as long a pause as it took,
        so that writers get their turn); per series deleted from, its name
        (or name and origin) and the rows deleted."""
        sel = self.resolve(sel)
        targets = [row[0] for row in self._query(self.layout.prune_targets(sel))]
        counts: dict[Any, int] = {}
        total = 0
        for target in targets:
            while True:
                started = time.monotonic()
                done = self._delete(self.layout.prune_step(target, before, step, sel))
                counts[target] = counts.get(target, 0) + done
                total += done
                if progress is not None:
                    progress(total)
                if done < step:
                    break
                time.sleep(min(time.monotonic() - started, 1.0))
        names = {t: str(t) for t in counts}
        if self.layout.by_id and counts:
            found = list(self._query((f"SELECT id, tsname, origin FROM {self.layout.series_table} WHERE id IN "
                                      f"({', '.join(str(int(t)) for t in counts if counts[t])})", [])))
            pairs = list(dict.fromkeys((row[1], row[2]) for row in found))
            names = {row[0]: label(row[1], row[2], pairs) for row in found}
        deleted: dict[str, int] = {}
        for target, count in counts.items():
            if count:
                deleted[names[target]] = deleted.get(names[target], 0) + count
        return sorted(deleted.items())


def open_source(source: str | os.PathLike[str], table: str | None = None) -> Source:
    """A SQLite file (a path) or a PostgreSQL table (a postgresql:// URI or
    libpq's keyword=value words)."""
    if table is not None and not isinstance(table, str):
        raise TypeError(f"table must be a text or None, not {type(table).__name__}")
    if is_postgres(source):
        from telem_pyb_log import postgres

        return postgres.PostgresSource(str(source), table or postgres.DEFAULT_TABLE)
    from telem_pyb_log import sqlite

    return sqlite.SqliteSource(source, table or sqlite.TABLE)


def read_rows(source: str | os.PathLike[str], tsname: str | None = None, *, since: datetime.datetime | None = None,
              until: datetime.datetime | None = None, limit: int | None = None,
              where: Mapping[str, str | Iterable[str]] | None = None, table: str | None = None) -> list[Row]:
    """The seven texts of the rows of a SQLite file (a path) or a PostgreSQL
    table (a conninfo: a URI or keyword=value words), in time order (ties in
    the order written, rows without a time last): of the series `tsname`, or
    of all, and of the series whose metadata fields match `where` (a text or
    a list of texts per field). `since` (inclusive) and `until` (exclusive)
    select by time, aware datetimes compared in UTC; `limit` keeps the first
    rows. Nothing is created: a missing file is FileNotFoundError, a file or
    server without the table TelemException."""
    sel = selection(tsname, where, since, until)
    check_limit(limit)
    with contextlib.closing(open_source(source, table)) as reader:
        return [row[1:8] for row in reader.rows(sel, ("id", *COLUMNS), limit=limit)]


def read_frame(source: str | os.PathLike[str], tsname: str | None = None, *, since: datetime.datetime | None = None,
               until: datetime.datetime | None = None, limit: int | None = None,
               columns: Sequence[str] | None = None, where: Mapping[str, str | Iterable[str]] | None = None,
               every: str | datetime.timedelta | None = None, agg: str | Sequence[str] | None = None,
               table: str | None = None) -> Any:
    """The rows of a SQLite file or a PostgreSQL table (as for `read_rows`)
    as a pandas DataFrame in time order: the `columns` asked (default all:
    the seven texts, `time` as UTC datetimes, NaT where mtime is not a time,
    and `number` as floats, NaN for text values).

    With `every` (a timedelta, or a text such as "1min", "30s", "1h"), one
    row per bucket of that length (aligned to the epoch) and series instead:
    `time` (the bucket's start), `tsname`, `origin`, `units` and the
    aggregates `agg` of the bucket's numbers (some of "min", "max", "mean",
    "count", "first", "last", "sum"; default min, max, mean, count), computed
    by the store; NaN and rows without a time are left out, empty buckets
    between two filled ones are rows too (count and sum 0, the others NaN),
    and a text series is left out with a warning. Needs pandas:
    pip install 'telem_pyb[pandas]'."""
    try:
        import numpy as np
        import pandas as pd
    except ImportError as exc:
        raise ImportError("read_frame needs pandas: pip install 'telem_pyb[pandas]' (or 'pandas')") from exc
    sel = selection(tsname, where, since, until)
    check_limit(limit)
    if every is None:
        if agg is not None:
            raise ValueError("agg needs every: the length of the buckets to aggregate")
        names = READ_COLUMNS if columns is None else _check_columns(columns)
        with contextlib.closing(open_source(source, table)) as reader:
            if set(names) <= {"time", "number"}:
                times, numbers = reader.numbers(sel, limit)
                data: dict[str, Any] = {"time": times, "number": numbers}
            else:
                data = {name: [] for name in names}
                columns_of = [data[name] for name in names]
                # A series' texts repeat row after row: one object each.
                shared: list[dict[Any, Any] | None] = [{} if name in ROW_TEXTS else None for name in names]
                for row in reader.rows(sel, names, limit=limit, micros_time=True):
                    for value, column, seen in zip(row, columns_of, shared):
                        column.append(value if seen is None else seen.setdefault(value, value))
                if "time" in data:
                    data["time"] = np.array(data["time"], dtype=np.int64)
                if "number" in data:
                    data["number"] = np.array(data["number"], dtype=np.float64)
        if "time" in data:
            data["time"] = _utc_times(pd, np, data["time"])
        return pd.DataFrame({name: data[name] for name in names})
    if columns is not None or limit is not None:
        raise ValueError("columns and limit do not go with every: an aggregate gives time, tsname, origin, units "
                         "and the aggregates asked")
    step, aggs = every_micros(every), check_aggregates(agg)
    with contextlib.closing(open_source(source, table)) as reader:
        found, notes = reader.aggregate(sel, step, aggs)
    for note in notes:
        warnings.warn(note, UserWarning, stacklevel=2)
    if not found and notes:
        raise ValueError("nothing to aggregate: " + "; ".join(notes))
    times = [t for one in found for t in one.times]
    frame = {"time": _utc_times(pd, np, np.array(times, dtype=np.int64)),
             **{field: [getattr(one, field) for one in found for _ in one.times]
                for field in ("tsname", "origin", "units")}}
    for name in aggs:
        values = [v for one in found for v in one.values[name]]
        frame[name] = np.array(values, dtype=np.int64) if name == "count" else np.array(
            [np.nan if v is None else v for v in values], dtype=np.float64)
    return pd.DataFrame(frame)


def _check_columns(columns: Sequence[str]) -> tuple[str, ...]:
    if isinstance(columns, str) or not all(isinstance(c, str) for c in columns):
        raise TypeError(f"columns must be a list of column names, not {columns!r}")
    unknown = [c for c in columns if c not in READ_COLUMNS]
    if unknown or not columns:
        raise ValueError(f"columns must name some of {', '.join(READ_COLUMNS)}, not {list(columns)!r}")
    return tuple(dict.fromkeys(columns))


def _utc_times(pd: Any, np: Any, values: Any) -> Any:
    """int64 microseconds since the epoch (NO_TIME: none) as pandas' UTC
    datetimes, to the microsecond (any year a store holds)."""
    return pd.Series(np.asarray(values, dtype=np.int64).view("datetime64[us]")).dt.tz_localize("UTC")


def prune(source: str | os.PathLike[str], before: datetime.datetime, tsname: str | None = None, *,
          where: Mapping[str, str | Iterable[str]] | None = None, table: str | None = None,
          step: int = PRUNE_STEP) -> list[tuple[str, int]]:
    """Deletes the rows whose time is before `before` (an aware datetime), of
    the series `tsname` (or all) and `where`, at most `step` rows a
    transaction, so that recorders writing meanwhile wait at most for one of
    them; SQLite reuses the space of the rows deleted for new rows. Rows
    without a time are kept. Returns the series deleted from with their
    counts of rows."""
    if isinstance(step, bool) or not isinstance(step, int) or step <= 0:
        raise ValueError(f"step must be an int > 0, not {step!r}")
    cutoff = utc("before", before)
    if cutoff is None:
        raise TypeError("before must be a datetime, not None")
    sel = selection(tsname, where)
    with contextlib.closing(open_source(source, table)) as reader:
        return reader.prune(sel, cutoff, step=step)

