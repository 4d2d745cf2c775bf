"""Retention: the writer of a SQLite or PostgreSQL sink (or one-series
recorder) deletes the rows of its table older than the retention, of every
series whoever wrote them, in bounded transactions between its batches; a
delete that fails is logged and tried again, and delivery goes on."""

import datetime
import math
import threading
import time

import pytest

from telem_pyb import TsPoint

from telem_pyb_log import LogRecorder, LogSink, PostgresRecorder, PostgresSink, SqliteRecorder, SqliteSink

import test_reading

UTC = datetime.UTC
HOUR = 3600


def wait_for(condition, timeout=90):
    """Waits until `condition()` holds (the writer works on its own thread)."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "the condition did not come true"
        time.sleep(0.01)


def ago(seconds):
    return (datetime.datetime.now(UTC) - datetime.timedelta(seconds=seconds)).isoformat()


class Store(test_reading.Store):
    """A SQLite file or a PostgreSQL table of the tests' cluster; `{t}` in
    SQL names the table (the view of the rows), `{rows}` the table of rows."""

    def sink(self, **options):
        if self.kind == "sqlite":
            return SqliteSink(self.source, **options)
        return PostgresSink(self.source, table=self.table, **options)

    def sql(self, statement, params=()):
        return super().sql(statement.replace("{t}", f'"{self.table}"').replace("{rows}", f'"{self.table}_rows"'),
                           params)

    def count(self, tsname=None):
        if tsname is None:
            return self.sql("SELECT count(*) FROM {t}")[0][0]
        return self.sql("SELECT count(*) FROM {t} WHERE tsname = ?", (tsname,))[0][0]


@pytest.fixture(params=["sqlite", "postgres"])
def store(request, tmp_path):
    return Store(request.param, tmp_path, request)


def put(rec, points):
    for mtime, value in points:
        p = TsPoint()
        p.value = value
        p.mtime = mtime
        rec.record_point(p)


def fill(store, old, series=("a", "b"), recent=0, untimed=0):
    """Rows written by a sink without retention, as another process would:
    `old` rows two hours old and more, spread over `series`; `recent` rows
    of ten minutes ago and `untimed` rows whose mtime is not a time, of the
    first series."""
    with store.sink(batch_size=5000) as other:
        recs = [other.recorder(tsname=name, origin=f"host-{name}") for name in series]
        for i in range(old):
            put(recs[i % len(series)], [(ago(2 * HOUR + i * 0.01), i)])
        put(recs[0], [(ago(600 + i), i) for i in range(recent)] + [("not a time", i) for i in range(untimed)])
    assert store.count() == old + recent + untimed


@pytest.mark.parametrize("through", ["sink", "recorder"])
def test_rows_older_than_the_retention_go_soon_after_the_next_write(store, through):
    fill(store, old=60, recent=20, untimed=3)
    make = store.sink if through == "sink" else store.recorder
    with make(retention=HOUR, max_delay=0.05) as writer:
        rec = writer.recorder(tsname="c") if through == "sink" else writer
        if through == "recorder":
            rec.record_metadata_kv({"tsname": "c"})
        rec.record_value(1.5)
        wait_for(lambda: writer.stats.pruned == 60)
        rec.record_value(2.5)
        writer.flush()
        assert store.count("b") == 0 and store.count("c") == 2
    assert writer.stats.pruned == 60 and writer.stats.written == 2
    left = store.sql("SELECT mtime FROM {t} WHERE tsname = 'a'")
    assert len(left) == 23 and sum(m == "not a time" for (m,) in left) == 3  # the recent and the untimed


def audit(store):
    """Notes every delete from the table with the transaction that made it."""
    if store.kind == "sqlite":
        # Deletes of one transaction see one last id: the writer inserts between rounds.
        store.sql("CREATE TABLE audit (tx INTEGER, n INTEGER)")
        store.sql("CREATE TRIGGER audit_delete AFTER DELETE ON {rows} BEGIN "
                  "INSERT INTO audit VALUES ((SELECT max(id) FROM {rows}), 1); END")
    else:
        store.sql("CREATE TABLE IF NOT EXISTS audit (tx bigint, n bigint)")
        store.sql("CREATE OR REPLACE FUNCTION audit_delete() RETURNS trigger LANGUAGE plpgsql AS "
                  "$$ BEGIN INSERT INTO audit SELECT txid_current(), count(*) FROM gone; RETURN NULL; END $$")
        store.sql("TRUNCATE audit")
        store.sql("CREATE TRIGGER audit_delete AFTER DELETE ON {rows} REFERENCING OLD TABLE AS gone "
                  "FOR EACH STATEMENT EXECUTE FUNCTION audit_delete()")
    return lambda: [n for (n,) in store.sql("SELECT sum(n) FROM audit GROUP BY tx HAVING sum(n) > 0")]


def test_a_backlog_goes_in_bounded_transactions_while_recording_goes_on(store):
    fill(store, old=25_000, series=("a", "b", "c"))
    transactions = audit(store)
    stop = threading.Event()
    with store.sink(retention=HOUR, max_delay=0.05) as sink:
        rec = sink.recorder(tsname="live")

        def keep_recording():
            while not stop.is_set():
                rec.record_value(1)
                time.sleep(0.005)

        worker = threading.Thread(target=keep_recording)
        worker.start()
        try:
            wait_for(lambda: sink.stats.pruned == 25_000)
        finally:
            stop.set()
            worker.join()
        sink.flush()
        stats = sink.stats
    assert stats.written == stats.recorded == rec.stats.recorded and store.count("live") == stats.recorded
    assert store.count() == stats.recorded
    deletes = transactions()
    assert sum(deletes) == 25_000 and len(deletes) >= 3 and max(deletes) <= 10_000, deletes


def refuse_deletes(store):
    if store.kind == "sqlite":
        store.sql("CREATE TRIGGER no_delete BEFORE DELETE ON {rows} BEGIN "
                  "SELECT RAISE(ABORT, 'deleting is not allowed now'); END")
        return lambda: store.sql("DROP TRIGGER no_delete")
    store.sql("CREATE OR REPLACE FUNCTION no_delete() RETURNS trigger LANGUAGE plpgsql AS "
              "$$ BEGIN RAISE EXCEPTION 'deleting is not allowed now'; END $$")
    store.sql("CREATE TRIGGER no_delete BEFORE DELETE ON {rows} FOR EACH ROW EXECUTE FUNCTION no_delete()")
    return lambda: store.sql("DROP TRIGGER no_delete ON {rows}")


def test_a_failing_delete_is_logged_once_retried_and_never_holds_delivery_up(store, caplog):
    fill(store, old=30)
    allow = refuse_deletes(store)

    def said(text):
        return [r for r in caplog.records if r.name == "telem_pyb_log" and text in r.getMessage()]

    with store.sink(retention=HOUR, max_delay=0.05, log_interval=60) as sink:
        rec = sink.recorder(tsname="live")
        rec.record_value(1)
        wait_for(lambda: said("deleting is not allowed now"))
        for i in range(50):
            rec.record_value(i)
            time.sleep(0.05)  # the writer meanwhile tries again, round after round
        sink.flush()
        assert sink.stats.written == 51 and sink.stats.pruned == 0 and store.count("live") == 51
        assert store.count() == 81
        allow()
        rec.record_value(2)
        wait_for(lambda: sink.stats.pruned == 30)
        wait_for(lambda: said("succeeds again"))
    assert store.count() == 52 and sink.stats.written == 52 and sink.stats.lost == sink.stats.abandoned == 0
    failed = said("failed: ")
    assert len(failed) == 1 and not said("still fails"), [r.getMessage() for r in failed]
    assert sink.where in failed[0].getMessage()


class ListStore:
    where = "a list in memory"

    def __init__(self):
        self.rows, self.calls = [], []

    def connect(self):
        self.calls.append("connect")

    def create(self):
        self.calls.append("create")

    def write(self, rows, first_seq):
        self.rows.extend(rows)

    def close(self):
        pass


MAKERS = {
    "SqliteSink": lambda tmp_path, **o: SqliteSink(tmp_path / "t.db", **o),
    "SqliteRecorder": lambda tmp_path, **o: SqliteRecorder(tmp_path / "t.db", **o),
    # Options are checked before connecting: no server is needed to refuse them.
    "PostgresSink": lambda tmp_path, **o: PostgresSink(f"host={tmp_path} dbname=none", **o),
    "PostgresRecorder": lambda tmp_path, **o: PostgresRecorder(f"host={tmp_path} dbname=none", **o),
    "LogSink": lambda tmp_path, **o: LogSink(ListStore(), **o),
    "LogRecorder": lambda tmp_path, **o: LogRecorder(ListStore(), **o),
}


@pytest.mark.parametrize("value", [0, -1, -0.5, math.nan, math.inf, "3600", True, [60]])
@pytest.mark.parametrize("kind", MAKERS)
def test_bad_retention_values_are_refused_naming_the_option(tmp_path, kind, value):
    with pytest.raises(ValueError) as raised:
        MAKERS[kind](tmp_path, retention=value)
    assert str(raised.value) == f"retention must be None or a finite number of seconds > 0, not {value!r}"
    assert not (tmp_path / "t.db").exists()


@pytest.mark.parametrize("make", [LogSink, LogRecorder])
def test_retention_on_a_store_of_ones_own_is_refused_before_it_connects(make):
    store = ListStore()
    with pytest.raises(ValueError, match=r"retention needs a SQLite or PostgreSQL store.*\(a list in memory\)"):
        make(store, retention=60)
    assert store.calls == []
    with make(store, retention=None) as made:
        assert made.stats.pruned == 0
    assert store.calls == ["connect", "create"]


@pytest.mark.parametrize("value, deleted", [(None, 0), (0.25, 6), (30, 6), (10**12, 0), (1e300, 0)])
def test_any_finite_positive_retention_is_taken(tmp_path, value, deleted):
    store = Store("sqlite", tmp_path, None)
    fill(store, old=4, recent=2, untimed=1)
    with SqliteSink(store.source, retention=value, max_delay=0.05) as sink:
        sink.recorder(tsname="c").record_value(1)
        wait_for(lambda: sink.stats.pruned >= deleted)
        sink.flush()
    # Past the first time there is (10**12 s), nothing is that old.
    assert store.count() - store.count("c") == 7 - deleted  # the row without a time is kept
