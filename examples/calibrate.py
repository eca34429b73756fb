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

import argparse
import csv
import datetime
import math
import os
import sys
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from scipy.optimize import least_squares

from brooklet import reach

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "data" / "textbook-flood-8.4.1.csv"
CHART = ROOT / "docs" / "calibration.png"
HOUR = datetime.timedelta(hours=1)
# K must stay positive: the fit may not go below one second.
K_FLOOR_HOURS = 1 / 3600


class InputError(Exception):
    """A mistake in the input file, reported in one line without a traceback."""


@dataclass
class Pair:
    inflow: np.ndarray
    observed: np.ndarray  # NaN where an observation is missing
    missing_rows: list[int] = field(default_factory=list)  # data rows, counted from 1


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


def draw(path: Path, hours, pair: Pair, fit: Fit, title: str, unit: str, outflow_label: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    fig, (flows, residuals) = plt.subplots(
        2, 1, figsize=(8, 6), sharex=True, height_ratios=(3, 1), layout="constrained")
    flows.plot(hours, pair.inflow, color="tab:blue", marker=".", label="inflow")
    flows.plot(hours, pair.observed, linestyle="none", marker="o", markersize=7, markerfacecolor="none",
               color="black", label=outflow_label)
    flows.plot(hours, fit.fitted, color="tab:red", marker=".",
               label=f"routed with the fitted K = {fit.k_hours:.3f} h, X = {fit.x:.3f}")
    # Headroom above the hydrographs for the legend.
    top = 1.3 * float(np.nanmax(np.concatenate([pair.inflow, pair.observed, fit.fitted])))
    flows.set(ylabel=f"flow ({unit})" if unit else "flow", ylim=(0, top), title=title)
    flows.grid(alpha=0.3)
    flows.legend(loc="upper left", fontsize=9)
    flows.text(0.99, 0.02, f"RMSE {fit.rmse:.2f}, Nash–Sutcliffe efficiency {fit.nash_sutcliffe:.6f}",
               transform=flows.transAxes, ha="right", va="bottom", fontsize=8, color="dimgray")
    residuals.axhline(0, color="black", linewidth=0.8)
    width = 0.5 * (hours[1] - hours[0]) if len(hours) > 1 else 0.5
    residuals.bar(hours, fit.fitted - pair.observed, width=width, color="tab:red")
    residuals.set(xlabel="time (h)", ylabel=f"routed − {outflow_label.split()[0]}" + (f"\n({unit})" if unit else ""))
    residuals.grid(alpha=0.3)
    hour_ticks(residuals, hours[0], hours[-1])
    path.parent.mkdir(parents=True, exist_ok=True)
    # No software version in the file, so that redrawing it changes nothing but the picture.
    fig.savefig(path, dpi=100, metadata={"Software": None})
    plt.close(fig)


def read_number(text, row: int, column: str) -> float:
    """The value of one cell: NaN when it is blank or NaN, else a finite number."""
    text = (text or "").strip()
    try:
        value = float(text) if text else math.nan
    except ValueError:
        raise InputError(f"row {row} (line {row + 1}), column {column!r}: {text!r} is not a number") from None
    if math.isinf(value):
        raise InputError(f"row {row} (line {row + 1}), column {column!r}: {text!r} is not a finite number")
    return value


def read_pair(path: Path, inflow_column: str, outflow_column: str) -> Pair:
    """The inflow and outflow columns of a CSV with a header row; every mistake is an InputError."""
    try:
        with path.open(newline="", encoding="utf-8-sig") as f:
            reader = csv.DictReader(f)
            columns = reader.fieldnames or []
            if not columns:
                raise InputError(f"{path} is empty; it needs a header row that names its columns")
            for column in (inflow_column, outflow_column):
                if column not in columns:
                    existing = ", ".join(repr(c) for c in columns)
                    raise InputError(f"{path} has no column {column!r}; its columns are {existing}")
            rows = [(r[inflow_column], r[outflow_column]) for r in reader]
    except OSError as e:
        raise InputError(f"cannot read {path}: {e.strerror}") from None
    except UnicodeDecodeError:
        raise InputError(f"{path} is not a UTF-8 text file") from None
    except csv.Error as e:
        raise InputError(f"{path} is not a readable CSV file: {e}") from None

    inflow, observed = [], []
    for row, (inflow_text, outflow_text) in enumerate(rows, start=1):
        inflow.append(read_number(inflow_text, row, inflow_column))
        observed.append(read_number(outflow_text, row, outflow_column))
        if math.isnan(inflow[-1]):
            raise InputError(f"row {row} (line {row + 1}), column {inflow_column!r}: the inflow is missing;"
                             " routing needs every inflow value, so fill the gap first")
    if not observed or math.isnan(observed[0]):
        raise InputError(f"row 1 (line 2), column {outflow_column!r}: the first outflow is missing;"
                         " the routing starts from it" if observed else f"{path} has no rows after its header")
    missing = [row for row, value in enumerate(observed, start=1) if math.isnan(value)]
    if len(observed) - len(missing) < 3:
        raise InputError(f"{path} has {len(observed) - len(missing)} outflow values;"
                         " at least 3 are needed to fit K and X")
    return Pair(np.array(inflow), np.array(observed), missing)


def positive(kind):
    def parse(text: str):
        value = kind(text)
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be greater than 0, not {text}")
        return value
    parse.__name__ = kind.__name__  # argparse names the type in its message for a malformed value
    return parse


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="A blank outflow cell is a missing observation: it is skipped and the fit uses the rest.")
    parser.add_argument("csv", nargs="?", type=Path, default=DATA,
                        help="CSV with a header row (default: the textbook flood)")
    parser.add_argument("--inflow", default="inflow_cfs", help="inflow column (default: %(default)s)")
    parser.add_argument("--outflow", default="published_outflow_cfs",
                        help="outflow column (default: %(default)s)")
    parser.add_argument("--time-step", type=positive(float), default=60.0, metavar="MINUTES",
                        help="interval between rows in minutes (default: 60)")
    parser.add_argument("--sub-reaches", type=positive(int), default=1, metavar="N",
                        help="the routing's number of sub-reaches (default: 1)")
    parser.add_argument("--chart", type=Path, default=CHART, help="where to draw (default: docs/calibration.png)")
    args = parser.parse_args()
    time_step = datetime.timedelta(minutes=args.time_step)
    textbook = args.csv.resolve() == DATA

    try:
        pair = read_pair(args.csv, args.inflow, args.outflow)
    except InputError as e:
        sys.exit(f"calibrate.py: {e}")
    if textbook:
        show_recovery(pair.inflow, time_step)
        print()
    if pair.missing_rows:
        rows = ", ".join(map(str, pair.missing_rows[:10])) + (", ..." if len(pair.missing_rows) > 10 else "")
        print(f"Skipping {len(pair.missing_rows)} missing outflow values (rows {rows}): fitting on the other"
              f" {len(pair.observed) - len(pair.missing_rows)}.")

    fit = calibrate(pair.inflow, pair.observed, time_step, args.sub_reaches)
    c0, c1, c2 = coefficients(fit.k_hours, fit.x, time_step, args.sub_reaches)
    print(f"Fitted to {os.path.relpath(args.csv)} ({len(pair.inflow)} intervals of {args.time_step:g} min,"
          f" N = {args.sub_reaches}):")
    print(f"  K = {fit.k_hours:.4f} h, X = {fit.x:.4f}")
    print(f"  C0 = {c0:.4f}, C1 = {c1:.4f}, C2 = {c2:.4f}")
    if min(c0, c2) < 0:
        print("  note: a negative coefficient; with these K and X choose the time step or the number"
              " of sub-reaches so that 2KX <= dt <= 2K(1 - X) for K/N (README, Pitfalls)")
    print(f"  RMSE {fit.rmse:.3f}, largest error {fit.largest_error:+.3f} at row"
          f" {fit.largest_error_at + 1}, Nash–Sutcliffe efficiency {fit.nash_sutcliffe:.6f}")
    if textbook:
        print("  (the book routed with K = 2.3 h and X = 0.15, coefficients rounded to four decimals"
              " and outflows rounded to whole cfs)")

    # The textbook's hours are numbered from 1.
    start = 1 if textbook else 0
    hours = [start + i * time_step / HOUR for i in range(len(pair.inflow))]
    title = ("Muskingum calibration: textbook inflow and published outflow" if textbook
             else f"Muskingum calibration: {args.csv.name}")
    try:
        draw(args.chart, hours, pair, fit, title, "cfs" if textbook else "",
             "published outflow (the book's computation)" if textbook else "observed outflow")
    except ImportError as e:
        print(f"no chart: matplotlib is not importable ({e}); `make example` installs it")
    else:
        print(f"chart: {os.path.relpath(args.chart)}")


if __name__ == "__main__":
    main()
