"""Delivery by the recorders' writer threads: the bounded queue, failures
logged and counted instead of raised, flush and close with time limits,
the Store protocol, and what happens at exit, on SIGTERM, across fork() and
while a real server stalls or is down."""

import contextlib
import json
import logging
import os
import pathlib
import resource
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time

import psycopg
import pytest

import telem_pyb
from telem_pyb import TelemException
from telem_pyb_log import LogRecorder, PostgresRecorder, RowRefused, SqliteRecorder
from telem_pyb_log.postgres import read_rows as pg_rows
from telem_pyb_log.sqlite import read_rows as sqlite_rows
from helpers import SANITIZED

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
from jsonl_store import JsonLinesStore  # noqa: E402

SERIES = {"tsname": "pump.pressure", "units": "bar"}


def wait_for(condition, timeout=60):
    """Waits until `condition()` holds (the writer works on its own thread)."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "the condition did not come true"
        time.sleep(0.005)


@pytest.fixture
def db(tmp_path):
    return tmp_path / "telemetry.db"


@contextlib.contextmanager
def locked(path):
    """Another connection holds the database's write lock."""
    with contextlib.closing(sqlite3.connect(path, isolation_level=None)) as other:
        other.execute("BEGIN IMMEDIATE")
        yield
        other.execute("ROLLBACK")


def run_script(code, timeout=120, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, **kwargs)


# Parameters ------------------------------------------------------------------


@pytest.mark.parametrize(
    "options, name",
    [
        pytest.param({"batch_size": 0}, "batch_size", id="a batch of no rows"),
        pytest.param({"batch_size": 2.5}, "batch_size", id="a batch size that is not an int"),
        pytest.param({"batch_size": True}, "batch_size", id="a batch size that is a bool"),
        pytest.param({"max_pending": -1}, "max_pending", id="a negative queue bound"),
        pytest.param({"max_delay": 0}, "max_delay", id="no delay"),
        pytest.param({"max_delay": float("inf")}, "max_delay", id="an infinite delay"),
        pytest.param({"max_delay": float("nan")}, "max_delay", id="a delay that is nan"),
        pytest.param({"block_timeout": -1.0}, "block_timeout", id="a negative block timeout"),
        pytest.param({"exit_timeout": "5"}, "exit_timeout", id="an exit timeout that is a str"),
        pytest.param({"log_interval": 0.0}, "log_interval", id="no log interval"),
        pytest.param({"on_full": "wait"}, "on_full", id="an unknown overflow policy"),
        pytest.param({"timeout": 0}, "timeout", id="no SQLite lock timeout"),
    ],
)
def test_a_bad_parameter_is_refused_at_construction_naming_it(db, options, name):
    with pytest.raises(ValueError, match=rf"^{name} must be"):
        SqliteRecorder(db, **options)
    assert not db.exists()  # refused before anything was opened


@pytest.mark.parametrize("timeout", [-1, float("nan"), float("inf")])
def test_a_bad_timeout_of_flush_or_close_is_refused(db, timeout):
    with SqliteRecorder(db) as rec:
        for call in (rec.flush, rec.close):
            with pytest.raises(ValueError, match="timeout must be None or a finite number"):
                call(timeout)
        assert not rec.closed


@pytest.mark.parametrize("operation", ["record_point", "record_value", "record_metadata", "record_metadata_kv",
                                       "close"])
def test_a_subclass_that_defines_a_recorder_operation_is_refused(operation):
    with pytest.raises(TypeError, match=rf"Mine defines {operation}: log recorders record in native code"):
        type("Mine", (SqliteRecorder,), {operation: lambda self, *args: None})


def test_a_log_recorder_is_a_telem_recorder_that_native_code_receives(db):
    telem_peer = pytest.importorskip("telem_peer", reason="the test peer module is built by `make native`")
    with SqliteRecorder(db) as rec:
        assert isinstance(rec, telem_pyb.TelemRecorder)
        rec.record_metadata_kv(SERIES)
        telem_peer.repeat_calls(rec, "vpt", 30)  # RecordValue and RecordPoint from native code
    # In the order recorded: the 'p' points carry an mtime that is not a time, which reads sort last.
    with contextlib.closing(sqlite3.connect(db)) as conn:
        assert [v for (v,) in conn.execute("SELECT value FROM log_points ORDER BY id")] == [str(i) for i in range(30)]


