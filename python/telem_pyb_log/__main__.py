"""python -m telem_pyb_log: the command telem-log (telem_pyb_log.cli)."""

from telem_pyb_log.cli import run

run()
