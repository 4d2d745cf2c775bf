"""What every log-backend recorder shares: the metadata, the time stamps, the
batches and their delivery rules. A store only connects, creates its table and
writes one batch."""

from __future__ import annotations

import datetime
import threading
import time
import weakref
from collections.abc import Callable, Sequence
from types import TracebackType
from typing import Any, ClassVar, Protocol, Self

import telem_pyb
from telem_pyb.backend.log import ConvertPointToDb

# The seven fields of the log record, in the order of a row.
COLUMNS = ("mtime", "tsname", "value", "btype", "units", "comment", "origin")
METADATA_FIELDS = ("tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json")

Row = tuple[str, str, str, str, str, str, str]


# The text of the second last formatted: (seconds since the epoch, its text up
# to the point). Replaced whole, so threads always read a matching pair.
_second: tuple[int, str] = (-1, "")


def utc_now() -> str:
    """The current UTC time in ISO 8601, to the microsecond: the text of
    `datetime.now(UTC).isoformat(timespec="microseconds")`, for a fraction of
    its cost (the date and time of day are formatted once a second)."""
    global _second
    seconds, micros = divmod(time.time_ns() // 1000, 1_000_000)
    second = _second
    if second[0] != seconds:
        text = datetime.datetime.fromtimestamp(seconds, datetime.UTC).strftime("%Y-%m-%dT%H:%M:%S.")
        _second = second = (seconds, text)
    return f"{second[1]}{micros:06d}+00:00"


def copy_metadata(meta: telem_pyb.TsMetadata) -> telem_pyb.TsMetadata:
    """A new TsMetadata with the nine fields of `meta` (the class has no copy of its own)."""
    copy = telem_pyb.TsMetadata()
    for field in METADATA_FIELDS:
        setattr(copy, field, getattr(meta, field))
    return copy


class RowRefused(ValueError):
    """A row that the store could never hold; the message says why."""


class Store(Protocol):
    """Where one recorder's rows go."""

    where: str  # names the store in messages: a file, a server and database
    @property
    def encode(self) -> Callable[[Row], Any] | None:
        """Makes the row as the store writes it, raising RowRefused for a row the
        store could never hold; None where rows are queued as they are."""

    def write(self, rows: Sequence[Any], first_seq: int) -> None:
        """Stores `rows` in one transaction, or raises and stores none of them.

        The rows are the recorder's rows `first_seq`, `first_seq + 1`, ...; rows
        that an earlier write stored although it raised are not stored again.
        """

    def close(self) -> None:
        """Releases the connection."""


class _Batches:
    """The rows not written yet, and when they are written.

    Kept apart from the recorder so that a finaliser can write the last rows of
    a recorder that was never closed without keeping the recorder alive.
    """

    __slots__ = ("lock", "store", "pending", "written", "batch_size", "max_delay", "due_size", "due_at")

    def __init__(self, store: Store, batch_size: int, max_delay: float) -> None:
        self.lock = threading.Lock()
        self.store: Store | None = store
        self.pending: list[Any] = []  # rows, encoded if the store encodes them
        self.written = 0  # rows stored so far; the next pending row is number written + 1
        self.batch_size = batch_size
        self.max_delay = max_delay
        self.due_size = batch_size  # write once this many rows wait ...
        self.due_at = 0.0  # ... or once this time (time.monotonic()) has passed

    def flush(self) -> None:
        """Writes every queued row in one transaction. Call with the lock held.

        On failure the rows stay queued and the error is raised; the next
        attempt comes with flush() or close(), or once another batch has
        arrived or max_delay has passed, not with every row.
        """
        if not self.pending or self.store is None:
            return
        try:
            self.store.write(self.pending, self.written + 1)
        except BaseException:
            self.due_size = len(self.pending) + self.batch_size
            self.due_at = time.monotonic() + self.max_delay
            raise
        self.written += len(self.pending)
        self.pending = []
        self.due_size = self.batch_size

    def close(self) -> None:
        """Writes what is queued and releases the store; the queue is kept if the write fails."""
        with self.lock:
            if self.store is None:
                return
            self.flush()
            self.store.close()
            self.store = None


class LogRecorder(telem_pyb.TelemRecorder):
    """A recorder that stores one series as rows of the log backend's record.

    - `record_metadata` (and so `record_metadata_kv`) sets the series for the
      points that follow; the recorder keeps its own copy. Metadata without a
      `tsname` is refused (the log record needs the series name).
    - A point whose `mtime` is empty gets the current UTC time (ISO 8601) set
      on it; then `ConvertPointToDb` makes the row.
    - A point before any metadata, one the store could never hold, and any
      record after `close()` are refused with `telem_pyb.TelemException`; a
      refused record stores nothing.
    - Rows are written every `batch_size` points, when the oldest unwritten row
      has waited `max_delay` seconds (checked as points arrive), on `flush()`
      and on `close()`, each batch in one transaction. A recorder that is
      garbage collected or still open at interpreter exit writes its rows
      then. A write that fails raises the store's error and keeps the rows,
      the point that triggered it included; the next one is tried with
      `flush()` or `close()`, or once another batch or `max_delay` has passed.

    The recorder may be called from several threads, native ones included.
    """

    label: ClassVar[str] = "LogRecorder"  # names the recorder in messages

    def __init__(self, open_store: Callable[[], Store], *, batch_size: int, max_delay: float) -> None:
        super().__init__()
        if batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, not {batch_size}")
        self._meta: telem_pyb.TsMetadata | None = None
        store = open_store()
        self.where = store.where
        self._batches = _Batches(store, batch_size, max_delay)
        # Writes the last rows if the recorder is collected or the interpreter
        # exits before close().
        self._finalizer = weakref.finalize(self, self._batches.close)

    @property
    def closed(self) -> bool:
        return self._batches.store is None

    @property
    def metadata(self) -> telem_pyb.TsMetadata | None:
        """A copy of the metadata that the next points are recorded with."""
        with self._batches.lock:
            return None if self._meta is None else copy_metadata(self._meta)

    def record_metadata(self, meta: telem_pyb.TsMetadata) -> None:
        with self._batches.lock:
            self._check_open()
            if not meta.tsname:
                raise telem_pyb.TelemException(
                    f"{self.label}: metadata without a tsname; the log records need the series name"
                )
            self._meta = copy_metadata(meta)

    def record_point(self, point: telem_pyb.TsPoint) -> None:
        batches = self._batches
        # acquire/release: a third of the cost of `with` on this path, taken for every point.
        batches.lock.acquire()
        try:
            store = batches.store
            if store is None:
                raise self._closed_error()
            meta = self._meta
            if meta is None:
                raise telem_pyb.TelemException(
                    f"{self.label}: a point arrived before any metadata; "
                    "call record_metadata or record_metadata_kv first"
                )
            if not point.mtime:
                point.mtime = utc_now()
            db = ConvertPointToDb(meta, point)
            # Every field is read before the row is queued: one that is not
            # valid UTF-8 raises here and the point is refused whole.
            row: Any = (db.mtime, db.tsname, db.value, db.btype, db.units, db.comment, db.origin)
            encode = store.encode
            if encode is not None:
                try:
                    row = encode(row)
                except RowRefused as exc:
                    raise telem_pyb.TelemException(f"{self.label}: {exc}; the point is refused") from None
            pending = batches.pending
            now = time.monotonic()
            if not pending:
                batches.due_at = now + batches.max_delay
            pending.append(row)
            if len(pending) >= batches.due_size or now >= batches.due_at:
                batches.flush()
        finally:
            batches.lock.release()

    def flush(self) -> None:
        """Writes the rows recorded so far."""
        with self._batches.lock:
            self._check_open()
            self._batches.flush()

    def close(self) -> None:
        """Writes the remaining rows and releases the store. Closing twice does nothing.

        If the last write fails, the error is raised, the recorder stays open
        and close() can be tried again.
        """
        self._batches.close()
        self._finalizer.detach()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def _check_open(self) -> None:
        if self._batches.store is None:
            raise self._closed_error()

    def _closed_error(self) -> telem_pyb.TelemException:
        return telem_pyb.TelemException(f"{self.label}: {self.where} is closed; it records nothing more")
