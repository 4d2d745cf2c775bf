"""Record operations for callgrind: one statement run N times in a loop.

    python bench/record_ops.py NAME N

bench.py runs each NAME with N and 2N under callgrind; the difference over N,
less that of the empty loop ("loop"), is the statement's instruction count.
As with timeit, the loop runs in a function whose locals hold the objects.
The references are what similar work costs in plain CPython.
"""

import sys

import telem_pyb
from telem_pyb.backend.log import ConvertPointToDb


class Slots:
    __slots__ = ("value", "mtime")

    def __init__(self):
        self.value = ""
        self.mtime = ""


def names():
    p = telem_pyb.TsPoint()
    p.value, p.mtime = 21.5, "2026-12-08T12:00:00.000000+00:00"
    m = telem_pyb.TsMetadata()
    m.tsid, m.tsname, m.btype, m.units, m.origin = "42", "cabin.temperature", "float", "degC", "bench"
    return {
        "p": p,
        "m": m,
        "s": p.mtime,
        "v": 2.5,
        "c": 1.5 + 2j,
        "TsPoint": telem_pyb.TsPoint,
        "ConvertPointToDb": ConvertPointToDb,
        "Slots": Slots,
    }


# name: (statement, instruction target or None)
STATEMENTS = {
    "loop": ("pass", None),
    "pt.value": ("p.value", 900),
    "pt.value = 2.5": ("p.value = v", 1000),
    "pt.mtime = s": ("p.mtime = s", 1100),
    "TsPoint()": ("TsPoint()", 2700),
    "ConvertPointToDb(meta, pt)": ("ConvertPointToDb(m, p)", 3500),
    "reference: complex.real": ("c.real", None),
    "reference: __slots__ class with __init__": ("Slots()", None),
}


def run(name, n):
    stmt, _ = STATEMENTS[name]
    local = names()
    source = f"def inner(n, {', '.join(local)}):\n    for _ in range(n):\n        {stmt}\n"
    scope = {}
    exec(compile(source, name, "exec"), scope)
    scope["inner"](100, **local)  # first-call costs, the same in every run
    scope["inner"](n, **local)


if __name__ == "__main__":
    run(sys.argv[1], int(sys.argv[2]))
