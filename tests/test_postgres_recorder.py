"""The PostgreSQL log recorder against a real server: a throwaway cluster of the test session."""

import subprocess
import sys
import textwrap
import time
import uuid

import psycopg
import pytest

from telem_pyb import TelemException, TsPoint
from telem_pyb_log import PostgresRecorder
from telem_pyb_log.postgres import read_rows

SERIES = {"tsid": "7", "tsname": "cabin.temperature", "btype": "float", "units": "degC", "origin": "test"}


@pytest.fixture
def table():
    return f"log_{uuid.uuid4().hex[:12]}"


def wait_for(condition, timeout=60):
    """Waits until `condition()` holds (the writer works on its own thread)."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "the condition did not come true"
        time.sleep(0.01)


def values(server, table, tsname=None):
    return [row[2] for row in read_rows(server.conninfo, tsname, table=table)]


def test_100000_values_become_100000_rows_in_order(server, table):
    n = 100_000
    with PostgresRecorder(server.conninfo, table=table) as rec:
        rec.record_metadata_kv(SERIES)
        for i in range(n):
            rec.record_value(i)
    assert values(server, table) == [str(i) for i in range(n)]


def test_two_processes_write_one_table(server, table):
    code = textwrap.dedent(f"""
        import sys
        from telem_pyb_log import PostgresRecorder
        with PostgresRecorder({server.conninfo!r}, table={table!r}, batch_size=200) as rec:
            rec.record_metadata_kv({{"tsname": sys.argv[1]}})
            for i in range(5000):
                rec.record_value(i)
    """)
    procs = [subprocess.Popen([sys.executable, "-c", code, f"process.{p}"], stderr=subprocess.PIPE, text=True)
             for p in range(2)]
    for proc in procs:
        _, err = proc.communicate(timeout=120)
        assert proc.returncode == 0, err
    for p in range(2):
        assert values(server, table, f"process.{p}") == [str(i) for i in range(5000)]


def test_server_restart_mid_stream_loses_and_duplicates_nothing(server, table):
    n = 3000
    with PostgresRecorder(server.conninfo, table=table, batch_size=100, max_delay=3600) as rec:
        rec.record_metadata_kv(SERIES)
        for i in range(n):
            if i == 1000:
                server.stop("immediate")  # a crash: the connection drops without notice
            if i == 2000:
                server.start()
            rec.record_value(i)  # never raises: the writer retries
    assert values(server, table) == [str(i) for i in range(n)]
    assert rec.stats.failed_writes > 0 and rec.stats.written == n


def sql(server, statement):
    with psycopg.connect(server.conninfo, autocommit=True) as conn:
        conn.execute(statement)


def test_a_batch_committed_in_doubt_is_not_stored_twice(server, table):
    # With a synchronous standby that never answers, COMMIT commits locally and
    # then waits; the recorder gives up after write_timeout, not knowing that
    # the batch is stored, and retries. Once the standby is no longer waited
    # for, the first commit completes.
    rec = PostgresRecorder(server.conninfo, table=table, batch_size=10, max_delay=3600, write_timeout=1)
    rec.record_metadata_kv(SERIES)
    sql(server, "ALTER SYSTEM SET synchronous_standby_names = 'nobody'")
    sql(server, "SELECT pg_reload_conf()")
    try:
        for i in range(10):
            rec.record_value(i)
        wait_for(lambda: rec.stats.failed_writes >= 2)
        assert "did not answer within 1 s" in rec.stats.last_error
    finally:
        sql(server, "ALTER SYSTEM RESET synchronous_standby_names")
        sql(server, "SELECT pg_reload_conf()")
    wait_for(lambda: values(server, table) == [str(i) for i in range(10)])
    for i in range(10, 25):
        rec.record_value(i)
    rec.close()
    assert values(server, table) == [str(i) for i in range(25)]
    assert rec.stats.written == 25


@pytest.mark.parametrize(
    "conninfo, shown",
    [
        pytest.param("host=/nonexistent dbname=postgres password=secret", "host=/nonexistent",
                     id="no server at the address"),
        pytest.param("{host} dbname=missing user=postgres password=secret", "dbname=missing",
                     id="a database that does not exist"),
        pytest.param("host = = secret", "unparsable", id="a malformed string"),
    ],
)
def test_a_connection_string_that_does_not_work_fails_at_construction(server, conninfo, shown):
    conninfo = conninfo.format(host=f"host={server.dir}")
    with pytest.raises(TelemException, match="PostgresRecorder: cannot connect to log_points on PostgreSQL") as info:
        PostgresRecorder(conninfo)
    assert shown in str(info.value)
    assert "secret" not in str(info.value)


@pytest.mark.parametrize("field", ["value", "mtime"])
@pytest.mark.parametrize(
    "text",
    ["tab\there", "line\nbreak", "carriage\rreturn", "back\\slash", "\\N", "\\.", "température ✓"],
    ids=repr,
)
def test_texts_arrive_unchanged(server, table, field, text):
    with PostgresRecorder(server.conninfo, table=table) as rec:
        rec.record_metadata_kv({**SERIES, "units": text})
        point = TsPoint()
        point.value = 1
        setattr(point, field, text)
        rec.record_point(point)
    ((mtime, _, value, _, units, _, _),) = read_rows(server.conninfo, table=table)
    assert {"value": value, "mtime": mtime}[field] == text and units == text


@pytest.mark.parametrize("field", ["value", "mtime"])
def test_a_text_with_a_nul_character_is_refused_and_the_stream_goes_on(server, table, field):
    point = TsPoint()
    point.value = 1
    setattr(point, field, "a\x00b")
    with PostgresRecorder(server.conninfo, table=table, batch_size=1) as rec:
        rec.record_metadata_kv(SERIES)
        rec.record_value(0)
        with pytest.raises(TelemException, match="cannot hold the NUL character; the point is refused"):
            rec.record_point(point)
        rec.record_value(2)
    assert values(server, table) == ["0", "2"]


def test_native_producer_threads_feed_a_postgres_recorder(server, table):
    telem_producer = pytest.importorskip("telem_producer", reason="the producer example is built by `make producer`")
    workers, samples = 4, 2000
    with PostgresRecorder(server.conninfo, table=table, batch_size=500) as rec:
        assert telem_producer.produce(rec, {"tsname": "producer"}, workers, samples) == workers * samples
    expected = sorted(w * 1_000_000 + i for w in range(workers) for i in range(samples))
    assert sorted(map(int, values(server, table))) == expected
