"""Log-backend recorders for telem_pyb.

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
    RecorderOptions,
    RecorderStats,
    Row,
    Store,
    utc_now,
)
from telem_pyb_log._reading import prune, read_frame, read_rows
from telem_pyb_log.postgres import PostgresRecorder
from telem_pyb_log.sqlite import SqliteRecorder

__all__ = ["COLUMNS", "DEFAULT_MAX_PENDING", "LogRecorder", "PostgresRecorder", "RecorderOptions", "RecorderStats",
           "Row", "SqliteRecorder", "Store", "prune", "read_frame", "read_rows", "utc_now"]