# The queue -------------------------------------------------------------------


def test_a_full_queue_drops_the_newest_points_counts_them_and_warns_once_per_interval(db, caplog):
    rec = SqliteRecorder(db, batch_size=10, max_pending=100, timeout=0.05, log_interval=3600)
    rec.record_metadata_kv(SERIES)
    with locked(db):
        for i in range(1000):
            rec.record_value(i)  # never raises, never waits
        stats = rec.stats
        assert stats.recorded + stats.dropped == 1000
        assert 0 < stats.recorded <= 100
        wait_for(lambda: any("points dropped" in r.getMessage() for r in caplog.records))
    rec.close()
    kept = rec.stats.recorded
    assert [int(row[2]) for row in sqlite_rows(db)] == list(range(kept))  # the first points are kept, in order
    # One warning in the interval; the drops it could not count yet are said at close.
    warnings = [r for r in caplog.records if "points dropped" in r.getMessage()]
    assert 1 <= len(warnings) <= 2
    assert all(w.levelno == logging.WARNING for w in warnings)
    assert f"the queue of {db} is full (100 rows)" in warnings[0].getMessage()
    assert warnings[-1].getMessage().endswith(f", {rec.stats.dropped} in all")


def test_a_full_queue_with_on_full_block_waits_for_room_up_to_block_timeout(db):
    rec = SqliteRecorder(db, batch_size=10, max_pending=10, timeout=0.05, on_full="block", block_timeout=0.3)
    rec.record_metadata_kv(SERIES)
    with locked(db):
        for i in range(10):
            rec.record_value(i)
        wait_for(lambda: rec.stats.failed_writes > 0)
        started = time.monotonic()
        rec.record_value(10)  # no room: waits, then drops
        assert time.monotonic() - started >= 0.3
        assert rec.stats.dropped == 1
    rec.record_value(11)
    rec.close()
    assert [row[2] for row in sqlite_rows(db)] == [str(i) for i in range(10)] + ["11"]
    assert (rec.stats.recorded, rec.stats.dropped) == (11, 1)


def test_a_blocked_call_goes_on_when_the_writer_makes_room(db):
    rec = SqliteRecorder(db, batch_size=5, max_pending=5, timeout=0.05, on_full="block", block_timeout=30)
    rec.record_metadata_kv(SERIES)
    other = sqlite3.connect(db, isolation_level=None, check_same_thread=False)
    other.execute("BEGIN IMMEDIATE")
    for i in range(5):
        rec.record_value(i)
    threading.Timer(0.3, lambda: other.execute("ROLLBACK")).start()
    rec.record_value(5)  # waits for the writer, which can write once the lock is gone
    rec.close()
    other.close()
    assert [row[2] for row in sqlite_rows(db)] == [str(i) for i in range(6)]
    assert rec.stats.dropped == 0


# flush and close -------------------------------------------------------------


def test_close_with_a_timeout_gives_up_the_rows_it_could_not_write_and_says_so(db):
    rec = SqliteRecorder(db, timeout=0.05)
    rec.record_metadata_kv(SERIES)
    with locked(db):
        for i in range(7):
            rec.record_value(i)
        with pytest.raises(TelemException,
                           match=r"7 rows were not written when closing took 0.3 s and are lost; the last error: "
                                 r".*database is locked"):
            rec.close(timeout=0.3)
        assert rec.closed
        rec.close()  # closing twice does nothing
    stats = rec.stats
    assert (stats.recorded, stats.written, stats.pending, stats.abandoned) == (7, 0, 0, 7)
    assert sqlite_rows(db) == []
    with pytest.raises(TelemException, match="is closed"):
        rec.record_value(8)


def test_flush_and_close_from_several_threads_at_once(db):
    rec = SqliteRecorder(db, batch_size=50)
    rec.record_metadata_kv(SERIES)
    errors = []

    def work(t):
        try:
            for i in range(500):
                rec.record_value(t * 1000 + i)
                if i % 100 == 0:
                    rec.flush()
        except TelemException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    closers = [threading.Thread(target=rec.close) for _ in range(3)]
    for th in closers:
        th.start()
    for th in closers:
        th.join()
    assert errors == []
    assert sorted(int(row[2]) for row in sqlite_rows(db)) == sorted(t * 1000 + i for t in range(4) for i in range(500))


