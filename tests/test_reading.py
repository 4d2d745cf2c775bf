"""Reading both stores as a time series: time order across writers, selection
by any metadata field, aggregates computed by the store against pandas,
prune, export for people, the PostgreSQL conninfo as key=value words, the
version-3 shape of the rows read alike, and the Grafana queries of
docs/reading.md run as the data sources expand them."""

import contextlib
import datetime
import json
import math
import pathlib
import re
import sqlite3
import time
import uuid

import pandas as pd
import psycopg
import pytest

from telem_pyb import TelemException
from telem_pyb_log import PostgresRecorder, SqliteRecorder, postgres, prune, read_frame, read_rows, sqlite
from telem_pyb_log._reading import open_source
from telem_pyb_log._schema import Selection
from telem_pyb_log.cli import SETTLE_SECONDS, _Follower
from stored_shapes import to_version_2
from test_stored_series import record, telem_log

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs" / "reading.md"
UTC = datetime.UTC
BASE = datetime.datetime(2026, 12, 8, 12, tzinfo=UTC)
A = {"tsid": "1", "tsname": "engine.rpm", "btype": "float", "units": "1/min", "origin": "hostA", "serial": "s-a",
     "role": "main", "comment": "a", "json": '{"a": 1}'}
B = {"tsid": "2", "tsname": "engine.rpm", "btype": "float", "units": "1/min", "origin": "hostB", "serial": "s-b",
     "role": "spare", "comment": "b", "json": '{"b": 1}'}
T = {"tsid": "3", "tsname": "cabin.status", "btype": "str", "units": "", "origin": "hostA", "serial": "s-t",
     "role": "info", "comment": "t", "json": "{}"}


def stamp(seconds):
    """A time `seconds` after BASE as the recorders stamp it."""
    return (BASE + datetime.timedelta(seconds=seconds)).isoformat(timespec="microseconds")


class Store:
    def __init__(self, kind, tmp_path, request, name="t.db"):
        self.kind = kind
        if kind == "sqlite":
            self.source = str(tmp_path / name)
            self.table = "log_points"
        else:
            self.server = request.getfixturevalue("server")
            self.table = f"log_{uuid.uuid4().hex[:12]}"
            # libpq's key=value words, as the recorder takes them.
            self.source = self.server.conninfo

    def recorder(self, **options):
        if self.kind == "sqlite":
            return SqliteRecorder(self.source, **options)
        return PostgresRecorder(self.source, table=self.table, **options)

    def sql(self, statement, params=()):
        if self.kind == "sqlite":
            with contextlib.closing(sqlite3.connect(self.source)) as conn, conn:
                return conn.execute(statement, params).fetchall()
        with psycopg.connect(self.source) as conn:
            cursor = conn.execute(statement.replace("?", "%s"), params)
            return cursor.fetchall() if cursor.description else []

    def frame(self, *args, **kwargs):
        return read_frame(self.source, *args, table=self.table, **kwargs)

    def rows(self, *args, **kwargs):
        return read_rows(self.source, *args, table=self.table, **kwargs)


@pytest.fixture(params=["sqlite", "postgres"])
def store(request, tmp_path):
    return Store(request.param, tmp_path, request)


def write_series(store):
    """Two writers of engine.rpm (hosts A and B, each its own recorder) and
    a text series; each writer delivers its rows whole, so that the order
    written is not the order in time. A: every 2 s from 0 s, a NaN, a text
    value, a row without a time and two rows at one time; B: every 2 s from
    1 s, with a gap from 40 s to 80 s."""
    a = [(stamp(s), 0.5 + s / 4) for s in range(0, 120, 2)]
    a[5] = (a[5][0], math.nan)
    a[9] = (a[9][0], "stalled")
    a += [("not a time", 7.0), (stamp(10), 99.0)]
    b = [(stamp(s), int(s * 10)) for s in range(1, 120, 2) if not 40 <= s < 80]
    t = [(stamp(s), f"state {s}") for s in (3, 50, 100)]
    with store.recorder() as second:
        with store.recorder() as first:
            record(first, a, A)
        record(second, b, B)
        record(second, t, T)
    return {"A": a, "B": b, "T": t}


def in_time_order(rows):
    """`rows` (mtime, value) as the readers give them: in time, ties in the
    order given, rows without a time last."""
    def key(i):
        try:
            return (0, datetime.datetime.fromisoformat(rows[i][0]), i)
        except ValueError:
            return (1, BASE, i)
    return [rows[i] for i in sorted(range(len(rows)), key=key)]


