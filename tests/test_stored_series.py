"""What both log stores hold beside the seven texts (the typed columns, the
series table, the upgrade of earlier tables) and reading it back: read_rows
ranges, read_frame, the telem-log command and the reading page's indexed queries."""

import contextlib
import datetime
import json
import math
import os
import pathlib
import queue
import re
import sqlite3
import subprocess
import sys
import threading
import time
import uuid

import psycopg
import pytest

from telem_pyb import TelemException, TsPoint
from telem_pyb_log import PostgresRecorder, SqliteRecorder, postgres, read_frame, sqlite
from telem_pyb_log._reading import open_source

READING = pathlib.Path(__file__).resolve().parent.parent / "docs" / "reading.md"
UTC = datetime.UTC
SERIES = {"tsid": "7", "tsname": "engine.rpm", "btype": "int", "units": "1/min", "origin": "test",
          "comment": "c", "serial": "s-1", "role": "main", "json": '{"k": 1}'}


def at(*args):
    return datetime.datetime(*args, tzinfo=UTC)


class Store:
    """One of the two stores, with what the tests need of it."""

    def __init__(self, kind, tmp_path, request):
        self.kind = kind
        if kind == "sqlite":
            self.source = str(tmp_path / "t.db")
            self.table = "log_points"
        else:
            self.server = request.getfixturevalue("server")
            self.table = f"log_{uuid.uuid4().hex[:12]}"
            self.source = f"postgresql:///postgres?host={self.server.dir}&user=postgres"

    def recorder(self, **options):
        if self.kind == "sqlite":
            return SqliteRecorder(self.source, **options)
        return PostgresRecorder(self.server.conninfo, table=self.table, **options)

    def sql(self, statement, params=()):
        if self.kind == "sqlite":
            with contextlib.closing(sqlite3.connect(self.source)) as conn, conn:
                return conn.execute(statement, params).fetchall()
        with psycopg.connect(self.server.conninfo) as conn:
            cursor = conn.execute(statement.replace("?", "%s"), params)
            return cursor.fetchall() if cursor.description else []

    def typed(self):
        """mtime, value, time and number of each row, in the order written."""
        rows = self.sql(f"SELECT mtime, value, time, number FROM {self.table} ORDER BY id")
        if self.kind == "sqlite":
            rows = [(m, v, None if t is None else datetime.datetime.fromisoformat(t), n) for m, v, t, n in rows]
        return rows

    def read_rows(self, *args, **kwargs):
        if self.kind == "sqlite":
            return sqlite.read_rows(self.source, *args, **kwargs)
        return postgres.read_rows(self.server.conninfo, *args, table=self.table, **kwargs)


@pytest.fixture(params=["sqlite", "postgres"])
def store(request, tmp_path):
    return Store(request.param, tmp_path, request)


def record(rec, points, meta=SERIES):
    rec.record_metadata_kv(meta)
    for mtime, value in points:
        p = TsPoint()
        p.value = value
        p.mtime = mtime
        rec.record_point(p)


NOON = "2026-12-08T12:00:00Z"
VALUES = [
    (True, 1.0), (False, 0.0), (-(2**63), -9.223372036854776e18), (2**63 - 1, 9.223372036854776e18),
    (-17, -17.0), (0.1, 0.1), (1e300, 1e300), (math.inf, math.inf), (-math.inf, -math.inf), ("12", None),
    ("broken sensor", None), (b"raw", None),
]
TIMES = [
    ("2026-12-08T12:00:00.123456+00:00", at(2026, 12, 8, 12, 0, 0, 123456)),  # the recorders' stamp
    ("2026-12-08T13:00:00+01:00", at(2026, 12, 8, 12)),
    ("2026-12-08T06:30:00.5-05:30", at(2026, 12, 8, 12, 0, 0, 500000)),
    ("2026-12-08T12:00:00Z", at(2026, 12, 8, 12)),
    ("2026-12-08 12:00:00", at(2026, 12, 8, 12)),
    ("2026-12-08T12:00", at(2026, 12, 8, 12)),
    ("2026-12-08T12:00:00.123456789+0000", at(2026, 12, 8, 12, 0, 0, 123456)),
    ("2026-12-08", at(2026, 12, 8)),
    ("2024-02-29T00:00:00+01", at(2024, 2, 28, 23)),
    ("garbage", None), ("2026-02-30", None), ("2026-12-08T24:00:00", None), ("2026-12-08T12:00:00+25:00", None),
    ("12:00", None), ("2026-12-08T12:00:00 UTC", None), ("0001-01-01T00:30:00+01:00", None),
]


