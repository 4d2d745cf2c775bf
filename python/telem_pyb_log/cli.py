"""telem-log: look at what the log recorders stored.

    telem-log SOURCE series
    telem-log SOURCE tail [-n N] [--follow] [SERIES]
    telem-log SOURCE export --format csv|jsonl [--wide] [--since T] [--until T] [-o FILE] [SERIES]
    telem-log SOURCE agg [SERIES...] --every 1m [--agg min,max,mean] [--since T] [--until T] [--format csv|jsonl]
    telem-log SOURCE prune --before T [SERIES...]
    telem-log SOURCE plot SERIES... -o FILE.png [--since T] [--until T]

SOURCE is a SQLite file or a PostgreSQL conninfo (postgresql://... or
"host=... dbname=..."; --table names a table other than log_points, before
or after the verb). --where FIELD=TEXT (repeatable) keeps the series whose
metadata field FIELD is TEXT (one of the texts given for it). Times T are
ISO 8601; one without an offset is UTC. Every verb reads in time order. The
same as `python -m telem_pyb_log`.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import dataclasses
import datetime
import functools
import json
import math
import os
import re
import sys
import time
from collections.abc import Iterator, Mapping, Sequence
from typing import IO, Any, NoReturn

import telem_pyb
from telem_pyb_log._batching import COLUMNS
from telem_pyb_log._reading import (
    DEFAULT_AGGREGATES,
    TYPED_COLUMNS,
    NoTable,
    Source,
    check_aggregates,
    every_micros,
    label,
    open_source,
    utc,
)
from telem_pyb_log._schema import SERIES_FIELDS, Selection, from_micros

PROG = "telem-log"
PROGRESS_EVERY = 10_000
# A PostgreSQL row id below the highest one shown may still appear while the
# transaction that took it runs; it has its transaction id within this long.
SETTLE_SECONDS = 1.0
_INTEGER = re.compile(r"-?[0-9]+")


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


def _where_argument(text: str) -> tuple[str, str]:
    field, equals, value = text.partition("=")
    if not equals or field not in SERIES_FIELDS:
        raise argparse.ArgumentTypeError(f"not FIELD=TEXT with a metadata field ({', '.join(SERIES_FIELDS)}): {text!r}")
    return field, value


def _every_argument(text: str) -> int:
    try:
        return every_micros(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc).removeprefix("every: ")) from None


def _agg_argument(text: str) -> tuple[str, ...]:
    try:
        return check_aggregates([name.strip() for name in text.split(",")])
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of min, max, mean, count, first, last, sum: {text!r}") from None


class _Parser(argparse.ArgumentParser):
    """argparse with its errors on one line, pointing to --help."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {PROG} --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description=__doc__.split("\n\n")[0],
                     epilog="SOURCE is a SQLite file or a PostgreSQL conninfo.")
    parser.add_argument("source", metavar="SOURCE", help="a SQLite file, a postgresql:// URI or 'host=... dbname=...'")
    where_help = "keep the series whose metadata FIELD is TEXT (repeatable)"
    parser.add_argument("--table", help="the table (default log_points)")
    parser.add_argument("--where", dest="where_before", action="append", type=_where_argument, default=[],
                        metavar="FIELD=TEXT", help=where_help)
    # The options of the whole command, taken after the verb too; given
    # there, --table overrides the one before it, --where adds to it.
    common = _Parser(add_help=False)
    common.add_argument("--table", default=argparse.SUPPRESS, help="the table (default log_points)")
    common.add_argument("--where", action="append", type=_where_argument, default=[], metavar="FIELD=TEXT",
                        help=where_help)
    verbs = parser.add_subparsers(dest="verb", metavar="VERB", required=True)
    add = functools.partial(verbs.add_parser, parents=[common])
    add("series", help="each series apart: name, origin, units, point count, first and last time")
    tail = add("tail", help="the last rows in time, of one series or of all")
    tail.add_argument("-n", type=_count, default=10, help="rows to show (default 10)")
    tail.add_argument("--follow", "-f", action="store_true", help="go on showing rows as they are written")
    tail.add_argument("--interval", type=float, default=1.0, help=argparse.SUPPRESS)
    tail.add_argument("series", metavar="SERIES", nargs="?")
    export = add("export", help="rows as CSV or JSON lines")
    export.add_argument("--format", choices=("csv", "jsonl"), required=True)
    export.add_argument("--wide", action="store_true", help="one row per time stamp, one column per series")
    agg = add("agg", help="min, max, mean, ... per interval of time, computed by the store")
    agg.add_argument("series", metavar="SERIES", nargs="*")
    agg.add_argument("--every", type=_every_argument, required=True, metavar="INTERVAL",
                     help="the length of each bucket: 1m, 30s, 250ms, 1h, 1d ...")
    agg.add_argument("--agg", type=_agg_argument, default=DEFAULT_AGGREGATES, metavar="NAMES",
                     help="some of min,max,mean,count,first,last,sum (default min,max,mean,count)")
    agg.add_argument("--format", choices=("csv", "jsonl"), default="csv")
    prune = add("prune", help="delete the rows older than a time, in small transactions")
    prune.add_argument("--before", type=_time_argument, required=True, metavar="T",
                       help="delete the rows whose time is before this")
    prune.add_argument("series", metavar="SERIES", nargs="*")
    plot = add("plot", help="a PNG of numeric series over time")
    plot.add_argument("series", metavar="SERIES", nargs="+")
    plot.add_argument("-o", "--output", metavar="FILE.png", required=True)
    for sub in (export, agg):
        sub.add_argument("-o", "--output", metavar="FILE", help="the file to write (default: standard output)")
    for sub in (export, agg, plot):
        sub.add_argument("--since", type=_time_argument, metavar="T", help="from this time (inclusive)")
        sub.add_argument("--until", type=_time_argument, metavar="T", help="to this time (exclusive)")
    export.add_argument("series", metavar="SERIES", nargs="?")
    return parser


