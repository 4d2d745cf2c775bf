"""Sinks: many series through one delivery path per destination."""

import contextlib
import gc
import os
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading

import pytest

from telem_pyb import TelemException, TsMetadata, TsPoint

from telem_pyb_log import LogSink, SeriesStats, SqliteRecorder, SqliteSink

from pg_cluster import Cluster


def threads_and_fds():
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


def stored(path, sql="SELECT tsname, value, units FROM log_points ORDER BY id"):
    with contextlib.closing(sqlite3.connect(path)) as conn:
        return conn.execute(sql).fetchall()


@pytest.fixture
def db(tmp_path):
    return tmp_path / "telemetry.db"


def meta(**fields):
    m = TsMetadata()
    for name, text in fields.items():
        setattr(m, name, text)
    return m


def test_two_thousand_series_from_two_threads_share_one_writer_and_connection(db):
    series, points = 2000, 5
    before = threads_and_fds()
    with SqliteSink(db, batch_size=5000) as sink:
        recs = [sink.recorder(tsname=f"s{i}", units=f"u{i % 7}") for i in range(series)]
        threads, fds = threads_and_fds()
        assert threads - before[0] <= 2 and fds - before[1] <= 8, (before, threads, fds)

        def record(share):
            for p in range(points):
                for rec in share:
                    rec.record_value(p)

        workers = [threading.Thread(target=record, args=(recs[t::2],)) for t in range(2)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        sink.flush()
        assert threads_and_fds() == (threads, fds)
        assert sink.stats.written == series * points
        assert {r.stats for r in recs} == {SeriesStats(recorded=points, dropped=0, refused=0, untimed=0)}
    rows = stored(db)
    assert sorted(rows) == sorted((f"s{i}", str(p), f"u{i % 7}") for i in range(series) for p in range(points))
    assert stored(db, "SELECT count(*) FROM log_points_series") == [(series,)]


@pytest.mark.parametrize("name", ["bogus", "TSNAME", "mtime"])
def test_an_unknown_metadata_name_is_a_type_error_naming_it(db, name):
    with SqliteSink(db) as sink:
        with pytest.raises(TypeError, match=f"'{name}'"):
            sink.recorder(tsname="a", **{name: "x"})
        rec = sink.recorder()
        rec.record_metadata_kv({"tsname": "a", name: "x"})  # ignores unknown keys, as everywhere
        rec.record_value(1)
    assert stored(db) == [("a", "1", "")]


def test_each_row_belongs_to_the_series_described_when_it_was_recorded(db):
    with SqliteSink(db, batch_size=3, max_delay=3600) as sink:
        rec = sink.recorder(tsname="pump", units="bar")
        other = sink.recorder(tsname="fan", units="rpm")
        rec.record_value(1)
        other.record_value(10)
        rec.record_metadata(meta(tsname="pump", units="kPa"))
        rec.record_value(2)
        point = TsPoint()
        point.mtime, point.value = "2026-01-01T00:00:00Z", 3
        rec.record_point(point)
        assert rec.metadata.units == "kPa" and other.metadata.units == "rpm"
    assert stored(db) == [("pump", "1", "bar"), ("fan", "10", "rpm"), ("pump", "2", "kPa"), ("pump", "3", "kPa")]
    assert sorted(stored(db, "SELECT tsname, units FROM log_points_series")) == [
        ("fan", "rpm"), ("pump", "bar"), ("pump", "kPa")]


def test_a_series_is_written_once_per_connection_and_again_when_described_anew(db):
    with SqliteSink(db, batch_size=1000) as sink:
        rec = sink.recorder(tsname="pump", units="bar")
        rec.record_value(0)
        sink.flush()
        with contextlib.closing(sqlite3.connect(db)) as conn:
            conn.executescript("""
                CREATE TABLE series_writes (n INTEGER);
                CREATE TRIGGER noted_insert AFTER INSERT ON log_points_series BEGIN
                    INSERT INTO series_writes VALUES (1); END;
                CREATE TRIGGER noted_update AFTER UPDATE ON log_points_series BEGIN
                    INSERT INTO series_writes VALUES (1); END;""")
        for batch in range(5):
            rec.record_value(batch)
            sink.flush()
        assert stored(db, "SELECT count(*) FROM series_writes") == [(0,)]
        rec.record_metadata(meta(tsname="pump", units="kPa"))
        rec.record_value(1)
        rec.record_metadata(meta(tsname="pump", units="bar"))  # described anew: written again
        rec.record_value(2)
        sink.flush()
        rec.record_value(3)
        sink.flush()
    assert stored(db, "SELECT count(*) FROM series_writes") == [(2,)]
    assert stored(db, "SELECT count(*) FROM log_points") == [(9,)]


def test_closing_a_recorder_ends_its_series_only_and_closing_the_sink_ends_all(db):
    sink = SqliteSink(db, max_delay=3600)
    ended, going = sink.recorder(tsname="ended"), sink.recorder(tsname="going")
    ended.record_value(1)
    ended.close()
    assert ended.closed and not going.closed
    with pytest.raises(TelemException, match="this recorder of .* is closed"):
        ended.record_value(2)
    going.record_value(3)
    sink.flush()  # the closed series' queued row is still delivered
    assert stored(db) == [("ended", "1", ""), ("going", "3", "")]
    assert ended.stats == SeriesStats(recorded=1, dropped=0, refused=1, untimed=0)
    sink.close()
    assert going.closed and sink.closed
    with pytest.raises(TelemException, match="is closed"):
        going.record_value(4)
    fresh_after_close = sink.recorder()
    with pytest.raises(TelemException, match="is closed"):
        fresh_after_close.record_metadata(meta(tsname="late"))
    assert sink.stats.refused == 3 and going.stats.refused == 1


def test_a_recorder_keeps_its_sink_open_and_the_last_one_collected_closes_it(db):
    sink = SqliteSink(db, max_delay=3600)
    rec = sink.recorder(tsname="kept")
    del sink
    gc.collect()
    rec.record_value(1)  # the sink lives while a recorder of it does
    assert stored(db) == []
    del rec
    gc.collect()
    assert stored(db) == [("kept", "1", "")]


def test_a_python_store_sink_and_the_one_series_shorthand_count_alike(tmp_path):
    written = []

    class ListStore:
        where = "a list"

        def connect(self):
            pass

        def create(self):
            pass

        def write(self, rows, first_seq):
            written.extend(rows)

        def close(self):
            pass

    with LogSink(ListStore()) as sink:
        for i in range(3):
            sink.recorder(tsname=f"s{i}", btype="int").record_value(i)
    assert sorted((r[1], r[2]) for r in written) == [("s0", "0"), ("s1", "1"), ("s2", "2")]
    with SqliteRecorder(tmp_path / "one.db") as rec:  # a sink of its own
        rec.record_metadata_kv({"tsname": "one"})
        rec.record_value(1)
        rec.flush()
        assert rec.stats.written == 1


def test_after_fork_the_childs_sink_is_its_own(db):
    script = textwrap.dedent(f"""
        import os
        from telem_pyb_log import SqliteSink
        sink = SqliteSink({str(db)!r}, max_delay=3600)
        rec = sink.recorder(tsname="series")
        rec.record_value("before")
        pid = os.fork()
        if pid == 0:
            rec.record_value("child")
            sink.close()
            os._exit(0 if sink.stats.written == 1 else 3)
        assert os.waitpid(pid, 0)[1] == 0
        rec.record_value("parent")
        sink.close()
        print(sink.stats.written)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.split() == ["2"], done.stderr
    assert sorted(stored(db)) == [("series", "before", ""), ("series", "child", ""), ("series", "parent", "")]


def test_a_spooled_sink_of_a_thousand_series_killed_is_recovered_by_a_new_process(db, tmp_path):
    series, points = 1000, 3
    spool = tmp_path / "spool"
    with SqliteRecorder(db) as made:  # the file and its tables, in WAL mode
        made.record_metadata_kv({"tsname": "made"})
    recording = textwrap.dedent(f"""
        import sys, time
        from telem_pyb_log import SqliteSink
        sink = SqliteSink({str(db)!r}, timeout=0.05, spool={str(spool)!r}, log_interval=3600)
        print("open", flush=True)
        sys.stdin.readline()
        recs = [sink.recorder(tsname=f"s{{i}}", units=f"u{{i}}") for i in range({series})]
        for p in range({points}):
            for rec in recs:
                rec.record_value(p)
        while sink.stats.spool_rows < {series * points}:
            time.sleep(0.01)
        print("spooled", flush=True)
        time.sleep(600)
    """)
    with (subprocess.Popen([sys.executable, "-c", recording], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           text=True) as proc,
          contextlib.closing(sqlite3.connect(db, isolation_level=None)) as lock):
        try:
            assert proc.stdout.readline() == "open\n"
            lock.execute("BEGIN EXCLUSIVE")  # no write gets through until the recorder is killed
            proc.stdin.write("go\n")
            proc.stdin.flush()
            assert proc.stdout.readline() == "spooled\n"
        finally:
            proc.send_signal(signal.SIGKILL)
            proc.wait()
        lock.execute("ROLLBACK")
    recovering = textwrap.dedent(f"""
        from telem_pyb_log import SqliteSink
        with SqliteSink({str(db)!r}, spool={str(spool)!r}) as sink:
            pass
        s = sink.stats
        print(s.recovered, s.written, s.pending, s.abandoned, s.lost)
    """)
    done = subprocess.run([sys.executable, "-c", recovering], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [str(series * points), str(series * points), "0", "0", "0"]
    rows = stored(db, "SELECT tsname, value, units FROM log_points WHERE tsname != 'made'")
    assert sorted(rows) == sorted((f"s{i}", str(p), f"u{i}") for i in range(series) for p in range(points))


def test_native_threads_record_many_series_of_one_sink(db):
    telem_peer = pytest.importorskip("telem_peer", reason="the test peer module is built by `make native`")
    series, threads, calls = 400, 4, 25
    with SqliteSink(db) as sink:
        recs = [sink.recorder(tsname=f"s{i}") for i in range(series)]
        outcome = telem_peer.run_series_threads(recs, threads, calls, "vp")
    assert outcome == [{"ok": series // threads * calls, "errors": {}}] * threads
    assert sorted(stored(db, "SELECT tsname, value FROM log_points")) == sorted(
        (f"s{i}", str(j)) for i in range(series) for j in range(calls))


def test_five_hundred_series_into_a_server_of_ten_connections():
    pytest.importorskip("psycopg", reason="PostgresSink needs psycopg 3")
    import psycopg

    from telem_pyb_log import PostgresSink

    cluster = Cluster()
    try:
        cluster.start("max_connections=10")
        with PostgresSink(cluster.conninfo, batch_size=2000) as sink:
            recs = [sink.recorder(tsname=f"s{i}", units="V") for i in range(500)]
            for p in range(4):
                for rec in recs:
                    rec.record_value(p)
            sink.flush()
            with psycopg.connect(cluster.conninfo) as conn:
                (sessions,) = conn.execute(
                    "SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend' "
                    "AND pid != pg_backend_pid()").fetchone()
        assert sessions == 1
        with psycopg.connect(cluster.conninfo) as conn:
            rows = conn.execute("SELECT tsname, value FROM log_points").fetchall()
            (described,) = conn.execute("SELECT count(*) FROM log_points_series").fetchone()
        assert sorted(rows) == sorted((f"s{i}", str(p)) for i in range(500) for p in range(4))
        assert described == 500
    finally:
        cluster.remove()


def test_a_sink_left_open_delivers_at_exit(db):
    script = textwrap.dedent(f"""
        from telem_pyb_log import SqliteSink
        sink = SqliteSink({str(db)!r}, max_delay=3600)
        recs = [sink.recorder(tsname=f"s{{i}}") for i in range(50)]
        for rec in recs:
            rec.record_value(1)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert sorted(stored(db)) == sorted((f"s{i}", "1", "") for i in range(50))


def test_a_forked_child_ended_with_sigterm_delivers_its_sinks_rows(db):
    script = textwrap.dedent(f"""
        import os, sys, time
        from telem_pyb_log import SqliteSink
        sink = SqliteSink({str(db)!r}, max_delay=3600)
        recs = [sink.recorder(tsname=f"s{{i}}") for i in range(50)]
        pid = os.fork()
        if pid == 0:
            for rec in recs:
                rec.record_value(1)
            print("recorded", os.getpid(), flush=True)
            time.sleep(60)
            os._exit(5)
        print("status", os.waitpid(pid, 0)[1], flush=True)
    """)
    with subprocess.Popen([sys.executable, "-W", "ignore", "-c", script], stdout=subprocess.PIPE, text=True) as proc:
        word, child = proc.stdout.readline().split()
        assert word == "recorded"
        os.kill(int(child), signal.SIGTERM)
        assert proc.stdout.readline().split() == ["status", str((128 + signal.SIGTERM) << 8)]
        assert proc.wait(timeout=60) == 0
    assert sorted(stored(db)) == sorted((f"s{i}", "1", "") for i in range(50))


def test_several_sinks_and_a_recorder_share_one_file(db):
    sinks = [SqliteSink(db, batch_size=7) for _ in range(2)]
    with SqliteRecorder(db, batch_size=7) as alone:
        alone.record_metadata_kv({"tsname": "alone"})
        recs = [sink.recorder(tsname=f"sink{k}.{i}") for k, sink in enumerate(sinks) for i in range(3)]
        for p in range(20):
            alone.record_value(p)
            for rec in recs:
                rec.record_value(p)
        for sink in sinks:
            sink.close()
    names = ["alone"] + [f"sink{k}.{i}" for k in range(2) for i in range(3)]
    assert sorted(stored(db, "SELECT tsname, value FROM log_points")) == sorted(
        (name, str(p)) for name in names for p in range(20))