def test_the_typed_columns_hold_each_value_kind_and_each_time_text(store):
    with store.recorder() as rec:
        record(rec, [(NOON, v) for v, _ in VALUES] + [(t, 1) for t, _ in TIMES] + [(NOON, math.nan)])
    rows = store.typed()
    assert [(value, number) for _, value, _, number in rows[:len(VALUES)]] == [
        (text, number) for text, number in zip(
            ["true", "false", "-9223372036854775808", "9223372036854775807", "-17", "0.1", "1e+300", "inf", "-inf",
             "12", "broken sensor", "raw"], [n for _, n in VALUES])]
    assert [(mtime, time) for mtime, _, time, _ in rows[len(VALUES):-1]] == TIMES  # the texts kept as given
    nan = rows[-1][3]
    # SQLite stores NaN as NULL; PostgreSQL keeps it.
    assert nan is None if store.kind == "sqlite" else math.isnan(nan)
    assert rec.stats.untimed == sum(time is None for _, time in TIMES)


# Values whose texts the stores may leave out (the text of the stored number)
# and those they must keep, and mtimes beside the recorders' own stamps.
FLOATS = [0.25, -1.5, 0.1 + 0.2, 1 / 3, 0.1, 1e-5, 0.0001, 2.5e-7, 100000.0, 123456.0, 1e15, 1e16, 1e20, 1e300,
          123456789012345.6, 5e-324, 1.0, -0.0, 0.0, math.nan, math.inf, 7, True, "0.25", ""]
STAMPS = ["2026-12-08T12:00:00.123456+00:00", "0001-01-01T00:00:00.000000+00:00", "9999-12-31T23:59:59.999999+00:00",
          "1969-12-31T23:59:59.999999+00:00", "1900-02-28T00:00:00.000001+00:00", "2026-12-08T12:00:00.123456-00:00",
          "2026-12-08T12:00:00.12345+00:00", "2026-12-08t12:00:00.123456+00:00", "2026-12-08T12:00:00.123456+0000",
          "2026-12-08T12:00:00.123456+00:00 ", "2026-12-08T12:00:00.1234567+00:00", "not a time"]


@pytest.mark.parametrize("stamp", STAMPS)
def test_the_table_gives_back_every_text_the_recorder_made(store, stamp):
    def text_of(value):
        p = TsPoint()
        p.value = value
        return p.value_str()

    with store.recorder() as rec:
        record(rec, [(stamp, v) for v in FLOATS])
    assert store.sql(f"SELECT mtime, value FROM {store.table} ORDER BY id") == [(stamp, text_of(v)) for v in FLOATS]
    # The rows keep only the texts that their time and number do not give back.
    kept = store.sql(f"SELECT count(mtime), count(value) FROM {store.table}_rows")[0]
    assert kept[0] == (0 if stamp == STAMPS[0] or stamp in STAMPS[1:5] else len(FLOATS))
    assert kept[1] < len(FLOATS) - 3


def test_min_max_avg_over_number_are_numeric(store):
    with store.recorder() as rec:
        record(rec, [(NOON, v) for v in (800, 990, 1000, 1290)] + [(NOON, "broken sensor"), (NOON, True)])
    assert store.sql(f"SELECT min(number), max(number), avg(number) FROM {store.table}") == [(1.0, 1290.0, 816.2)]


def test_the_series_table_keeps_each_description_of_a_series(store):
    renamed = dict(SERIES, tsname="engine.speed")
    described = dict(SERIES, units="rad/s", comment="now in SI")
    with store.recorder() as rec:
        for meta in (SERIES, renamed, described, SERIES):
            record(rec, [(NOON, 1)], meta)
    fields = "tsid, tsname, btype, units, origin, serial, role, comment, json"
    stored = store.sql(f"SELECT {fields} FROM {store.table}_series")
    assert sorted(stored) == sorted(tuple(m[k] for k in fields.split(", ")) for m in (SERIES, renamed, described))