def _time_text(value: datetime.datetime | None) -> str:
    return "" if value is None else value.astimezone(datetime.UTC).isoformat(timespec="microseconds").replace(
        "+00:00", "Z")


def _integral(number: float) -> bool:
    return math.isfinite(number) and number.is_integer() and abs(number) < 2**53


def _number_text(number: float | int | None, value: str | None = None) -> str:
    """A number as people read it: an integer value as an integer (its own
    text, exact beyond 2**53), true and false as 1 and 0, others as Python
    writes floats."""
    if number is None:
        return ""
    if value is not None and _INTEGER.fullmatch(value):
        return value
    if value in ("true", "false") or isinstance(number, int) or _integral(number):
        return str(int(number))
    return repr(float(number))


def _number_json(number: float | int | None, value: str | None = None) -> float | int | None:
    if number is None or not math.isfinite(number):
        return None
    if value is not None and _INTEGER.fullmatch(value):
        return int(value)
    return int(number) if value in ("true", "false") or isinstance(number, int) or _integral(number) else number


class _Progress:
    """Counts rows on stderr, when it is a terminal."""

    def __init__(self, what: str) -> None:
        self.what = what
        self.rows = 0
        self.shown = False
        self.on = sys.stderr.isatty()

    def step(self, rows: int = 1) -> None:
        before, self.rows = self.rows, self.rows + rows
        if self.on and self.rows // PROGRESS_EVERY != before // PROGRESS_EVERY:
            print(f"\r{self.what} {self.rows} rows", end="", file=sys.stderr, flush=True)
            self.shown = True

    def set(self, rows: int) -> None:
        self.step(rows - self.rows)

    def done(self) -> None:
        if self.shown:
            print(f"\r{self.what} {self.rows} rows", file=sys.stderr, flush=True)


def _note(text: str) -> None:
    print(f"{PROG}: note: {text}", file=sys.stderr)


def _table(rows: Sequence[Sequence[str]], out: IO[str]) -> None:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        out.write("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n")


