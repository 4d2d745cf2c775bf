"""The spool: rows on local disk between a recorder and its store. Processes
killed at random moments, servers out of reach, torn appends, a full spool and
a locked one, against real spool directories and a throwaway PostgreSQL
cluster."""

import logging
import mmap
import os
import pathlib
import random
import signal
import struct
import subprocess
import sys
import textwrap
import time
import types
import uuid

import psycopg
import pytest

from telem_pyb import TelemException
from telem_pyb_log import LogRecorder, PostgresRecorder, SqliteRecorder
from telem_pyb_log.postgres import read_rows
from telem_pyb_log.sqlite import read_rows as sqlite_rows

# A server that is not there: libpq fails at once, as with a host cut off.
UNREACHABLE = "host=/nonexistent-telem-server dbname=postgres user=postgres"
HEADER = 40  # bytes of a record's header (telem_pyb_log_native/spool.h)

# A child that records numbered values as fast as it can, pacing itself to
# about RATE rows a second, and publishes how many it recorded in a shared
# counter after each one.
RATE = 5000
PRODUCER = textwrap.dedent("""
    import mmap, sys, time
    from telem_pyb_log import PostgresRecorder, SqliteRecorder
    target, table, spool, name, counter = sys.argv[1:]
    counter_file = open(counter, "r+b")
    shared = mmap.mmap(counter_file.fileno(), 8)
    options = dict(spool=spool, spool_interval=0.05, batch_size=500, max_delay=0.1)
    if target.endswith(".db"):
        rec = SqliteRecorder(target, **options)
    else:
        rec = PostgresRecorder(target, table=table, connect_timeout=2, **options)
    rec.record_metadata_kv({"tsname": name})
    print("recording", flush=True)
    i = 0
    start = time.monotonic()
    while True:
        rec.record_value(i)
        i += 1
        shared[:8] = i.to_bytes(8, "little")
        if i % 50 == 0:
            time.sleep(max(0.0, start + i / RATE - time.monotonic()))
""").replace("RATE", str(RATE))


@pytest.fixture
def table():
    return f"log_{uuid.uuid4().hex[:12]}"


def values(server, table, tsname=None):
    return [row[2] for row in read_rows(server.conninfo, tsname, table=table)]


def ledger(server, table):
    with psycopg.connect(server.conninfo) as conn:
        return conn.execute(f"SELECT recorder_id::text, stored FROM {table}_delivered").fetchall()


def identity(spool):
    return (pathlib.Path(spool) / "identity").read_text().strip()


def records(spool):
    """(segment file, offset, rows) of every record in the spool, in order."""
    found = []
    for segment in sorted(pathlib.Path(spool).glob("*.seg")):
        data = segment.read_bytes()
        offset = 0
        while offset + HEADER <= len(data):
            _, _, payload, rows = struct.unpack_from("<4I", data, offset)
            found.append((segment, offset, rows, HEADER + payload))
            offset += HEADER + payload
    return found


def deliver(server, table, spool):
    """Opens a recorder on the spool with the server reachable: it delivers
    what the spool holds, then closes."""
    rec = PostgresRecorder(server.conninfo, table=table, spool=spool)
    recovered = rec.stats.recovered
    rec.close(timeout=60)
    assert rec.stats.spool_rows == 0
    return recovered


@pytest.mark.parametrize("options, message", [
    ({"spool": ""}, "spool must be None or the path of a directory"),
    ({"spool": 3}, "spool must be None or the path of a directory"),
    ({"spool": b"/tmp/x"}, "spool must be None or the path of a directory"),
    ({"spool_interval": 0}, "spool_interval must be a finite number of seconds > 0"),
    ({"spool_max_bytes": 0}, "spool_max_bytes must be a positive int"),
    ({"spool_max_bytes": 1.5}, "spool_max_bytes must be a positive int"),
])
def test_bad_spool_options_are_refused(tmp_path, options, message):
    with pytest.raises(ValueError, match=message):
        SqliteRecorder(tmp_path / "t.db", **options)