def test_rows_queued_whole_come_back_with_their_own_texts_under_a_series_made_of_them(store, tmp_path):
    # Rows whose texts differ from their series' are queued whole; a spool of
    # an earlier version holds such rows. Each is stored under a series made
    # of its five texts, and the view gives every text back.
    log_driver = pytest.importorskip("log_driver", reason="the test driver is built by `make native`")
    whole = [["2026-12-09T12:00:01.000000+00:00", "other", "2.5", "float", "m\t", "caf\u00e9", "hostB"],
             ["not a time", "other", "x", "str", "m\t", "caf\u00e9", "hostB"],
             ["2026-12-09T12:00:02+00:00", "pump", "3", "", "bar", "", "elsewhere"]]
    log_driver.spool_rows(str(tmp_path / "spool"), "pump", [["1"], whole[0], ["2"], whole[1], whole[2]])
    with store.recorder(spool=str(tmp_path / "spool")) as rec:
        deadline = time.monotonic() + 60
        while rec.stats.written < 5 and time.monotonic() < deadline:
            time.sleep(0.05)
    series_row = ["2026-12-09T12:00:00.000000+00:00", "pump", None, "", "bar", "", ""]
    expected = [series_row[:2] + ["1"] + series_row[3:], whole[0], series_row[:2] + ["2"] + series_row[3:], *whole[1:]]
    stored = store.sql(f"SELECT mtime, tsname, value, btype, units, comment, origin FROM {store.table} ORDER BY id")
    assert [list(row) for row in stored] == expected
    described = store.sql(f"SELECT tsname, btype, units, comment, origin FROM {store.table}_series")
    assert sorted(described) == [("other", "float", "m\t", "caf\u00e9", "hostB"), ("other", "str", "m\t", "caf\u00e9", "hostB"),
                                 ("pump", "", "bar", "", ""), ("pump", "", "bar", "", "elsewhere")]


def test_metadata_whose_other_fields_the_store_cannot_hold_is_refused(store):
    with store.recorder() as rec:
        with pytest.raises(TelemException, match="the metadata's json: the text is not valid UTF-8"):
            rec.record_metadata_kv(dict(SERIES, json=b"\xff"))


def old_table(store, rows):
    """The shape that the version before the typed columns made, with `rows`."""
    columns = "mtime, tsname, value, btype, units, comment, origin"
    if store.kind == "sqlite":
        store.sql("CREATE TABLE log_points (id INTEGER PRIMARY KEY, mtime TEXT NOT NULL, tsname TEXT NOT NULL, "
                  "value TEXT NOT NULL, btype TEXT NOT NULL, units TEXT NOT NULL, comment TEXT NOT NULL, "
                  "origin TEXT NOT NULL)")
        store.sql("CREATE INDEX log_points_tsname ON log_points (tsname, id)")
    else:
        store.sql(f"CREATE TABLE {store.table} (id bigint GENERATED ALWAYS AS IDENTITY, "
                  + ", ".join(f"{c} text NOT NULL" for c in columns.split(", ")) + ")")
        store.sql(f"CREATE TABLE {store.table}_delivered (recorder_id uuid PRIMARY KEY, stored bigint NOT NULL)")
    if store.kind == "sqlite":
        with contextlib.closing(sqlite3.connect(store.source)) as conn, conn:
            conn.executemany(f"INSERT INTO log_points ({columns}) VALUES (?,?,?,?,?,?,?)", rows)
    else:
        with psycopg.connect(store.server.conninfo) as conn, conn.cursor() as cursor:
            with cursor.copy(f"COPY {store.table} ({columns}) FROM STDIN") as copy:
                for row in rows:
                    copy.write_row(row)


def test_a_table_of_the_earlier_version_is_upgraded_in_place_rows_kept(store):
    # More rows than one transaction of the upgrade fills.
    rows = [(f"2026-12-08T12:{i // 1000 % 60:02d}:00+00:00" if i % 7 else "later", "old", str(i) if i % 5 else "n/a",
             "int", "1/min", "", "o") for i in range(25_000)]
    rows[1] = ("2026-12-08T12:00:00+00:00", "old", "true", "bool", "", "", "o")
    old_table(store, rows)
    with store.recorder() as rec:
        record(rec, [(NOON, 5)])
    written = [*rows, ("2026-12-08T12:00:00Z", "engine.rpm", "5", "int", "1/min", "c", "test")]
    times = [None if row[0] == "later" else datetime.datetime.fromisoformat(row[0]) for row in written]
    # In time order, ties in the order written, the rows without a time last.
    assert store.read_rows() == [written[i] for i in sorted(range(len(written)),
                                                            key=lambda i: (times[i] is None, times[i] or NOON, i))]
    typed = store.typed()
    assert typed[1] == ("2026-12-08T12:00:00+00:00", "true", at(2026, 12, 8, 12), 1.0)
    assert typed[7][2:] == (None, 7.0) and typed[10][2:] == (at(2026, 12, 8, 12), None)
    assert typed[-1][2:] == (at(2026, 12, 8, 12), 5.0)
    assert sum(t[3] is None for t in typed) == len(range(0, 25_000, 5))
    assert store.sql(f"SELECT version, unfilled_upto FROM {store.table}_schema") == [(3, 0)]
    # The table of the earlier version and its indexes are gone; the rows are indexed on series and time.
    n = len(store.table)
    indexes = (f"SELECT name FROM sqlite_master WHERE type = 'index' AND substr(tbl_name, 1, {n}) = '{store.table}'"
               if store.kind == "sqlite" else
               f"SELECT indexname FROM pg_indexes WHERE substr(tablename, 1, {n}) = '{store.table}'")
    assert {name for (name,) in store.sql(indexes) if "autoindex" not in name and "pkey" not in name
            and "key" not in name} == {f"{store.table}_rows_series_time" if store.kind == "sqlite"
                                       else f"{store.table}_series_time"}