# Stores written in Python ----------------------------------------------------


class FlakyStore(JsonLinesStore):
    """Fails its first `failures` writes, the first after writing (a commit in doubt)."""

    def __init__(self, path, failures):
        super().__init__(path)
        self.failures = failures
        self.calls = []

    def connect(self):
        self.calls.append("connect")
        super().connect()

    def write(self, rows, first_seq):
        self.calls.append(("write", len(rows), first_seq))
        if self.failures:
            self.failures -= 1
            if self.failures == 1:
                super().write(rows, first_seq)
            raise OSError("the disk is unplugged")
        super().write(rows, first_seq)


def test_a_python_store_gets_batches_and_its_failures_are_retried_not_raised(tmp_path, caplog):
    path = tmp_path / "points.jsonl"
    store = FlakyStore(path, failures=2)
    rec = LogRecorder(store, batch_size=4)
    rec.record_metadata_kv(SERIES)
    for i in range(10):
        rec.record_value(i)
    rec.close()
    lines = [json.loads(line) for line in path.read_text().splitlines()]
    assert [(line["seq"], line["value"]) for line in lines] == [(i + 1, str(i)) for i in range(10)]
    # The same batch again, as the recorder's rows from 1 on, after a new connection.
    first = store.calls[1]
    assert store.calls[:4] == ["connect", first, "connect", first] and first[2] == 1
    assert (rec.stats.failed_writes, rec.stats.written, rec.stats.last_error) == (2, 10, "OSError: the disk is unplugged")
    assert any("are failing: OSError: the disk is unplugged" in r.getMessage() for r in caplog.records)


def test_the_example_store_runs_as_a_script(tmp_path):
    path = tmp_path / "points.jsonl"
    out = subprocess.run([sys.executable, EXAMPLES / "jsonl_store.py", path], capture_output=True, text=True,
                         timeout=60, check=True).stdout
    assert [json.loads(line)["value"] for line in out.splitlines()] == ["1.25", "1.5", "1.75"]


# Exit, signals, fork ---------------------------------------------------------


def test_sigterm_with_the_documented_line_closes_the_recorders_and_loses_nothing(db):
    page = (pathlib.Path(__file__).resolve().parent.parent / "docs" / "delivery.md").read_text()
    line = next(text for text in page.splitlines() if text.startswith("signal.signal(signal.SIGTERM"))
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import signal, sys, time
        from telem_pyb_log import SqliteRecorder
        {line}
        rec = SqliteRecorder({str(db)!r}, batch_size=1000, max_delay=3600)
        rec.record_metadata_kv({{"tsname": "service"}})
        for i in range(500):
            rec.record_value(i)
        print("recorded", flush=True)
        time.sleep(60)
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "recorded\n"
    child.send_signal(signal.SIGTERM)
    _, err = child.communicate(timeout=60)
    assert child.returncode == 128 + signal.SIGTERM, err
    assert [row[2] for row in sqlite_rows(db)] == [str(i) for i in range(500)]


FORK_SCRIPT = """
    import os, sys, warnings
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with the writer thread running
    from telem_pyb_log import {cls}
    rec = {cls}({target!r}, batch_size=50)
    rec.record_metadata_kv({{"tsname": "fork"}})
    for i in range(100):
        rec.record_value(i)
    {quiesce}
    pid = os.fork()
    first = 1000 if pid == 0 else 2000
    for i in range(first, first + 500):
        rec.record_value(i)
    sys.stdout.write(f"{{'child' if pid == 0 else 'parent'}} {{rec.stats.recorded}}\\n")
    sys.stdout.flush()
    if pid:
        _, status = os.waitpid(pid, 0)
        rec.close()
        sys.exit(os.waitstatus_to_exitcode(status))
"""