def test_reads_are_in_time_order_across_writers(store):
    written = write_series(store)
    expected = in_time_order([(m, v, o) for key, o in (("A", "hostA"), ("B", "hostB"))
                              for m, v in written[key]])
    got = [(r[0], r[2], r[6]) for r in store.rows("engine.rpm")]
    assert [(m, o) for m, _, o in got] == [(m, o) for m, _, o in expected]
    assert got[-1][0] == "not a time" and got[-2][1] == "1190"  # untimed last; then B's 119 s
    frame = store.frame("engine.rpm", columns=["time", "number"])
    assert frame["time"].iloc[:-1].is_monotonic_increasing and pd.isna(frame["time"].iloc[-1])
    tail = telem_log("--table", store.table, store.source, "tail", "-n", "1", "engine.rpm").stdout
    # The latest in time (a row without a time has no place among them).
    assert tail == f"{stamp(119)}  hostB  engine.rpm  1190 1/min\n"
    # Rows of one time stay in the order written: A's 10 s, then its second 10 s.
    assert [r[2] for r in store.rows("engine.rpm", since=BASE + datetime.timedelta(seconds=10),
                                     until=BASE + datetime.timedelta(seconds=11))] == ["nan", "99"]


@pytest.mark.parametrize("field", ["tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json"])
def test_where_selects_series_by_each_metadata_field(store, field):
    write_series(store)
    everyone = store.rows()

    def rows_of(*texts):  # the rows of the series whose field is one of `texts`
        chosen = {(m["tsname"], m["origin"]) for m in (A, B, T) if m[field] in texts}
        return [r for r in everyone if (r[1], r[6]) in chosen]

    for meta in (A, B, T):
        assert store.rows(where={field: meta[field]}) == rows_of(meta[field])
    # A list is any of its texts; with a name, both hold.
    assert store.rows(where={field: [A[field], T[field]]}) == rows_of(A[field], T[field])
    assert store.rows("cabin.status", where={field: B[field]}) == [r for r in rows_of(B[field]) if r[1] == "cabin.status"]
    assert store.rows(where={field: []}) == []


def test_where_in_the_command_and_the_series_listed_apart(store):
    write_series(store)
    listed = telem_log("--table", store.table, store.source, "series").stdout.splitlines()
    # Beside name, origin and units, the fields in which engine.rpm's two series differ.
    assert listed[0].split() == ["SERIES", "ORIGIN", "UNITS", "COMMENT", "TSID", "SERIAL", "ROLE", "JSON", "POINTS",
                                 "FIRST", "LAST"]
    assert [line.split()[:2] for line in listed[1:]] == [["cabin.status", "hostA"], ["engine.rpm", "hostA"],
                                                         ["engine.rpm", "hostB"]]
    shown = telem_log("--table", store.table, store.source, "export", "--format", "jsonl", "--where", "origin=hostB",
                      "--where", "role=spare", "engine.rpm").stdout
    assert {json.loads(line)["origin"] for line in shown.splitlines()} == {"hostB"}
    proc = telem_log("--table", store.table, store.source, "tail", "--where", "origin=hostC", "engine.rpm",
                     check=False)
    assert proc.returncode == 1 and "no points of the series 'engine.rpm' with origin=hostC" in proc.stderr


def pandas_resample(store, meta, every, aggs, **kwargs):
    """What a user gets from pandas: the series' time and number, resampled."""
    frame = store.frame(meta["tsname"], where={"origin": meta["origin"]}, columns=["time", "number"], **kwargs)
    numbers = frame.dropna(subset=["time"]).set_index("time")["number"]
    return numbers.resample(every, origin="epoch").agg(list(aggs))


@pytest.mark.parametrize("every, since, until", [("7s", None, None), ("1min", None, None),
                                                 (datetime.timedelta(seconds=10), 5, 101)])
def test_aggregates_equal_pandas_resample_of_the_same_rows(store, every, since, until):
    write_series(store)
    aggs = ["min", "max", "mean", "count", "first", "last", "sum"]
    span = {k: None if v is None else BASE + datetime.timedelta(seconds=v) for k, v in
            (("since", since), ("until", until))}
    with pytest.warns(UserWarning, match="cabin.status: left out: no numbers to aggregate"):
        got = store.frame(every=every, agg=aggs, **span)
    assert list(got.columns) == ["time", "tsname", "origin", "units", *aggs]
    for meta in (A, B):
        mine = got[got["origin"] == meta["origin"]].set_index("time")[aggs]
        theirs = pandas_resample(store, meta, every, aggs, **span)
        assert list(mine.index) == list(theirs.index)
        assert (mine["count"] == 0).any() == (meta is B and every != "1min")  # B's gap: empty buckets
        for name in aggs:
            assert mine[name].tolist() == pytest.approx(theirs[name].tolist(), rel=1e-12, nan_ok=True), name
    with pytest.raises(ValueError, match="nothing to aggregate: cabin.status"), pytest.warns(UserWarning):
        store.frame("cabin.status", every="1min")