def test_an_upgrade_killed_midway_is_finished_by_the_next_opener(store):
    rows = [(f"2026-12-08T12:00:{i % 60:02d}.{i:06d}+00:00" if i % 3 else f"t{i}", f"s{i % 4}", f"{i}.5", "float",
             "", "", "o") for i in range(200_000)]
    old_table(store, rows)
    opener = (f"from telem_pyb_log import SqliteRecorder; SqliteRecorder({store.source!r})" if store.kind == "sqlite"
              else f"from telem_pyb_log import PostgresRecorder; PostgresRecorder({store.server.conninfo!r}, "
                   f"table={store.table!r})")
    proc = subprocess.Popen([sys.executable, "-c", opener], env=CLI_ENV)
    progress = f"SELECT max(version), max(unfilled_upto) FROM {store.table}_schema"
    try:
        # Killed once its upgrade has moved some of the rows, with many left.
        while True:
            with contextlib.suppress(sqlite3.OperationalError, psycopg.errors.UndefinedTable):
                version, left = store.sql(progress)[0]
                if version == 3 and 0 < left <= 150_000:
                    break
            assert proc.poll() is None, "the upgrade ended before it could be cut off"
    finally:
        proc.kill()
        proc.wait()
    version, left = store.sql(progress)[0]
    assert version == 3 and left > 0
    columns = "mtime, tsname, value, btype, units, comment, origin"
    # Meanwhile the view shows every row, and the readers say why they cannot read it.
    assert store.sql(f"SELECT {columns} FROM {store.table} ORDER BY id") == rows
    with pytest.raises(TelemException, match="not upgraded yet"):
        store.read_rows()
    # Two processes open it at once: they take turns at its rest.
    finishers = [subprocess.Popen([sys.executable, "-c", opener], env=CLI_ENV) for _ in range(2)]
    assert [p.wait(timeout=300) for p in finishers] == [0, 0]
    assert store.sql(progress) == [(3, 0)]
    assert store.sql(f"SELECT {columns} FROM {store.table} ORDER BY id") == rows
    assert store.sql(f"SELECT count(*) FROM {store.table}_rows WHERE mtime IS NULL")[0][0] == sum(1 for i in range(200_000) if i % 3)


def test_a_table_of_a_newer_version_is_refused(store):
    with store.recorder():
        pass
    store.sql(f"UPDATE {store.table}_schema SET version = 4")
    with pytest.raises(TelemException, match="was made by a newer version of telem_pyb_log \\(schema 4; this "
                                             "version knows schemas up to 3\\)"):
        store.recorder()


def test_read_rows_selects_by_series_time_range_and_limit(store):
    with store.recorder() as rec:
        record(rec, [(f"2026-12-08T1{h}:00:00+01:00", h) for h in range(6)])
        record(rec, [("2026-12-08T12:30:00Z", 99), ("not a time", 98)], dict(SERIES, tsname="other"))
    # Stored 09:00Z to 14:00Z; since is 12:00Z.
    since = datetime.datetime(2026, 12, 8, 10, tzinfo=datetime.timezone(datetime.timedelta(hours=-2)))
    assert [r[2] for r in store.read_rows("engine.rpm", since=since, until=at(2026, 12, 8, 14))] == ["3", "4"]
    assert [r[2] for r in store.read_rows(since=at(2026, 12, 8, 12, 30))] == ["99", "4", "5"]
    assert [r[2] for r in store.read_rows(limit=3)] == ["0", "1", "2"]
    assert [r[2] for r in store.read_rows("other", limit=0)] == []
    with pytest.raises(ValueError, match="since must be an aware datetime"):
        store.read_rows(since=datetime.datetime(2026, 12, 8))


