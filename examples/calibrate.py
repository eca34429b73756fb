"""Calibrate K and X of a reach from an observed inflow and outflow hydrograph.

The storage constant K and the weighting factor X are fitted by bounded least squares
(scipy.optimize.least_squares, K > 0, 0 <= X <= 0.5) with brooklet as the forward model: each
trial routes the inflow from the first outflow value, and the fit minimises the squared
differences from the outflow values that are there.

Without a file it first shows on synthetic pairs, made by routing the textbook inflow with known
K and X, that the fit recovers them; then it fits the textbook pair of
data/textbook-flood-8.4.1.csv (the inflow with the book's published outflow, which is the book's
own computation, not an observation). It prints the fitted K and X, the routing coefficients and
the fit's error and, where matplotlib is installed, draws the outflows with a panel of the
residuals to docs/calibration.png.

    python examples/calibrate.py                      # the textbook pair
    python examples/calibrate.py gauges.csv --inflow upstream --outflow downstream --time-step 15

A CSV of your own has a header row and one row per interval, in any flow unit; --inflow and
--outflow name its two columns, --time-step is the interval in minutes and --sub-reaches the
routing's N. A blank outflow cell (or NaN) is a missing observation: it is skipped, and the fit
uses the rest. Every inflow value is needed, and so is the first outflow, which the routing
starts from. NumPy and SciPy are needed (`make example` installs them); brooklet needs neither.
"""

import datetime
import math
import os
import sys
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd
from scipy.optimize import least_squares

from brooklet import reach
from _common import PALETTE, Parser, chart_path, number, plural, save_chart
from route_gauge_file import InputError, column_of, describe, find_times, numbers, read_gauge_file, regular_step, unit_of

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "data" / "textbook-flood-8.4.1.csv"
HOUR = datetime.timedelta(hours=1)
# K must stay positive: the fit may not go below one second.
K_FLOOR_HOURS = 1 / 3600


@dataclass
class Pair:
    inflow: np.ndarray
    observed: np.ndarray  # NaN where an observation is missing
    missing_rows: list[int] = field(default_factory=list)  # data rows, counted from 1
    times: pd.Series | None = None  # the timestamps, where the file has them
    time_step: datetime.timedelta | None = None  # read from the timestamps


def route(inflow, k_hours: float, x: float, time_step: datetime.timedelta, sub_reaches: int,
          initial_outflow: float) -> np.ndarray:
    """The forward model: brooklet's outflow for K given in hours."""
    return np.asarray(reach.muskingum_routing(inflow, datetime.timedelta(hours=k_hours), x, time_step,
                                              sub_reaches, initial_outflow))


def coefficients(k_hours: float, x: float, time_step: datetime.timedelta, sub_reaches: int):
    """C0, C1, C2 of one sub-reach (storage constant K/N)."""
    k, dt = k_hours / sub_reaches, time_step / HOUR
    d = 2 * k * (1 - x) + dt
    return (dt - 2 * k * x) / d, (dt + 2 * k * x) / d, (2 * k * (1 - x) - dt) / d


@dataclass
class Fit:
    k_hours: float
    x: float
    fitted: np.ndarray
    rmse: float
    largest_error: float
    largest_error_at: int
    nash_sutcliffe: float


