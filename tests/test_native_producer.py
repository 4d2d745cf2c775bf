"""The native producer example (examples/native_producer): how its worker threads meet Python."""

import threading

import pytest

import telem_peer
from helpers import CALLER_NOTING_RECORDER
from telem_pyb import TelemRecorder

telem_producer = pytest.importorskip("telem_producer", reason="the producer example is built by `make producer`")


class ThreadStateCounting(TelemRecorder):
    """Counts the points and the Python thread states they arrive on (a threading.local is per thread state)."""

    def __init__(self):
        super().__init__()
        self.local = threading.local()
        self.points = 0
        self.thread_states = 0

    def record_point(self, point):
        self.points += 1
        if not hasattr(self.local, "seen"):
            self.local.seen = True
            self.thread_states += 1

    def record_metadata(self, meta):
        pass

    def close(self):
        pass


@pytest.mark.parametrize("workers, samples", [(1, 500), (4, 2000)])
def test_each_worker_keeps_one_thread_state_and_removes_it(workers, samples):
    before = telem_peer.thread_state_count()
    rec = ThreadStateCounting()
    assert telem_producer.produce(rec, {"tsname": "x"}, workers, samples) == workers * samples
    assert (rec.points, rec.thread_states) == (workers * samples, workers)
    assert telem_peer.thread_state_count() == before


EXIT_WHILE_PRODUCING = CALLER_NOTING_RECORDER + """
import time
import telem_producer

producing = threading.Thread(target=telem_producer.produce, args=(CallerNoting(), {"tsname": "x"}, 4, 1000000),
                             daemon=True)
producing.start()
while len(callers) < 4:
    time.sleep(0.001)
# The script ends while produce() runs in a daemon thread and its workers record.
"""


def test_script_ending_while_the_producer_records():
    from helpers import SANITIZED, run_python

    for _ in range(5 if SANITIZED else 40):
        result = run_python(EXIT_WHILE_PRODUCING)
        assert result.returncode == 0, result.stderr
        assert "terminate" not in result.stderr and "Fatal" not in result.stderr, result.stderr