def test_read_frame_gives_utc_times_and_float_numbers(store):
    with store.recorder() as rec:
        record(rec, [("2026-12-08T13:00:00+01:00", 1), ("2026-12-08T12:00:01Z", "x"), ("bad", 2.5)])
    frame = read_frame(store.source, "engine.rpm", since=None, table=store.table)
    assert list(frame.columns) == ["mtime", "tsname", "value", "btype", "units", "comment", "origin", "time", "number"]
    assert str(frame["time"].dt.tz) == "UTC" and frame["number"].dtype == "float64"
    assert list(frame["time"][:2]) == [at(2026, 12, 8, 12), at(2026, 12, 8, 12, 0, 1)] and frame["time"].isna()[2]
    assert frame["number"].tolist()[::2] == [1.0, 2.5] and math.isnan(frame["number"][1])
    assert len(read_frame(store.source, since=at(2026, 12, 8, 12, 0, 1), table=store.table)) == 1


@pytest.mark.parametrize("reader", [sqlite.read_rows, read_frame, lambda p: open_source(p)])
def test_reading_a_missing_file_creates_nothing(tmp_path, reader):
    with pytest.raises(FileNotFoundError, match="no such SQLite file"):
        reader(tmp_path / "typo.db")
    assert list(tmp_path.iterdir()) == []


def test_reading_a_file_or_server_without_the_table_is_a_clear_error(tmp_path, server):
    other = tmp_path / "other.db"
    sqlite3.connect(other).close()
    with pytest.raises(TelemException, match="other.db has no table log_points"):
        sqlite.read_rows(other)
    with pytest.raises(TelemException, match="there is no table missing_table on the server"):
        postgres.read_rows(server.conninfo, table="missing_table")
    assert list(tmp_path.iterdir()) == [other]


# The command in a process of its own. numpy (under pandas and matplotlib)
# keeps objects from its import until exit, which LeakSanitizer would report
# at the command's exit: no leak checks there (the tests' own process imports
# numpy with them paused, tests/conftest.py).
CLI_ENV = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "").replace("detect_leaks=1", "detect_leaks=0")}


def telem_log(*args, check=True):
    proc = subprocess.run([sys.executable, "-m", "telem_pyb_log", *map(str, args)], capture_output=True, text=True,
                          timeout=120, env=CLI_ENV)
    if check:
        assert proc.returncode == 0, proc.stderr
    return proc


@pytest.fixture
def demo_db(tmp_path):
    path = tmp_path / "t.db"
    with SqliteRecorder(path) as rec:
        record(rec, [(f"2026-12-08T12:0{i}:00Z", 800 + 10 * i) for i in range(5)] + [(NOON, "stalled")])
        record(rec, [("2026-12-08T12:00:00Z", 20.5), ("2026-12-08T12:05:00Z", 21.5)],
               {"tsname": "cabin.temperature", "units": "degC"})
    return path


def test_the_command_lists_series_and_tails_them(demo_db):
    assert telem_log(demo_db, "series").stdout == (
        "SERIES             ORIGIN  UNITS  POINTS  FIRST                        LAST\n"
        "cabin.temperature          degC   2       2026-12-08T12:00:00.000000Z  2026-12-08T12:05:00.000000Z\n"
        "engine.rpm         test    1/min  6       2026-12-08T12:00:00.000000Z  2026-12-08T12:04:00.000000Z\n")
    # The last in time, not the last written.
    assert telem_log(demo_db, "tail", "-n", "2", "engine.rpm").stdout == (
        "2026-12-08T12:03:00Z  test  engine.rpm  830 1/min\n2026-12-08T12:04:00Z  test  engine.rpm  840 1/min\n")


