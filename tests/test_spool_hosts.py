"""Recorders with spools on hosts of their own: the PostgreSQL server and two
recorder hosts in network namespaces (tests/netns.py), connected over TCP;
links are cut and healed while they record, and a recorder is killed while
its host is cut off. Every row arrives exactly once, in order per recorder.

These tests need root and iproute2 (make test installs it); without them they
fail, they do not skip."""

import json
import mmap
import signal
import subprocess
import sys
import textwrap
import time

import psycopg
import pytest

import netns
from pg_cluster import Cluster
from telem_pyb_log import PostgresRecorder
from telem_pyb_log.postgres import read_rows

# Records `n` numbered values paced to `rate` a second (n = 0: until killed),
# publishing the count in a shared counter, then closes and prints its stats.
PRODUCER = textwrap.dedent("""
    import dataclasses, json, mmap, sys, time
    from telem_pyb_log import PostgresRecorder
    conninfo, table, spool, name, n, rate, counter = sys.argv[1:]
    n, rate = int(n), int(rate)
    counter_file = open(counter, "r+b")
    shared = mmap.mmap(counter_file.fileno(), 8)
    rec = PostgresRecorder(conninfo, table=table, spool=spool, spool_interval=0.05, batch_size=500, max_delay=0.1,
                           connect_timeout=2, write_timeout=2)
    rec.record_metadata_kv({"tsname": name})
    print("recording", flush=True)
    start = time.monotonic()
    i = 0
    while n == 0 or i < n:
        rec.record_value(i)
        i += 1
        shared[:8] = i.to_bytes(8, "little")
        if i % 50 == 0:
            time.sleep(max(0.0, start + i / rate - time.monotonic()))
    rec.close(timeout=120)
    print(json.dumps(dataclasses.asdict(rec.stats), default=str), flush=True)
""")


@pytest.fixture(scope="module")
def hosts():
    why = netns.unavailable()
    if why is not None:
        pytest.fail(f"the cross-host tests cannot run: {why}")
    network = netns.Network("srv", "h1", "h2")
    cluster = None
    try:
        cluster = Cluster(netns=network.hosts["srv"])
        cluster.start(listen=network.address["srv"], clients=network.subnet)
        network.cluster = cluster
        network.conninfo = f"host={network.address['srv']} port=5432 dbname=postgres user=postgres"
        yield network
    finally:
        if cluster is not None:
            cluster.remove()
        network.remove()