def test_a_second_recorder_on_a_locked_spool_is_refused_until_the_first_is_closed_or_dies(tmp_path):
    spool = tmp_path / "spool"
    first = SqliteRecorder(tmp_path / "t.db", spool=spool)
    with pytest.raises(TelemException, match=rf"the spool {spool} is in use by another recorder \(process "
                                             rf"{os.getpid()}\); a spool serves one recorder at a time"):
        SqliteRecorder(tmp_path / "t.db", spool=spool)
    other = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        from telem_pyb_log import SqliteRecorder
        SqliteRecorder({str(tmp_path / "u.db")!r}, spool={str(spool)!r})
    """)], capture_output=True, text=True)
    assert other.returncode == 1 and "is in use by another recorder" in other.stderr
    first.close()
    # A holder that is killed releases it too.
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import time
        from telem_pyb_log import SqliteRecorder
        rec = SqliteRecorder({str(tmp_path / "u.db")!r}, spool={str(spool)!r})
        print("open", flush=True)
        time.sleep(60)
    """)], stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "open\n"
    with pytest.raises(TelemException, match=rf"process {holder.pid}\)"):
        SqliteRecorder(tmp_path / "t.db", spool=spool)
    holder.kill()
    holder.wait()
    holder.stdout.close()
    SqliteRecorder(tmp_path / "t.db", spool=spool).close()


def test_a_recorder_records_while_the_server_is_out_of_reach_and_its_stats_show_the_spool(server, table, tmp_path):
    spool = tmp_path / "spool"
    rec = PostgresRecorder(UNREACHABLE, table=table, spool=spool, connect_timeout=1)
    rec.record_metadata_kv({"tsname": "away"})
    for i in range(3000):
        rec.record_value(i)
    deadline = time.monotonic() + 30
    while rec.stats.spool_rows < 3000:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    time.sleep(0.05)
    s = rec.stats
    assert (s.recorded, s.written, s.pending, s.spool_rows) == (3000, 0, 3000, 3000)
    assert s.spool_bytes > 3000 * 30 and s.spool_oldest_age >= 0.05
    with pytest.raises(TelemException, match=f"3000 rows were not written when closing took 0.5 s; they stay in "
                                             f"the spool {spool} for the next recorder opened on it"):
        rec.close(timeout=0.5)
    assert deliver(server, table, spool) == 3000
    assert values(server, table) == [str(i) for i in range(3000)]
    assert ledger(server, table) == [(identity(spool), 3000)]
    # The spool kept the typed fields too.
    with psycopg.connect(server.conninfo) as conn:
        typed = conn.execute(f"SELECT count(time), sum(number), count(*) FROM {table}").fetchone()
    assert typed == (3000, sum(range(3000)), 3000)