def test_tail_follow_shows_rows_written_later(demo_db):
    proc = subprocess.Popen([sys.executable, "-m", "telem_pyb_log", demo_db, "tail", "-n", "1", "--follow",
                             "--interval", "0.05", "cabin.temperature"], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "2026-12-08T12:05:00Z  -  cabin.temperature  21.5 degC\n"
        with SqliteRecorder(demo_db) as rec:
            record(rec, [("2026-12-08T12:06:00Z", 22.5)], {"tsname": "cabin.temperature", "units": "degC"})
        assert proc.stdout.readline() == "2026-12-08T12:06:00Z  -  cabin.temperature  22.5 degC\n"
    finally:
        proc.kill()
        proc.wait()
        proc.stdout.close()


@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
def test_export_writes_the_selected_rows(demo_db, tmp_path, fmt):
    out = tmp_path / f"out.{fmt}"
    telem_log(demo_db, "export", "--format", fmt, "--since", "2026-12-08T13:01:00+01:00", "--until",
              "2026-12-08T12:03:00", "-o", out, "engine.rpm")
    text = out.read_text()
    if fmt == "csv":
        assert text == ("mtime,tsname,value,btype,units,comment,origin,time,number\n"
                        "2026-12-08T12:01:00Z,engine.rpm,810,int,1/min,c,test,2026-12-08T12:01:00.000000Z,810\n"
                        "2026-12-08T12:02:00Z,engine.rpm,820,int,1/min,c,test,2026-12-08T12:02:00.000000Z,820\n")
    else:
        records = [json.loads(line) for line in text.splitlines()]
        assert [(r["value"], r["time"], r["number"]) for r in records] == [
            ("810", "2026-12-08T12:01:00.000000Z", 810.0), ("820", "2026-12-08T12:02:00.000000Z", 820.0)]


def test_plot_writes_a_png_and_notes_the_text_values_left_out(demo_db, tmp_path):
    from PIL import Image

    out = tmp_path / "plot.png"
    proc = telem_log(demo_db, "plot", "engine.rpm", "cabin.temperature", "-o", out)
    assert proc.stdout == f"{out}\n"
    assert "engine.rpm: 1 of 6 points left out" in proc.stderr
    with Image.open(out) as image:
        assert image.format == "PNG" and image.size == (1000, 500)


def in_plot_process(code):
    """What `code` prints as JSON, run where the command's picture is drawn (a process of its own, as the command)."""
    script = ("import datetime, json\nfrom telem_pyb_log._plot import Series, clock_texts, figure\n"
              "def at(*a): return datetime.datetime(2026, 12, 8, *a, tzinfo=datetime.UTC)\n" + code)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, env=CLI_ENV)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


TICKS = """
day = datetime.timedelta(days=1)
print(json.dumps({
    "minutes": clock_texts([at(12), at(12, 2), at(12, 4)]),
    "seconds": clock_texts([at(12), at(12, 0, 30)]),
    # As matplotlib's float days give them back: a microsecond off.
    "tenths": clock_texts([at(12, 0, 0, 499999), at(12, 0, 1, 1)]),
    "ten thousandths": clock_texts([at(12, 0, 0, 400), at(12, 0, 0, 600)]),
    "days and hours": clock_texts([at(0), at(12), at(0) + day]),
    "days": clock_texts([at(0), at(0) + day]),
}))
"""


def test_tick_texts_are_clock_times_as_precise_as_their_spacing():
    assert in_plot_process(TICKS) == {
        "minutes": ["12:00", "12:02", "12:04"], "seconds": ["12:00:00", "12:00:30"],
        "tenths": ["12:00:00.5", "12:00:01.0"], "ten thousandths": ["12:00:00.0004", "12:00:00.0006"],
        "days and hours": ["12-08 00:00", "12-08 12:00", "12-09 00:00"], "days": ["12-08", "12-09"]}


PICTURE = """
step = datetime.timedelta(seconds=5)
run = [at(12) + i * step for i in range(121)]
second = [at(12, 12) + i * step for i in range(121)]
rpm = Series("engine.rpm", "1/min", run + second + [at(13)], [float(i % 50) for i in range(243)], False)
door = Series("cabin.door_open", "", run, [float(i // 60 % 2) for i in range(121)], True)
few = Series("cabin.temperature", "degC", run[::30], [20.0, 21, 22, 21, 20], False)
picture = figure([rpm, door, few], ["cabin.status: left out: text values"])
picture.canvas.draw()
axes = picture.axes
legend = picture.legends[0].get_window_extent()
print(json.dumps({
    "panels": [a.get_ylabel() for a in axes],
    "lines": [[len(l.get_ydata()), int(sum(y != y for y in l.get_ydata())), l.get_marker(), l.get_drawstyle()]
              for a in axes for l in a.get_lines()],
    "door ticks": [t.get_text() for t in axes[1].get_yticklabels()],
    "legend over a panel": any(bool(legend.overlaps(a.get_window_extent())) for a in axes),
    "legend": [t.get_text() for t in picture.legends[0].get_texts()],
    "time": axes[-1].get_xlabel(),
    "note": picture.get_supxlabel(),
    "seconds shown of one instant": (lambda low, high: round((high - low) * 86400, 3))(
        *figure([Series("a", "V", [at(12)] * 2, [1.0, 2.0], False)], []).axes[0].get_xlim()),
}))
"""


def test_the_picture_breaks_runs_apart_and_keeps_its_legend_off_the_data():
    seen = in_plot_process(PICTURE)
    assert seen["panels"] == ["1/min", "", "degC"]
    assert seen["lines"] == [
        [245, 2, "None", "default"],  # two runs and a point an hour later: two breaks
        [1, 0, "o", "default"],  # the point alone, marked
        [121, 0, "None", "steps-post"],
        [5, 0, "o", "default"],  # few points: each marked
    ]
    assert seen["door ticks"] == ["false", "true"] and not seen["legend over a panel"]
    assert seen["legend"] == ["engine.rpm", "cabin.door_open", "cabin.temperature"]
    assert seen["time"] == "time (UTC) on 2026-12-08" and seen["note"] == "cabin.status: left out: text values"
    assert seen["seconds shown of one instant"] == 2