def calibrate(inflow, observed, time_step: datetime.timedelta = HOUR, sub_reaches: int = 1,
              first_guess=(1.0, 0.2)) -> Fit:
    """Fits K (hours) and X so that routing `inflow` reproduces `observed` outflow where it is
    not NaN; the first observed value must be there, as the routing starts from it."""
    inflow = np.asarray(inflow, dtype=float)
    observed = np.asarray(observed, dtype=float)
    present = ~np.isnan(observed)

    def residuals(parameters):
        k_hours, x = parameters
        return (route(inflow, k_hours, x, time_step, sub_reaches, observed[0]) - observed)[present]

    # A relative finite-difference step of 1e-5 stays far above the microsecond resolution of a
    # timedelta K (1e-5 of an hour is 36 ms).
    result = least_squares(residuals, first_guess, bounds=([K_FLOOR_HOURS, 0.0], [np.inf, 0.5]),
                           diff_step=1e-5, xtol=1e-12, ftol=1e-12, gtol=1e-12)
    k_hours, x = (float(v) for v in result.x)
    fitted = route(inflow, k_hours, x, time_step, sub_reaches, observed[0])
    errors = np.where(present, fitted - observed, 0.0)
    worst = int(np.argmax(np.abs(errors)))
    seen = observed[present]
    return Fit(k_hours, x, fitted, rmse=float(np.sqrt(np.sum(errors ** 2) / len(seen))),
               largest_error=float(errors[worst]), largest_error_at=worst,
               nash_sutcliffe=float(1 - np.sum(errors ** 2) / np.sum((seen - seen.mean()) ** 2)))


def recovery_error(inflow, k_hours: float, x: float, time_step: datetime.timedelta,
                   sub_reaches: int) -> tuple[float, float]:
    """Relative errors of K and X fitted to the inflow routed with them (a synthetic pair)."""
    synthetic = route(inflow, k_hours, x, time_step, sub_reaches, inflow[0])
    fit = calibrate(inflow, synthetic, time_step, sub_reaches)
    return fit.k_hours / k_hours - 1, fit.x / x - 1


def show_recovery(inflow, time_step: datetime.timedelta) -> None:
    print("Recovering known K and X from synthetic pairs (the textbook inflow routed with them):")
    for k_hours, x, sub_reaches in [(3.7, 0.22, 1), (1.6, 0.05, 1), (5.0, 0.3, 4)]:
        k_error, x_error = recovery_error(inflow, k_hours, x, time_step, sub_reaches)
        verdict = "within" if max(abs(k_error), abs(x_error)) <= 1e-6 else "NOT within"
        print(f"  K = {k_hours:.2f} h, X = {x:.2f}, N = {sub_reaches}: fitted K and X {verdict} 1e-6 of them")


def hour_ticks(ax, first: float, last: float) -> None:
    """Ticks on whole hours: every hour, or every 2, 3, 6, 12 or 24 hours on a longer record."""
    step = next((s for s in (1, 2, 3, 6, 12, 24) if (last - first) / s <= 24), 48)
    ax.set_xticks(np.arange(math.ceil(first / step) * step, last + 1e-9, step))


def draw(path: Path, hours, pair: Pair, fit: Fit, title: str, unit: str, outflow_label: str) -> str | None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    fig, (flows, residuals) = plt.subplots(
        2, 1, figsize=(8, 6), sharex=True, height_ratios=(3, 1), layout="constrained")
    flows.plot(hours, pair.inflow, color=PALETTE[0], marker=".", label="inflow")
    flows.plot(hours, pair.observed, linestyle="none", marker="o", markersize=7, markerfacecolor="none",
               color="black", label=outflow_label)
    flows.plot(hours, fit.fitted, color=PALETTE[5], marker=".",
               label=f"routed with the fitted K = {fit.k_hours:.3f} h, X = {fit.x:.3f}")
    # Headroom above the hydrographs for the legend.
    top = 1.3 * float(np.nanmax(np.concatenate([pair.inflow, pair.observed, fit.fitted])))
    flows.set(ylabel=f"flow ({unit})" if unit else "flow (the file's unit)", ylim=(0, top), title=title)
    flows.grid(alpha=0.3)
    flows.legend(loc="upper left", fontsize=9)
    # Above the residuals, where it covers no data.
    residuals.set_title(f"RMSE {fit.rmse:.2f}, Nash–Sutcliffe efficiency {fit.nash_sutcliffe:.6f}",
                        loc="right", fontsize=8, color="dimgray")
    residuals.axhline(0, color="black", linewidth=0.8)
    width = 0.5 * (hours[1] - hours[0]) if len(hours) > 1 else 0.5
    residuals.bar(hours, fit.fitted - pair.observed, width=width, color=PALETTE[5])
    residuals.set(xlabel="time (h)", ylabel=f"routed − {outflow_label.split()[0]}" + (f"\n({unit})" if unit else ""))
    residuals.grid(alpha=0.3)
    hour_ticks(residuals, hours[0], hours[-1])
    message = save_chart(fig, path)
    plt.close(fig)
    return message


