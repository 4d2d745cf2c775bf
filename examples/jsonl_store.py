"""A store of your own for telem_pyb_log's `LogRecorder`: the rows as JSON
lines in a file, one object per row with the recorder's sequence number and
the seven fields of the log record. Each batch is appended and flushed to
disk before write() returns.

    python examples/jsonl_store.py points.jsonl
"""

from __future__ import annotations

import argparse
import json
import os
from collections.abc import Sequence
from typing import IO

from telem_pyb_log import COLUMNS, LogRecorder, Row


class JsonLinesStore:
    """The `telem_pyb_log.Store` protocol over a file of JSON lines."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self.where = f"{self.path} (JSON lines)"
        self.file: IO[str] | None = None
        self.stored = 0  # the recorder's rows that this store has written

    def connect(self) -> None:
        self.file = open(self.path, "a", encoding="utf-8")

    def create(self) -> None:
        pass  # the file is the table

    def write(self, rows: list[Row], first_seq: int) -> None:
        assert self.file is not None
        # Rows that an attempt stored although it raised (here: the flush to
        # disk failed after the write) come again; they are not written twice.
        skip = max(0, self.stored - (first_seq - 1))
        lines = (json.dumps({"seq": first_seq + i, **dict(zip(COLUMNS, row))}) + "\n"
                 for i, row in enumerate(rows) if i >= skip)
        self.file.write("".join(lines))
        self.file.flush()
        self.stored = first_seq - 1 + len(rows)
        os.fsync(self.file.fileno())

    def close(self) -> None:
        if self.file is not None:
            self.file.close()
            self.file = None


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Records a few points into a file of JSON lines.")
    parser.add_argument("path", help="the file (appended to)")
    args = parser.parse_args(argv)
    with LogRecorder(JsonLinesStore(args.path)) as recorder:
        recorder.record_metadata_kv({"tsname": "pump.pressure", "btype": "float", "units": "bar"})
        for value in (1.25, 1.5, 1.75):
            recorder.record_value(value)
    with open(args.path, encoding="utf-8") as lines:
        for line in lines:
            print(line, end="")


if __name__ == "__main__":
    main()