def test_the_agg_command_writes_buckets_and_notes_text_series(store, tmp_path):
    write_series(store)
    out = tmp_path / "agg.csv"
    proc = telem_log("--table", store.table, store.source, "agg", "engine.rpm", "cabin.status", "--every", "1m",
                     "--agg", "min,max,count", "--where", "origin=hostB", "-o", out, check=False)
    assert proc.returncode == 1 and "no points of the series 'cabin.status' with origin=hostB" in proc.stderr
    proc = telem_log("--table", store.table, store.source, "agg", "--every", "1m", "--agg", "min,max,count", "-o", out)
    assert proc.stderr == "telem-log: note: cabin.status: left out: no numbers to aggregate (a text series)\n"
    assert out.read_text().splitlines() == [
        "time,tsname,origin,units,min,max,count",
        "2026-12-08T12:00:00.000000Z,engine.rpm,hostA,1/min,0.5,99,29",
        "2026-12-08T12:01:00.000000Z,engine.rpm,hostA,1/min,15.5,30,30",
        "2026-12-08T12:00:00.000000Z,engine.rpm,hostB,1/min,10,390,20",
        "2026-12-08T12:01:00.000000Z,engine.rpm,hostB,1/min,810,1190,20"]


@pytest.mark.parametrize("args, message", [
    ({"every": "1 fortnight"}, "every: not a duration"), ({"every": "0s"}, "every must be longer than zero"),
    ({"every": "1.5us"}, "not a whole number of microseconds"), ({"every": "1min", "agg": ["median"]}, "agg must"),
    ({"agg": ["min"]}, "agg needs every"), ({"every": "1min", "columns": ["time"]}, "do not go with every"),
    ({"columns": ["time", "volume"]}, "columns must name some of"), ({"where": {"host": "a"}}, "not a metadata field"),
    ({"where": {"origin": 5}}, "must be a text or a list of texts"),
])
def test_reading_mistakes_are_clear_errors(tmp_path, args, message):
    path = tmp_path / "t.db"
    with SqliteRecorder(path) as rec:
        record(rec, [(stamp(0), 1)], A)
    with pytest.raises((ValueError, TypeError), match=message):
        read_frame(path, **args)


def test_prune_deletes_in_bounded_steps_and_sqlite_reuses_the_space(store, monkeypatch):
    written = write_series(store)
    steps = []
    source = open_source(store.source, store.table)
    delete = source._delete
    monkeypatch.setattr(source, "_delete", lambda statement: steps.append(delete(statement)) or steps[-1])
    with contextlib.closing(source):
        deleted = source.prune(Selection("engine.rpm", {"origin": ("hostA",)}), BASE + datetime.timedelta(seconds=61),
                               step=7)
    before_61 = [m for m, _ in written["A"] if m != "not a time" and m < stamp(61)]
    assert deleted == [("engine.rpm", len(before_61))] and max(steps) == 7
    assert len(steps) == len(before_61) // 7 + 1
    left = store.rows("engine.rpm", where={"origin": "hostA"})
    assert left[0][0] == stamp(62) and left[-1][0] == "not a time"  # rows without a time are kept
    proc = telem_log("--table", store.table, store.source, "prune", "--before", "2026-12-08T12:00:30Z")
    lines = proc.stdout.splitlines()
    assert lines[:2] == ["cabin.status: 1 rows deleted", "engine.rpm: 15 rows deleted"]
    assert lines[2].startswith("16 rows deleted, all of them before 2026-12-08T12:00:30.000000Z")
    if store.kind == "sqlite":
        assert "MB free for new rows" in lines[2]
        many = [(stamp(200 + i / 1000), i) for i in range(20_000)]
        with store.recorder(batch_size=5000) as rec:
            record(rec, many, A)
        size = store.sql("PRAGMA page_count")[0][0]
        prune(store.source, BASE + datetime.timedelta(seconds=1000))
        with store.recorder(batch_size=5000) as rec:
            record(rec, many, A)
        # The second 20,000 rows fill the pages the first ones left.
        assert store.sql("PRAGMA page_count")[0][0] <= size * 1.05