@pytest.mark.parametrize("store", ["sqlite", "postgres"])
def test_after_fork_the_child_records_with_a_recorder_of_its_own(db, server, store):
    if store == "sqlite":
        target, cls = str(db), "SqliteRecorder"
    else:
        target, cls = server.conninfo, "PostgresRecorder"
        with psycopg.connect(server.conninfo, autocommit=True) as conn:
            conn.execute("DROP TABLE IF EXISTS log_points, log_points_delivered")
    # CPython's child replaces the locks of its runtime after fork() and
    # leaves the old ones (the parent's threads may have held them), which
    # LeakSanitizer reports at the child's exit: no leak checks there.
    env = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "").replace("detect_leaks=1", "detect_leaks=0")}
    # GCC 12's AddressSanitizer does not hold its allocator's locks across
    # fork(): a child deadlocks in malloc if the parent's writer was
    # allocating at that moment. Under it, the writer is idle when the
    # parent forks; elsewhere it may be writing.
    quiesce = "rec.flush()" if SANITIZED else "pass"
    proc = run_script(FORK_SCRIPT.format(cls=cls, target=target, quiesce=quiesce), env=env)
    assert proc.returncode == 0, proc.stderr
    assert sorted(proc.stdout.split()) == ["500", "600", "child", "parent"]  # the child's queue starts empty
    rows = sqlite_rows(db) if store == "sqlite" else pg_rows(server.conninfo)
    values = sorted(int(row[2]) for row in rows)
    assert values == [*range(100), *range(1000, 1500), *range(2000, 2500)]  # every point once
    if store == "postgres":
        with psycopg.connect(server.conninfo) as conn:
            ledger = conn.execute("SELECT stored FROM log_points_delivered ORDER BY stored").fetchall()
        assert ledger == [(500,), (600,)]  # parent and child have ids of their own


def test_a_multiprocessing_worker_started_by_fork_delivers_its_rows(db):
    proc = run_script(f"""
        import multiprocessing, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        from telem_pyb_log import SqliteRecorder
        rec = SqliteRecorder({str(db)!r}, batch_size=1000, max_delay=3600)
        rec.record_metadata_kv({{"tsname": "pool"}})

        def work(first):
            for i in range(first, first + 300):
                rec.record_value(i)  # never closed: multiprocessing ends the worker with os._exit

        if __name__ == "__main__":
            workers = [multiprocessing.get_context("fork").Process(target=work, args=(k * 1000,)) for k in range(3)]
            for w in workers:
                w.start()
            for w in workers:
                w.join()
            print([w.exitcode for w in workers])
    """)
    assert proc.stdout.strip() == "[0, 0, 0]", proc.stderr
    assert sorted(int(row[2]) for row in sqlite_rows(db)) == [k * 1000 + i for k in range(3) for i in range(300)]


