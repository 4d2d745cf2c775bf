"""What every log recorder shares: the native recording path, the writer
thread, the bounded queue, the Store protocol and the closing at exit.

Recording runs in native code (telem_pyb_log._native) on the calling thread
and only queues the row; each recorder's writer thread writes the queue to
its store in batches. A store only connects, creates its table, writes one
batch and closes.
"""

from __future__ import annotations

import atexit
import dataclasses
import datetime
import logging
import math
import os
import signal
import sys
import time
import weakref
from types import TracebackType
from typing import Any, ClassVar, Literal, Protocol, Self, TypedDict, Unpack

from telem_pyb_log import _native

# The seven fields of the log record, in the order of a row.
COLUMNS = ("mtime", "tsname", "value", "btype", "units", "comment", "origin")

Row = tuple[str, str, str, str, str, str, str]

# Rows a recorder holds while its store is unreachable: a few minutes at
# 10,000 rows a second (about 75 bytes a row: see the README).
DEFAULT_MAX_PENDING = 2_000_000

# With a spool: the longest a recorded row waits before it is on disk, and the
# disk the spool may take.
DEFAULT_SPOOL_INTERVAL = 0.02
DEFAULT_SPOOL_MAX_BYTES = 1 << 30

# The operations of telem_pyb.TelemRecorder. Log recorders run them natively,
# for Python and native callers alike; a Python subclass that defined one
# would be reached by Python callers only.
_RECORDER_OPERATIONS = ("record_metadata", "record_metadata_kv", "record_point", "record_value", "close")


# The text of the second last formatted: (seconds since the epoch, its text up
# to the point). Replaced whole, so threads always read a matching pair.
_second: tuple[int, str] = (-1, "")


