"""telem-log: look at what the log recorders stored.

    telem-log SOURCE series
    telem-log SOURCE tail [-n N] [--follow] [SERIES]
    telem-log SOURCE export --format csv|jsonl [--since T] [--until T] [-o FILE] [SERIES]
    telem-log SOURCE plot SERIES... -o FILE.png [--since T] [--until T]

SOURCE is a SQLite file or a PostgreSQL URI (postgresql://...; --table names
a table other than log_points). Times T are ISO 8601; one without an offset
is UTC. The same as `python -m telem_pyb_log`.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import datetime
import json
import math
import os
import sys
import time
from collections.abc import Iterator, Sequence
from typing import IO, Any, NoReturn

import telem_pyb
from telem_pyb_log._batching import COLUMNS
from telem_pyb_log._reading import TYPED_COLUMNS, Source, StoredRow, open_source

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
    verbs = parser.add_subparsers(dest="verb", metavar="VERB", required=True)
    verbs.add_parser("series", help="series names, units, point counts, first and last time")
    tail = verbs.add_parser("tail", help="the last rows, of one series or of all")
    tail.add_argument("-n", type=_count, default=10, help="rows to show (default 10)")
    tail.add_argument("--follow", "-f", action="store_true", help="go on showing rows as they are written")
    tail.add_argument("--interval", type=float, default=1.0, help=argparse.SUPPRESS)
    tail.add_argument("series", metavar="SERIES", nargs="?")
    export = verbs.add_parser("export", help="rows as CSV or JSON lines")
    export.add_argument("--format", choices=("csv", "jsonl"), required=True)
    export.add_argument("-o", "--output", metavar="FILE", help="the file to write (default: standard output)")
    plot = verbs.add_parser("plot", help="a PNG of numeric series over time")
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


def _tail(source: Source, args: argparse.Namespace, out: IO[str]) -> None:
    rows = list(source.rows(args.series, limit=args.n, last=True))[::-1]
    for row in rows:
        out.write(_tail_line(row))
    out.flush()
    if not args.follow:
        return
    if rows:
        last_id = rows[-1][0]
    else:
        newest = list(source.rows(args.series, limit=1, last=True))
        last_id = newest[0][0] if newest else 0
    while True:
        time.sleep(args.interval)
        for row in source.rows(args.series, after_id=last_id):
            out.write(_tail_line(row))
            last_id = row[0]
        out.flush()


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
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError("plot needs matplotlib: pip install 'telem_pyb[plot]' (or 'matplotlib')") from exc
    progress = _Progress("read")
    lines: list[tuple[str, str, list[Any], list[float]]] = []
    for name in args.series:
        times, numbers, left_out, rows, unit = [], [], 0, 0, ""
        for row in source.rows(name, args.since, args.until):
            rows += 1
            progress.step()
            unit = row[5]
            if row[8] is None or row[9] is None:
                left_out += 1
                continue
            times.append(row[8])
            numbers.append(row[9])
        if rows == 0:
            raise ValueError(f"no points of the series {name!r} in {source.where}")
        if left_out:
            print(f"{PROG}: note: {name}: {left_out} of {rows} points left out (text values or no time)",
                  file=sys.stderr)
        if times:
            # In time order: a point may carry a time earlier than those before it.
            pairs = sorted(zip(times, numbers), key=lambda pair: pair[0])
            lines.append((name, unit, [t for t, _ in pairs], [n for _, n in pairs]))
    progress.done()
    if not lines:
        raise ValueError("nothing to plot: the series have no numeric points")
    units = list(dict.fromkeys(unit for _, unit, _, _ in lines))
    figure, axes = plt.subplots(figsize=(10, 5))
    try:
        # Two kinds of units get a y axis each; more share one.
        second = axes.twinx() if len(units) == 2 else None
        for i, (name, unit, times, numbers) in enumerate(lines):
            on = second if second is not None and unit == units[1] else axes
            on.plot(times, numbers, label=name, color=f"C{i}", marker=".")
        axes.set_xlabel("time (UTC)")
        if second is not None:
            axes.set_ylabel(units[0] or "value")
            second.set_ylabel(units[1] or "value")
        else:
            axes.set_ylabel(", ".join(u for u in units if u) or "value")
        handles = [h for a in (axes, second) if a is not None for h in a.get_legend_handles_labels()[0]]
        axes.legend(handles=handles)
        axes.grid(True, alpha=0.3)
        figure.autofmt_xdate()
        figure.savefig(args.output, dpi=100)
    finally:
        plt.close(figure)


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        with contextlib.closing(open_source(args.source, args.table)) as source:
            if args.verb == "series":
                _series(source, sys.stdout)
            elif args.verb == "tail":
                _tail(source, args, sys.stdout)
            elif args.verb == "export":
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
