"""Recording calls while the PostgreSQL server is stopped with SIGSTOP.

    python bench/stalled_server.py [--seconds S] [--json FILE]

A PostgresRecorder on a throwaway cluster (tests/pg_cluster.py); four native
threads of the test driver (tests/log_native/log_driver.cpp, on PYTHONPATH)
record 250 points a second each, and a Python thread makes 100,000
record_value calls in bursts of 100, while every server process is stopped
for S seconds (30). Prints the longest and the 99th percentile of the Python
calls and the longest native call, over all calls and over the calls that
ran on their core (a call during which the scheduler gave the core to
another thread, an involuntary context switch, left out). Targets: no Python
call over 10 ms, the 99th percentile under 50 µs, no native call over 1 ms.
"""

import argparse
import json
import pathlib
import resource
import statistics
import sys
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import log_driver  # noqa: E402
from pg_cluster import Cluster  # noqa: E402

CALLS = 100_000


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--json", metavar="FILE")
    ap.add_argument("--package-dir", metavar="DIR", help="measure the telem_pyb_log package of DIR")
    args = ap.parse_args()
    if args.package_dir:
        sys.path.insert(0, args.package_dir)
    from telem_pyb_log import PostgresRecorder

    cluster = Cluster()
    try:
        cluster.start()
        rec = PostgresRecorder(cluster.conninfo, batch_size=500, max_delay=0.5)
        rec.record_metadata_kv({"tsname": "stall"})
        native = {}
        driver = threading.Thread(target=lambda: native.update(
            out=log_driver.record(rec, 4, int((args.seconds + 4) * 250), 0, 4000)))
        driver.start()
        time.sleep(1)
        all_calls, ran, errors = [], [], 0
        perf, usage, thread = time.perf_counter_ns, resource.getrusage, resource.RUSAGE_THREAD
        pace = (args.seconds + 2) / (CALLS / 100)
        cluster.pause()
        # Resumed from a timer: a recorder whose calls wait for the server (an
        # earlier release's) would keep this thread from doing it.
        resume = threading.Timer(args.seconds, cluster.resume)
        resume.start()
        for burst in range(CALLS // 100):
            for i in range(burst * 100, burst * 100 + 100):
                switches = usage(thread).ru_nivcsw
                t0 = perf()
                try:
                    rec.record_value(i)
                except Exception:  # an earlier release raised the store's errors
                    errors += 1
                took = perf() - t0
                all_calls.append(took)
                if usage(thread).ru_nivcsw == switches:
                    ran.append(took)
            time.sleep(pace)
        resume.join()
        driver.join()
        try:
            rec.close()
        except Exception:
            errors += 1
    finally:
        cluster.remove()
    out = native["out"]
    result = {
        "python_max_ms": max(all_calls) / 1e6, "python_p99_us": statistics.quantiles(all_calls, n=100)[98] / 1e3,
        "python_max_ran_ms": max(ran) / 1e6, "python_preempted_calls": len(all_calls) - len(ran),
        "native_max_ms": max(t["max_call_ns"] for t in out) / 1e6,
        "native_max_ran_ms": max(t["max_unpreempted_ns"] for t in out) / 1e6,
        "native_calls": sum(t["ok"] for t in out), "native_preempted_calls": sum(t["preempted"] for t in out),
        "native_waited_calls": sum(t["waited"] for t in out),
        "python_errors": errors, "native_errors": sum(t["other_errors"] for t in out),
    }
    if hasattr(rec, "stats"):  # an earlier release's recorders have none
        result.update(written=rec.stats.written, failed_writes=rec.stats.failed_writes, dropped=rec.stats.dropped)
    print(f"server stopped for {args.seconds:g} s: {CALLS} Python calls: longest {result['python_max_ms']:.3f} ms "
          f"({result['python_max_ran_ms']:.3f} ms on their core; {result['python_preempted_calls']} preempted), "
          f"99th percentile {result['python_p99_us']:.1f} µs; {result['native_calls']} native calls: longest "
          f"{result['native_max_ms']:.3f} ms ({result['native_max_ran_ms']:.3f} ms on their core; "
          f"{result['native_preempted_calls']} preempted, {result['native_waited_calls']} waited); errors raised into "
          f"the calls: {errors} Python, {result['native_errors']} native"
          + (f"; {result['written']} rows written after {result['failed_writes']} failed writes, "
             f"{result['dropped']} dropped" if "written" in result else ""))
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(result, indent=2) + "\n")


if __name__ == "__main__":
    main()
