"""Log-backend recorders for telem_pyb.

`SqliteRecorder` stores a series in an SQLite file on this machine;
`PostgresRecorder` in a PostgreSQL table that processes on many hosts share
(it needs psycopg 3: `pip install 'telem_pyb[postgres]'`). Both record in
native code and deliver from a writer thread of their own (`LogRecorder`);
`LogRecorder` with a `Store` of your own records anywhere else.
`read_frame` reads either store into a pandas DataFrame; `python -m
telem_pyb_log` (the command `telem-log`) lists, tails, exports and plots.
"""

from telem_pyb_log._batching import (
    COLUMNS,
    DEFAULT_MAX_PENDING,
    LogRecorder,
    RecorderOptions,
    RecorderStats,
    Row,
    RowRefused,
    Store,
    utc_now,
)
from telem_pyb_log._reading import read_frame
from telem_pyb_log.postgres import PostgresRecorder
from telem_pyb_log.sqlite import SqliteRecorder

__all__ = ["COLUMNS", "DEFAULT_MAX_PENDING", "LogRecorder", "PostgresRecorder", "RecorderOptions", "RecorderStats",
           "Row", "RowRefused", "SqliteRecorder", "Store", "read_frame", "utc_now"]
