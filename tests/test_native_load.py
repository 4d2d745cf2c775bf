"""One Python recorder under load from native threads and Python threads at once.

Eight native threads of the peer module make 50,000 calls each (RecordMetadata,
RecordMetadataKv, RecordPoint, RecordValue and Close in turn) without the
interpreter lock, while Python threads call the same recorder through its bound
methods and through the peer. Every call carries a unique id, so each arrival
is counted; some ids make the Python method raise, and that exception must
reach the very caller that made the call. The load runs in a child interpreter
with a watchdog, so a deadlock fails the test with every thread's stack.
"""

import collections
import sys
import threading

import telem_peer
from helpers import isolated
from telem_pyb import TelemException, TelemRecorder, TsMetadata, TsPoint

NATIVE_THREADS = 8
NATIVE_CALLS = 50_000
NATIVE_OPS = "mkpvc"  # the peer's letters: RecordMetadata, RecordMetadataKv, RecordPoint, RecordValue, Close
PYTHON_THREADS = 2
PYTHON_MIN_CALLS = 5_000  # per Python thread; they go on until the native threads are done
PYTHON_ID_BASE = 10**9  # Python thread k uses ids from PYTHON_ID_BASE * (k + 1)
POINT_REFUSED_EVERY = 7  # record_point raises ValueError for ids divisible by this
META_REFUSED_EVERY = 11  # record_metadata raises TelemException for ids divisible by this
WATCHDOG_SECONDS = 600


class Tally(TelemRecorder):
    """Counts every arrival by id; refuses some ids by raising."""

    def __init__(self):
        super().__init__()
        self.points = []  # (id, mtime)
        self.metadata = []  # (id, btype)
        self.closes = collections.Counter()  # calling thread's ident -> closes

    def record_point(self, point):
        ident = point.value
        self.points.append((ident, point.mtime))
        if ident % POINT_REFUSED_EVERY == 0:
            raise ValueError(f"point {ident} refused")

    def record_metadata(self, meta):
        ident = int(meta.tsid)
        self.metadata.append((ident, meta.btype))
        if ident % META_REFUSED_EVERY == 0:
            raise TelemException(f"metadata {ident} refused")

    def close(self):
        self.closes[threading.get_ident()] += 1


def refusal(op, ident):
    """(exception type name, message) that the call `op` with `ident` raises, or None."""
    if op in "pv" and ident % POINT_REFUSED_EVERY == 0:
        return "ValueError", f"point {ident} refused"
    if op in "mk" and ident % META_REFUSED_EVERY == 0:
        return "TelemException", f"metadata {ident} refused"
    return None


class Expected:
    """What the recorder should have received, built call by call."""

    def __init__(self):
        self.points = collections.Counter()
        self.metadata = collections.Counter()

    def add(self, op, ident):
        if op == "p":
            self.points[(ident, str(ident))] += 1
        elif op in "vn":
            self.points[(ident, "")] += 1
        elif op == "m":
            self.metadata[(ident, "direct")] += 1
        elif op == "k":
            self.metadata[(ident, "kv")] += 1


# Calls a Python thread makes, by letter; "n" is a native RecordValue made by the
# peer on the Python thread, with the lock held.
def _python_call(rec, op, ident):
    if op == "p":
        point = TsPoint()
        point.value = ident
        point.mtime = str(ident)
        TelemRecorder.record_point(rec, point)
    elif op == "v":
        rec.record_value(ident)
    elif op == "n":
        telem_peer.record_value(rec, ident)
    elif op == "m":
        meta = TsMetadata()
        meta.tsid = str(ident)
        meta.btype = "direct"
        TelemRecorder.record_metadata(rec, meta)
    elif op == "k":
        rec.record_metadata_kv({"tsid": str(ident), "btype": "kv"})
    elif op == "c":
        TelemRecorder.close(rec)


PYTHON_OPS = "pvnmkc"


def _python_caller(rec, base, native_done, report):
    """Calls `rec` until the native threads are done; reports ids made and failures seen."""
    made, failures = [], {}
    j = 0
    while j < PYTHON_MIN_CALLS or not native_done.is_set():
        op, ident = PYTHON_OPS[j % len(PYTHON_OPS)], base + j
        try:
            _python_call(rec, op, ident)
        except (ValueError, TelemException) as exc:
            failures[ident] = (type(exc).__name__, str(exc))
        made.append((op, ident))
        j += 1
    report.update(made=made, failures=failures, ident=threading.get_ident())


def _first_lines(errors):
    return {(kind, name, message.split("\n")[0]): n for (kind, name, message), n in errors.items()}


@isolated(timeout=WATCHDOG_SECONDS)
def test_native_and_python_threads_share_one_recorder():
    # Switch the lock often, so that Python threads and native callers interleave.
    sys.setswitchinterval(1e-4)
    baseline = telem_peer.thread_state_count()

    rec = Tally()
    native_result, native_done = [], threading.Event()

    def run_native():
        try:
            native_result.extend(telem_peer.run_threads(rec, NATIVE_THREADS, NATIVE_CALLS, NATIVE_OPS))
        finally:
            native_done.set()

    reports = [{} for _ in range(PYTHON_THREADS)]
    threads = [threading.Thread(target=run_native)] + [
        threading.Thread(target=_python_caller, args=(rec, PYTHON_ID_BASE * (k + 1), native_done, reports[k]))
        for k in range(PYTHON_THREADS)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    # Every native thread got exactly the failures of its own calls.
    expected = Expected()
    assert len(native_result) == NATIVE_THREADS
    for t, outcome in enumerate(native_result):
        wanted = collections.Counter()
        for j in range(NATIVE_CALLS):
            op, ident = NATIVE_OPS[j % len(NATIVE_OPS)], t * NATIVE_CALLS + j
            expected.add(op, ident)
            refused = refusal(op, ident)
            if refused:
                name, message = refused
                wanted[("python", name, f"{name}: {message}")] += 1
        assert _first_lines(outcome["errors"]) == dict(wanted), f"native thread {t}"
        assert outcome["ok"] == NATIVE_CALLS - sum(wanted.values()), f"native thread {t}"

    # Every Python thread got exactly the failures of its own calls.
    python_closes = {}
    for report in reports:
        wanted = {}
        for op, ident in report["made"]:
            expected.add(op, ident)
            refused = refusal("v" if op == "n" else op, ident)
            if refused:
                wanted[ident] = refused
        assert report["failures"] == wanted
        python_closes[report["ident"]] = sum(op == "c" for op, _ in report["made"])
        assert len(report["made"]) >= PYTHON_MIN_CALLS

    # Every call arrived exactly once.
    assert collections.Counter(rec.points) == expected.points
    assert collections.Counter(rec.metadata) == expected.metadata
    assert all(type(ident) is int for ident, _ in rec.points)
    native_closes = {ident: n for ident, n in rec.closes.items() if ident not in python_closes}
    assert sorted(native_closes.values()) == [NATIVE_CALLS // len(NATIVE_OPS)] * NATIVE_THREADS
    assert {ident: rec.closes[ident] for ident in python_closes} == python_closes

    # The thread states made for the native callers are gone again.
    assert telem_peer.thread_state_count() == baseline


def test_thread_state_count_follows_python_threads():
    """The count used above sees a thread state come and go."""
    baseline = telem_peer.thread_state_count()
    started, release = threading.Event(), threading.Event()

    def wait():
        started.set()
        release.wait()

    t = threading.Thread(target=wait)
    t.start()
    started.wait()
    assert telem_peer.thread_state_count() == baseline + 1
    release.set()
    t.join()
    assert telem_peer.thread_state_count() == baseline