class Producer:
    def __init__(self, hosts, host, table, spool, name, n, rate, tmp_path):
        self.name = name
        self.counter = tmp_path / f"{name}.count"
        self.counter.write_bytes(bytes(8))
        self.proc = subprocess.Popen(
            hosts.command(host, sys.executable, "-c", PRODUCER, hosts.conninfo, table, spool, name, n, rate,
                          self.counter), stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline() == "recording\n"

    def recorded(self):
        with open(self.counter, "r+b") as f:
            return int.from_bytes(mmap.mmap(f.fileno(), 8)[:8], "little")

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()
        self.proc.stdout.close()
        return self.recorded()

    def stats(self):
        out, _ = self.proc.communicate(timeout=180)
        assert self.proc.returncode == 0, out
        return json.loads(out)


def count(hosts, table, name):
    with psycopg.connect(hosts.cluster.conninfo) as conn:
        return conn.execute(f"SELECT count(*) FROM {table} WHERE tsname = %s", (name,)).fetchone()[0]


def check_once_in_order(hosts, table, name, recorded, at_most_missing=0):
    got = [row[2] for row in read_rows(hosts.cluster.conninfo, name, table=table)]
    assert got == [str(i) for i in range(len(got))], name
    assert -1 <= recorded - len(got) <= at_most_missing, (name, recorded, len(got))
    return len(got)


def test_links_cut_and_healed_while_two_hosts_record_and_one_is_killed(hosts, tmp_path):
    table = "log_cut_heal"
    rate = 2000
    h1 = Producer(hosts, "h1", table, tmp_path / "spool1", "h1.a", rate * 12, rate, tmp_path)
    h2 = Producer(hosts, "h2", table, tmp_path / "spool2", "h2.a", 0, rate, tmp_path)
    time.sleep(1)
    hosts.cut("h1")
    time.sleep(3)
    hosts.heal("h1")
    time.sleep(1)
    hosts.cut("srv")  # both lose the server
    time.sleep(2)
    hosts.heal("srv")
    time.sleep(1)
    hosts.cut("h2")
    time.sleep(1.5)
    killed = h2.kill()  # while cut off: what it recorded waits in its spool
    h2b = Producer(hosts, "h2", table, tmp_path / "spool2", "h2.b", rate * 3, rate, tmp_path)
    time.sleep(1)
    hosts.heal("h2")
    s1, s2 = h1.stats(), h2b.stats()
    assert s1["failed_writes"] > 0 and s1["recorded"] == s1["written"] == rate * 12
    assert s2["recovered"] > 0 and s2["written"] == s2["recorded"] + s2["recovered"]
    check_once_in_order(hosts, table, "h1.a", rate * 12)
    delivered = check_once_in_order(hosts, table, "h2.a", killed, at_most_missing=rate * 0.3)
    check_once_in_order(hosts, table, "h2.b", rate * 3)
    print(f"h1.a: {rate * 12} rows, {s1['failed_writes']} failed writes; h2.a: killed after {killed} rows, "
          f"{delivered} delivered; h2.b: {rate * 3} rows, {s2['recovered']} recovered first")
    with psycopg.connect(hosts.cluster.conninfo) as conn:
        stored = sorted(r[0] for r in conn.execute(f"SELECT stored FROM {table}_delivered"))
    assert stored == sorted([rate * 12, delivered + rate * 3])


@pytest.mark.long
def test_a_60_s_partition_of_one_recorder_host_while_the_other_keeps_flowing(hosts, tmp_path):
    table = "log_partition"
    rate, seconds = 1000, 72
    h1 = Producer(hosts, "h1", table, tmp_path / "spool1", "h1", rate * seconds, rate, tmp_path)
    h2 = Producer(hosts, "h2", table, tmp_path / "spool2", "h2", rate * seconds, rate, tmp_path)
    time.sleep(3)
    hosts.cut("h1")
    time.sleep(5)  # rows in flight when the link went are written or given up by now
    before = count(hosts, table, "h1"), count(hosts, table, "h2")
    time.sleep(50)
    during = count(hosts, table, "h1"), count(hosts, table, "h2")
    time.sleep(5)
    hosts.heal("h1")
    assert during[0] == before[0], "rows of the cut-off host arrived"
    assert during[1] - before[1] >= rate * 40, "the other host's rows did not keep flowing"
    s1, s2 = h1.stats(), h2.stats()
    assert s1["failed_writes"] > 0 and s2["failed_writes"] == 0
    for name in ("h1", "h2"):
        check_once_in_order(hosts, table, name, rate * seconds)
    print(f"during the partition: h1 {during[0] - before[0]} rows, h2 {during[1] - before[1]} rows; "
          f"after healing: {rate * seconds} rows each, exactly once")


# Writes big rows as fast as it can, until killed.
BIG_ROWS = textwrap.dedent("""
    import sys, time
    from telem_pyb_log import PostgresRecorder
    conninfo, table = sys.argv[1:]
    rec = PostgresRecorder(conninfo, table=table, batch_size=1000, max_delay=0.01, max_pending=200,
                           write_timeout=30)
    rec.record_metadata_kv({"tsname": "lost.host"})
    big = "x" * 65536
    print("recording", flush=True)
    i = 0
    while True:
        rec.record_value(f"{i} {big}")
        i += 1
        if i % 20 == 0:
            time.sleep(0.001)
""")


def copying_session(hosts, host):
    """The server's session of `host` that waits for the rest of a COPY, or None."""
    with psycopg.connect(hosts.cluster.conninfo, autocommit=True) as conn:
        row = conn.execute("SELECT pid FROM pg_stat_activity WHERE query LIKE '%%COPY%%' AND state = 'active' "
                           "AND wait_event = 'ClientRead' AND client_addr = %s", (hosts.address[host],)).fetchone()
    return row[0] if row else None


@pytest.mark.long
def test_a_host_lost_in_the_middle_of_a_copy_holds_up_no_other_recorder_and_its_session_goes(hosts):
    table = "log_lost_host"
    proc = subprocess.Popen(hosts.command("h1", sys.executable, "-c", BIG_ROWS, hosts.conninfo, table),
                            stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "recording\n"
        stuck = None
        for _ in range(400):  # stopped when its server session waits for the rest of a COPY
            proc.send_signal(signal.SIGSTOP)
            time.sleep(0.02)
            stuck = copying_session(hosts, "h1")
            if stuck is not None:
                break
            proc.send_signal(signal.SIGCONT)
            time.sleep(0.01)
        assert stuck is not None, "the host's session was never caught in the middle of a COPY"
        hosts.cut("h1")  # the host is lost: nothing it sends or answers arrives any more
        proc.kill()
        proc.wait()
        # Another recorder of the table connects and delivers at once.
        started = time.monotonic()
        with PostgresRecorder(hosts.cluster.conninfo, table=table, write_timeout=5, connect_timeout=5) as rec:
            rec.record_metadata_kv({"tsname": "other.host"})
            for i in range(100):
                rec.record_value(i)
            rec.flush(timeout=20)
        delivered_after = time.monotonic() - started
        # The lost host's session, and its locks, go within about a minute.
        deadline = time.monotonic() + 90
        while copying_session(hosts, "h1") == stuck:
            assert time.monotonic() < deadline, "the lost host's session is still there after 90 s"
            time.sleep(1)
        gone_after = time.monotonic() - started
    finally:
        proc.kill()
        proc.stdout.close()
        hosts.heal("h1")
    assert [row[2] for row in read_rows(hosts.cluster.conninfo, "other.host", table=table)] == [str(i) for i in range(100)]
    print(f"another recorder delivered after {delivered_after:.1f} s; the lost host's session went after "
          f"{gone_after:.1f} s")