@pytest.mark.parametrize("reachable", [
    pytest.param([True] * 4, id="server-up"),
    pytest.param([False] * 4, id="server-unreachable"),
    pytest.param([True, False, True, False], id="both"),
    pytest.param(["sqlite"] * 4, id="sqlite"),
])
def test_sigkill_at_random_moments_loses_only_what_the_spool_had_not_committed(server, table, tmp_path, reachable):
    spool = tmp_path / "spool"
    db = tmp_path / "t.db"
    counter = tmp_path / "counter"
    rng = random.Random(17)
    produced = {}
    for round_, up in enumerate(reachable):
        counter.write_bytes(bytes(8))
        name = f"round.{round_}"
        target = db if up == "sqlite" else server.conninfo if up else UNREACHABLE
        child = subprocess.Popen([sys.executable, "-c", PRODUCER, target, table, str(spool), name, str(counter)],
                                 stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "recording\n"
        time.sleep(rng.uniform(0.2, 1.5))
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        with open(counter, "r+b") as f:
            produced[name] = int.from_bytes(mmap.mmap(f.fileno(), 8)[:8], "little")
    if reachable[0] == "sqlite":
        SqliteRecorder(db, spool=spool).close()
    else:
        deliver(server, table, spool)
    total = 0
    for name, n in produced.items():
        got = [row[2] for row in sqlite_rows(db, name)] if reachable[0] == "sqlite" else values(server, table, name)
        # In order, each once: the rows the spool had are a prefix of what
        # was recorded; what is missing was recorded in the last
        # spool_interval (0.05 s), with room for a loaded machine.
        assert got == [str(i) for i in range(len(got))], name
        missing = n - len(got)
        assert -1 <= missing <= RATE * 0.3, (name, n, len(got))
        print(f"{name}: recorded {n}, delivered {len(got)}, missing {missing}")
        total += len(got)
    if reachable[0] != "sqlite":
        assert ledger(server, table) == [(identity(spool), total)]


@pytest.mark.parametrize("store", ["sqlite", "postgres"])
def test_rows_sent_again_after_a_crash_between_the_commit_and_the_spools_note_are_stored_once(
        server, table, tmp_path, store):
    spool = tmp_path / "spool"
    db = tmp_path / "t.db"

    def recorder():
        if store == "sqlite":
            return SqliteRecorder(db, spool=spool)
        return PostgresRecorder(server.conninfo, table=table, spool=spool)

    with recorder() as rec:
        rec.record_metadata_kv({"tsname": "again"})
        for i in range(1500):
            rec.record_value(i)
    # As if the process had ended after the store's commit and before the
    # spool noted it: the spool offers every row again.
    (spool / "confirmed").write_bytes(bytes(16))
    with recorder() as rec:
        assert rec.stats.recovered == 1500
        rec.record_metadata_kv({"tsname": "again"})
        rec.record_value(1500)
    assert rec.stats.written == 1501
    rows = sqlite_rows(db) if store == "sqlite" else read_rows(server.conninfo, table=table)
    assert [row[2] for row in rows] == [str(i) for i in range(1501)]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_a_torn_last_append_is_reported_and_everything_before_it_is_delivered(server, table, tmp_path, caplog, seed):
    spool = tmp_path / "spool"
    rec = PostgresRecorder(UNREACHABLE, table=table, spool=spool, connect_timeout=1)
    rec.record_metadata_kv({"tsname": "torn"})
    for i in range(5000):
        rec.record_value(i)
        if i % 1000 == 999:
            time.sleep(0.06)  # several commits, several records
    with pytest.raises(TelemException):
        rec.close(timeout=0.5)
    segment, offset, rows, length = records(spool)[-1]
    cut = random.Random(seed).randrange(1, length)
    os.truncate(segment, offset + cut)
    with caplog.at_level(logging.WARNING, logger="telem_pyb_log"):
        recovered = deliver(server, table, spool)
    assert recovered == 5000 - rows
    assert values(server, table) == [str(i) for i in range(5000 - rows)]
    assert f"{segment.name}: {cut} bytes" in caplog.text and "it is cut there" in caplog.text


def test_a_full_spool_during_a_long_outage_applies_on_full_counted_exactly(server, table, tmp_path, caplog):
    spool = tmp_path / "spool"
    n = 60_000
    with caplog.at_level(logging.WARNING, logger="telem_pyb_log"):
        rec = PostgresRecorder(UNREACHABLE, table=table, spool=spool, connect_timeout=1, spool_max_bytes=512 * 1024,
                               max_pending=5000, log_interval=1)
        rec.record_metadata_kv({"tsname": "full"})
        for i in range(n):
            rec.record_value(i)
            if i % 1000 == 0:
                time.sleep(0.005)
        time.sleep(0.3)
        s = rec.stats
        assert s.dropped > 0 and s.recorded + s.dropped == n
        assert s.spool_bytes <= (512 + 64) * 1024  # and a segment of delivered rows
        with pytest.raises(TelemException, match="rows that the spool did not take are lost"):
            rec.close(timeout=0.5)
    assert "is full" in caplog.text and "points dropped" in caplog.text
    s = rec.stats
    kept = deliver(server, table, spool)
    got = [int(v) for v in values(server, table)]
    assert kept == s.spool_rows and len(got) == kept == s.recorded - s.abandoned
    assert got == sorted(set(got)) and got[0] == 0  # in order, each once


def test_a_python_store_sees_the_spools_numbering_across_recorders(tmp_path, caplog):
    class Store:
        where = "a list"

        def __init__(self, reachable):
            self.reachable, self.batches = reachable, []

        def connect(self):
            if not self.reachable:
                raise ConnectionError("not yet")

        def create(self):
            pass

        def write(self, rows, first_seq):
            self.connect()
            self.batches.append((first_seq, [r[2] for r in rows]))

        def close(self):
            pass

    spool = tmp_path / "spool"
    away = Store(False)
    with caplog.at_level(logging.WARNING, logger="telem_pyb_log"):
        rec = LogRecorder(away, spool=spool)
    assert f"a list cannot be reached yet (ConnectionError: not yet); recording into the spool {spool}" in caplog.text
    rec.record_metadata_kv({"tsname": "py"})
    for i in range(10):
        rec.record_value(i)
    with pytest.raises(TelemException):
        rec.close(timeout=0.3)
    # The next recorders deliver what the spool holds, then their own rows,
    # numbered on from there.
    for recorded, delivered in ((range(10, 20), range(0, 20)), (range(20, 30), range(20, 30))):
        store = Store(True)
        with LogRecorder(store, spool=spool) as rec:
            rec.record_metadata_kv({"tsname": "py"})
            for i in recorded:
                rec.record_value(i)
        rows = [(seq, v) for first_seq, batch in store.batches for seq, v in enumerate(batch, first_seq)]
        assert rows == [(i + 1, str(i)) for i in delivered]
    assert away.batches == []


def test_after_fork_the_child_does_not_use_the_parents_spool_nor_keep_it_locked(tmp_path):
    script = textwrap.dedent(f"""
        import os, sys, warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with the writer thread running
        from telem_pyb import TelemException
        from telem_pyb_log import SqliteRecorder
        db, spool = {str(tmp_path / "t.db")!r}, {str(tmp_path / "spool")!r}
        rec = SqliteRecorder(db, spool=spool)
        rec.record_metadata_kv({{"tsname": "fork"}})
        rec.record_value(1)
        done_r, done_w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                rec.record_value(2)
                os._exit(1)
            except TelemException as e:
                print(e, flush=True)
            os.read(done_r, 1)  # alive while the parent opens the spool again
            os._exit(0)
        rec.close()
        SqliteRecorder(db, spool=spool).close()  # the child's copy of the spool holds no lock
        os.write(done_w, b"x")
        _, status = os.waitpid(pid, 0)
        sys.exit(os.waitstatus_to_exitcode(status))
    """)
    env = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "").replace("detect_leaks=1", "detect_leaks=0")}
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert (f"a recorder with a spool does not record in a child process after fork(): the spool {tmp_path}/spool "
            "stays with the parent") in proc.stdout
    assert [row[2] for row in sqlite_rows(tmp_path / "t.db")] == ["1"]


