"""Records a small series through a Python recorder and prints its log points."""

from __future__ import annotations

import datetime

import telem_pyb
from telem_pyb.backend.log import ConvertPointToDb, Point


class LogPointRecorder(telem_pyb.TelemRecorder):
    """Turns every point of one series into the log backend's record."""

    def __init__(self) -> None:
        super().__init__()
        self.meta: telem_pyb.TsMetadata | None = None
        self.points: list[Point] = []

    def record_metadata(self, meta: telem_pyb.TsMetadata) -> None:
        self.meta = meta

    def record_point(self, point: telem_pyb.TsPoint) -> None:
        if self.meta is None:
            raise telem_pyb.TelemException("record_metadata must come before the first point")
        if not point.mtime:
            point.mtime = datetime.datetime.now(datetime.timezone.utc).isoformat()
        self.points.append(ConvertPointToDb(self.meta, point))

    def close(self) -> None:
        self.meta = None


def main() -> None:
    recorder = LogPointRecorder()
    recorder.record_metadata_kv({"tsid": "42", "tsname": "cabin.temperature", "btype": "float",
                                 "units": "degC", "origin": "demo", "comment": "cabin sensor"})
    recorder.record_value(21.5)
    recorder.record_value(22)
    recorder.record_value(True)
    point = telem_pyb.TsPoint()
    point.value = "warm"
    point.mtime = "2026-12-08T12:00:00+00:00"
    recorder.record_point(point)
    recorder.close()

    fields = ("mtime", "tsname", "value", "btype", "units", "comment", "origin")
    print(" | ".join(fields))
    for p in recorder.points:
        print(" | ".join(getattr(p, f) for f in fields))


if __name__ == "__main__":
    main()