@pytest.mark.parametrize(
    "args, message",
    [
        pytest.param(["missing.db", "series"], "telem-log: error: missing.db: no such SQLite file",
                     id="a missing file"),
        pytest.param(["{db}", "plot", "nope", "-o", "x.png"], "telem-log: error: no points of the series 'nope'",
                     id="an unknown series"),
        pytest.param(["{db}", "export", "--format", "csv", "--since", "yesterday"],
                     "argument --since: not an ISO 8601 time: 'yesterday'", id="a time that does not parse"),
        pytest.param(["postgresql:///nodb?host=/nonexistent", "series"], "telem-log: error: cannot connect",
                     id="a server that is not there"),
        pytest.param(["{db}"], "telem-log: error: the following arguments are required: VERB (see telem-log --help)",
                     id="no verb"),
    ],
)
def test_a_user_mistake_is_one_line_on_stderr_and_a_nonzero_status(demo_db, tmp_path, args, message):
    proc = subprocess.run([sys.executable, "-m", "telem_pyb_log", *(a.format(db=demo_db) for a in args)],
                          capture_output=True, text=True, timeout=60, cwd=tmp_path, env=CLI_ENV)
    assert proc.returncode != 0 and proc.stdout == ""
    assert message in proc.stderr and "Traceback" not in proc.stderr
    assert len(proc.stderr.strip().splitlines()) == 1
    assert not (tmp_path / "missing.db").exists()


@pytest.mark.parametrize("verb", [["tail"], ["tail", "-n", "0"], ["export", "--format", "csv", "-o", "{out}"],
                                  ["plot", "-o", "{out}", "engine.rpm"]])
def test_an_unknown_series_is_one_line_naming_it(store, tmp_path, verb):
    with store.recorder() as rec:
        record(rec, [(NOON, 1)])
    out = tmp_path / "out.file"
    proc = telem_log("--table", store.table, store.source, *(a.format(out=out) for a in verb), "no.such", check=False)
    assert proc.returncode == 1 and proc.stdout == "" and not out.exists()
    assert proc.stderr.startswith("telem-log: error: no points of the series 'no.such' in ")
    assert len(proc.stderr.splitlines()) == 1


@pytest.mark.parametrize("where", ["before the source", "before the verb", "after the verb", "overridden after"])
def test_table_is_taken_before_and_after_the_verb(server, where):
    table = f"log_{uuid.uuid4().hex[:12]}"
    with PostgresRecorder(server.conninfo, table=table) as rec:
        record(rec, [(NOON, 5)])
    source = f"postgresql:///postgres?host={server.dir}&user=postgres"
    verb = ["export", "--format", "jsonl", "engine.rpm"]
    args = {"before the source": ["--table", table, source, *verb],
            "before the verb": [source, "--table", table, *verb],
            "after the verb": [source, *verb, "--table", table],
            "overridden after": ["--table", "no_such_table", source, *verb[:-1], "--table", table, verb[-1]]}[where]
    assert json.loads(telem_log(*args).stdout)["value"] == "5"


class Lines:
    """The lines of a stream as they come, read by a thread of their own."""

    def __init__(self, stream):
        self.lines = queue.Queue()
        self.thread = threading.Thread(target=lambda: [*map(self.lines.put, stream), self.lines.put(None)], daemon=True)
        self.thread.start()

    def next(self, timeout=60):
        return self.lines.get(timeout=timeout)

    def rest(self):
        self.thread.join(60)
        return list(iter(self.lines.get_nowait, None))


