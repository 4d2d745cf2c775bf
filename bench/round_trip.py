"""The record_value round trip: a telem_pyb recorder against a pure-Python
recorder that does the same work (make a point object, call record_point).

bench.py times `run` on both. Run as a script, it makes n calls on one of
them, which callgrind counts:

    python bench/round_trip.py telem|python N
"""

import sys

import telem_pyb

VALUE = 21.5


class PyPoint:
    __slots__ = ("value", "mtime")

    def __init__(self, value):
        self.value = value
        self.mtime = ""


class PyBase:
    def record_value(self, v):
        self.record_point(PyPoint(v))


class PyRec(PyBase):
    def record_point(self, p):
        pass


class TelemRec(telem_pyb.TelemRecorder):
    def record_point(self, p):
        pass


RECORDERS = {"telem": TelemRec, "python": PyRec}


def run(rec, n, v=VALUE):
    for _ in range(n):
        rec.record_value(v)


if __name__ == "__main__":
    kind, n = sys.argv[1], int(sys.argv[2])
    rec = RECORDERS[kind]()
    run(rec, 100)  # first-call costs, the same in every run
    run(rec, n)