def test_export_wide_has_a_column_per_series_and_integers_as_integers(store, tmp_path):
    write_series(store)
    out = tmp_path / "wide.csv"
    proc = telem_log("--table", store.table, store.source, "export", "--format", "csv", "--wide", "-o", out,
                     "--until", "2026-12-08T12:00:11Z")
    lines = out.read_text().splitlines()
    assert lines[0] == "time,cabin.status,engine.rpm@hostA,engine.rpm@hostB"
    assert lines[1:4] == ["2026-12-08T12:00:00.000000Z,,0.5,", "2026-12-08T12:00:01.000000Z,,,10",
                          "2026-12-08T12:00:02.000000Z,,1,"]
    assert "2026-12-08T12:00:03.000000Z,state 3,,30" in lines
    # Two values of one series at one time stamp: two rows of it.
    assert [line for line in lines if line.startswith("2026-12-08T12:00:10.")] == [
        "2026-12-08T12:00:10.000000Z,,nan,", "2026-12-08T12:00:10.000000Z,,99,"]
    assert proc.stderr == ""
    jsonl = telem_log("--table", store.table, store.source, "export", "--format", "jsonl", "--wide", "engine.rpm")
    first = json.loads(jsonl.stdout.splitlines()[1])
    assert first == {"time": "2026-12-08T12:00:01.000000Z", "engine.rpm@hostB": 10}
    assert jsonl.stderr == "telem-log: note: 1 rows without a time left out\n"


def test_a_conninfo_of_key_value_words_is_postgres_and_a_file_of_that_name_sqlite(server, tmp_path, monkeypatch):
    table = f"log_{uuid.uuid4().hex[:12]}"
    with PostgresRecorder(server.conninfo, table=table) as rec:
        record(rec, [(stamp(1), 5)], A)
    assert read_rows(server.conninfo, table=table) == postgres.read_rows(server.conninfo, table=table)
    assert read_frame(server.conninfo, table=table)["value"].tolist() == ["5"]
    assert "engine.rpm" in telem_log("--table", table, server.conninfo, "series").stdout
    monkeypatch.chdir(tmp_path)
    with SqliteRecorder("host=local.db") as rec:
        record(rec, [(stamp(2), 6)], A)
    assert read_rows("host=local.db") == sqlite.read_rows("host=local.db") != []


def test_follow_on_postgres_shows_a_row_whose_transaction_ends_after_later_ones(server):
    table = f"log_{uuid.uuid4().hex[:12]}"
    with PostgresRecorder(server.conninfo, table=table) as rec:
        record(rec, [(stamp(0), 1)], A)
    insert = (f"INSERT INTO {table}_rows (series, mtime, value, time, number) "
              f"VALUES ((SELECT min(id) FROM {table}_series), %s, %s, %s, %s)")
    with contextlib.closing(open_source(server.conninfo, table)) as source, \
            psycopg.connect(server.conninfo) as slow, psycopg.connect(server.conninfo, autocommit=True) as quick:
        follower = _Follower(source, Selection("engine.rpm"), source.max_id(Selection("engine.rpm")))
        slow.execute(insert, (stamp(1), "2", BASE, 2.0))  # takes its id first, commits last
        quick.execute(insert, (stamp(2), "3", BASE, 3.0))
        assert [r[3] for r in follower.poll()] == ["3"]
        slow.commit()
        shown = []
        deadline = time.monotonic() + 3 * SETTLE_SECONDS + 5
        while time.monotonic() < deadline and len(shown) < 1:
            shown += [r[3] for r in follower.poll()]
            time.sleep(0.05)
        assert shown == ["2"]
        time.sleep(SETTLE_SECONDS + 0.1)
        assert follower.poll() == follower.poll() == [] and not follower.shown  # each once, nothing kept


@pytest.mark.parametrize("state", ["earlier", "mid-upgrade", "newer"])
def test_a_table_not_upgraded_or_of_a_newer_version_is_refused_clearly(store, state):
    with store.recorder() as rec:
        record(rec, [(stamp(0), 1)], A)
    if state == "earlier":
        store.sql(f"DROP TABLE {store.table}_schema")
    else:
        store.sql(f"UPDATE {store.table}_schema SET " + ("unfilled_upto = 1" if state == "mid-upgrade" else
                                                          "version = 4"))
    message = "made by a newer version" if state == "newer" else "not upgraded yet"
    with pytest.raises(TelemException, match=message):
        store.rows()


