"""Route the textbook flood of data/textbook-flood-8.4.1.csv and compare it with the book.

Chow, Maidment and Mays (1988), Applied Hydrology, Example 8.4.1: a reach with K = 2.3 h and
X = 0.15, routed at one-hour intervals from an initial outflow of 85 cfs. The book's outflow is
not an observation: it is the book's own Muskingum computation, with coefficients rounded to four
decimals and outflows rounded to whole cfs, so it differs slightly from exact routing.

Prints the inflow, the published outflow and brooklet's outflow side by side with their
difference and, where matplotlib is installed, draws them with a panel of the differences to
docs/textbook-flood.png.

    python examples/textbook_flood.py                      # chart into docs/
    python examples/textbook_flood.py --chart flood.png    # chart elsewhere
"""

import argparse
import csv
import datetime
import os
from pathlib import Path

from brooklet import reach

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "data" / "textbook-flood-8.4.1.csv"
CHART = ROOT / "docs" / "textbook-flood.png"
SOURCE = "Chow, Maidment and Mays (1988), Applied Hydrology, Example 8.4.1"


def draw(path: Path, hours, inflow, published, routed) -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    fig, (flows, differences) = plt.subplots(
        2, 1, figsize=(8, 6), sharex=True, height_ratios=(3, 1), layout="constrained")
    flows.plot(hours, inflow, color="tab:blue", marker=".", label="inflow")
    flows.plot(hours, published, linestyle="none", marker="o", markersize=7, markerfacecolor="none",
               color="black", label="published outflow (the book's computation, whole cfs)")
    flows.plot(hours, routed, color="tab:red", marker=".", label="brooklet outflow")
    # Headroom above the hydrographs for the legend.
    flows.set(ylabel="flow (cfs)", ylim=(0, 1.3 * max(inflow)),
              title="Muskingum routing, K = 2.3 h, X = 0.15, Δt = 1 h, one sub-reach")
    flows.grid(alpha=0.3)
    flows.legend(loc="upper left", fontsize=9)
    differences.axhline(0, color="black", linewidth=0.8)
    differences.bar(hours, [o - p for o, p in zip(routed, published)], width=0.5, color="tab:red")
    differences.set(xlabel="time (h)", ylabel="brooklet −\npublished (cfs)", ylim=(-1, 1),
                    xticks=hours, xlim=(hours[0] - 0.5, hours[-1] + 0.5))
    differences.grid(alpha=0.3)
    differences.text(0.99, 0.04, SOURCE, transform=differences.transAxes, ha="right", va="bottom",
                     fontsize=8, color="dimgray")
    path.parent.mkdir(parents=True, exist_ok=True)
    # No software version in the file, so that redrawing it changes nothing but the picture.
    fig.savefig(path, dpi=100, metadata={"Software": None})
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--chart", type=Path, default=CHART,
                        help="where to draw the chart (default: docs/textbook-flood.png)")
    args = parser.parse_args()

    with DATA.open(newline="") as f:
        rows = list(csv.DictReader(f))
    hours = [int(r["hour"]) for r in rows]
    inflow = [float(r["inflow_cfs"]) for r in rows]
    published = [float(r["published_outflow_cfs"]) for r in rows]

    routed = reach.muskingum_routing(
        inflow,
        k=datetime.timedelta(hours=2.3),
        x=0.15,
        time_step=datetime.timedelta(hours=1),
        sub_reaches=1,
        initial_outflow=published[0],
    )

    print(f"Muskingum routing, K = 2.3 h, X = 0.15, dt = 1 h ({SOURCE})")
    print(f"{'hour':>4}  {'inflow':>8}  {'published':>9}  {'brooklet':>9}  {'difference':>10}")
    for hour, i, p, o in zip(hours, inflow, published, routed):
        print(f"{hour:>4}  {i:>8.0f}  {p:>9.0f}  {o:>9.2f}  {o - p:>+10.2f}")
    largest = max(zip(hours, routed, published), key=lambda t: abs(t[1] - t[2]))
    print(f"largest difference from the published values: {largest[1] - largest[2]:+.2f} cfs at hour"
          f" {largest[0]} (they were rounded to whole cfs)")

    try:
        draw(args.chart, hours, inflow, published, routed)
    except ImportError as e:
        print(f"no chart: matplotlib is not importable ({e}); `make example` installs it")
    else:
        print(f"chart: {os.path.relpath(args.chart)}")


if __name__ == "__main__":
    main()
