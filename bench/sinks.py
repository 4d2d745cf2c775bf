"""Many series through one sink against one series, in one run.

    python bench/sinks.py [--producer-dir build/producer] [--points N] [--repeats R] [--json FILE]

- Python: `record_value` from one Python thread, round-robin over 2,000
  recorders of one sink against as many calls into one recorder, into a
  SqliteSink and into a LogSink whose store keeps nothing: CPU time
  of the recording thread per point (thread_time), and of the whole process
  (process_time, the writer's share included) per point once the rows are
  written. While recording the writer has nothing to do (batch_size and
  max_delay larger than the run); flush() then writes, counted in the
  process figure only.
- Threads and descriptors the process gains with a sink of 2,000 series.
- An idle recorder: the bytes that 10,000 described recorders of one sink
  take, each; Python's (tracemalloc) and the native heap's (glibc mallinfo2)
  apart.
- Native producer (with --producer-dir): 4 threads with 250 series each
  against 4 threads with one series each (produce_series), ns per point on a
  recording thread, and the CPU of the four threads per point.
Each figure is the median of R runs, the two cases alternating; a ratio is
the median of the ratios of the runs made one after the other. Targets:
2,000 series at most 1.1x the CPU per point of one series, in both; at most
2 threads and 8 descriptors per sink; at most 2 KB per idle recorder.
"""

import argparse
import ctypes
import gc
import json
import os
import statistics
import sys
import tempfile
import time
import tracemalloc


class Discarding:
    """A store that keeps nothing: the pipeline's own cost, without SQLite's."""

    where = "nowhere"

    def connect(self):
        pass

    def create(self):
        pass

    def write(self, rows, first_seq):
        pass

    def close(self):
        pass


def series_cpu(make_sink, recorders, points):
    """(thread ns, process ns) per point, over `recorders` series."""
    with make_sink(batch_size=10 * points, max_delay=3600, max_pending=10 * points) as sink:
        recs = [sink.recorder(tsname=f"s{i}", units="V") for i in range(recorders)]
        calls = recs * (points // recorders)  # the same loop for both
        for rec in recs:  # warm-up: the queue's memory then is reused
            rec.record_value(0)
        sink.flush()
        p0, t0 = time.process_time_ns(), time.thread_time_ns()
        for rec in calls:
            rec.record_value(1.5)
        t1 = time.thread_time_ns()
        sink.flush()
        p1 = time.process_time_ns()
        n = len(calls)
        assert sink.stats.written == n + recorders
    return (t1 - t0) / n, (p1 - p0) / n


def paired_ratio(many, one):
    """The median of the ratios of runs made one after the other: a load on
    the machine that comes and goes then weighs on both sides of a ratio."""
    return statistics.median(m / o for m, o in zip(many, one))


def threads_and_fds():
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def native_heap():
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def idle_recorder_bytes(sink_cls, db, count=10_000):
    with sink_cls(db) as sink:
        sink.recorder(tsname="warm", units="V")
        gc.collect()
        tracemalloc.start()
        py0, native0 = tracemalloc.get_traced_memory()[0], native_heap()
        recs = [sink.recorder(tsname=f"series.{i:05d}", units="V", origin="bench") for i in range(count)]
        gc.collect()
        py1, native1 = tracemalloc.get_traced_memory()[0], native_heap()
        tracemalloc.stop()
        del recs
    # tracemalloc's own bookkeeping lands in the native heap: taken out as
    # well as it can be, it makes the native figure a bound from above.
    return (py1 - py0) / count, (native1 - native0) / count


def producer_ns(sink_cls, db, per_thread, workers, samples):
    import telem_producer

    with sink_cls(db, batch_size=10 * workers * samples, max_delay=3600, max_pending=10 * workers * samples) as sink:
        recs = [sink.recorder(tsname=f"p{i}", btype="int") for i in range(workers * per_thread)]
        telem_producer.produce_series(recs, workers, per_thread)  # warm-up
        sink.flush()
        t0, p0 = time.perf_counter_ns(), time.process_time_ns()
        recorded = telem_producer.produce_series(recs, workers, samples)
        elapsed, cpu = time.perf_counter_ns() - t0, time.process_time_ns() - p0
        sink.flush()
        assert recorded == workers * samples
    # Per point on one recording thread; and the CPU of all of them (the
    # writer idles meanwhile) per point, which other loads of the machine
    # do not inflate as they do the elapsed time.
    return elapsed / samples, cpu / recorded


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--producer-dir", help="the directory of the built telem_producer module")
    ap.add_argument("--points", type=int, default=200_000)
    ap.add_argument("--repeats", type=int, default=15)
    ap.add_argument("--json", metavar="FILE")
    args = ap.parse_args()
    if args.producer_dir:
        sys.path.insert(0, args.producer_dir)
    from telem_pyb_log import LogSink, SqliteSink

    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        def db():
            return os.path.join(tmp, f"{time.monotonic_ns()}.db")

        stores = {"sqlite": lambda **o: SqliteSink(db(), **o), "discarding": lambda **o: LogSink(Discarding(), **o)}
        for store, make_sink in stores.items():
            runs = {1: [], 2000: []}
            for _ in range(args.repeats):
                for n in runs:
                    runs[n].append(series_cpu(make_sink, n, args.points))
            for n in runs:
                results[f"python {store} {n} series: thread ns/point"] = statistics.median(r[0] for r in runs[n])
                results[f"python {store} {n} series: process ns/point"] = statistics.median(r[1] for r in runs[n])
            for i, kind in enumerate(("thread", "process")):
                results[f"python {store} 2000/1 series ({kind} CPU)"] = paired_ratio(
                    [r[i] for r in runs[2000]], [r[i] for r in runs[1]])

        before = threads_and_fds()
        with SqliteSink(db()) as sink:
            recs = [sink.recorder(tsname=f"s{i}") for i in range(2000)]
            for rec in recs:
                rec.record_value(1)
            sink.flush()
            during = threads_and_fds()
        results["threads per sink (2000 series)"] = during[0] - before[0]
        results["fds per sink (2000 series)"] = during[1] - before[1]

        py_bytes, native_bytes = idle_recorder_bytes(SqliteSink, db())
        results["idle recorder: Python bytes"] = py_bytes
        results["idle recorder: native bytes"] = native_bytes
        results["idle recorder: bytes"] = py_bytes + native_bytes

        if args.producer_dir:
            samples = 50_000
            prod = {1: [], 250: []}
            for _ in range(args.repeats):
                for n in prod:
                    prod[n].append(producer_ns(SqliteSink, db(), n, 4, samples))
            for n in prod:
                results[f"producer 4 x {n} series: ns/point"] = statistics.median(r[0] for r in prod[n])
                results[f"producer 4 x {n} series: CPU ns/point"] = statistics.median(r[1] for r in prod[n])
            results["producer 250/1 series"] = paired_ratio([r[0] for r in prod[250]], [r[0] for r in prod[1]])
            results["producer 250/1 series (CPU)"] = paired_ratio([r[1] for r in prod[250]], [r[1] for r in prod[1]])

    width = max(map(len, results))
    for name, value in results.items():
        print(f"{name:<{width}}  {value:10.3f}" if isinstance(value, float) else f"{name:<{width}}  {value:10d}")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()