# -- the version 3 shape and the upgrade to it --------------------------------------------------------------------------

def readings(store):
    """What the readers give of the series of `write_series`."""
    with pytest.warns(UserWarning):
        minutes = store.frame(every="7s", agg=["min", "max", "mean", "count", "first", "last", "sum"])
    with contextlib.closing(open_source(store.source, store.table)) as source:
        listed = [(s.tsname, s.origin, s.units, s.count, s.first, s.last) for s in source.series()]
    return {
        "all": store.rows(),
        "fields": store.rows(where={"role": ["spare", "info"], "units": ""}) + store.rows(where={"json": '{"a": 1}'}),
        "range": store.rows("engine.rpm", since=BASE + datetime.timedelta(seconds=30), limit=5),
        "frame": store.frame("engine.rpm", where={"origin": "hostA"}),
        "numbers": store.frame("engine.rpm", columns=["number", "time"]),
        "aggregates": minutes,
        "series": listed,
        "tail": telem_log("--table", store.table, store.source, "tail", "-n", "3").stdout,
    }


def test_a_table_of_version_2_is_upgraded_in_place_and_reads_as_before(store):
    write_series(store)
    def texts():  # NaN as a text, which compares equal to itself
        return [tuple("NaN" if isinstance(v, float) and math.isnan(v) else v for v in row)
                for row in store.sql(f"SELECT * FROM {store.table} ORDER BY id")]

    written_texts = texts()
    # Rows shed their texts: the shape's point.
    assert store.sql(f"SELECT count(*) FROM {store.table}_rows WHERE mtime IS NULL")[0][0] > 100
    written = readings(store)
    to_version_2(store.kind, store.sql, store.table)
    before = readings(store)
    store.recorder().close()  # upgrades
    assert store.sql(f"SELECT version, unfilled_upto FROM {store.table}_schema") == [(3, 0)]
    assert texts() == written_texts
    after = readings(store)
    for name in before:
        for other in (written, after):
            if isinstance(before[name], pd.DataFrame):
                pd.testing.assert_frame_equal(other[name], before[name])
            else:
                assert other[name] == before[name], name
    deleted = prune(store.source, BASE + datetime.timedelta(seconds=30), table=store.table)
    assert sorted(deleted) == [("cabin.status", 1), ("engine.rpm@hostA", 16), ("engine.rpm@hostB", 15)]


# -- Grafana ---------------------------------------------------------------------------------------------------------

def doc_queries(kind):
    return re.findall(rf"```sql\n-- grafana {kind}\n(.*?)```", DOCS.read_text(), re.S)


def go_interval(micros):
    """A duration as Grafana writes $__interval (gtime.FormatInterval)."""
    for unit, size in (("d", 86_400_000_000), ("h", 3_600_000_000), ("m", 60_000_000), ("s", 1_000_000),
                       ("ms", 1_000)):
        if micros >= size and micros % size == 0:
            return f"{micros // size}{unit}"
    raise ValueError(micros)


def rfc3339(value):
    text = value.astimezone(UTC).strftime("%Y-%m-%dT%H:%M:%S.%f").rstrip("0").rstrip(".")
    return text + "Z"