def read_pair(path: Path, inflow_column: str, outflow_column: str, sep: str | None = None,
              time_column: str | None = None, time_step: datetime.timedelta | None = None) -> Pair:
    """The inflow and outflow columns of a CSV with a header row, read as route_gauge_file.py reads
    a gauge file; every mistake is an InputError. With a timestamp column the rows must be evenly
    spaced with none missing, and the pair's time_step is read from them."""
    gauges = read_gauge_file(path, sep)
    inflow_column, outflow_column = (column_of(gauges, c, path) for c in (inflow_column, outflow_column))
    inflow, observed = numbers(gauges, inflow_column), numbers(gauges, outflow_column)
    found = find_times(gauges, time_column, path)
    times = None
    if found:
        _, times = found
        time_step = regular_step(times, time_step)
        absent = pd.date_range(times.iloc[0], times.iloc[-1], freq=time_step).difference(pd.DatetimeIndex(times))
        if absent.size:
            raise InputError(f"{plural(absent.size, 'row')} missing, for {describe(absent)}: the fit needs a row"
                             " for every time step (leave the outflow blank where it was not observed)")
    if inflow.isna().any():
        row = int(inflow.isna().idxmax()) + 1
        raise InputError(f"row {row} (line {row + 1}), column {inflow_column!r}: the inflow is missing;"
                         " routing needs every inflow value, so fill the gap first")
    if math.isnan(observed[0]):
        raise InputError(f"row 1 (line 2), column {outflow_column!r}: the first outflow is missing;"
                         " the routing starts from it")
    missing = [row + 1 for row in range(len(observed)) if math.isnan(observed[row])]
    if len(observed) - len(missing) < 3:
        raise InputError(f"{path} has {plural(len(observed) - len(missing), 'outflow value')};"
                         " at least 3 are needed to fit K and X")
    return Pair(inflow.to_numpy(), observed.to_numpy(), missing, times, time_step)


def bound_notes(fit: "Fit", sub_reaches: int) -> list[str]:
    """What it means when a fitted parameter ends on a bound of the search: the best fit lies
    beyond it, where Muskingum routing has no meaning, so the fitted value is only the nearest."""
    notes = []
    if fit.x <= 1e-6:
        notes.append("X sits at its lower bound 0: the observed outflow is flatter than any X in [0, 0.5]"
                     " makes it with these settings" + (f"; {sub_reaches} sub-reaches flatten less than one,"
                                                      " so try fewer" if sub_reaches > 1 else
                                                      "; the reach acts like a reservoir, or the outflow"
                                                      " lacks water the inflow carries"))
    if fit.x >= 0.5 - 1e-6:
        notes.append("X sits at its upper bound 0.5: the outflow is less attenuated than any X in [0, 0.5]"
                     " gives; try more sub-reaches, or check that the two series are of the same reach")
    if fit.k_hours <= K_FLOOR_HOURS * (1 + 1e-6):
        notes.append("K sits at its lower bound of 1 s: the outflow shows no delay; check the time step and"
                     " that the outflow column is not the inflow")
    return notes