def test_rows_left_at_exit_stay_in_the_spool_and_the_exit_says_so(server, table, tmp_path):
    spool = tmp_path / "spool"
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        from telem_pyb_log import PostgresRecorder
        rec = PostgresRecorder({UNREACHABLE!r}, table={table!r}, spool={str(spool)!r}, exit_timeout=0.5,
                               connect_timeout=1)
        rec.record_metadata_kv({{"tsname": "exit"}})
        for i in range(700):
            rec.record_value(i)
    """)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert ("700 rows were not written at exit; they stay in the recorder's spool for the next recorder opened "
            "on it") in proc.stderr and "are lost" not in proc.stderr
    assert deliver(server, table, spool) == 700
    assert values(server, table) == [str(i) for i in range(700)]


# Faults of the spool -----------------------------------------------------------


@pytest.mark.parametrize("store", ["sqlite", "postgres"])
def test_a_confirmed_count_far_behind_the_store_after_a_power_loss_stores_nothing_twice(server, table, tmp_path,
                                                                                     store):
    spool = tmp_path / "spool"
    db = tmp_path / "t.db"

    def recorder():
        options = {"spool": spool, "spool_max_bytes": 512 * 1024, "batch_size": 500}  # segments of 64 KiB
        if store == "sqlite":
            return SqliteRecorder(db, **options)
        return PostgresRecorder(server.conninfo, table=table, **options)

    with recorder() as rec:
        rec.record_metadata_kv({"tsname": "lag"})
        for i in range(5000):
            rec.record_value(i)
        rec.flush()
        # What a power loss may leave of `confirmed`: a count long overtaken.
        old_confirmed = (spool / "confirmed").read_bytes()
        for i in range(5000, 20_001):
            rec.record_value(i)
    (spool / "confirmed").write_bytes(old_confirmed)
    with recorder() as rec:
        assert rec.stats.recovered > 0  # the newest segment is offered again
        rec.record_metadata_kv({"tsname": "lag"})
        rec.record_value(20_001)
    rows = sqlite_rows(db) if store == "sqlite" else read_rows(server.conninfo, table=table)
    assert [row[2] for row in rows] == [str(i) for i in range(20_002)]


def test_a_damaged_record_in_an_older_segment_loses_only_its_rows(server, table, tmp_path, caplog):
    spool = tmp_path / "spool"
    rec = PostgresRecorder(UNREACHABLE, table=table, spool=spool, connect_timeout=1, spool_max_bytes=2 << 20)
    rec.record_metadata_kv({"tsname": "damaged"})
    for i in range(20_000):
        rec.record_value(i)
        if i % 1000 == 999:
            time.sleep(0.03)  # several commits, several records
    with pytest.raises(TelemException):
        rec.close(timeout=0.5)
    first_segment = sorted(spool.glob("*.seg"))[0]
    damaged = [r for r in records(spool) if r[0] == first_segment][1]
    segment, offset, rows, length = damaged
    with open(segment, "r+b") as f:  # one byte of its payload
        f.seek(offset + HEADER + 10)
        byte = f.read(1)
        f.seek(offset + HEADER + 10)
        f.write(bytes([byte[0] ^ 0x5A]))
    before = sum(r[2] for r in records(spool) if (r[0], r[1]) < (segment, offset))
    with caplog.at_level(logging.WARNING, logger="telem_pyb_log"):
        rec = PostgresRecorder(server.conninfo, table=table, spool=spool)
        rec.close(timeout=60)
    lost = range(before, before + rows)
    assert values(server, table) == [str(i) for i in range(20_000) if i not in lost]
    s = rec.stats
    assert (s.recovered, s.written, s.lost, s.pending) == (20_000, 20_000 - rows, rows, 0)
    (error,) = [r.getMessage() for r in caplog.records if r.levelname == "ERROR"]
    assert (f"rows {before + 1} to {before + rows} of the spool {spool} are lost: {segment.name} bytes {offset} to "
            f"{offset + length}") in error
    assert ledger(server, table) == [(identity(spool), 20_000)]


def test_a_spool_moved_to_another_table_is_delivered_there_and_no_loss_is_reported(server, table, tmp_path, caplog):
    spool = tmp_path / "spool"
    with PostgresRecorder(server.conninfo, table=table, spool=spool) as rec:
        rec.record_metadata_kv({"tsname": "moved"})
        for i in range(10_000):
            rec.record_value(i)
    other = f"{table}_b"
    with caplog.at_level(logging.WARNING, logger="telem_pyb_log"):
        with PostgresRecorder(server.conninfo, table=other, spool=spool) as rec:
            rec.record_metadata_kv({"tsname": "moved"})
            for i in range(10_000, 10_100):
                rec.record_value(i)
    assert values(server, other) == [str(i) for i in range(10_000, 10_100)]
    assert (rec.stats.written, rec.stats.lost) == (100, 0)
    assert not [r for r in caplog.records if r.levelname == "ERROR"]
    assert f"has no count of the rows of {identity(spool)}: its rows up to 10000 went to another table" in caplog.text
    assert ledger(server, other) == [(identity(spool), 10_100)]


def test_a_spool_that_lost_its_identity_file_goes_on_under_its_identity(server, table, tmp_path, caplog):
    spool = tmp_path / "spool"
    with PostgresRecorder(server.conninfo, table=table, spool=spool) as rec:
        rec.record_metadata_kv({"tsname": "identity"})
        for i in range(10_000):
            rec.record_value(i)
    before = identity(spool)
    (spool / "identity").unlink()
    with caplog.at_level(logging.WARNING, logger="telem_pyb_log"):
        with PostgresRecorder(server.conninfo, table=table, spool=spool) as rec:
            rec.record_metadata_kv({"tsname": "identity"})
            for i in range(10_000, 10_100):
                rec.record_value(i)
    assert identity(spool) == before
    assert "its identity file was missing or damaged; it is restored" in caplog.text
    assert not [r for r in caplog.records if r.levelname == "ERROR"]
    assert values(server, table) == [str(i) for i in range(10_100)]
    assert ledger(server, table) == [(before, 10_100)]


@pytest.fixture
def small_disk(tmp_path):
    """An ext4 file system of its own, loop-mounted (needs root, as the tests
    run by make test), that goes read-only on an error: `read_only()` raises
    one through ext4's own error path, as a failing disk would, also under
    files open for writing (which a remount refuses)."""
    if os.geteuid() != 0:
        pytest.fail("a loop-mounted file system needs root")
    image = tmp_path / "disk.img"
    mount = tmp_path / "disk"
    mount.mkdir()
    with open(image, "wb") as f:
        f.truncate(32 << 20)
    subprocess.run(["mkfs.ext4", "-q", str(image)], check=True, capture_output=True)
    subprocess.run(["mount", "-o", "loop,errors=remount-ro", str(image), str(mount)], check=True,
                   capture_output=True)
    device = subprocess.run(["findmnt", "-n", "-o", "SOURCE", str(mount)], check=True, capture_output=True,
                            text=True).stdout.strip()

    def read_only():
        pathlib.Path(f"/sys/fs/ext4/{os.path.basename(device)}/trigger_fs_error").write_text("test")

    try:
        yield types.SimpleNamespace(path=mount, read_only=read_only)
    finally:
        subprocess.run(["umount", str(mount)], capture_output=True)
        subprocess.run(["losetup", "-d", device], capture_output=True)


def test_a_spool_whose_file_system_goes_read_only_is_given_up_and_delivery_goes_on(server, table, small_disk,
                                                                                      caplog):
    rec = PostgresRecorder(server.conninfo, table=table, spool=small_disk.path / "spool", batch_size=200,
                           max_delay=0.05)
    rec.record_metadata_kv({"tsname": "ro"})
    for i in range(2000):
        rec.record_value(i)
    rec.flush()
    small_disk.read_only()
    for i in range(2000, 4000):
        rec.record_value(i)  # never raises
        if i % 500 == 0:
            time.sleep(0.05)
    rec.close(timeout=60)
    assert values(server, table) == [str(i) for i in range(4000)]
    s = rec.stats
    assert (s.recorded, s.written, s.pending, s.abandoned) == (4000, 4000, 0, 0)
    assert "Read-only file system" in s.spool_error and s.unspooled > 0
    assert "the spool is given up: rows are delivered from memory" in caplog.text
