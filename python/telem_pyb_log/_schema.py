"""The stored tables of each store and version, and the SQL that reads them:
rows of the selected series in time order, aggregates per bucket, the list
of series and the bounded deletes of a prune. Nothing else in the package
knows how the tables are shaped.

Version 2: `<t>` holds each row with its five series texts (tsname, btype,
units, comment, origin), `time` (SQLite: the text "YYYY-MM-DDTHH:MM:SS.ffffffZ";
PostgreSQL: timestamptz) and `number`, indexed on (tsname, time); `<t>_series`
keeps the nine fields of each description as recorded.
Version 3: `<t>_rows` names its series by an id of `<t>_series` and keeps
`time` as microseconds since the epoch in SQLite (timestamptz in PostgreSQL),
indexed on (series, time); `mtime` and `value` are NULL where the recorder's
stamp of `time` and the text of `number` give them back; `<t>` is a view of
today's columns.

Every read is in time order, ties in the order of arrival (id), rows
without a time after the others."""

from __future__ import annotations

import dataclasses
import datetime
from collections.abc import Mapping, Sequence
from typing import Any

from telem_pyb_log._batching import COLUMNS

# The nine fields of a series' metadata, as `<t>_series` holds them.
SERIES_FIELDS = ("tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json")
# The series texts that each row of version 2 carries.
ROW_TEXTS = ("tsname", "btype", "units", "comment", "origin")
READ_COLUMNS = (*COLUMNS, "time", "number")
AGGREGATES = ("min", "max", "mean", "count", "first", "last", "sum")
NEWEST_VERSION = 3
# A sentinel of "no time" where a column of int64 microseconds is read: numpy's NaT.
NO_TIME = -(2**63)
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)

Statement = tuple[str, list[Any]]


def micros(value: datetime.datetime) -> int:
    """An aware datetime as microseconds since the epoch."""
    delta = value - EPOCH
    return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds


def from_micros(value: int) -> datetime.datetime:
    return EPOCH + datetime.timedelta(microseconds=value)


