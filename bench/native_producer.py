"""Native producer threads (examples/native_producer) recording into a log recorder.

    python bench/native_producer.py --producer-dir build/producer [--samples N] [--repeats R] [--json FILE]

`produce(recorder, metadata, workers, samples)` with 1 and 2 workers into a
SqliteRecorder, timed from the call to its return: ns per point on a
recording thread (1 worker) and points per second (2 against 1). While the
producer runs the recorder's writer has nothing to do (batch_size and
max_delay larger than the run), so that it does not take one of the two cores
from the recording threads; flush() then writes the rows, untimed. One
recorder serves all runs, after a warm-up run: the queue's memory is then
reused, as in a recorder that has run a while. The "sustained" rows repeat
this with the defaults (batches of 1000, the writer busy alongside). Each
figure is the median of R runs, 1 and 2 workers alternating. Targets: at most 250 ns per point with 1 worker, 2 workers at
least 1.6x the points per second of 1.
"""

import argparse
import json
import os
import pathlib
import statistics
import sys
import tempfile
import time


def run(rec, workers, samples):
    import telem_producer

    counts = hasattr(rec, "stats")  # an earlier release's recorders have none
    before = rec.stats.written if counts else 0
    t0 = time.perf_counter_ns()
    recorded = telem_producer.produce(rec, {"tsname": "producer.sample", "btype": "int"}, workers, samples)
    elapsed = time.perf_counter_ns() - t0
    rec.flush()
    assert recorded == workers * samples and (not counts or rec.stats.written == before + recorded)
    return elapsed



def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--producer-dir", required=True, help="the directory of the built telem_producer module")
    ap.add_argument("--samples", type=int, default=100_000, help="points per worker")
    ap.add_argument("--repeats", type=int, default=11)
    ap.add_argument("--json", metavar="FILE")
    ap.add_argument("--package-dir", metavar="DIR", help="measure the telem_pyb_log package of DIR")
    args = ap.parse_args()
    sys.path.insert(0, args.producer_dir)
    if args.package_dir:
        sys.path.insert(0, args.package_dir)
    deferred = {"batch_size": 100_000_000, "max_delay": 3600}
    if not args.package_dir:
        deferred["max_pending"] = 100_000_000
    results = {}
    from telem_pyb_log import SqliteRecorder

    with tempfile.TemporaryDirectory() as tmp:
        for name, options in (("writer idle while recording", deferred), ("sustained", {})):
            rec = SqliteRecorder(pathlib.Path(tmp, f"{len(results)}.db"), **options)
            run(rec, 2, args.samples)  # warm-up: the queue's memory, then reused
            times = {1: [], 2: []}
            for _ in range(args.repeats):
                for workers in (1, 2):
                    times[workers].append(run(rec, workers, args.samples))
            rec.close()
            per_point = statistics.median(times[1]) / args.samples
            ratio = statistics.median(t1 / t2 * 2 for t1, t2 in zip(times[1], times[2]))
            print(f"  {name:<28} 1 worker {per_point:7.1f} ns/point; 2 workers {ratio:4.2f}x the points/s of 1"
                  + ("  (targets <= 250 ns: {}; >= 1.6x: {})".format("met" if per_point <= 250 else "NOT met",
                                                                      "met" if ratio >= 1.6 else "NOT met")
                     if options is deferred else ""))
            results[name] = {"ns_per_point_1_worker": per_point, "rate_ratio_2_to_1": ratio}
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
