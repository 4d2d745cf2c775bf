"""Lifetime of records and recorders: reference cycles, the collector, and native owners.

pybind11's registry of live instances (counted through the peer module) shows
whether the native objects of instances without weak reference support are gone.
"""

import collections
import gc
import threading
import time
import weakref

import pytest

import telem_peer
from helpers import PURE, SANITIZED, Sink, expect_pure_virtual, isolated
from telem_pyb import TelemException, TelemRecorder, TsMetadata, TsPoint
from telem_pyb.backend.log import Point

OP_TARGET = {"m": "record_metadata", "k": "record_metadata", "p": "record_point", "v": "record_point", "c": "close"}


def live_instances():
    gc.collect()
    return telem_peer.registered_instances()


@pytest.fixture
def no_instances_left_behind():
    """Fails the test if it leaves live bound instances behind once its objects are collected."""
    before = live_instances()
    yield
    assert live_instances() == before


def _subclass(base):
    return type(f"Sub{base.__name__}", (base,), {})


@pytest.mark.parametrize("base", [TsPoint, TsMetadata, Point, TelemRecorder, Sink], ids=lambda c: c.__name__)
def test_subclass_instance_in_a_self_cycle_is_collected(base, no_instances_left_behind):
    obj = _subclass(base)()
    obj.me = obj
    alive = weakref.ref(obj)
    del obj
    gc.collect()
    assert alive() is None


def test_instances_held_only_by_a_cycle_are_freed(no_instances_left_behind):
    baseline = live_instances()
    cycle = [TsPoint(), TsMetadata(), Point(), TelemRecorder(), Sink()]
    cycle.append(cycle)
    grown = live_instances()
    assert sum(grown.values()) == sum(baseline.values()) + 5
    del cycle


def test_recorder_keeping_its_records_in_a_cycle_is_collected(no_instances_left_behind):
    rec = Sink()
    for i in range(100):
        rec.record_value(i)
        rec.record_metadata_kv({"tsid": str(i)})
    rec.points.append(rec)  # the recorder reaches itself through its own list
    rec.callback = rec.record_point  # and through a bound method
    alive = weakref.ref(rec)
    del rec
    gc.collect()
    assert alive() is None


def test_recorder_reached_from_a_caught_exception_is_collected(no_instances_left_behind):
    class Failing(Sink):
        def record_point(self, point):
            raise TelemException("refused")

    rec = Failing()
    try:
        rec.record_value(1)
    except TelemException as exc:
        rec.error = exc  # recorder -> exception -> traceback -> frames -> recorder
    alive = weakref.ref(rec)
    del rec
    gc.collect()
    assert alive() is None


def test_collected_subclass_leaves_no_stale_override_lookup():
    """A subclass without close puts (its type, "close") into pybind11's negative cache;
    when the type is collected the entry must go, or a new type made at the same address
    would lose its close."""
    reused = 0
    seen = set()
    for _ in range(60):
        bare = type("Bare", (TelemRecorder,), {})
        with pytest.raises(RuntimeError, match="type::close"):
            TelemRecorder.close(bare())
        seen.add(id(bare))
        del bare
        gc.collect()
        closes = []
        full = type("Full", (TelemRecorder,), {"close": lambda self: closes.append(1)})
        reused += id(full) in seen
        TelemRecorder.close(full())
        assert closes == [1]
        del full
        gc.collect()
    if reused == 0 and SANITIZED:
        pytest.skip("AddressSanitizer holds freed memory back, so no type reuses a collected type's address")
    assert reused > 0, "no type was made at a collected type's address, so nothing was checked"


# ---------------------------------------------------------------------------
# A native owner keeps the native half after Python drops the recorder


@pytest.mark.parametrize("drop", ["refcount", "collector"])
@isolated
def test_override_dropping_the_last_reference_to_its_recorder(drop):
    registry = []

    class SelfDropping(Sink):
        def record_point(self, point):
            super().record_point(point)
            registry.clear()  # the Python object now lives only as long as this call

    rec = SelfDropping()
    if drop == "collector":
        rec.cycle = rec
    alive = weakref.ref(rec)
    holder = telem_peer.RecorderHolder(rec)
    registry.append(rec)
    del rec
    holder.record_value(7)  # runs to its end while the frame still holds the recorder
    gc.collect()
    assert alive() is None
    assert holder.use_count() == 1
    expect_pure_virtual(holder)


@isolated
def test_recorder_whose_last_reference_dies_during_the_override_lookup():
    # The lookup's recursion guard reads the locals of a Python function named
    # record_point; refreshing them drops `junk`, whose __del__ drops the last
    # reference to the recorder while the lookup is using it.
    arrivals, owners = [], {}

    class Dropper:
        def __del__(self):
            owners.clear()

    class Recorder(Sink):
        def record_point(self, point):
            arrivals.append(point.value)

    owners["recorder"] = Recorder()
    alive = weakref.ref(owners["recorder"])
    holder = telem_peer.RecorderHolder(owners["recorder"])

    def record_point(unused):
        junk = Dropper()
        locals()  # the frame's locals dict now holds junk too
        del junk
        holder.record_value(1.5)

    record_point(None)
    assert arrivals == [1.5]  # the call ran on the recorder it found
    gc.collect()
    assert alive() is None
    expect_pure_virtual(holder)


@pytest.mark.parametrize("drop", ["refcount", "collector"])
@isolated(timeout=300)
def test_recorder_dropped_while_native_threads_call_it(drop):
    threads, calls, ops = 4, 20_000, "mkpvc"
    arrivals = []

    class Counting(TelemRecorder):
        def record_point(self, point):
            arrivals.append(point.value)

        def record_metadata(self, meta):
            arrivals.append(meta.tsid)

        def close(self):
            arrivals.append(None)

    rec = Counting()
    if drop == "collector":
        rec.cycle = rec
    alive = weakref.ref(rec)
    holder = telem_peer.RecorderHolder(rec)
    result = []
    runner = threading.Thread(target=lambda: result.extend(holder.run_threads(threads, calls, ops)))
    runner.start()
    while len(arrivals) < 2_000:
        time.sleep(0.001)
    del rec
    gc.collect()
    assert alive() is None
    runner.join()

    ok = sum(r["ok"] for r in result)
    errors = collections.Counter()
    for r in result:
        errors.update(r["errors"])
    allowed = {("std", "runtime_error", message) for message in PURE.values()}
    assert set(errors) <= allowed, errors
    assert ok == len(arrivals)  # every call that succeeded reached Python, and no other did
    assert ok + sum(errors.values()) == threads * calls
    assert sum(errors.values()) > 0, "the run ended before the recorder was dropped"
    expect_pure_virtual(holder)


# ---------------------------------------------------------------------------
# A recorder closed by a native helper it owns, while it is being destroyed


@isolated
def test_recorder_closed_from_its_own_destruction_finds_no_override():
    rec = Sink()
    rec.helper = telem_peer.ClosesWhenDestroyed(rec)  # released while rec is deallocated
    del rec
    # The dying recorder is not revived (and freed twice): Close finds no override.
    assert telem_peer.destructor_failures() == [PURE["close"]]
