"""Memory and references left behind by many calls of every operation.

Each group of operations runs in a child interpreter (tests/leak_workloads.py),
--leak-calls times per operation (250,000 by default) after a warm-up. For
every operation the reference counts of the objects it is given must be
unchanged, and what the process holds must stay within the bounds below.

Why these bounds: an operation that leaks anything leaks at least one block per
leaking call, 16 bytes from Python's allocator or 32 from glibc's malloc (its
smallest chunk), so over 250,000 calls a leak in every call grows the process
by at least 4 MB, and even a leak in one call of a thousand leaves 250 blocks
behind. The bounds leave room only for what does not scale with the calls.
Measured over a million calls of each operation: 2 tracked objects (the
measurement's own), 7 to 9 blocks, at most 1.5 KiB of C heap allocated once on
first use, and 0 or 4 KiB of resident set. Each measurement first
empties the interpreter's method cache, which otherwise holds on to up to 4096
attribute names made afresh by calls (see snapshot() in leak_workloads.py):
without that, the native threads' failing calls left between 80 and 540 blocks.

Under the sanitizer build the allocator keeps freed memory in quarantine and
Python allocates with malloc, so the heap, block and resident-set figures say
nothing there; instead LeakSanitizer looks, after each group, for any block that
nothing refers to any more, which it finds whatever the number of calls.
"""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import leak_workloads
import telem_pyb

MAX_GC_OBJECTS = 16  # objects tracked by the collector
MAX_BLOCKS = 64  # blocks of Python's allocator
MAX_HEAP = 64 * 1024  # bytes in use in the C heap
MAX_RSS = 2 * 1024 * 1024  # bytes of resident set

SANITIZED = leak_workloads.SANITIZED
CONTROL_CALLS = 100_000


def workload_env():
    env = os.environ.copy()
    if SANITIZED:
        # The check runs mid-run, without suppressions: every interned str is still
        # reachable then, so any lost str is reported. The check at exit, which would
        # need them, is off.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=1:leak_check_at_exit=0"
        env.pop("LSAN_OPTIONS", None)
    return env


def run_workload(*args, timeout):
    proc = subprocess.run(
        [sys.executable, leak_workloads.__file__, "--measure",
         "--expect-module", str(pathlib.Path(telem_pyb.__file__).parent), *args],
        capture_output=True, text=True, timeout=timeout, env=workload_env(),
    )
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    lines = [json.loads(line) for line in proc.stdout.splitlines()]
    results = [r for r in lines if "name" in r]
    leak_checks = [r["leak_check"] for r in lines if "leak_check" in r]
    return results, leak_checks, proc.stderr


def problems(result):
    """The measures in which `result` exceeds its bound."""
    before, after = result["before"], result["after"]
    found = []
    if after["refcounts"] != before["refcounts"]:
        found.append("refcounts")
    if after["gc_objects"] - before["gc_objects"] > MAX_GC_OBJECTS:
        found.append("gc_objects")
    if not SANITIZED:
        if after["blocks"] - before["blocks"] > MAX_BLOCKS:
            found.append("blocks")
        if after["heap"] is not None and after["heap"] - before["heap"] > MAX_HEAP:
            found.append("heap")
        if after["rss"] - before["rss"] > MAX_RSS:
            found.append("rss")
    return found


def describe(result):
    before, after = result["before"], result["after"]
    deltas = {k: after[k] - before[k] for k in ("gc_objects", "blocks", "rss") if before[k] is not None}
    if before["heap"] is not None:
        deltas["heap"] = after["heap"] - before["heap"]
    deltas["refcounts"] = [a - b for a, b in zip(after["refcounts"], before["refcounts"])]
    return f"{result['name']} x{result['calls']}: {deltas}"


@pytest.mark.parametrize("group", leak_workloads.GROUPS)
def test_operations_leave_memory_and_references_as_they_were(group, leak_calls):
    results, leak_checks, _ = run_workload("--group", group, "--calls", str(leak_calls), timeout=1800)
    expected_ops = [o.name for o in leak_workloads.OPS if o.group == group]
    assert [r["name"] for r in results] == expected_ops
    report = "\n".join(describe(r) for r in results)
    print(report)
    leaking = {r["name"]: problems(r) for r in results if problems(r)}
    assert leaking == {}, report
    if SANITIZED:
        assert leak_checks == [0]


def test_measurements_catch_deliberate_leaks():
    """One deliberate leak of each kind is flagged, so a clean result above means something."""
    results, leak_checks, stderr = run_workload("--control", "--calls", str(CONTROL_CALLS), timeout=600)
    flagged = {r["name"]: problems(r) for r in results}
    assert "refcounts" in flagged["leaks a reference to its argument"]
    assert "gc_objects" in flagged["leaks a list, which the collector still tracks"]
    if SANITIZED:
        assert leak_checks != [0] and "LeakSanitizer" in stderr
    else:
        assert {"blocks", "rss"} <= set(flagged["leaks a str"])
        assert {"heap", "rss"} <= set(flagged["leaks 64 bytes of C heap"])
