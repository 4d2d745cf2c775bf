"""Log-backend recorders for telem_pyb.

A sink (`SqliteSink`, `PostgresSink`, `LogSink`) is a destination with one
delivery path; `sink.recorder(**metadata)` gives a recorder of one series
into it, and ten thousand of them share the sink's one writer and connection.
The recorder classes below are the one-series shorthand: a recorder with a
sink of its own.

`SqliteRecorder` stores a series in an SQLite file on this machine;
`PostgresRecorder` in a PostgreSQL table that processes on many hosts share
(it needs psycopg 3: `pip install 'telem_pyb[postgres]'`). Both record in
native code and deliver from a writer thread of their own (`LogRecorder`);
`LogRecorder` with a `Store` of your own records anywhere else.
`read_rows` and `read_frame` read either store in time order (the frame
also aggregated per time bucket by the store), `prune` deletes old rows;
`python -m telem_pyb_log` (the command `telem-log`) lists, tails, exports,
aggregates, prunes and plots.
"""

from telem_pyb_log._batching import (
    COLUMNS,
    DEFAULT_MAX_PENDING,
    LogRecorder,
    LogSink,
    RecorderOptions,
    RecorderStats,
    Row,
    RowRefused,
    SeriesStats,
    Store,
    utc_now,
)
from telem_pyb_log._reading import prune, read_frame, read_rows
from telem_pyb_log.postgres import PostgresRecorder, PostgresSink
from telem_pyb_log.sqlite import SqliteRecorder, SqliteSink

__all__ = ["COLUMNS", "DEFAULT_MAX_PENDING", "LogRecorder", "LogSink", "PostgresRecorder", "PostgresSink",
           "RecorderOptions", "RecorderStats", "Row", "RowRefused", "SeriesStats", "SqliteRecorder", "SqliteSink",
           "Store", "prune", "read_frame", "read_rows", "utc_now"]