@pytest.mark.parametrize("kind, missing", [("sqlite", "file"), ("postgres", "table"), ("sqlite", "series")])
def test_tail_follow_waits_for_what_is_not_there_yet_and_says_so_once(kind, missing, tmp_path, request):
    store = Store(kind, tmp_path, request)
    if missing == "series":
        with store.recorder() as rec:
            record(rec, [(NOON, 1)], dict(SERIES, tsname="other"))
    proc = subprocess.Popen([sys.executable, "-m", "telem_pyb_log", store.source, "--table", store.table, "tail",
                             "--follow", "--interval", "0.05", "engine.rpm"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=CLI_ENV)
    stdout, stderr = Lines(proc.stdout), Lines(proc.stderr)
    try:
        note = stderr.next()
        assert note.endswith("; --follow waits for it\n")
        assert {"file": f"{store.source}: no such SQLite file", "table": f"there is no table {store.table} ",
                "series": "no points of the series 'engine.rpm' in "}[missing] in note
        assert proc.poll() is None
        # Written in two goes, with a row of another series between.
        with store.recorder() as rec:
            record(rec, [("2026-12-08T12:01:00Z", 1), ("2026-12-08T12:02:00Z", 2)])
            record(rec, [(NOON, 9)], dict(SERIES, tsname="other"))
        shown = [stdout.next(), stdout.next()]
        with store.recorder() as rec:
            record(rec, [("2026-12-08T12:03:00Z", 3)])
        shown.append(stdout.next())
        assert shown == [f"2026-12-08T12:0{i}:00Z  test  engine.rpm  {i} 1/min\n" for i in (1, 2, 3)]
        # Some rounds of the loop later, nothing more (each row shown once).
        with store.recorder() as rec:
            record(rec, [(NOON, 9)], dict(SERIES, tsname="other"))
        with pytest.raises(queue.Empty):
            stdout.next(timeout=0.5)
    finally:
        proc.kill()
        proc.wait()
        rest = stdout.rest(), stderr.rest()
        proc.stdout.close()
        proc.stderr.close()
    assert rest == ([], [])


@pytest.mark.parametrize(
    "blocked, code, message",
    [
        ("pandas", "telem_pyb_log.read_frame({db!r})",
         "read_frame needs pandas: pip install 'telem_pyb[pandas]'"),
        ("matplotlib", "sys.exit(telem_pyb_log.cli.main([{db!r}, 'plot', 'engine.rpm', '-o', 'x.png']))",
         "plot needs matplotlib: pip install 'telem_pyb[plot]'"),
    ],
)
def test_without_the_optional_extra_the_error_names_it(demo_db, blocked, code, message):
    script = f"import sys; sys.modules[{blocked!r}] = None\nimport telem_pyb_log, telem_pyb_log.cli\n" \
             + code.format(db=str(demo_db))
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, env=CLI_ENV)
    assert proc.returncode != 0 and message in proc.stderr


def documented_queries(dialect):
    """The SQL blocks of the reading page's section on the stored series by time, for one store."""
    text = READING.read_text()
    section = text[text.index("## SQL: the stored series by time"):]
    section = section[:section.index("\n## ", 4)]
    return re.findall(rf"```sql\n-- {dialect}\n(.*?)```", section, re.S)


def test_the_documented_queries_use_the_index_of_series_and_time(store):
    with store.recorder(batch_size=10_000) as rec:
        for i in range(20):
            record(rec, [(f"2026-12-08T12:{m:02d}:{s:02d}Z", m * s) for m in range(60) for s in range(0, 60, 6)],
                   dict(SERIES, tsname="engine.rpm" if i == 0 else f"s{i}"))
    queries = documented_queries(store.kind)
    assert len(queries) == 2
    for query in queries:
        if store.kind == "sqlite":
            query = query.replace("log_points", store.table)
            plan = " ".join(row[-1] for row in store.sql("EXPLAIN QUERY PLAN " + query))
            assert "USING INDEX log_points_rows_series_time (series=? AND time>? AND time<?)" in plan, plan
            assert store.sql(query)
        else:
            query = query.replace("log_points", store.table)
            store.sql(f"ANALYZE {store.table}_rows")
            plan = " ".join(row[0] for row in store.sql("EXPLAIN " + query))
            assert f"{store.table}_series_time" in plan and f"Seq Scan on {store.table}_rows" not in plan, plan
            assert store.sql(query)


def test_a_long_export_shows_progress_on_a_terminal_and_not_elsewhere(tmp_path):
    path = tmp_path / "long.db"
    with SqliteRecorder(path, batch_size=10_000) as rec:
        record(rec, [(NOON, i) for i in range(25_000)])
    primary, secondary = os.openpty()
    try:
        proc = subprocess.run([sys.executable, "-m", "telem_pyb_log", path, "export", "--format", "csv"],
                              stdout=subprocess.DEVNULL, stderr=secondary, timeout=120, env=CLI_ENV)
        os.close(secondary)
        shown = b""
        with contextlib.suppress(OSError):  # the terminal's other end is gone once read
            while chunk := os.read(primary, 4096):
                shown += chunk
    finally:
        os.close(primary)
    assert proc.returncode == 0
    assert b"\rexported 20000 rows" in shown and shown.endswith(b"\rexported 25000 rows\r\n")
    assert telem_log(path, "export", "--format", "csv").stderr == ""