def utc_now() -> str:
    """The current UTC time in ISO 8601, to the microsecond, as the recorders
    stamp points: the text of `datetime.now(UTC).isoformat(timespec="microseconds")`,
    for a fraction of its cost (the date and time of day are formatted once a second)."""
    global _second
    seconds, micros = divmod(time.time_ns() // 1000, 1_000_000)
    second = _second
    if second[0] != seconds:
        text = datetime.datetime.fromtimestamp(seconds, datetime.UTC).strftime("%Y-%m-%dT%H:%M:%S.")
        _second = second = (seconds, text)
    return f"{second[1]}{micros:06d}+00:00"


class RowRefused(Exception):
    """Raised by a `Store`'s `write()` when the store refuses a row as data,
    which it never will store (too long, a constraint of its own): the
    recorder sets that row aside (counted in `stats.set_aside`, logged) and
    delivers the rest of the batch. `row` is the row's index in `rows` if
    the store knows it; otherwise the recorder splits the batch until the
    refused row is alone."""

    def __init__(self, message: str, row: int | None = None) -> None:
        super().__init__(message)
        self.row = row


class Store(Protocol):
    """Where a `LogRecorder` writes its rows: implement this to record into
    something else (see examples/jsonl_store.py).

    The recorder calls `connect()` and `create()` when it is made (their
    errors are raised there); after that only its writer thread calls the
    store, holding the interpreter lock for each call, one batch at a time.
    A write that raises is retried with the same rows, with backoff; before
    each retry the writer calls `close()`, then `connect()` and `create()`
    again. A write that raises `TimeoutError` is split in two before it is
    retried; one that raises `RowRefused` has the refused row set aside.
    Exceptions are logged and counted, never raised into the threads that
    record. Every call should give up after a time limit of its own (a socket
    or statement timeout): a call that hangs holds up delivery, and close()
    and the exit give it up (its rows counted abandoned) after their own
    time limit.

    In a child process after fork(), the child's writer calls `connect()`
    and `create()` again: the store must then open a connection of its own
    and leave the parent's alone.
    """

    where: str  # names the store in messages: a file, a server and database

    def connect(self) -> None:
        """Opens the connection."""

    def create(self) -> None:
        """Creates the table if it is missing."""

    def write(self, rows: list[Row], first_seq: int) -> None:
        """Stores `rows` in one transaction, or raises and stores none of them.

        The rows are the recorder's rows `first_seq`, `first_seq + 1`, ... in
        the order they were recorded by each thread (numbers of rows set
        aside are skipped). After a write that raised although it stored the
        rows (a commit in doubt) the same rows come again with the same
        `first_seq`: a store that promises exactly-once delivery keeps count
        and skips them.
        """

    def close(self) -> None:
        """Releases the connection."""


@dataclasses.dataclass(frozen=True)
class RecorderStats:
    """A recorder's counts since it was made. Every row recorded is, at every
    moment, exactly one of written, pending, set aside, abandoned or lost:
    `recorded` + `recovered` = `written` + `pending` + `set_aside` +
    `abandoned` + `lost`."""

    recorded: int  # points queued for writing
    written: int  # rows the store holds: confirmed, less those it lost later
    pending: int  # rows recorded and not accounted for yet
    dropped: int  # points not queued because the queue was full (on_full)
    refused: int  # records refused with TelemException (closed, no metadata, a text the store cannot hold)
    untimed: int  # points recorded whose mtime is not a time: stored as given, with the column time NULL
    failed_writes: int  # write attempts that failed (each is retried, split or has a row set aside)
    # rows lost after they were recorded: a store that lost rows it had
    # confirmed (a server failover, an SQLite file deleted), a damaged spool record
    lost: int
    abandoned: int  # rows given up because close() or the exit ran out of time (or was interrupted)
    last_error: str | None  # the cause of the last failed write
    last_error_at: datetime.datetime | None
    last_write_at: datetime.datetime | None  # the last successful write
    # Rows the store refused as data, which it never will store: set aside,
    # logged, the rest of their batch delivered.
    set_aside: int = 0
    # With a spool: rows it held when the recorder opened it (recorded
    # before), the rows and bytes it holds, how long ago its oldest row was
    # recorded; why it is not used any more (None while it works: a spool
    # that fails is given up, and rows are delivered from memory), and the
    # rows delivered from memory since.
    recovered: int = 0
    spool_rows: int = 0
    spool_bytes: int = 0
    spool_oldest_age: float | None = None
    spool_error: str | None = None
    unspooled: int = 0
    # With a retention: rows older than it that the writer deleted from the
    # table, of any series (also those other recorders and processes wrote).
    pruned: int = 0


class RecorderOptions(TypedDict, total=False):
    """The options every log recorder takes (see `LogRecorder`)."""

    batch_size: int
    max_delay: float
    max_pending: int
    on_full: Literal["drop", "block"]
    block_timeout: float
    exit_timeout: float
    log_interval: float
    spool: str | os.PathLike[str] | None
    spool_interval: float
    spool_max_bytes: int
    retention: float | None


def _check_count(name: str, value: object) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive int, not {value!r}")


def check_seconds(name: str, value: object) -> None:
    """A time limit: a finite number of seconds > 0, else ValueError naming it."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value <= 0:
        raise ValueError(f"{name} must be a finite number of seconds > 0, not {value!r}")


def check_options(options: RecorderOptions) -> None:
    """Raises ValueError naming the first option that is not valid."""
    given: dict[str, object] = dict(options)
    unknown = set(given) - set(RecorderOptions.__annotations__)
    if unknown:
        raise TypeError(f"unknown option {sorted(unknown)[0]!r}")
    for name in ("batch_size", "max_pending", "spool_max_bytes"):
        if name in given:
            _check_count(name, given[name])
    if options.get("batch_size", 1) > 2**31:
        raise ValueError(f"batch_size must be at most 2**31, not {options['batch_size']}")
    for name in ("max_delay", "block_timeout", "exit_timeout", "log_interval", "spool_interval"):
        if name in given:
            check_seconds(name, given[name])
    retention = given.get("retention")
    if retention is not None and (isinstance(retention, bool) or not isinstance(retention, (int, float))
                                  or not math.isfinite(retention) or retention <= 0):
        raise ValueError(f"retention must be None or a finite number of seconds > 0, not {retention!r}")
    if given.get("on_full", "drop") not in ("drop", "block"):
        raise ValueError(f"on_full must be 'drop' or 'block', not {given['on_full']!r}")
    spool = given.get("spool")
    if spool is not None and (not isinstance(spool, (str, os.PathLike)) or not isinstance(os.fspath(spool), str)
                              or not os.fspath(spool)):
        raise ValueError(f"spool must be None or the path of a directory (str or os.PathLike), not {spool!r}")


def spool_path(options: RecorderOptions) -> str:
    """The spool's directory as the native half takes it ("" for none)."""
    spool = options.get("spool")
    return "" if spool is None else os.path.abspath(os.fspath(spool))


class LogRecorder(_native.Recorder):
    """A recorder that stores one series as rows of the log backend's record,
    through a `Store`.

    Recording (`record_value`, `record_point`, `record_metadata`,
    `record_metadata_kv`) runs in native code, from Python and from native
    threads alike, and never waits for the store: a point is stamped (an
    empty `mtime` gets the current UTC time, set on the point when it comes
    from Python), converted with `ConvertPointToDb` and queued. The
    recorder's writer thread writes the queue in batches of `batch_size`
    rows, or fewer once the oldest has waited `max_delay` seconds, each in one
    transaction, retrying failed writes with backoff. Failures are logged
    (logger "telem_pyb_log") and counted in `stats`, never raised into a
    recording call.

    - `record_metadata` sets the series for the points that follow; the
      recorder keeps its own copy. Metadata without a `tsname` is refused.
    - A recording call raises `telem_pyb.TelemException` only to refuse the
      record: a point before any metadata, any record after `close()`, a text
      that the store could never hold (not UTF-8; for PostgreSQL, the NUL
      character). A refused record stores nothing.
    - The queue holds at most `max_pending` rows. When it is full, `on_full`
      decides: "drop" (the point is not queued; counted in `stats.dropped`
      and logged at most once every `log_interval` seconds) or "block" (the
      call waits up to `block_timeout` seconds for room, then drops).
    - `flush(timeout=None)` waits until every row recorded before it is
      written; `close(timeout=None)` does the same, stops the writer and
      releases the store. Both raise `TelemException` with the last store
      error when `timeout` passes first (close() then gives the rest up:
      closed is closed). Closing twice does nothing.
    - A recorder still open at interpreter exit is closed then, within
      `exit_timeout` seconds; rows that could not be written are reported on
      stderr. One that is garbage collected unclosed is closed the same way.
    - After fork() the child's recorder is its own: a new connection and
      writer, and an empty queue (the parent writes what it had queued).
    - With `spool=PATH` rows go to the store through a spool on local disk:
      each is on disk (fdatasync) within `spool_interval` seconds, written by
      a thread of the recorder, and leaves the spool once the store confirmed
      it; a recorder opened on the spool later (after a crash, say) delivers
      what it holds first, exactly once. The recorder can be made, and
      records, while the store is unreachable. The spool takes at most
      `spool_max_bytes`; when it is full, rows wait in the queue and on_full
      applies. One recorder at a time may use a spool (it is locked), and
      not in a child after fork().
    - With `retention=SECONDS` (SQLite and PostgreSQL stores only) the
      writer deletes the rows of its table whose time is older than that,
      of every series, whoever wrote them: after a write, at most once a
      second, at most 10,000 rows a transaction, between batches. Rows
      without a time are kept. The rows deleted are counted in
      `stats.pruned`; a delete that fails is logged and tried again.

    Subclasses may not define the recorder operations (see
    `_RECORDER_OPERATIONS`); extend a log recorder with a `Store`.
    """

    label: ClassVar[str] = "LogRecorder"  # names the recorder in messages

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        for name in _RECORDER_OPERATIONS:
            if name in cls.__dict__:
                raise TypeError(
                    f"{cls.__qualname__} defines {name}: log recorders record in native code, which native "
                    f"callers reach directly, so a Python {name} would be skipped by them; to record somewhere "
                    "else, give LogRecorder a Store (telem_pyb_log.Store)"
                )

    def __init__(self, store: Store | _native.NativeStore, **options: Unpack[RecorderOptions]) -> None:
        _start(self, self.label, store, options)

    @property
    def stats(self) -> RecorderStats:
        return _stats(self)

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()


def _start(recorder: _native.Recorder, label: str, store: Store | _native.NativeStore,
           options: RecorderOptions) -> None:
    """Makes the native half of a recorder or sink: connects a Python store,
    starts the writer, and has the recorder closed when it is collected."""
    check_options(options)
    spool = spool_path(options)
    connected = True
    retention = options.get("retention")
    if retention is not None and not isinstance(store, _native.NativeStore):
        raise ValueError(f"retention needs a SQLite or PostgreSQL store, whose rows the writer deletes; "
                         f"{label} cannot delete from a store of your own ({store.where}): delete its old rows "
                         "in the store itself, or leave retention at None")
    if not isinstance(store, _native.NativeStore):
        try:
            store.connect()
            store.create()
        except Exception as exc:
            if not spool:
                raise
            # With a spool the recorder records meanwhile; the writer
            # connects when it can.
            connected = False
            logging.getLogger("telem_pyb_log").warning(
                "%s: %s cannot be reached yet (%s: %s); recording into the spool %s meanwhile",
                label, store.where, type(exc).__name__, exc, spool)
    _native.Recorder.__init__(
        recorder,
        store,
        label,
        options.get("batch_size", 1000),
        float(options.get("max_delay", 1.0)),
        options.get("max_pending", DEFAULT_MAX_PENDING),
        options.get("on_full", "drop") == "block",
        float(options.get("block_timeout", 1.0)),
        float(options.get("log_interval", 30.0)),
        float(options.get("exit_timeout", 10.0)),
        spool,
        float(options.get("spool_interval", DEFAULT_SPOOL_INTERVAL)),
        options.get("spool_max_bytes", DEFAULT_SPOOL_MAX_BYTES),
        connected,
        float(retention or 0.0),
    )
    # Closes the recorder if it is garbage collected unclosed; at exit,
    # _close_at_exit closes every recorder at once instead.
    weakref.finalize(recorder, _native.native_half(recorder).close_uncollected).atexit = False
    _recorders.add(recorder)


def _stats(recorder: _native.Recorder) -> RecorderStats:
    raw = recorder._stats()
    for key in ("last_error_at", "last_write_at"):
        if raw[key] is not None:
            raw[key] = datetime.datetime.fromtimestamp(raw[key], datetime.UTC)
    return RecorderStats(**raw)


@dataclasses.dataclass(frozen=True)
class SeriesStats:
    """The counts of one recorder of a sink (its series' share of the sink's):
    points queued, points dropped because the queue was full, records
    refused with TelemException, and points queued whose mtime is not a time."""

    recorded: int
    dropped: int
    refused: int
    untimed: int


# The metadata names that sink.recorder() takes: the nine fields of TsMetadata.
METADATA_NAMES = ("tsid", "tsname", "serial", "btype", "units", "comment", "origin", "role", "json")


class _SinkCore(_native.Recorder):
    """The native half of a sink: its delivery path."""

    def __init__(self, label: str, store: Store | _native.NativeStore, options: RecorderOptions) -> None:
        _start(self, label, store, options)


class LogSink:
    """A destination that any number of series share through one delivery
    path: one queue, one writer thread, one connection to `store`, and at
    most one spool (and its thread). `options` are those of `LogRecorder`,
    and delivery works as for a `LogRecorder`, for the whole sink.

    `recorder(**metadata)` makes a recorder of one series into the sink. The
    sink is closed by `close()`, at the end of a `with` block, at exit, and
    when it and all of its recorders are garbage collected; its recorders
    then refuse records with `telem_pyb.TelemException`.
    """

    label: ClassVar[str] = "LogSink"

    def __init__(self, store: Store | _native.NativeStore, **options: Unpack[RecorderOptions]) -> None:
        self._core = _SinkCore(self.label, store, options)

    def recorder(self, **metadata: str) -> _native.SeriesRecorder:
        """A recorder of one series into this sink: a `telem_pyb.TelemRecorder`
        that records natively, like a `LogRecorder`. The metadata given (the
        names of `TsMetadata`'s fields) is recorded at once, as
        `record_metadata_kv` would; the recorder may be described again with
        `record_metadata`, each row belonging to the series described when it
        was recorded. Its `close()` ends this series only: its queued rows
        are still delivered. `stats` are its own counts (`SeriesStats`)."""
        for name in metadata:
            if name not in METADATA_NAMES:
                raise TypeError(f"{self.label}.recorder() got an unknown metadata name {name!r} "
                                f"(the names are {', '.join(METADATA_NAMES)})")
        made = _native.SeriesRecorder(self._core)
        if metadata:
            made.record_metadata_kv(metadata)
        return made

    def flush(self, timeout: float | None = None) -> None:
        """Waits until every row recorded so far into the sink is written (see `LogRecorder.flush`)."""
        self._core.flush(timeout)

    def close(self, timeout: float | None = None) -> None:
        """Writes the remaining rows and stops the sink (see `LogRecorder.close`)."""
        self._core.close(timeout)

    @property
    def stats(self) -> RecorderStats:
        """The counts of the whole sink, every series together."""
        return _stats(self._core)

    @property
    def closed(self) -> bool:
        return self._core.closed

    @property
    def where(self) -> str:
        return self._core.where

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()


def _close_at_exit() -> None:
    """Closes every open recorder, each within its exit_timeout, and reports
    on stderr the rows that could not be written."""
    for label, where, lost, kept, cause in _native.close_all():
        if kept:
            print(f"telem_pyb_log: {label}: {where}: {kept} rows were not written at exit; they stay in the "
                  f"recorder's spool for the next recorder opened on it: {cause}", file=sys.stderr, flush=True)
        if lost:
            print(f"telem_pyb_log: {label}: {where}: {lost} rows were not written at exit and are lost: {cause}",
                  file=sys.stderr, flush=True)


atexit.register(_close_at_exit)


def _close_in_worker(_: object) -> None:
    # multiprocessing ends its workers with os._exit, which skips atexit; it
    # runs its own exit finalisers first, which a worker's start clears.
    util = sys.modules["multiprocessing.util"]
    util.Finalize(None, _close_at_exit, exitpriority=0)


def _before_fork() -> None:
    util: Any = sys.modules.get("multiprocessing.util")
    if util is not None and not getattr(util, "_telem_pyb_log_hooked", False):
        util.register_after_fork(_close_at_exit, _close_in_worker)
        util._telem_pyb_log_hooked = True


# The recorders made in this process (and its parents), for the child's
# SIGTERM below.
_recorders: weakref.WeakSet[_native.Recorder] = weakref.WeakSet()


def _exit_on_sigterm(signum: int, frame: object) -> None:
    sys.exit(128 + signum)


def _after_fork_in_child() -> None:
    # A child that is ended with SIGTERM (multiprocessing's terminate(), the
    # end of a `with Pool() as p:` block) would lose what its recorders hold
    # and say nothing: unless the program handles SIGTERM itself, the child
    # exits the normal way on it, as the README's line has a service do, and
    # its recorders deliver within exit_timeout or say what they lost.
    if not any(not r.closed for r in _recorders):
        return
    try:
        if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
            signal.signal(signal.SIGTERM, _exit_on_sigterm)
    except ValueError:
        pass  # not the main thread of the main interpreter: left as it is


os.register_at_fork(before=_before_fork, after_in_child=_after_fork_in_child)