def test_at_exit_open_recorders_are_closed_and_what_cannot_be_written_is_reported(server):
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import sys
        from telem_pyb_log import PostgresRecorder
        rec = PostgresRecorder({server.conninfo!r}, table="exit_points", batch_size=100_000, max_delay=3600,
                               exit_timeout=1)
        rec.record_metadata_kv({{"tsname": "exit"}})
        for i in range(4000):
            rec.record_value(i)
        print("recorded", flush=True)
        sys.stdin.readline()
    """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "recorded\n"
    server.stop("immediate")
    try:
        started = time.monotonic()
        _, err = child.communicate("exit\n", timeout=60)
        took = time.monotonic() - started
    finally:
        server.start()
    assert child.returncode == 0, err
    assert took < 10  # exit_timeout bounds the wait
    assert f"telem_pyb_log: PostgresRecorder: exit_points on PostgreSQL (" in err
    assert "4000 rows were not written at exit and are lost: " in err
    assert "No such file or directory" in err  # the cause: the server's socket is gone


# A stalled and a stopped server ----------------------------------------------
#
# The bounds on recording calls hold for calls that ran on their core: a call
# during which the scheduler gave the core to another thread (an involuntary
# context switch; the machine has two cores for the recording threads, the
# writer and the server) is not counted against them. A call that waited for
# anything (a lock, the interpreter lock, I/O) is.

PYTHON_CALLS = 100_000


def record_through_a_fault(server, table, fault, seconds):
    """Four native threads and a Python thread record while `fault` lasts
    `seconds`; returns the recorder, what the Python calls took (ns, None for
    a preempted call) and what the native threads saw."""
    log_driver = pytest.importorskip("log_driver", reason="the test driver is built by `make native`")
    rec = PostgresRecorder(server.conninfo, table=table, batch_size=500, max_delay=0.5, write_timeout=2,
                           connect_timeout=2)
    rec.record_metadata_kv({"tsname": "fault"})
    native = {}
    interval_us = 4_000  # 250 points a second per thread, over the fault and a little after it
    native_points = int((seconds + 4) * 1e6 / interval_us)
    driver = threading.Thread(target=lambda: native.update(
        outcome=log_driver.record(rec, 4, native_points, 0, interval_us)))
    driver.start()
    took = []
    perf = time.perf_counter_ns
    usage = resource.getrusage
    thread = resource.RUSAGE_THREAD
    record_value = rec.record_value
    pace = (seconds + 2) / (PYTHON_CALLS / 100)  # bursts of 100 calls spread over the fault
    time.sleep(1)
    fault_started = time.monotonic()
    fault(True)
    try:
        for burst in range(PYTHON_CALLS // 100):
            for i in range(burst * 100 + 10_000_000, burst * 100 + 10_000_100):
                preempted = usage(thread).ru_nivcsw
                start = perf()
                record_value(i)
                end = perf()
                took.append(end - start if usage(thread).ru_nivcsw == preempted else None)
            time.sleep(pace)
            if fault_started is not None and time.monotonic() - fault_started >= seconds:
                fault(False)
                fault_started = None
    finally:
        if fault_started is not None:
            fault(False)
    driver.join()
    rec.close()
    return rec, took, native["outcome"]


def check_nothing_lost(server, table, rec, took, outcome):
    ran = [t for t in took if t is not None]
    assert len(ran) > 0.9 * len(took)
    # No call waited for the server: one that did would take the writer's
    # 2 s write timeout at least. How fast the calls are is measured by
    # bench/stalled_server.py, not here, where other tests load the machine.
    assert max(ran) < 0.5e9, "a Python call took 0.5 s or more"
    assert all(t["refused"] == {} and t["other_errors"] == 0 for t in outcome)
    assert max(t["max_unpreempted_ns"] for t in outcome) < 0.5e9, "a native call took 0.5 s or more"
    native_ok = sum(t["ok"] for t in outcome)
    stats = rec.stats
    assert (stats.recorded, stats.written, stats.pending, stats.dropped) == (PYTHON_CALLS + native_ok,) * 2 + (0, 0)
    assert stats.failed_writes > 0
    values = sorted(int(row[2]) for row in pg_rows(server.conninfo, table=table))
    expected = sorted([*(t * 1_000_000 + i for t in range(4) for i in range(outcome[t]["ok"])),
                       *range(10_000_000, 10_000_000 + PYTHON_CALLS)])
    assert values == expected


@pytest.mark.long
def test_a_server_stalled_for_30_s_delays_delivery_not_recording(server):
    rec, took, outcome = record_through_a_fault(server, "stalled", lambda on: server.pause() if on else server.resume(),
                                                30)
    check_nothing_lost(server, "stalled", rec, took, outcome)
    assert "did not answer within 2 s" in rec.stats.last_error or "connect_timeout" in rec.stats.last_error


@pytest.mark.long
def test_a_server_down_for_45_s_delays_delivery_not_recording(server):
    rec, took, outcome = record_through_a_fault(server, "outage",
                                                lambda on: server.stop("immediate") if on else server.start(), 45)
    check_nothing_lost(server, "outage", rec, took, outcome)


# Faults of the delivery path ---------------------------------------------------


def test_a_pool_ended_by_terminate_delivers_what_its_workers_recorded(db):
    # A `with Pool() as p:` block ends with terminate(): SIGTERM to the
    # workers, whose recorders still hold their rows.
    proc = run_script(f"""
        import multiprocessing, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        from telem_pyb_log import SqliteRecorder
        # A generous exit_timeout: the sanitizer build under a loaded machine is slow.
        rec = SqliteRecorder({str(db)!r}, batch_size=100_000, max_delay=3600, exit_timeout=60)
        rec.record_metadata_kv({{"tsname": "pool"}})

        def work(first):
            for i in range(first, first + 1000):
                rec.record_value(i)

        if __name__ == "__main__":
            with multiprocessing.get_context("fork").Pool(2) as pool:
                pool.map(work, [k * 1000 for k in range(4)])
            print("done")
    """)
    assert proc.stdout.strip() == "done", proc.stderr
    assert sorted(int(row[2]) for row in sqlite_rows(db)) == list(range(4000)), proc.stderr


class HangingStore(JsonLinesStore):
    """Its writes hang until `release` is set (or an hour passes)."""

    def __init__(self, path):
        super().__init__(path)
        self.entered = threading.Event()
        self.release = threading.Event()

    def write(self, rows, first_seq):
        self.entered.set()
        self.release.wait(3600)
        super().write(rows, first_seq)


def test_a_store_that_hangs_is_given_up_by_close_and_its_rows_are_counted_and_said(tmp_path, caplog):
    store = HangingStore(tmp_path / "points.jsonl")
    rec = LogRecorder(store, batch_size=1000, max_delay=3600)
    rec.record_metadata_kv(SERIES)
    for i in range(1001):
        rec.record_value(i)
    assert store.entered.wait(30)
    with pytest.raises(TelemException, match=r"1001 rows were not written when closing took 1 s and are lost"):
        rec.close(timeout=1)
    s = rec.stats
    assert (s.recorded, s.written, s.pending, s.abandoned) == (1001, 0, 0, 1001)
    assert "does not return from a write" in caplog.text
    # The write returns after all: its rows are counted written.
    store.release.set()
    wait_for(lambda: rec.stats.written == 1000)
    s = rec.stats
    assert (s.written, s.pending, s.abandoned) == (1000, 0, 1)


def test_at_exit_a_store_that_hangs_is_given_up_and_what_it_held_is_said(tmp_path):
    proc = run_script(f"""
        import sys, threading
        sys.path.insert(0, {str(EXAMPLES)!r})
        from jsonl_store import JsonLinesStore
        from telem_pyb_log import LogRecorder

        class Hanging(JsonLinesStore):
            def write(self, rows, first_seq):
                threading.Event().wait(3600)

        rec = LogRecorder(Hanging({str(tmp_path / "points.jsonl")!r}), batch_size=1000, max_delay=3600,
                          exit_timeout=1)
        rec.record_metadata_kv({{"tsname": "hang"}})
        for i in range(1001):
            rec.record_value(i)
    """, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "1001 rows were not written at exit and are lost" in proc.stderr


def test_ctrl_c_interrupts_flush_and_close_while_the_store_is_down():
    proc = run_script("""
        import os, signal, threading, time
        from telem_pyb_log import LogRecorder

        class Down:
            where = "a store that is down"
            def connect(self): pass
            def create(self): pass
            def write(self, rows, first_seq): raise OSError("down")
            def close(self): pass

        rec = LogRecorder(Down(), batch_size=10)
        rec.record_metadata_kv({"tsname": "down"})
        for i in range(20):
            rec.record_value(i)
        for call in (rec.flush, rec.close):
            threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                call()
            except KeyboardInterrupt as e:
                print(call.__name__, "interrupted:", *e.__notes__)
        deadline = time.monotonic() + 30
        while rec.stats.abandoned < 20 and time.monotonic() < deadline:
            time.sleep(0.01)
        print(rec.closed, rec.stats.abandoned, rec.stats.pending)
    """, timeout=60)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines == [
        "flush interrupted: flush() was interrupted with 20 rows of a store that is down not written yet",
        "close interrupted: close() was interrupted with 20 rows of a store that is down not written yet; they are "
        "given up",
        "True 20 0",
    ]


def test_the_exit_says_the_drops_that_no_warning_said_yet(db):
    proc = run_script(f"""
        from telem_pyb_log import SqliteRecorder
        rec = SqliteRecorder({str(db)!r}, max_pending=1000, batch_size=100_000, max_delay=3600)
        rec.record_metadata_kv({{"tsname": "drops"}})
        for i in range(100_000):
            rec.record_value(i)
    """)
    assert proc.returncode == 0, proc.stderr
    dropped = 100_000 - len(sqlite_rows(db))
    assert dropped > 98_000
    assert f"points dropped since the last warning, {dropped} in all" in proc.stderr


@contextlib.contextmanager
def locked_by_another_process(path):
    """Another process holds the database's write lock until the block ends."""
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import sqlite3, sys
        conn = sqlite3.connect({str(path)!r}, isolation_level=None)
        conn.execute("BEGIN IMMEDIATE")
        print("locked", flush=True)
        sys.stdin.readline()
        conn.execute("ROLLBACK")
    """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "locked\n"
        yield
    finally:
        holder.communicate("\n", timeout=30)


def test_fork_does_not_wait_for_a_write_that_waits_for_another_connections_lock(db):
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os, sys, time, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        from telem_pyb_log import SqliteRecorder
        rec = SqliteRecorder({str(db)!r}, timeout=10, batch_size=1)
        rec.record_metadata_kv({{"tsname": "fork"}})
        print("made", flush=True)
        sys.stdin.readline()  # another process holds the write lock now
        for i in range(5):
            rec.record_value(i)
        time.sleep(0.5)  # the writer waits for the lock
        started = time.monotonic()
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        print(round(time.monotonic() - started, 1), flush=True)
        os.waitpid(pid, 0)
        sys.stdin.readline()  # the lock is gone
        rec.close()
        print(rec.stats.written, flush=True)
    """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "made\n"
        with locked_by_another_process(db):
            child.stdin.write("go\n")
            child.stdin.flush()
            took = child.stdout.readline()
        out, err = child.communicate("\n", timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, err
    assert float(took) < 2, "fork() waited for the write"  # the lock timeout is 10 s
    assert out.split() == ["5"]
    assert sorted(int(row[2]) for row in sqlite_rows(db)) == list(range(5))


def test_a_file_deleted_before_a_fork_is_still_noticed_after_it(db):
    proc = run_script(f"""
        import os, pathlib, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        from telem_pyb_log import SqliteRecorder
        db = pathlib.Path({str(db)!r})
        rec = SqliteRecorder(db, batch_size=100_000, max_delay=3600)
        rec.record_metadata_kv({{"tsname": "gone"}})
        for i in range(1000):
            rec.record_value(i)
        rec.flush()
        for suffix in ("", "-wal", "-shm"):
            pathlib.Path(f"{{db}}{{suffix}}").unlink(missing_ok=True)
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
        for i in range(1000, 1010):
            rec.record_value(i)
        rec.close()
        print(rec.stats.written, rec.stats.lost)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["10", "1000"]
    assert "the 1000 rows this recorder had written to it went with it" in proc.stderr
    assert [int(row[2]) for row in sqlite_rows(db)] == list(range(1000, 1010))


class ChoosyStore(JsonLinesStore):
    """Refuses "poison" values (saying which row, with `say_row`) and times
    out batches of more than `most` rows."""

    def __init__(self, path, say_row=True, most=1000):
        super().__init__(path)
        self.say_row, self.most, self.sizes = say_row, most, []

    def write(self, rows, first_seq):
        self.sizes.append(len(rows))
        if len(rows) > self.most:
            raise TimeoutError("the batch took too long")
        for index, row in enumerate(rows):
            if row[2] == "poison":
                raise RowRefused("poison is not a value", index if self.say_row else None)
        super().write(rows, first_seq)


@pytest.mark.parametrize("say_row", [True, False], ids=["the store says which row", "the batch is split to find it"])
def test_a_row_a_python_store_refuses_is_set_aside_and_the_rest_delivered(tmp_path, caplog, say_row):
    path = tmp_path / "points.jsonl"
    store = ChoosyStore(path, say_row=say_row)
    rec = LogRecorder(store, batch_size=20, max_delay=3600)
    rec.record_metadata_kv(SERIES)
    values = [("poison" if i in (3, 27) else i) for i in range(40)]
    for v in values:
        rec.record_value(v)
    rec.close()
    lines = [json.loads(line) for line in path.read_text().splitlines()]
    assert [line["value"] for line in lines] == [str(v) for v in values if v != "poison"]
    # The refused rows' numbers are passed over; the others keep theirs.
    assert [line["seq"] for line in lines] == [i + 1 for i, v in enumerate(values) if v != "poison"]
    s = rec.stats
    assert (s.recorded, s.written, s.set_aside, s.pending) == (40, 38, 2, 0)
    (first, *rest) = [r for r in caplog.records if "set aside" in r.getMessage()]
    assert "refuses a row of pump.pressure" in first.getMessage() and "poison is not a value" in first.getMessage()
    assert first.levelname == "ERROR"
    assert "1 more rows set aside since the last message (2 in all)" in rest[-1].getMessage()


def test_a_batch_that_times_out_is_split_until_it_goes(tmp_path):
    path = tmp_path / "points.jsonl"
    store = ChoosyStore(path, most=7)
    rec = LogRecorder(store, batch_size=100, max_delay=3600)
    rec.record_metadata_kv(SERIES)
    for i in range(100):
        rec.record_value(i)
    rec.close()
    assert [json.loads(line)["value"] for line in path.read_text().splitlines()] == [str(i) for i in range(100)]
    # Tried whole first, then in halves until the pieces go: each row in one written piece.
    assert store.sizes[:3] == [100, 50, 25] and sum(n for n in store.sizes if n <= 7) == 100
    assert (rec.stats.written, rec.stats.set_aside) == (100, 0)


def test_a_row_a_trigger_refuses_is_set_aside_in_sqlite(db):
    SqliteRecorder(db).close()
    with contextlib.closing(sqlite3.connect(db)) as conn:
        conn.execute("CREATE TRIGGER no_poison BEFORE INSERT ON log_points_rows WHEN NEW.value = 'poison' "
                     "BEGIN SELECT RAISE(ABORT, 'poison refused'); END")
        conn.commit()
    with SqliteRecorder(db, batch_size=50) as rec:
        rec.record_metadata_kv(SERIES)
        for i in range(120):
            rec.record_value("poison" if i == 70 else i)
    assert [row[2] for row in sqlite_rows(db)] == [str(i) for i in range(120) if i != 70]
    assert (rec.stats.written, rec.stats.set_aside) == (119, 1)
    assert "poison refused" in rec.stats.last_error


@pytest.mark.long
def test_a_text_over_sqlites_length_limit_is_set_aside_and_delivery_goes_on(db):
    # SQLite's limit is 1,000,000,000 bytes: a text one byte longer.
    with SqliteRecorder(db, batch_size=10) as rec:
        rec.record_metadata_kv(SERIES)
        rec.record_value(0)
        rec.record_value(b"x" * 1_000_000_001)
        for i in range(2, 10):
            rec.record_value(i)
    assert [row[2] for row in sqlite_rows(db)] == ["0", *map(str, range(2, 10))]
    assert (rec.stats.written, rec.stats.set_aside) == (9, 1)
    assert "too big" in rec.stats.last_error


def test_a_row_a_constraint_refuses_is_set_aside_in_postgresql(server):
    table = "checked_points"
    rec = PostgresRecorder(server.conninfo, table=table, batch_size=50)
    with psycopg.connect(server.conninfo, autocommit=True) as conn:
        conn.execute(f"ALTER TABLE {table}_rows ADD CONSTRAINT no_poison CHECK (value <> 'poison')")
    rec.record_metadata_kv(SERIES)
    for i in range(120):
        rec.record_value("poison" if i in (10, 70) else i)
    rec.close()
    assert [row[2] for row in pg_rows(server.conninfo, table=table)] == [str(i) for i in range(120) if i not in (10, 70)]
    s = rec.stats
    assert (s.written, s.set_aside, s.pending) == (118, 2, 0)
    assert "no_poison" in s.last_error


def test_large_rows_after_an_outage_go_in_batches_bounded_in_bytes(server):
    # 400 rows of 256 KiB: in one transaction (4 batches' worth) they would
    # not finish within write_timeout, and would be tried again for ever.
    table = "large_points"
    rec = PostgresRecorder(server.conninfo, table=table, write_timeout=1, connect_timeout=1)
    rec.record_metadata_kv(SERIES)
    server.stop("immediate")
    try:
        big = "x" * (256 * 1024)
        for i in range(400):
            rec.record_value(f"{i:04d}{big}")
        wait_for(lambda: rec.stats.failed_writes > 0)
    finally:
        server.start()
    rec.close(timeout=120)
    got = [row[2][:4] for row in pg_rows(server.conninfo, table=table)]
    assert got == [f"{i:04d}" for i in range(400)]
