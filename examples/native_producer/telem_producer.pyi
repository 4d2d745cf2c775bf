# Type information for the example module built from producer.cpp.

from collections.abc import Sequence

import telem_pyb

def produce(
    recorder: telem_pyb.TelemRecorder, metadata: dict[str, str], workers: int = 2, samples: int = 1000
) -> int: ...
def produce_series(recorders: Sequence[telem_pyb.TelemRecorder], workers: int = 2, samples: int = 1000) -> int: ...
