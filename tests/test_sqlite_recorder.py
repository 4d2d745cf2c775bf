"""The SQLite log recorder of telem_pyb_log, and through it the batching core both recorders share."""

import contextlib
import datetime
import gc
import os
import pathlib
import re
import sqlite3
import subprocess
import sys
import threading
import time

import pytest

from telem_pyb import TelemException, TsMetadata, TsPoint

from telem_pyb_log import SqliteRecorder
from telem_pyb_log.sqlite import DEFAULT_DB, read_rows

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
import log_demo  # noqa: E402

SERIES = {"tsid": "7", "tsname": "cabin.temperature", "btype": "float", "units": "degC", "origin": "test",
          "comment": "cabin sensor", "serial": "s-1", "role": "r", "json": "{}"}


@pytest.fixture
def db(tmp_path):
    return tmp_path / "telemetry.db"


def wait_for(condition, timeout=30):
    """Waits until `condition()` holds (the writer works on its own thread)."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "the condition did not come true"
        time.sleep(0.005)


def count_rows(path):
    with contextlib.closing(sqlite3.connect(path)) as conn:
        return conn.execute("SELECT COUNT(*) FROM log_points").fetchone()[0]


def values(path, tsname=None):
    return [row[2] for row in read_rows(path, tsname)]


def assert_recent_utc(text):
    stamp = datetime.datetime.fromisoformat(text)
    assert stamp.utcoffset() == datetime.timedelta(0), text
    age = datetime.datetime.now(datetime.UTC) - stamp
    assert datetime.timedelta(0) <= age < datetime.timedelta(minutes=1), text


@pytest.mark.parametrize(
    "value, text",
    [
        pytest.param(True, "true", id="True is stored as true"),
        pytest.param(False, "false", id="False is stored as false"),
        pytest.param(42, "42", id="an int is stored in decimal"),
        pytest.param(-(2**63), "-9223372036854775808", id="the smallest 64-bit int keeps every digit"),
        pytest.param(2.5, "2.5", id="a float is stored as its shortest text"),
        pytest.param(0.1, "0.1", id="0.1 is stored as 0.1"),
        pytest.param(1e300, "1e+300", id="a large float keeps its exponent"),
        pytest.param("warm", "warm", id="a text is stored unchanged"),
        pytest.param("température ✓", "température ✓", id="non-ASCII text round-trips"),
        pytest.param(b"raw", "raw", id="bytes are stored as their text"),
        pytest.param("", "", id="an empty text is stored empty"),
    ],
)
def test_record_value_stores_one_row_with_the_seven_fields(db, value, text):
    with SqliteRecorder(db) as rec:
        rec.record_metadata_kv(SERIES)
        rec.record_value(value)
    (row,) = read_rows(db)
    mtime, *rest = row
    assert rest == [SERIES["tsname"], text, SERIES["btype"], SERIES["units"], SERIES["comment"], SERIES["origin"]]
    assert_recent_utc(mtime)


def test_a_point_with_a_time_text_keeps_it(db):
    point = TsPoint()
    point.value, point.mtime = 3, "2026-01-02T03:04:05.000000+00:00"
    with SqliteRecorder(db) as rec:
        rec.record_metadata_kv(SERIES)
        rec.record_point(point)
    assert read_rows(db)[0][:3] == ("2026-01-02T03:04:05.000000+00:00", "cabin.temperature", "3")


def test_a_point_without_a_time_text_gets_the_stored_time_set_on_it(db):
    point = TsPoint()
    point.value = 1.5
    with SqliteRecorder(db) as rec:
        rec.record_metadata_kv(SERIES)
        rec.record_point(point)
    assert_recent_utc(point.mtime)
    assert read_rows(db)[0][0] == point.mtime


def test_every_point_through_record_value_is_stamped_when_it_arrives(db):
    with SqliteRecorder(db, batch_size=10) as rec:
        rec.record_metadata_kv(SERIES)
        for i in range(50):
            rec.record_value(i)
    times = [row[0] for row in read_rows(db)]
    for mtime in times:
        assert_recent_utc(mtime)
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}\+00:00", mtime), mtime
    assert times == sorted(times)


def test_the_metadata_last_given_applies_to_the_points_that_follow(db):
    with SqliteRecorder(db) as rec:
        rec.record_metadata_kv({"tsname": "a", "units": "m"})
        rec.record_value(1)
        meta = TsMetadata()
        meta.tsname, meta.units = "b", "s"
        rec.record_metadata(meta)
        rec.record_value(2)
    assert [(r[1], r[2], r[4]) for r in read_rows(db)] == [("a", "1", "m"), ("b", "2", "s")]


def test_the_recorder_keeps_its_own_copy_of_the_metadata(db):
    meta = TsMetadata()
    meta.tsname, meta.units = "kept", "V"
    with SqliteRecorder(db) as rec:
        rec.record_metadata(meta)
        meta.tsname, meta.units = "changed later", "A"
        rec.record_value(1)
        assert (rec.metadata.tsname, rec.metadata.units) == ("kept", "V")
    assert read_rows(db)[0][1:5] == ("kept", "1", "", "V")


def test_a_write_that_finds_the_database_locked_is_retried_and_no_call_raises(db, caplog):
    rec = SqliteRecorder(db, batch_size=1, timeout=0.05)
    rec.record_metadata_kv(SERIES)
    with contextlib.closing(sqlite3.connect(db, isolation_level=None)) as other:
        other.execute("BEGIN IMMEDIATE")
        for v in range(5):
            rec.record_value(v)
        wait_for(lambda: rec.stats.failed_writes >= 2)
        with pytest.raises(TelemException, match=r"5 rows are not written after 0.2 s; the last error: .*database is locked"):
            rec.flush(timeout=0.2)
        other.execute("ROLLBACK")
    rec.record_value(5)
    rec.close()
    assert values(db) == [str(v) for v in range(6)]
    stats = rec.stats
    assert (stats.recorded, stats.written, stats.pending) == (6, 6, 0)
    assert "database is locked" in stats.last_error
    failing, recovered = [r.getMessage() for r in caplog.records if r.name == "telem_pyb_log"]
    assert f"writes to {db} are failing" in failing and "database is locked" in failing
    assert f"writes to {db} succeed again" in recovered


def test_reopening_a_database_appends(db):
    with SqliteRecorder(db) as rec:
        rec.record_metadata_kv(SERIES)
        for v in (1, 2, 3):
            rec.record_value(v)
    with SqliteRecorder(db) as rec:
        rec.record_metadata_kv(SERIES)
        for v in (4, 5):
            rec.record_value(v)
    assert values(db) == ["1", "2", "3", "4", "5"]


def test_rows_are_written_in_batches_and_close_writes_the_rest(db):
    rec = SqliteRecorder(db, batch_size=4, max_delay=3600)
    rec.record_metadata_kv(SERIES)
    for v in range(10):
        rec.record_value(v)
    wait_for(lambda: rec.stats.written == 8)
    assert count_rows(db) == 8 and rec.stats.pending == 2
    rec.close()
    assert values(db) == [str(v) for v in range(10)]


def test_flush_writes_the_rows_recorded_so_far(db):
    with SqliteRecorder(db, batch_size=1000, max_delay=3600) as rec:
        rec.record_metadata_kv(SERIES)
        rec.record_value(1)
        rec.flush()
        assert count_rows(db) == 1


def test_rows_are_written_once_they_waited_max_delay_without_further_points(db):
    with SqliteRecorder(db, batch_size=1000, max_delay=0.2) as rec:
        rec.record_metadata_kv(SERIES)
        rec.record_value(1)
        rec.record_value(2)
        wait_for(lambda: count_rows(db) == 2, timeout=5)
        assert rec.stats.written == 2


def test_the_database_is_in_wal_mode(db):
    with SqliteRecorder(db):
        pass
    with contextlib.closing(sqlite3.connect(db)) as conn:
        assert conn.execute("PRAGMA journal_mode").fetchone()[0] == "wal"


def test_close_twice_is_harmless_and_closed_tells(db):
    rec = SqliteRecorder(db)
    assert not rec.closed
    rec.close()
    rec.close()
    assert rec.closed


def _point(value, mtime=""):
    point = TsPoint()
    point.value, point.mtime = value, mtime
    return point


def _metadata(tsname):
    meta = TsMetadata()
    meta.tsname = tsname
    return meta


@pytest.mark.parametrize(
    "prepare, refused, error, message",
    [
        pytest.param(None, lambda r: r.record_value(1), TelemException, "before any metadata",
                     id="a value before any metadata is refused"),
        pytest.param(None, lambda r: r.record_point(_point(1)), TelemException, "before any metadata",
                     id="a point before any metadata is refused"),
        pytest.param("meta", lambda r: r.record_metadata_kv({"units": "m"}), TelemException, "without a tsname",
                     id="metadata without a tsname is refused"),
        pytest.param("meta", lambda r: r.record_value(b"\xff"), TelemException,
                     "the point's value: the text is not valid UTF-8; the point is refused",
                     id="a value that is not UTF-8 is refused"),
        pytest.param("meta", lambda r: r.record_point(_point(1, b"\xfe")), TelemException,
                     "the point's mtime: the text is not valid UTF-8; the point is refused",
                     id="a time text that is not UTF-8 is refused"),
        pytest.param("meta", lambda r: r.record_metadata_kv({"tsname": "x", "units": b"\xc3("}), TelemException,
                     "the metadata's units: the text is not valid UTF-8; the metadata is refused",
                     id="metadata whose texts are not UTF-8 is refused"),
        pytest.param("meta", lambda r: r.record_value([1]), TypeError, "incompatible function arguments",
                     id="a value of no sample type is refused"),
        pytest.param("closed", lambda r: r.record_value(1), TelemException, "is closed",
                     id="a value after close is refused"),
        pytest.param("closed", lambda r: r.record_point(_point(1)), TelemException, "is closed",
                     id="a point after close is refused"),
        pytest.param("closed", lambda r: r.record_metadata(_metadata("x")), TelemException, "is closed",
                     id="metadata after close is refused"),
        pytest.param("closed", lambda r: r.record_metadata_kv({"tsname": "x"}), TelemException, "is closed",
                     id="metadata_kv after close is refused"),
        pytest.param("closed", lambda r: r.flush(), TelemException, "is closed",
                     id="flush after close is refused"),
    ],
)
def test_refused_records_raise_and_store_nothing(db, prepare, refused, error, message):
    rec = SqliteRecorder(db, batch_size=1)
    if prepare in ("meta", "closed"):
        rec.record_metadata_kv(SERIES)
    if prepare == "closed":
        rec.close()
    with pytest.raises(error, match=message):
        refused(rec)
    rec.close()
    assert count_rows(db) == 0


def test_a_refused_metadata_leaves_the_previous_one_in_place(db):
    with SqliteRecorder(db) as rec:
        rec.record_metadata_kv(SERIES)
        with pytest.raises(TelemException):
            rec.record_metadata(_metadata(""))
        rec.record_value(1)
    assert read_rows(db)[0][1] == SERIES["tsname"]


def test_a_refused_point_does_not_disturb_the_rows_around_it(db):
    with SqliteRecorder(db, batch_size=2) as rec:
        rec.record_metadata_kv(SERIES)
        rec.record_value(1)
        with pytest.raises(TelemException, match="not valid UTF-8"):
            rec.record_value(b"\xff")
        rec.record_value(2)
        rec.record_value(3)
    assert values(db) == ["1", "2", "3"]


def test_100000_values_store_exactly_100000_rows(db):
    n = 100_000
    with SqliteRecorder(db) as rec:
        rec.record_metadata_kv(SERIES)
        for i in range(n):
            rec.record_value(i)
    assert count_rows(db) == n
    assert values(db) == [str(i) for i in range(n)]


def test_interleaved_recorders_share_one_file(db):
    with SqliteRecorder(db, batch_size=3) as a, SqliteRecorder(db, batch_size=5) as b:
        a.record_metadata_kv({"tsname": "a"})
        b.record_metadata_kv({"tsname": "b"})
        for i in range(40):
            a.record_value(i)
            b.record_value(-i)
    assert values(db, "a") == [str(i) for i in range(40)]
    assert values(db, "b") == [str(-i) for i in range(40)]


def test_recorders_on_python_threads_share_one_file(db):
    threads, points = 4, 3000

    def work(t):
        with SqliteRecorder(db, batch_size=50) as rec:
            rec.record_metadata_kv({"tsname": f"thread.{t}"})
            for i in range(points):
                rec.record_value(i)

    pool = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for th in pool:
        th.start()
    for th in pool:
        th.join()
    for t in range(threads):
        assert values(db, f"thread.{t}") == [str(i) for i in range(points)]


@pytest.mark.parametrize("ops", ["v", "p", "vp"], ids=["record_value", "record_point", "both mixed"])
def test_native_threads_record_into_one_recorder(db, ops):
    telem_peer = pytest.importorskip("telem_peer", reason="the test peer module is built by `make native`")
    threads, calls = 4, 2500
    with SqliteRecorder(db, batch_size=100) as rec:
        rec.record_metadata_kv(SERIES)
        outcome = telem_peer.run_threads(rec, threads, calls, ops)
    assert outcome == [{"ok": calls, "errors": {}}] * threads
    assert sorted(int(v) for v in values(db)) == list(range(threads * calls))


def test_a_native_thread_sees_the_refusal_of_a_closed_recorder(db):
    telem_peer = pytest.importorskip("telem_peer", reason="the test peer module is built by `make native`")
    rec = SqliteRecorder(db)
    rec.record_metadata_kv(SERIES)
    rec.close()
    (outcome,) = telem_peer.run_threads(rec, 1, 3, "v")
    ((kind, type_name, message), count), = outcome["errors"].items()
    assert (outcome["ok"], kind, type_name, count) == (0, "std", "TelemException", 3)
    assert "is closed" in message
    assert rec.stats.refused == 3


def test_a_recorder_that_is_collected_unclosed_writes_its_rows(db):
    rec = SqliteRecorder(db, batch_size=1000, max_delay=3600)
    rec.record_metadata_kv(SERIES)
    rec.record_value(1)
    del rec
    gc.collect()
    assert values(db) == ["1"]


def test_a_recorder_open_at_interpreter_exit_writes_its_rows(db):
    code = (
        "from telem_pyb_log import SqliteRecorder\n"
        f"rec = SqliteRecorder({str(db)!r}, batch_size=1000, max_delay=3600)\n"
        "rec.record_metadata_kv({'tsname': 'exit'})\n"
        "for i in range(3): rec.record_value(i)\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert values(db) == ["0", "1", "2"]


def test_the_demo_records_ten_minutes_and_a_rerun_after_them(tmp_path, capsys):
    path = tmp_path / "demo.db"
    started = datetime.datetime.now(datetime.UTC)
    log_demo.main(["--db", str(path)])
    log_demo.main(["--db", str(path)])
    out = capsys.readouterr().out
    by_series = {}
    for row in read_rows(path):
        by_series.setdefault(row[1], []).append(row)
    assert {name: (len(rows), rows[0][3]) for name, rows in by_series.items()} == {
        "cabin.door_open": (242, "bool"), "engine.rpm": (242, "int"), "cabin.temperature": (242, "float"),
        "cabin.status": (10, "string")}
    assert [row[2] for row in by_series["cabin.status"][:5]] == ["boarding", "taxi", "cruise", "landing", "parked"]
    assert {row[2] for row in by_series["cabin.door_open"]} == {"true", "false"}
    times = [datetime.datetime.fromisoformat(row[0]) for row in by_series["engine.rpm"]]
    first, second = times[:121], times[121:]
    # A point every five seconds over ten minutes that end as the first run
    # records them; the rerun two minutes after it, not over it.
    assert all(b - a == datetime.timedelta(seconds=5) for run in (first, second) for a, b in zip(run, run[1:]))
    assert first[-1] - first[0] == datetime.timedelta(minutes=10)
    assert started - datetime.timedelta(seconds=1) <= first[-1] <= datetime.datetime.now(datetime.UTC)
    assert second[0] - first[-1] == datetime.timedelta(minutes=2)
    for tsname, rows in by_series.items():
        assert f"{tsname} (" in out and f"{len(rows)} rows" in out


def test_the_demo_writes_to_the_working_directory_by_default(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    log_demo.main([])
    assert count_rows(tmp_path / DEFAULT_DB) == 368
    assert f"{DEFAULT_DB} (log_points): 368 rows" in capsys.readouterr().out


def _replace_with_another_database(path):
    other = path.with_name("other.db")
    with contextlib.closing(sqlite3.connect(other)) as conn:
        conn.execute("CREATE TABLE notes (text TEXT)")
        conn.execute("INSERT INTO notes VALUES ('kept')")
        conn.commit()
    os.replace(other, path)


@pytest.mark.parametrize(
    "remove",
    [
        pytest.param(lambda db: [pathlib.Path(f"{db}{s}").unlink(missing_ok=True) for s in ("", "-wal", "-shm")],
                     id="the file and its WAL deleted"),
        pytest.param(lambda db: db.unlink(), id="the file alone deleted"),
        pytest.param(_replace_with_another_database, id="the file replaced by another database"),
    ],
)
def test_a_file_deleted_or_replaced_while_recording_is_noticed_and_the_next_rows_go_to_the_path(db, caplog, remove):
    rec = SqliteRecorder(db, batch_size=10)
    rec.record_metadata_kv(SERIES)
    for i in range(10):
        rec.record_value(i)
    rec.flush()
    remove(db)
    for i in range(10, 30):
        rec.record_value(i)
    rec.close()
    assert values(db) == [str(i) for i in range(10, 30)]
    (error,) = [r for r in caplog.records if r.name == "telem_pyb_log"]
    assert f"{db} was deleted or replaced by another file while recording; the 10 rows this recorder had written" in (
        error.getMessage())
    # The rows that went with the file are counted lost, not written.
    assert error.levelname == "ERROR"
    assert (rec.stats.written, rec.stats.lost, rec.stats.pending) == (20, 10, 0)


def test_an_existing_table_of_other_columns_is_refused_at_construction(db):
    with contextlib.closing(sqlite3.connect(db)) as conn:
        conn.execute("CREATE TABLE log_points (id INTEGER PRIMARY KEY, mtime TEXT, value REAL, extra TEXT NOT NULL)")
    with pytest.raises(TelemException, match=rf"the table log_points in {re.escape(str(db))} exists with other columns "
                                             r"\(value is real, not text; extra needs a value .*; there is no column "
                                             r"tsname.*\); it cannot hold log records"):
        SqliteRecorder(db)