def quoted(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


@dataclasses.dataclass
class Selection:
    """The rows to read: of a series name and the series whose fields match
    `where` (each field one of its texts), with a time in [since, until)
    (aware UTC datetimes), after a row id. `ids`, the series ids of `where`
    in version 3, is filled in by the reader."""

    tsname: str | None = None
    where: Mapping[str, tuple[str, ...]] = dataclasses.field(default_factory=dict)
    since: datetime.datetime | None = None
    until: datetime.datetime | None = None
    after_id: int | None = None
    ids: list[int] | None = None
    timed: bool = False  # only rows with a time

    @property
    def timed_only(self) -> bool:
        return self.timed or self.since is not None or self.until is not None


class Layout:
    """The tables of one store (`dialect` "sqlite" or "postgres") at one
    version, named after `table`; each method gives SQL and its parameters."""

    def __init__(self, dialect: str, version: int, table: str) -> None:
        if dialect not in ("sqlite", "postgres") or version not in (2, 3):
            raise ValueError(f"no layout of {dialect} version {version}")
        self.dialect = dialect
        self.version = version
        self.table = table
        self.mark = "?" if dialect == "sqlite" else "%s"
        self.sqlite = dialect == "sqlite"
        # psycopg takes "%" for a parameter: one in a name is doubled.
        self.rows_table = self.q(table if version == 2 else table + "_rows")
        self.series_table = self.q(table + "_series")

    def q(self, name: str) -> str:
        return quoted(name) if self.sqlite else quoted(name).replace("%", "%%")

    # -- selection ---------------------------------------------------------

    @property
    def by_id(self) -> bool:
        """Whether rows name their series by id (the reader resolves `where` first)."""
        return self.version == 3

    def series_ids(self, sel: Selection) -> Statement:
        """Version 3: the ids of the series that `sel` selects."""
        conditions, params = self._field_conditions(sel, "")
        where = f" WHERE {' AND '.join(conditions)}" if conditions else ""
        return f"SELECT id FROM {self.series_table}{where} ORDER BY id", params

    def _field_conditions(self, sel: Selection, prefix: str) -> tuple[list[str], list[Any]]:
        conditions: list[str] = []
        params: list[Any] = []
        fields: dict[str, tuple[str, ...]] = dict(sel.where)
        if sel.tsname is not None:
            conditions.append(f"{prefix}tsname = {self.mark}")
            params.append(sel.tsname)
        for name, values in fields.items():
            if not values:
                conditions.append("0 = 1")
                continue
            conditions.append(f"{prefix}{name} IN ({', '.join([self.mark] * len(values))})")
            params.extend(values)
        return conditions, params

    def time_param(self, value: datetime.datetime) -> Any:
        if not self.sqlite:
            return value
        value = value.astimezone(datetime.UTC)
        if self.version == 2:
            return value.strftime("%Y-%m-%dT%H:%M:%S.%fZ")
        return micros(value)

    def time_value(self, raw: Any) -> datetime.datetime | None:
        """A time as read from the rows, as an aware datetime."""
        if raw is None or not self.sqlite:
            return raw  # type: ignore[no-any-return]
        return datetime.datetime.fromisoformat(raw) if self.version == 2 else from_micros(raw)

    def _conditions(self, sel: Selection, r: str = "r.") -> tuple[list[str], list[Any]]:
        """The WHERE conditions of `sel` on the rows (alias `r`)."""
        if self.by_id:
            if sel.ids is None:
                raise RuntimeError("the series ids of the selection were not resolved")
            conditions = [f"{r}series = {self.mark}" if len(sel.ids) == 1 else
                          f"{r}series IN ({', '.join(str(int(i)) for i in sel.ids) or 'NULL'})"]
            params: list[Any] = list(sel.ids[:1]) if len(sel.ids) == 1 else []
        else:
            row_sel = Selection(sel.tsname, {k: v for k, v in sel.where.items() if k in ROW_TEXTS})
            conditions, params = self._field_conditions(row_sel, r)
            others = {k: v for k, v in sel.where.items() if k not in ROW_TEXTS}
            if others:
                # Version 2 rows carry five texts: the other fields pick the
                # descriptions in the series table that match, by those texts.
                inner, inner_params = self._field_conditions(Selection(None, others), "")
                texts = ", ".join(ROW_TEXTS)
                conditions.append(f"({', '.join(r + t for t in ROW_TEXTS)}) IN (SELECT {texts} FROM "
                                  f"{self.series_table} WHERE {' AND '.join(inner)})")
                params += inner_params
        for condition, value in ((">=", sel.since), ("<", sel.until)):
            if value is not None:
                conditions.append(f"{r}time {condition} {self.mark}")
                params.append(self.time_param(value))
        if sel.after_id is not None:
            conditions.append(f"{r}id > {self.mark}")
            params.append(sel.after_id)
        return conditions, params

    def _from(self) -> str:
        if self.by_id:
            return f"{self.rows_table} r JOIN {self.series_table} s ON s.id = r.series"
        return f"{self.rows_table} r"

    # -- rows --------------------------------------------------------------

    def column(self, name: str) -> str:
        """The SQL of a read column, the rows aliased `r` (and their series `s`)."""
        if name in ("id", "time", "number"):
            return f"r.{name}"
        if self.version == 2 or name not in ("mtime", "value"):
            return f"{'s' if self.by_id else 'r'}.{name}"
        if name == "value":
            return "coalesce(r.value, CAST(r.number AS TEXT))" if self.sqlite else "coalesce(r.value, r.number::text)"
        if self.sqlite:
            return (f"coalesce(r.mtime, {_sqlite_seconds_text('r.time')} || "
                    "printf('.%06d+00:00', (r.time % 1000000 + 1000000) % 1000000))")
        return "coalesce(r.mtime, to_char(r.time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.US') || '+00:00')"

    def rows(self, sel: Selection, columns: Sequence[str], *, last: bool = False) -> list[Statement]:
        """Statements whose rows, one after the other, are those of `sel` in
        time order (with `last`, in the reverse order): each gives `columns`.
        The caller adds LIMIT to each."""
        conditions, params = self._conditions(sel)
        select = f"SELECT {', '.join(self.column(c) for c in columns)} FROM {self._from()}"
        desc = " DESC" if last else ""
        if not self.sqlite:
            # PostgreSQL sorts NULL after every time, and its index scans
            # backwards with NULL first.
            if sel.timed:
                conditions.append("r.time IS NOT NULL")
            where = f" WHERE {' AND '.join(conditions)}" if conditions else ""
            return [(f"{select}{where} ORDER BY r.time{desc}, r.id{desc}", params)]
        # SQLite sorts NULL first, and its index does too: the rows with a
        # time and those without are two statements, each in index order.
        timed = (f"{select} WHERE {' AND '.join([*conditions, 'r.time IS NOT NULL'])} "
                 f"ORDER BY r.time{desc}, r.id{desc}", params)
        if sel.timed_only:
            return [timed]
        untimed = (f"{select} WHERE {' AND '.join([*conditions, 'r.time IS NULL'])} ORDER BY r.id{desc}", params)
        return [untimed, timed] if last else [timed, untimed]

    def max_id(self, sel: Selection) -> Statement:
        conditions, params = self._conditions(sel)
        where = f" WHERE {' AND '.join(conditions)}" if conditions else ""
        return f"SELECT max(r.id) FROM {self._from()}{where}", params

    def has_rows(self, sel: Selection) -> Statement:
        conditions, params = self._conditions(sel)
        where = f" WHERE {' AND '.join(conditions)}" if conditions else ""
        return f"SELECT 1 FROM {self._from()}{where} LIMIT 1", params

    def numbers(self, sel: Selection) -> list[Statement]:
        """`rows` of time and number alone, for the columnar readers: in
        SQLite as stored; in PostgreSQL with no NULL (a time of infinity and
        a number NaN instead), for a binary COPY of fixed-width rows."""
        if self.sqlite:
            return self.rows(sel, ("time", "number"))
        conditions, params = self._conditions(sel)
        where = f" WHERE {' AND '.join(conditions)}" if conditions else ""
        return [(f"SELECT coalesce(r.time, 'infinity'), coalesce(r.number, 'NaN') FROM {self._from()}{where} "
                 "ORDER BY r.time, r.id", params)]

    # -- aggregates --------------------------------------------------------

    def aggregate_keys(self, sel: Selection) -> Statement:
        """SQLite: the series whose buckets `aggregate` walks, one by one:
        version 2, the five texts of each (of the names selected, in the time
        range) and whether it matches the selection's fields; version 3, the
        id and five texts of each series selected."""
        if self.by_id:
            ids = ", ".join(str(int(i)) for i in sel.ids or []) or "NULL"
            return (f"SELECT id, {', '.join(ROW_TEXTS)}, 1 FROM {self.series_table} WHERE id IN ({ids}) "
                    "ORDER BY id", [])
        names = Selection(sel.tsname, {k: v for k, v in sel.where.items() if k == "tsname"}, sel.since, sel.until)
        conditions, params = self._conditions(names)
        fields = Selection(None, {k: v for k, v in sel.where.items() if k != "tsname"})
        matches, match_params = self._conditions(fields)
        texts = ", ".join(f"r.{k}" for k in ROW_TEXTS)
        return (f"SELECT DISTINCT {texts}, {' AND '.join(matches) or '1'} FROM {self.rows_table} r "
                f"WHERE {' AND '.join([*conditions, 'r.time IS NOT NULL'])}", match_params + params)

    def aggregate(self, sel: Selection, every: int, aggs: Sequence[str], key: Sequence[Any] = (),
                  alone: bool = False) -> Statement:
        """The aggregates of the rows of `sel` with a time, per bucket of
        `every` microseconds (aligned to the epoch) that holds any: NaN and
        NULL numbers left out; parsed by `aggregate_row`. PostgreSQL: of
        every series at once. SQLite: of the series `key` (a row of
        `aggregate_keys`; `alone`: the only one of its name, so that its
        rows are found by name)."""
        if every <= 0:
            raise ValueError("every must be positive")
        if self.sqlite:
            return self._sqlite_walk(sel, int(every), aggs, key, alone)
        return self._postgres_groups(sel, int(every), aggs)

    def _postgres_groups(self, sel: Selection, every: int, aggs: Sequence[str]) -> Statement:
        conditions, params = self._conditions(sel)
        conditions.append("r.time IS NOT NULL")
        keys = ["r.series"] if self.by_id else [f"r.{k}" for k in ROW_TEXTS]
        n = "NULLIF(r.number, 'NaN')"
        values = [f"min({n})", f"max({n})", f"avg({n})", f"count({n})", f"sum({n})",
                  f"(array_agg({n} ORDER BY r.time, r.id) FILTER (WHERE {n} IS NOT NULL))[1]" if "first" in aggs
                  else "NULL::float8",
                  f"(array_agg({n} ORDER BY r.time DESC, r.id DESC) FILTER (WHERE {n} IS NOT NULL))[1]"
                  if "last" in aggs else "NULL::float8"]
        bucket = f"date_bin({every} * interval '1 microsecond', r.time, timestamptz 'epoch')"
        grouped = (f"SELECT {', '.join(keys)}, {bucket} AS bucket, {_named(values)} FROM {self.rows_table} r "
                   f"WHERE {' AND '.join(conditions)} GROUP BY {', '.join(keys)}, bucket")
        if not self.by_id:
            return grouped, params
        texts = ", ".join(f"s.{k}" for k in ROW_TEXTS)
        return (f"SELECT g.series, {texts}, g.bucket, g.min, g.max, g.avg, g.count, g.sum, g.first, g.last "
                f"FROM ({grouped}) g JOIN {self.series_table} s ON s.id = g.series", params)

    def _sqlite_walk(self, sel: Selection, every: int, aggs: Sequence[str], key: Sequence[Any],
                     alone: bool) -> Statement:
        # SQLite's GROUP BY sorts every row; instead the walk goes through
        # the series' buckets by the index: the next bucket is that of the
        # first row after the current one, and each bucket's aggregates are
        # one range scan. Numbers travel as exact text (%!.20e reads back
        # as the same double).
        if self.by_id:
            same, params = "r.series = ?", [key[0]]
        elif alone:
            same, params = "r.tsname = ?", [key[0]]
        else:
            same = " AND ".join(f"r.{k} = ?" for k in ROW_TEXTS)
            params = list(key[:len(ROW_TEXTS)])
        e = every

        def edge(us: str) -> str:  # a bucket's edge (microseconds) as the time column holds it
            return _sqlite_time_text(us) if self.version == 2 else us

        def literal(value: datetime.datetime) -> str:  # our own text of a time: digits and separators
            held = self.time_param(value)
            return f"'{held}'" if isinstance(held, str) else str(int(held))

        time_us = _sqlite_micros("r.time") if self.version == 2 else "r.time"
        first_low = f"r.time >= {literal(sel.since)}" if sel.since is not None else "r.time IS NOT NULL"
        high = f" AND r.time < {literal(sel.until)}" if sel.until is not None else ""
        bucket_of = f"(({time_us}) / {e} - (({time_us}) % {e} < 0)) * {e}"
        seek = f"(SELECT {bucket_of} FROM {self.rows_table} r WHERE {same} AND {{low}}{high} ORDER BY r.time LIMIT 1)"
        lo = edge("b.s") if sel.since is None else f"max({edge('b.s')}, {literal(sel.since)})"
        hi = edge(f"b.s + {e}") if sel.until is None else f"min({edge(f'b.s + {e}')}, {literal(sel.until)})"
        in_bucket = f"{same} AND r.time >= {lo} AND r.time < {hi}"

        def exact(expr: str) -> str:
            return f"CASE WHEN {expr} IS NULL THEN 'NULL' ELSE printf('%!.20e', {expr}) END"

        packed = " || ' ' || ".join([exact("min(r.number)"), exact("max(r.number)"), exact("avg(r.number)"),
                                     "count(r.number)", exact("sum(r.number)")])
        ends = ""
        for name, order in (("first", "r.time, r.id"), ("last", "r.time DESC, r.id DESC")):
            ends += (f", (SELECT {exact('r.number')} FROM {self.rows_table} r WHERE {in_bucket} AND r.number IS NOT "
                     f"NULL ORDER BY {order} LIMIT 1)" if name in aggs else ", NULL")
        sql = (f"WITH RECURSIVE b(s) AS (SELECT {seek.format(low=first_low)} UNION ALL "
               f"SELECT {seek.format(low='r.time >= ' + edge(f'b.s + {e}'))} FROM b WHERE b.s IS NOT NULL) "
               f"SELECT b.s, (SELECT {packed} FROM {self.rows_table} r WHERE {in_bucket}){ends} "
               "FROM b WHERE b.s IS NOT NULL")
        # The series' texts are the only parameters: once per place.
        return sql, params * sql.count(same)

    def aggregate_row(self, row: Sequence[Any], key: Sequence[Any] = ()) -> tuple[
            tuple[Any, ...], int, dict[str, float | int | None]]:
        """A row of `aggregate` (of `key`, in SQLite) as (the series: its id
        or None and its five texts, the bucket's start in microseconds, the
        aggregates by name)."""
        if self.sqlite:
            series = tuple(key[:6]) if self.by_id else (None, *key[:5])
            bucket = int(row[0])
            lo, hi, mean, count, total = row[1].split(" ")
            values = {"min": _number(lo), "max": _number(hi), "mean": _number(mean), "count": int(count),
                      "sum": _number(total), "first": _number(row[2]), "last": _number(row[3])}
        else:
            width = 6 if self.by_id else 5
            series = tuple(row[:width]) if self.by_id else (None, *row[:width])
            bucket = micros(row[width])
            lo, hi, mean, count, total, first, last = row[width + 1:width + 8]
            values = {"min": lo, "max": hi, "mean": mean, "count": count, "sum": total, "first": first, "last": last}
        if values["sum"] is None:
            values["sum"] = 0.0
        return series, bucket, values

    # -- the list of series ------------------------------------------------

    def series_list(self, sel: Selection) -> Statement:
        """Each series of `sel` apart: tsname, origin, units, btype, comment,
        tsid, serial, role, json (NULL where version 2 rows cannot tell), its
        number of rows and its first and last time; by name."""
        if self.by_id:
            fields = "s.tsname, s.origin, s.units, s.btype, s.comment, s.tsid, s.serial, s.role, s.json"
            r = self.rows_table
            ids = ", ".join(str(int(i)) for i in sel.ids or []) or "NULL"
            return (f"SELECT {fields}, (SELECT count(*) FROM {r} r WHERE r.series = s.id), "
                    f"(SELECT min(r.time) FROM {r} r WHERE r.series = s.id), "
                    f"(SELECT max(r.time) FROM {r} r WHERE r.series = s.id) FROM {self.series_table} s "
                    f"WHERE s.id IN ({ids}) AND EXISTS (SELECT 1 FROM {r} r WHERE r.series = s.id) "
                    f"ORDER BY {fields}", [])
        conditions, params = self._conditions(sel)
        where = f" WHERE {' AND '.join(conditions)}" if conditions else ""
        texts = "r.tsname, r.origin, r.units, r.btype, r.comment"
        return (f"SELECT {texts}, NULL, NULL, NULL, NULL, count(*), min(r.time), max(r.time) FROM {self.rows_table} r"
                f"{where} GROUP BY {texts} ORDER BY {texts}", params)

    def series_names(self) -> Statement:
        if self.by_id:
            return f"SELECT DISTINCT tsname FROM {self.series_table} ORDER BY tsname", []
        return f"SELECT DISTINCT tsname FROM {self.rows_table} ORDER BY tsname", []

    # -- prune -------------------------------------------------------------

    def prune_targets(self, sel: Selection) -> Statement:
        """What a prune deletes by, one after another: series names in
        version 2, series ids in version 3."""
        if self.by_id:
            return self.series_ids(sel)
        if sel.tsname is not None:
            return f"SELECT {self.mark}", [sel.tsname]
        names = sel.where.get("tsname")
        if names is not None:
            marks = ", ".join([self.mark] * len(names)) or "NULL"
            return (f"SELECT DISTINCT tsname FROM {self.rows_table} WHERE tsname IN ({marks}) ORDER BY tsname",
                    list(names))
        return self.series_names()

    def prune_step(self, target: Any, before: datetime.datetime, limit: int, sel: Selection | None = None) -> Statement:
        """Deletes at most `limit` rows of `target` (a series name or id)
        whose time is before `before`, oldest first, matching `sel`'s
        fields too; its row count is what it deleted. Run in a transaction of
        its own until it deletes fewer than `limit`."""
        if self.by_id:
            one = Selection(ids=[int(target)], until=before)
        else:
            one = Selection(target, dict((sel or Selection()).where), until=before)
        conditions, params = self._conditions(one)
        inner = f"FROM {self.rows_table} r WHERE {' AND '.join(conditions)} ORDER BY r.time LIMIT {int(limit)}"
        if self.sqlite:
            return f"DELETE FROM {self.rows_table} WHERE id IN (SELECT r.id {inner})", params
        # The rows' id has no index in PostgreSQL: their place (ctid) has.
        return f"DELETE FROM {self.rows_table} WHERE ctid = ANY (ARRAY(SELECT r.ctid {inner}))", params


def _named(values: Sequence[str]) -> str:
    return ", ".join(f"{v} AS {n}" for v, n in zip(values, ("min", "max", "avg", "count", "sum", "first", "last")))


def _number(text: str | None) -> float | None:
    return None if text is None or text == "NULL" else float(text)


def _sqlite_micros(column: str) -> str:
    """The microseconds since the epoch of a version 2 time text."""
    return f"(CAST(strftime('%s', substr({column}, 1, 19)) AS INTEGER) * 1000000 + CAST(substr({column}, 21, 6) AS INTEGER))"


def _sqlite_seconds_text(us: str) -> str:
    """"YYYY-MM-DDTHH:MM:SS" of microseconds since the epoch (floored)."""
    return f"strftime('%Y-%m-%dT%H:%M:%S', ({us}) / 1000000 - (({us}) % 1000000 < 0), 'unixepoch')"


def _sqlite_time_text(us: str) -> str:
    """Microseconds since the epoch as version 2's time text."""
    return f"({_sqlite_seconds_text(us)} || printf('.%06dZ', (({us}) % 1000000 + 1000000) % 1000000))"