def grafana_postgres(sql, start, end, interval):
    """The query as Grafana's PostgreSQL data source runs it: the global
    variables, then its macros (pkg/tsdb/grafana-postgresql-datasource)."""
    sql = sql.replace("$__interval_ms", str(interval // 1000)).replace("$__interval", go_interval(interval))
    sql = sql.replace("$__unixEpochFrom()", str(int(start.timestamp()))).replace(
        "$__unixEpochTo()", str(int(end.timestamp())))

    def macro(found):
        name, args = found.group(1), [a.strip() for a in found.group(2).split(",")]
        if name == "__timeFilter":
            return f"{args[0]} BETWEEN '{rfc3339(start)}' AND '{rfc3339(end)}'"
        if name in ("__timeGroup", "__timeGroupAlias"):
            seconds = parse_go_interval(args[1].strip("'")) / 1e6
            seconds = int(seconds) if seconds.is_integer() else seconds
            group = f"floor(extract(epoch from {args[0]})/{seconds})*{seconds}"
            return group + (' AS "time"' if name == "__timeGroupAlias" else "")
        if name == "__time":
            return f'{args[0]} AS "time"'
        raise AssertionError(f"a macro the test does not expand: {name}")

    return re.sub(r"\$([_a-zA-Z0-9]+)\(([^\)]*)\)", macro, sql)


def parse_go_interval(text):
    number, unit = re.fullmatch(r"(\d+)(ms|s|m|h|d)", text).groups()
    return int(number) * {"ms": 1_000, "s": 1_000_000, "m": 60_000_000, "h": 3_600_000_000,
                          "d": 86_400_000_000}[unit]


def grafana_sqlite(sql, start, end, interval):
    """The query as the frser-sqlite-datasource plugin runs it: Grafana's
    variables ($__interval_ms, and $__from and $__to in milliseconds), then
    the plugin's macros (pkg/plugin/macros.go)."""
    sql = sql.replace("$__interval_ms", str(interval // 1000))
    sql = sql.replace("$__from", str(int(start.timestamp() * 1000))).replace("$__to", str(int(end.timestamp() * 1000)))

    def macro(found):
        name, args = found.group(1), found.group(2).split(",")
        if name == "timeFilter":
            return (f"CAST(CASE WHEN typeof({args[0]}) = 'integer' THEN {args[0]} ELSE strftime(\"%s\", {args[0]}) "
                    f"END AS INTEGER) BETWEEN {int(start.timestamp())} AND {int(end.timestamp())}")
        if name == "unixEpochGroupSeconds":
            seconds = int(args[1].strip())
            return f"cast(({args[0]} / {seconds}) as int) * {seconds}"
        return found.group(0)

    return re.sub(r"\$__([_a-zA-Z0-9]+)\(([^\)]*)\)", macro, sql)


def plan(store, query):
    if store.kind == "sqlite":
        return " ".join(row[-1] for row in store.sql("EXPLAIN QUERY PLAN " + query))
    store.sql(f"ANALYZE {store.table}_rows")
    return " ".join(row[0] for row in store.sql("EXPLAIN " + query))


def test_the_grafana_queries_of_the_docs_give_the_series_and_use_the_index(store):
    with store.recorder(batch_size=10_000) as rec:
        for i, name in enumerate(["engine.rpm", "cabin.temperature", *(f"s{k}" for k in range(18))]):
            for origin in ("hostA", "hostB"):
                record(rec, [(stamp(m * 60 + s), m * s + i) for m in range(60) for s in range(0, 60, 6)],
                       dict(A, tsname=name, origin=origin))
    start, end, interval = BASE + datetime.timedelta(minutes=10), BASE + datetime.timedelta(minutes=20), 60_000_000
    queries = doc_queries(store.kind)
    assert len(queries) == (2 if store.kind == "postgres" else 3)
    expand = grafana_postgres if store.kind == "postgres" else grafana_sqlite
    wanted = {"tsname": ["engine.rpm", "cabin.temperature"]}
    points = read_frame(store.source, where={**wanted, "origin": "hostA"}, since=start,
                        until=end + datetime.timedelta(microseconds=1), table=store.table)
    means = read_frame(store.source, where={**wanted, "origin": "hostA"}, since=start,
                       until=end + datetime.timedelta(microseconds=1), every="1min", agg=["mean"], table=store.table)
    for query in queries:
        sql = expand(query.replace("log_points", store.table), start, end, interval)
        got = store.sql(sql)
        if "avg(" in query:
            seconds = [float(row[0]) for row in got]
            assert sorted((s, m, v) for s, (m, v) in zip(seconds, [(r[1], r[2]) for r in got])) == sorted(
                (t.timestamp(), n, v) for t, n, v in zip(means["time"], means["tsname"], means["mean"]))
        else:
            assert sorted((r[0] if store.kind == "postgres" else datetime.datetime.fromisoformat(r[0]), r[1], r[2])
                          for r in got) == sorted(zip(points["time"], points["tsname"], points["number"]))
        shown = plan(store, sql)
        if store.kind == "sqlite":
            assert "USING INDEX log_points_rows_series_time (series=? AND time>? AND time<?)" in shown, shown
        else:
            assert f"{store.table}_series_time" in shown and f"Seq Scan on {store.table}_rows" not in shown, shown
    # The plugin's own filter of epoch seconds reads the whole series: the reason the docs do without it.
    if store.kind == "sqlite":
        naive = grafana_sqlite(f"SELECT r.time FROM {store.table}_rows r JOIN {store.table}_series s ON s.id = r.series "
                               "WHERE s.tsname = 'engine.rpm' AND $__timeFilter(r.time)", start, end, interval)
        assert "(series=?)" in plan(store, naive)
