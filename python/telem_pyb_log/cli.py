"""telem-log: look at what the log recorders stored.

    telem-log SOURCE series
    telem-log SOURCE tail [-n N] [--follow] [SERIES]
    telem-log SOURCE export --format csv|jsonl [--since T] [--until T] [-o FILE] [SERIES]
    telem-log SOURCE plot SERIES... -o FILE.png [--since T] [--until T]

SOURCE is a SQLite file or a PostgreSQL URI (postgresql://...; --table names
a table other than log_points, before or after the verb). Times T are ISO
8601; one without an offset is UTC. The same as `python -m telem_pyb_log`.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import datetime
import functools
import json
import math
import os
import sys
import time
from collections.abc import Iterator, Sequence
from typing import IO, NoReturn

import telem_pyb
from telem_pyb_log._batching import COLUMNS
from telem_pyb_log._reading import TYPED_COLUMNS, NoTable, Source, StoredRow, open_source

PROG = "telem-log"
PROGRESS_EVERY = 10_000


def _time_argument(text: str) -> datetime.datetime:
    try:
        value = datetime.datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO 8601 time: {text!r}") from None
    return value if value.tzinfo is not None else value.replace(tzinfo=datetime.UTC)


def _count(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"not a count of rows: {text!r}")
    return int(text)


class _Parser(argparse.ArgumentParser):
    """argparse with its errors on one line, pointing to --help."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {PROG} --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description=__doc__.split("\n\n")[0],
                     epilog="SOURCE is a SQLite file or a postgresql:// URI.")
    parser.add_argument("source", metavar="SOURCE", help="a SQLite file or a postgresql:// URI")
    parser.add_argument("--table", help="the PostgreSQL table (default log_points)")
    # The options of the whole command, taken after the verb too; given
    # there, they override those given before it.
    common = _Parser(add_help=False)
    common.add_argument("--table", default=argparse.SUPPRESS, help="the PostgreSQL table (default log_points)")
    verbs = parser.add_subparsers(dest="verb", metavar="VERB", required=True)
    add = functools.partial(verbs.add_parser, parents=[common])
    add("series", help="series names, units, point counts, first and last time")
    tail = add("tail", help="the last rows, of one series or of all")
    tail.add_argument("-n", type=_count, default=10, help="rows to show (default 10)")
    tail.add_argument("--follow", "-f", action="store_true", help="go on showing rows as they are written")
    tail.add_argument("--interval", type=float, default=1.0, help=argparse.SUPPRESS)
    tail.add_argument("series", metavar="SERIES", nargs="?")
    export = add("export", help="rows as CSV or JSON lines")
    export.add_argument("--format", choices=("csv", "jsonl"), required=True)
    export.add_argument("-o", "--output", metavar="FILE", help="the file to write (default: standard output)")
    plot = add("plot", help="a PNG of numeric series over time")
    plot.add_argument("series", metavar="SERIES", nargs="+")
    plot.add_argument("-o", "--output", metavar="FILE.png", required=True)
    for sub in (export, plot):
        sub.add_argument("--since", type=_time_argument, metavar="T", help="from this time (inclusive)")
        sub.add_argument("--until", type=_time_argument, metavar="T", help="to this time (exclusive)")
    export.add_argument("series", metavar="SERIES", nargs="?")
    return parser


def _time_text(value: datetime.datetime | None) -> str:
    return "" if value is None else value.astimezone(datetime.UTC).isoformat(timespec="microseconds").replace(
        "+00:00", "Z")


class _Progress:
    """Counts rows on stderr, when it is a terminal."""

    def __init__(self, what: str) -> None:
        self.what = what
        self.rows = 0
        self.shown = False
        self.on = sys.stderr.isatty()

    def step(self) -> None:
        self.rows += 1
        if self.on and self.rows % PROGRESS_EVERY == 0:
            print(f"\r{self.what} {self.rows} rows", end="", file=sys.stderr, flush=True)
            self.shown = True

    def done(self) -> None:
        if self.shown:
            print(f"\r{self.what} {self.rows} rows", file=sys.stderr, flush=True)


def _series(source: Source, out: IO[str]) -> None:
    table = [("SERIES", "UNITS", "POINTS", "FIRST", "LAST")]
    table += [(name, units, str(count), _time_text(first), _time_text(last))
              for name, units, count, first, last in source.series()]
    widths = [max(len(row[i]) for row in table) for i in range(5)]
    for row in table:
        out.write("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n")


def _tail_line(row: StoredRow) -> str:
    units = f" {row[5]}" if row[5] else ""
    return f"{row[1]}  {row[2]}  {row[3]}{units}\n"


def _names(names: Sequence[str]) -> str:
    quoted = [repr(name) for name in names]
    return quoted[0] if len(quoted) == 1 else f"{', '.join(quoted[:-1])} and {quoted[-1]}"


def _no_series(source: Source, names: Sequence[str]) -> ValueError:
    return ValueError(f"no points of the series {_names(names)} in {source.where} "
                      f"({PROG} SOURCE series lists the series)")


def _check_series(source: Source, names: Sequence[str]) -> None:
    unknown = [name for name in dict.fromkeys(names) if not source.has_series(name)]
    if unknown:
        raise _no_series(source, unknown)


def _waiting(what: str) -> None:
    print(f"{PROG}: {what}; --follow waits for it", file=sys.stderr, flush=True)