def _series(source: Source, sel: Selection, out: IO[str]) -> None:
    found = source.series(sel)
    # Beside name, origin and units, the fields in which two series of one
    # name differ.
    optional = ("btype", "comment", "tsid", "serial", "role", "json")
    shown = [f for f in optional if any(
        getattr(a, f) != getattr(b, f) for a in found for b in found if a.tsname == b.tsname)]
    table = [("SERIES", "ORIGIN", "UNITS", *(f.upper() for f in shown), "POINTS", "FIRST", "LAST")]
    table += [(s.tsname, s.origin, s.units, *(str(getattr(s, f) or "") for f in shown), str(s.count),
               _time_text(s.first), _time_text(s.last)) for s in found]
    _table(table, out)


def _tail_line(row: Sequence[Any]) -> str:
    units = f" {row[5]}" if row[5] else ""
    return f"{row[1]}  {row[7] or '-'}  {row[2]}  {row[3]}{units}\n"


def _names(names: Sequence[str]) -> str:
    quoted = [repr(name) for name in names]
    return quoted[0] if len(quoted) == 1 else f"{', '.join(quoted[:-1])} and {quoted[-1]}"


def _where_text(where: Mapping[str, tuple[str, ...]]) -> str:
    return " and ".join(f"{field}={'|'.join(values)}" for field, values in where.items())


def _no_series(source: Source, names: Sequence[str], where: Mapping[str, tuple[str, ...]] | None = None) -> ValueError:
    which = f" with {_where_text(where)}" if where else ""
    return ValueError(f"no points of the series {_names(names)}{which} in {source.where} "
                      f"({PROG} SOURCE series lists the series)")


def _check_series(source: Source, names: Sequence[str], where: Mapping[str, tuple[str, ...]]) -> None:
    unknown = [name for name in dict.fromkeys(names) if not source.has_rows(Selection(name))]
    if unknown:
        raise _no_series(source, unknown)
    unmatched = [name for name in dict.fromkeys(names) if where and not source.has_rows(Selection(name, where))]
    if unmatched:
        raise _no_series(source, unmatched, where)


def _where(args: argparse.Namespace) -> dict[str, tuple[str, ...]]:
    where: dict[str, tuple[str, ...]] = {}
    for field, value in [*args.where_before, *args.where]:
        where[field] = (*where.get(field, ()), value)
    return where


def _selection(args: argparse.Namespace, names: Sequence[str] | None) -> Selection:
    """The series named (any of them; all if none) and --where, from --since to --until."""
    where = _where(args)
    tsname = None
    if names and len(set(names)) == 1 and "tsname" not in where:
        tsname = names[0]
    elif names:
        asked = tuple(dict.fromkeys(names))
        where["tsname"] = tuple(n for n in asked if n in where["tsname"]) if "tsname" in where else asked
    since, until = getattr(args, "since", None), getattr(args, "until", None)
    return Selection(tsname, where, utc("since", since), utc("until", until))


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


class _Follower:
    """The rows of a selection written after a row id, each shown once. In
    PostgreSQL a row may become visible after rows of higher ids (its
    transaction took its id first and committed later): ids above `low`
    already shown are remembered until every transaction that could still
    add a lower one has ended, as the snapshots show."""

    def __init__(self, source: Source, sel: Selection, after_id: int) -> None:
        self.source = source
        self.sel = sel
        self.low = after_id
        self.shown: set[int] = set()
        # [highest id seen, when, the next transaction id a while after it]
        self.marks: list[list[Any]] = []

    def poll(self) -> list[tuple[Any, ...]]:
        sel = dataclasses.replace(self.sel, after_id=self.low)
        if self.source.layout.sqlite:
            # SQLite's writers take ids in the order they commit.
            rows = list(self.source.rows(sel))
            self.low = max((row[0] for row in rows), default=self.low)
            return rows
        with self.source.snapshot():
            oldest, upcoming = self.source.visible()
            rows = [row for row in self.source.rows(sel) if row[0] not in self.shown]
        now = time.monotonic()
        self.shown.update(row[0] for row in rows)
        top = max(self.shown, default=self.low)
        if self.marks and self.marks[-1][2] is None:
            self.marks[-1][0] = top
        else:
            self.marks.append([top, now, None])
        for mark in self.marks:
            if mark[2] is None and now - mark[1] >= SETTLE_SECONDS:
                mark[2] = upcoming
        while self.marks and self.marks[0][2] is not None and oldest >= self.marks[0][2]:
            self.low = max(self.low, self.marks.pop(0)[0])
        self.shown = {i for i in self.shown if i > self.low}
        return rows


