"""Calibrate K and X of a reach from an observed inflow and outflow hydrograph.

The storage constant K and the weighting factor X are fitted by bounded least squares
(scipy.optimize.least_squares, K > 0, 0 <= X <= 0.5) with brooklet as the forward model: each
trial routes the observed inflow from the first observed outflow, and the fit minimises the
squared differences from the observed outflow.

First it shows on a synthetic pair, made by routing the textbook inflow with known K and X, that
the fit recovers them; then it fits the textbook pair of data/textbook-flood-8.4.1.csv (the
inflow with the published outflow), prints the fitted K and X, the routing coefficients and the
fit's error, and, where matplotlib is installed, draws observed against fitted outflow to
docs/calibration.png.

    python examples/calibrate.py                      # the textbook pair
    python examples/calibrate.py gauges.csv --inflow upstream --outflow downstream --time-step 60

A CSV of your own needs one column of inflow and one of outflow (any flow unit, one row per
interval); --time-step is the interval in minutes and --sub-reaches the routing's N.
NumPy and SciPy are needed (`make example` installs them); brooklet itself needs neither.
"""

import argparse
import csv
import datetime
import os
from dataclasses import dataclass
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
    evaluations: int


def calibrate(inflow, observed, time_step: datetime.timedelta = HOUR, sub_reaches: int = 1,
              first_guess=(1.0, 0.2)) -> Fit:
    """Fits K (hours) and X so that routing `inflow` reproduces `observed` outflow."""
    inflow = np.asarray(inflow, dtype=float)
    observed = np.asarray(observed, dtype=float)

    def residuals(parameters):
        k_hours, x = parameters
        return route(inflow, k_hours, x, time_step, sub_reaches, observed[0]) - observed

    # A relative finite-difference step of 1e-5 stays far above the microsecond resolution of a
    # timedelta K (1e-5 of an hour is 36 ms).
    result = least_squares(residuals, first_guess, bounds=([K_FLOOR_HOURS, 0.0], [np.inf, 0.5]),
                           diff_step=1e-5, xtol=1e-12, ftol=1e-12, gtol=1e-12)
    k_hours, x = (float(v) for v in result.x)
    fitted = route(inflow, k_hours, x, time_step, sub_reaches, observed[0])
    errors = fitted - observed
    worst = int(np.argmax(np.abs(errors)))
    return Fit(k_hours, x, fitted, rmse=float(np.sqrt(np.mean(errors ** 2))),
               largest_error=float(errors[worst]), largest_error_at=worst,
               nash_sutcliffe=float(1 - np.sum(errors ** 2) / np.sum((observed - observed.mean()) ** 2)),
               evaluations=int(result.nfev))


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
        verdict = "within 1 %" if max(abs(k_error), abs(x_error)) <= 0.01 else "NOT within 1 %"
        print(f"  K = {k_hours:.2f} h, X = {x:.2f}, N = {sub_reaches}: fitted K off by {k_error:+.1e},"
              f" X off by {x_error:+.1e} (relative): {verdict}")


def draw(path: Path, hours, inflow, observed, fit: Fit, title: str, unit: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 4.5), layout="constrained")
    ax.plot(hours, inflow, color="tab:blue", marker=".", label="inflow")
    ax.plot(hours, observed, linestyle="none", marker="o", markersize=7, markerfacecolor="none",
            color="black", label="observed outflow")
    ax.plot(hours, fit.fitted, color="tab:red", marker=".",
            label=f"fitted outflow (K = {fit.k_hours:.3f} h, X = {fit.x:.3f})")
    # Headroom above the hydrographs for the legend.
    top = 1.3 * max(max(inflow), max(observed), float(fit.fitted.max()))
    ax.set(xlabel="time (h)", ylabel=unit, ylim=(0, top), title=title)
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left")
    ax.text(0.99, 0.02, f"RMSE {fit.rmse:.2f}, Nash–Sutcliffe efficiency {fit.nash_sutcliffe:.6f}",
            transform=ax.transAxes, ha="right", va="bottom", fontsize=8, color="dimgray")
    path.parent.mkdir(parents=True, exist_ok=True)
    # No software version in the file, so that redrawing it changes nothing but the picture.
    fig.savefig(path, dpi=100, metadata={"Software": None})
    plt.close(fig)


def read_pair(path: Path, inflow_column: str, outflow_column: str):
    with path.open(newline="") as f:
        rows = list(csv.DictReader(f))
    return [float(r[inflow_column]) for r in rows], [float(r[outflow_column]) for r in rows]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("csv", nargs="?", type=Path, default=DATA,
                        help="observed pair (default: the textbook flood)")
    parser.add_argument("--inflow", default="inflow_cfs", help="inflow column (default: %(default)s)")
    parser.add_argument("--outflow", default="published_outflow_cfs",
                        help="outflow column (default: %(default)s)")
    parser.add_argument("--time-step", type=float, default=60.0, help="interval in minutes (default: 60)")
    parser.add_argument("--sub-reaches", type=int, default=1, help="the routing's N (default: 1)")
    parser.add_argument("--chart", type=Path, default=CHART, help="where to draw (default: docs/calibration.png)")
    args = parser.parse_args()
    time_step = datetime.timedelta(minutes=args.time_step)

    inflow, observed = read_pair(args.csv, args.inflow, args.outflow)
    if args.csv == DATA:
        show_recovery(inflow, time_step)
        print()

    fit = calibrate(inflow, observed, time_step, args.sub_reaches)
    c0, c1, c2 = coefficients(fit.k_hours, fit.x, time_step, args.sub_reaches)
    print(f"Fitted to {os.path.relpath(args.csv)} ({len(inflow)} intervals of {args.time_step:g} min,"
          f" N = {args.sub_reaches}, {fit.evaluations} routings):")
    print(f"  K = {fit.k_hours:.4f} h, X = {fit.x:.4f}")
    print(f"  C0 = {c0:.4f}, C1 = {c1:.4f}, C2 = {c2:.4f}")
    if min(c0, c2) < 0:
        print("  note: a negative coefficient; with these K and X choose the time step or the number"
              " of sub-reaches so that 2KX <= dt <= 2K(1 - X) for K/N (README, Choosing K, X and Δt)")
    print(f"  RMSE {fit.rmse:.3f}, largest error {fit.largest_error:+.3f} at interval"
          f" {fit.largest_error_at + 1}, Nash–Sutcliffe efficiency {fit.nash_sutcliffe:.6f}")
    if args.csv == DATA:
        print("  (the book routed with K = 2.3 h and X = 0.15, coefficients rounded to four decimals"
              " and outflows rounded to whole cfs)")

    # The textbook's hours are numbered from 1.
    start = 1 if args.csv == DATA else 0
    hours = [start + i * time_step / HOUR for i in range(len(inflow))]
    title = (f"Muskingum calibration: {args.csv.name}" if args.csv != DATA
             else "Muskingum calibration: textbook inflow and published outflow")
    try:
        draw(args.chart, hours, inflow, observed, fit, title,
             "flow (cfs)" if args.csv == DATA else "flow")
    except ImportError as e:
        print(f"no chart: matplotlib is not importable ({e}); `make example` installs it")
    else:
        print(f"chart: {os.path.relpath(args.chart)}")


if __name__ == "__main__":
    main()
