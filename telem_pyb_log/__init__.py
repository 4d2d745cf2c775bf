"""Log-backend recorders for telem_pyb.

`SqliteRecorder` stores a series in an SQLite file on this machine;
`PostgresRecorder` in a PostgreSQL table that processes on many hosts share
(it needs psycopg 3: `pip install 'telem_pyb[postgres]'`). Both turn every
point into the log backend's record with `ConvertPointToDb` and share one
batching core, `LogRecorder`.
"""

from telem_pyb_log._batching import COLUMNS, LogRecorder, Row, utc_now
from telem_pyb_log.postgres import PostgresRecorder
from telem_pyb_log.sqlite import SqliteRecorder

__all__ = ["COLUMNS", "LogRecorder", "PostgresRecorder", "Row", "SqliteRecorder", "utc_now"]