def _open(args: argparse.Namespace) -> tuple[Source, bool]:
    """The source, and whether it had to be waited for: tail --follow waits
    for a file or table not made yet, as tail -F does, and says so once."""
    waited = False
    while True:
        try:
            return open_source(args.source, args.table), waited
        except (FileNotFoundError, NoTable) as exc:
            if not (args.verb == "tail" and args.follow):
                raise
            if not waited:
                _waiting(f"{exc.filename}: {exc.strerror}" if isinstance(exc, OSError) else str(exc))
                waited = True
        time.sleep(args.interval)


def _tail(source: Source, args: argparse.Namespace, out: IO[str], waited: bool) -> None:
    if args.series is not None and not source.has_series(args.series):
        if not args.follow:
            raise _no_series(source, [args.series])
        if not waited:
            _waiting(f"no points of the series {args.series!r} in {source.where} yet")
            waited = True
    # What appeared while waited for is shown from its first row.
    rows = [] if waited else list(source.rows(args.series, limit=args.n, last=True))[::-1]
    for row in rows:
        out.write(_tail_line(row))
    out.flush()
    if not args.follow:
        return
    if rows or waited:
        last_id = rows[-1][0] if rows else 0
    else:
        newest = list(source.rows(args.series, limit=1, last=True))
        last_id = newest[0][0] if newest else 0
    while True:
        for row in source.rows(args.series, after_id=last_id):
            out.write(_tail_line(row))
            last_id = row[0]
        out.flush()
        time.sleep(args.interval)


def _number_json(number: float | None) -> float | None:
    return number if number is not None and math.isfinite(number) else None


def _export(source: Source, args: argparse.Namespace, out: IO[str]) -> None:
    names = (*COLUMNS, *TYPED_COLUMNS)
    progress = _Progress("exported")
    rows = source.rows(args.series, args.since, args.until)
    if args.format == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(names)
        for row in rows:
            writer.writerow((*row[1:8], _time_text(row[8]), "" if row[9] is None else repr(row[9])))
            progress.step()
    else:
        for row in rows:
            record = dict(zip(COLUMNS, row[1:8]))
            record["time"] = _time_text(row[8]) or None
            record["number"] = _number_json(row[9])
            out.write(json.dumps(record, ensure_ascii=False) + "\n")
            progress.step()
    progress.done()


def _plot(source: Source, args: argparse.Namespace) -> None:
    try:
        from telem_pyb_log import _plot as picture
    except ImportError as exc:
        raise ImportError("plot needs matplotlib: pip install 'telem_pyb[plot]' (or 'matplotlib')") from exc
    _check_series(source, args.series)
    progress = _Progress("read")
    drawn: list[picture.Series] = []
    notes: list[str] = []
    for name in dict.fromkeys(args.series):
        times, numbers, untimed, rows, unit, switch = [], [], 0, 0, "", True
        for row in source.rows(name, args.since, args.until):
            rows += 1
            progress.step()
            unit = row[5]
            if row[8] is None:
                untimed += 1
            elif row[9] is not None and math.isfinite(row[9]):
                times.append(row[8])
                numbers.append(row[9])
                switch = switch and row[3] in ("true", "false")
        if rows == 0:
            span = " ".join(f"{word} {_time_text(t)}" for word, t in (("from", args.since), ("until", args.until)) if t)
            raise ValueError(f"no points of the series {name!r} in {source.where} {span}")
        if not times and not untimed:
            notes.append(f"{name}: left out: text values")
        elif len(times) < rows:
            notes.append(f"{name}: {rows - len(times)} of {rows} points left out (text values, no time or not finite)")
        if times:
            # In time order: a point may carry a time earlier than those before it.
            order = sorted(range(len(times)), key=times.__getitem__)
            drawn.append(picture.Series(name, unit, [times[i] for i in order], [numbers[i] for i in order], switch))
    progress.done()
    for note in notes:
        print(f"{PROG}: note: {note}", file=sys.stderr)
    if not drawn:
        raise ValueError("nothing to plot: the series have no numeric points")
    picture.figure(drawn, notes).savefig(args.output)


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        source, waited = _open(args)
        with contextlib.closing(source):
            if args.verb == "series":
                _series(source, sys.stdout)
            elif args.verb == "tail":
                _tail(source, args, sys.stdout, waited)
            elif args.verb == "export":
                if args.series is not None:
                    _check_series(source, [args.series])  # before -o makes the file
                with _output(args.output) as out:
                    _export(source, args, out)
            else:
                _plot(source, args)
                print(os.path.abspath(args.output))
    except KeyboardInterrupt:
        return 130 if args.verb != "tail" else 0
    except BrokenPipeError:
        # The reader went away (telem-log ... | head): the rest is not wanted.
        sys.stderr.close()
        return 0
    except OSError as exc:
        where = f"{exc.filename}: " if exc.filename else ""
        print(f"{PROG}: error: {where}{exc.strerror or exc}", file=sys.stderr)
        return 1
    except (telem_pyb.TelemException, ValueError, TypeError, ImportError) as exc:
        # One line: libpq's messages have several.
        print(f"{PROG}: error: {' '.join(str(exc).split())}", file=sys.stderr)
        return 1
    return 0


@contextlib.contextmanager
def _output(path: str | None) -> Iterator[IO[str]]:
    if path is None:
        yield sys.stdout
        sys.stdout.flush()
    else:
        with open(path, "w", encoding="utf-8", newline="") as out:
            yield out


def run() -> None:
    sys.exit(main())


if __name__ == "__main__":
    run()
