# Type information for the extension module telem_pyb_log._native, the native
# half of the log recorders (telem_pyb_log_native/module.cpp).

from typing import Any, final

import telem_pyb
from telem_pyb_log._batching import SeriesStats

@final
class NativeStore:
    @property
    def where(self) -> str: ...

def open_sqlite(label: str, path: str, timeout: float, sqlite_module: str) -> NativeStore: ...
def open_postgres(
    label: str,
    conninfo: str,
    table: str,
    connect_timeout: float,
    write_timeout: float,
    libpq_module: str,
    connect_now: bool = True,
) -> NativeStore: ...

class Recorder(telem_pyb.TelemRecorder):
    def __init__(
        self,
        store: object,
        label: str,
        batch_size: int,
        max_delay: float,
        max_pending: int,
        block_when_full: bool,
        block_timeout: float,
        log_interval: float,
        exit_timeout: float,
        spool: str = "",
        spool_interval: float = 0.02,
        spool_max_bytes: int = 1 << 30,
        connected: bool = True,
        retention: float = 0.0,
    ) -> None: ...
    def flush(self, timeout: float | None = None) -> None: ...
    def close(self, timeout: float | None = None) -> None: ...
    def _close_uncollected(self) -> None: ...
    @property
    def where(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    @property
    def metadata(self) -> telem_pyb.TsMetadata | None: ...
    def _stats(self) -> dict[str, Any]: ...

@final
class SeriesRecorder(telem_pyb.TelemRecorder):
    def __init__(self, sink: Recorder) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def where(self) -> str: ...
    @property
    def metadata(self) -> telem_pyb.TsMetadata | None: ...
    @property
    def stats(self) -> SeriesStats: ...

@final
class NativeHalf:
    def close_uncollected(self) -> None: ...

def native_half(recorder: Recorder) -> NativeHalf: ...
def read_sqlite_numbers(
    sqlite_module: str, path: str, read_only: bool, queries: list[tuple[str, list[Any]]]
) -> tuple[bytearray, bytearray]: ...
def close_all() -> list[tuple[str, str, int, int, str]]: ...