def _tail(source: Source, args: argparse.Namespace, out: IO[str], waited: bool) -> None:
    sel = _selection(args, [args.series] if args.series else None)
    if args.series is not None and not source.has_rows(sel):
        if not args.follow:
            _check_series(source, [args.series], sel.where)
        if not waited:
            _waiting(f"no points of the series {args.series!r} in {source.where} yet")
            waited = True
    # What appeared while waited for is shown from its first row. The last
    # rows are the latest in time: rows without a time have no place there
    # (--follow shows them as they come).
    with source.snapshot():
        latest = dataclasses.replace(sel, timed=True)
        rows = [] if waited else list(source.rows(latest, limit=args.n, last=True))[::-1]
        last_id = 0 if waited or not args.follow else source.max_id(sel)
    for row in rows:
        out.write(_tail_line(row))
    out.flush()
    if not args.follow:
        return
    follower = _Follower(source, sel, last_id)
    while True:
        for row in follower.poll():
            out.write(_tail_line(row))
        out.flush()
        time.sleep(args.interval)


def _export(source: Source, args: argparse.Namespace, out: IO[str]) -> None:
    sel = _selection(args, [args.series] if args.series else None)
    if args.wide:
        _export_wide(source, sel, args.format, out)
        return
    names = (*COLUMNS, *TYPED_COLUMNS)
    progress = _Progress("exported")
    rows = source.rows(sel)
    if args.format == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(names)
        for row in rows:
            writer.writerow((*row[1:8], _time_text(row[8]), _number_text(row[9], row[3])))
            progress.step()
    else:
        for row in rows:
            record = dict(zip(COLUMNS, row[1:8]))
            record["time"] = _time_text(row[8]) or None
            record["number"] = _number_json(row[9], row[3])
            out.write(json.dumps(record, ensure_ascii=False) + "\n")
            progress.step()
    progress.done()


def _export_wide(source: Source, sel: Selection, fmt: str, out: IO[str]) -> None:
    """One row per time stamp, one column per series (name, or name@origin
    where origins share a name); a series with two values at one time stamp
    fills a second row of that time. Rows without a time are left out."""
    pairs = list(dict.fromkeys((s.tsname, s.origin) for s in source.series(sel)))
    columns = {pair: label(*pair, pairs) for pair in pairs}
    progress = _Progress("exported")
    writer = csv.writer(out, lineterminator="\n") if fmt == "csv" else None
    if writer is not None:
        writer.writerow(["time", *columns.values()])
    untimed = 0
    current: datetime.datetime | None = None
    cells: dict[str, list[Any]] = {}

    def flush() -> None:
        for k in range(max((len(v) for v in cells.values()), default=0)):
            line = {name: values[k] for name, values in cells.items() if k < len(values)}
            if writer is not None:
                writer.writerow([_time_text(current), *("" if (c := line.get(n)) is None else c[0]
                                                        for n in columns.values())])
            else:
                record = {"time": _time_text(current), **{n: line[n][1] for n in columns.values() if n in line}}
                out.write(json.dumps(record, ensure_ascii=False) + "\n")

    for row in source.rows(sel):
        progress.step()
        if row[8] is None:
            untimed += 1
            continue
        if row[8] != current:
            flush()
            current, cells = row[8], {}
        name = columns.get((row[2], row[7]), row[2])
        number, value = row[9], row[3]
        shown = (_number_text(number, value), _number_json(number, value)) if number is not None else (value, value)
        cells.setdefault(name, []).append(shown)
    flush()
    progress.done()
    if untimed:
        _note(f"{untimed} rows without a time left out")