def main() -> None:
    parser = Parser(
        prog="calibrate.py", description=__doc__.split("\n\n")[0],
        epilog="A blank outflow cell is a missing observation: it is skipped and the fit uses the rest.")
    parser.add_argument("csv", nargs="?", type=Path, default=DATA,
                        help="CSV with a header row (default: the textbook flood)")
    parser.add_argument("--inflow", default="inflow_cfs", help="inflow column (default: %(default)s)")
    parser.add_argument("--outflow", default="published_outflow_cfs",
                        help="outflow column (default: %(default)s)")
    parser.add_argument("--time-column", metavar="NAME",
                        help="the timestamp column (default: found by name or by parsing, if there is one)")
    parser.add_argument("--time-step", type=number(float, 0, above=True), metavar="MINUTES",
                        help="interval between rows in minutes (default: from the timestamps, else 60)")
    parser.add_argument("--sub-reaches", type=number(int, 1), default=1, metavar="N",
                        help="the routing's number of sub-reaches (default: 1)")
    parser.add_argument("--sep", help="field separator (default: sniffed)")
    parser.add_argument("--chart", type=chart_path, metavar="FILE",
                        help="where to draw: png, svg, pdf, jpg, ... (default: calibration-NAME.png here)")
    args = parser.parse_args()
    textbook = args.csv.resolve() == DATA
    chart = args.chart or Path(f"calibration-{args.csv.stem}.png")

    try:
        pair = read_pair(args.csv, args.inflow, args.outflow, args.sep, args.time_column,
                         datetime.timedelta(minutes=args.time_step) if args.time_step else None)
    except InputError as e:
        sys.exit(f"calibrate.py: {e}")
    time_step = pair.time_step or datetime.timedelta(minutes=args.time_step or 60)
    minutes = time_step / datetime.timedelta(minutes=1)
    if textbook:
        show_recovery(pair.inflow, time_step)
        print()
    if pair.missing_rows:
        rows = ", ".join(map(str, pair.missing_rows[:10])) + (", ..." if len(pair.missing_rows) > 10 else "")
        print(f"Skipping {plural(len(pair.missing_rows), 'missing outflow value')} (rows {rows}): fitting on the"
              f" other {len(pair.observed) - len(pair.missing_rows)}.")

    fit = calibrate(pair.inflow, pair.observed, time_step, args.sub_reaches)
    c0, c1, c2 = coefficients(fit.k_hours, fit.x, time_step, args.sub_reaches)
    print(f"Fitted to {os.path.relpath(args.csv)} ({plural(len(pair.inflow), 'interval')} of {minutes:g} min,"
          f" N = {args.sub_reaches}):")
    print(f"  K = {fit.k_hours:.4f} h, X = {fit.x:.4f}")
    print(f"  C0 = {c0:.4f}, C1 = {c1:.4f}, C2 = {c2:.4f}")
    for note in bound_notes(fit, args.sub_reaches):
        print(f"  note: {note}")
    if min(c0, c2) < 0:
        print("  note: a negative coefficient; with these K and X choose the time step or the number"
              " of sub-reaches so that 2KX <= dt <= 2K(1 - X) for K/N (README, Pitfalls)")
    print(f"  RMSE {fit.rmse:.3f}, largest error {fit.largest_error:+.3f} at row"
          f" {fit.largest_error_at + 1}, Nash–Sutcliffe efficiency {fit.nash_sutcliffe:.6f}")
    if textbook:
        print("  (the book routed with K = 2.3 h and X = 0.15, coefficients rounded to four decimals"
              " and outflows rounded to whole cfs)")

    # Hours as the data number them: the textbook's from 1, timestamps' from the first one.
    start = 1 if textbook else 0
    hours = [start + i * time_step / HOUR for i in range(len(pair.inflow))]
    title = ("Muskingum calibration: textbook inflow and published outflow" if textbook
             else f"Muskingum calibration: {args.csv.name}")
    if pair.times is not None:
        title += f", hours from {pair.times.iloc[0]}"
    unit = "cfs" if textbook else unit_of(args.inflow)
    try:
        message = draw(chart, hours, pair, fit, title, unit,
                       "published outflow (the book's computation)" if textbook else "observed outflow")
    except ImportError as e:
        print(f"no chart: matplotlib is not importable ({e}); `pip install matplotlib` installs it")
    else:
        if message:
            sys.exit(f"calibrate.py: {message}")
        print(f"chart: {os.path.relpath(chart)}")


if __name__ == "__main__":
    main()
