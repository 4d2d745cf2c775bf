"""The picture of `telem-log plot`: numeric series over UTC clock time, a
panel per unit, each stretch of a series (a run) a line of its own. Needs
matplotlib; the command imports this module only to plot."""

from __future__ import annotations

import dataclasses
import datetime
import math
import statistics
from collections.abc import Callable, Sequence
from typing import Any

import matplotlib.dates as mdates
import numpy as np
from matplotlib.axes import Axes
from matplotlib.figure import Figure
from matplotlib.ticker import Formatter

UTC = datetime.UTC
# matplotlib.dates has no type annotations.
date2num: Callable[[Any], Any] = mdates.date2num
num2date: Callable[..., datetime.datetime] = mdates.num2date
AutoDateLocator: Callable[..., Any] = mdates.AutoDateLocator
# A line breaks where two points lie further apart than this many times the
# series' usual (median) spacing: a rerun is not joined to the run before it.
GAP_FACTOR = 10
# A series of at most this many points shows each point as a marker.
MARKERS_UP_TO = 60
# A series whose consecutive points jump across its range this many times over
# (samples of several threads interleaved, say) is drawn as dots: as a line it
# would be a solid block of zigzags.
ZIGZAG_FACTOR = 20
# A stretch narrower than this share of the time axis (about two pixels), a
# point alone or a burst of them, shows its points as markers: as a line it
# would not show.
NARROW = 1 / 400


@dataclasses.dataclass
class Series:
    name: str
    unit: str
    times: list[datetime.datetime]  # aware, in time order
    numbers: list[float]  # finite
    switch: bool  # every value true or false: drawn as steps


def clock_texts(times: Sequence[datetime.datetime]) -> list[str]:
    """Tick texts in UTC clock time, as precise as the ticks' spacing needs;
    with the month and day when the ticks span several days."""
    step = min((b - a for a, b in zip(times, times[1:])), default=datetime.timedelta(0)).total_seconds()
    digits = min(6, math.ceil(-math.log10(step) - 1e-9)) if 0 < step < 1 else 0
    # Ticks come back from matplotlib's float days a microsecond off.
    unit = 10 ** (6 - digits)
    times = [t + datetime.timedelta(microseconds=round(t.microsecond / unit) * unit - t.microsecond) for t in times]
    day = "%m-%d " if len({t.date() for t in times}) > 1 else ""
    if digits:
        return [t.strftime(f"{day}%H:%M:%S.") + f"{t.microsecond:06d}"[:digits] for t in times]
    if day and all(t.time() == datetime.time() for t in times):
        return [t.strftime("%m-%d") for t in times]
    clock = "%H:%M" if all(t.second == 0 for t in times) and step >= 60 else "%H:%M:%S"
    return [t.strftime(day + clock) for t in times]


class ClockFormatter(Formatter):
    def format_ticks(self, values: Sequence[float]) -> list[str]:
        return clock_texts([num2date(v, tz=UTC) for v in values])

    def __call__(self, x: float, pos: int | None = None) -> str:
        return num2date(x, tz=UTC).isoformat(timespec="microseconds")


def time_label(first: datetime.datetime, last: datetime.datetime) -> str:
    start, end = first.astimezone(UTC).date(), last.astimezone(UTC).date()
    return f"time (UTC) on {start}" if start == end else f"time (UTC) from {start} to {end}"


def _draw(axes: Axes, series: Series, color: str, narrow: float) -> None:
    x = np.asarray(date2num(series.times), dtype=np.float64)  # matplotlib's days
    y = np.asarray(series.numbers, dtype=np.float64)
    spacing = np.diff(x)
    positive = spacing[spacing > 0]
    usual = statistics.median(positive.tolist()) if len(positive) else 0.0
    gaps = np.flatnonzero(spacing > GAP_FACTOR * usual) if usual > 0 else np.array([], dtype=int)
    bounds = [0, *(int(g) + 1 for g in gaps), len(x)]
    narrow_points = [i for start, end in zip(bounds, bounds[1:]) if x[end - 1] - x[start] <= narrow
                     for i in range(start, end)]
    travel = sum(float(np.abs(np.diff(y[start:end])).sum()) for start, end in zip(bounds, bounds[1:]))
    spread = float(y.max() - y.min())
    style: dict[str, Any] = {}
    if len(y) <= MARKERS_UP_TO:
        style = {"marker": "o", "markersize": 4}
    elif not series.switch and spread > 0 and travel > ZIGZAG_FACTOR * spread:
        style = {"linestyle": "none", "marker": ".", "markersize": 2}
    # A NaN after each stretch breaks the line there; it sits at the
    # stretch's last time, so that a step line does not carry its last value
    # into the gap.
    axes.plot(np.insert(x, gaps + 1, x[gaps]), np.insert(y, gaps + 1, np.nan), color=color, label=series.name,
              linewidth=1.5, drawstyle="steps-post" if series.switch else "default", **style)
    if narrow_points and style.get("marker") != "o":
        axes.plot(x[narrow_points], y[narrow_points], color=color, linestyle="none", marker="o", markersize=4)


def figure(series: Sequence[Series], notes: Sequence[str]) -> Figure:
    """The picture of `series`, with `notes` under it."""
    panels: dict[tuple[bool, str], list[int]] = {}
    for i, one in enumerate(series):
        panels.setdefault((one.switch, "" if one.switch else one.unit), []).append(i)
    ratios = [0.5 if switch else 1.0 for switch, _ in panels]
    height = max(5.0, 1.4 + 1.8 * sum(ratios))
    picture = Figure(figsize=(10, height), dpi=100, layout="constrained")
    axes_list = picture.subplots(len(panels), 1, sharex=True, squeeze=False, height_ratios=ratios)[:, 0]
    first = min(float(date2num(s.times[0])) for s in series)
    last = max(float(date2num(s.times[-1])) for s in series)
    for axes, ((switch, unit), members) in zip(axes_list, panels.items()):
        for i in members:
            _draw(axes, series[i], f"C{i}", (last - first) * NARROW)
        if switch:
            axes.set_yticks([0, 1], ["false", "true"])
            axes.set_ylim(-0.25, 1.25)
        else:
            axes.set_ylabel(unit or "value")
            axes.ticklabel_format(axis="y", style="plain", useOffset=False)
        axes.grid(True, alpha=0.3)
    bottom = axes_list[-1]
    locator = AutoDateLocator(tz=UTC, minticks=4, maxticks=9)
    # Ten minutes get a tick every two, not two ticks five minutes apart.
    locator.intervald[mdates.MINUTELY] = locator.intervald[mdates.SECONDLY] = [1, 2, 5, 10, 15, 20, 30]
    bottom.xaxis.set_major_locator(locator)
    if last == first:
        # All at one instant: a second either side (matplotlib would make it years).
        second = 1 / 86400
        bottom.set_xlim(first - second, last + second)
    bottom.xaxis.set_major_formatter(ClockFormatter())
    bottom.set_xlabel(time_label(min(s.times[0] for s in series), max(s.times[-1] for s in series)))
    handles = [h for axes in axes_list for h in axes.get_legend_handles_labels()[0]]
    # Above the panels, never over the data.
    picture.legend(handles=handles, loc="outside upper center", ncols=min(len(handles), 4), frameon=False)
    if notes:
        picture.supxlabel("\n".join(notes), x=0.01, ha="left", fontsize=8, color="0.35")
    return picture