def _aggregates(source: Source, args: argparse.Namespace, out: IO[str]) -> None:
    sel = _selection(args, args.series)
    found, notes = source.aggregate(sel, args.every, args.agg)
    for note in notes:
        _note(note)
    if not found:
        raise ValueError("nothing to aggregate: " + ("; ".join(notes) if notes else "no rows with a time selected"))
    head = ("time", "tsname", "origin", "units", *args.agg)
    writer = csv.writer(out, lineterminator="\n") if args.format == "csv" else None
    if writer is not None:
        writer.writerow(head)
    for one in found:
        for i, at in enumerate(one.times):
            values = [one.values[name][i] for name in args.agg]
            stamp = _time_text(from_micros(at))
            if writer is not None:
                writer.writerow([stamp, one.tsname, one.origin, one.units, *map(_number_text, values)])
            else:
                record = dict(zip(head, [stamp, one.tsname, one.origin, one.units, *map(_number_json, values)]))
                out.write(json.dumps(record, ensure_ascii=False) + "\n")


def _prune(source: Source, args: argparse.Namespace, out: IO[str]) -> None:
    sel = _selection(args, args.series)
    progress = _Progress("deleted")
    deleted = source.prune(sel, utc("before", args.before) or args.before, progress=progress.set)
    progress.done()
    for name, count in deleted:
        out.write(f"{name}: {count} rows deleted\n")
    total = sum(count for _, count in deleted)
    line = f"{total} rows deleted, all of them before {_time_text(args.before)}"
    free = getattr(source, "free_bytes", None)
    if free is not None:
        line += f"; the file keeps {free() / 1e6:.1f} MB free for new rows"
    out.write(line + "\n")


def _plot(source: Source, args: argparse.Namespace) -> None:
    try:
        from telem_pyb_log import _plot as picture
    except ImportError as exc:
        raise ImportError("plot needs matplotlib: pip install 'telem_pyb[plot]' (or 'matplotlib')") from exc
    where = _where(args)
    _check_series(source, args.series, where)
    progress = _Progress("read")
    drawn: list[picture.Series] = []
    notes: list[str] = []
    for name in dict.fromkeys(args.series):
        # Each origin of a name is a series of its own.
        kept: dict[str, tuple[list[datetime.datetime], list[float]]] = {}
        untimed, rows, unit, switch = 0, 0, "", True
        sel = Selection(name, where, utc("since", args.since), utc("until", args.until))
        for row in source.rows(sel):
            rows += 1
            progress.step()
            unit = row[5]
            if row[8] is None:
                untimed += 1
            elif row[9] is not None and math.isfinite(row[9]):
                times, numbers = kept.setdefault(row[7], ([], []))
                times.append(row[8])
                numbers.append(row[9])
                switch = switch and row[3] in ("true", "false")
        if rows == 0:
            span = " ".join(f"{word} {_time_text(t)}" for word, t in (("from", args.since), ("until", args.until)) if t)
            raise ValueError(f"no points of the series {name!r} in {source.where} {span}")
        plotted = sum(len(times) for times, _ in kept.values())
        if not plotted and not untimed:
            notes.append(f"{name}: left out: text values")
        elif plotted < rows:
            notes.append(f"{name}: {rows - plotted} of {rows} points left out (text values, no time or not finite)")
        for origin, (times, numbers) in kept.items():
            shown = f"{name}@{origin}" if len(kept) > 1 else name
            drawn.append(picture.Series(shown, unit, times, numbers, switch))
    progress.done()
    for note in notes:
        _note(note)
    if not drawn:
        raise ValueError("nothing to plot: the series have no numeric points")
    picture.figure(drawn, notes).savefig(args.output)


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        source, waited = _open(args)
        with contextlib.closing(source):
            if args.verb == "series":
                _series(source, _selection(args, None), sys.stdout)
            elif args.verb == "tail":
                _tail(source, args, sys.stdout, waited)
            elif args.verb in ("export", "agg"):
                named = [args.series] if args.verb == "export" and args.series else (
                    args.series if args.verb == "agg" else [])
                if named:
                    _check_series(source, named, _where(args))  # before -o makes the file
                with _output(args.output) as out:
                    (_export if args.verb == "export" else _aggregates)(source, args, out)
            elif args.verb == "prune":
                if args.series:
                    _check_series(source, args.series, _where(args))
                _prune(source, args, sys.stdout)
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
