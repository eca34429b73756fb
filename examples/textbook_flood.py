"""Route the textbook flood of data/textbook-flood-8.4.1.csv and compare it with the book.

Chow, Maidment and Mays (1988), Applied Hydrology, Example 8.4.1: a reach with K = 2.3 h and
X = 0.15, routed at one-hour intervals from an initial outflow of 85 cfs. The book's outflow is
not an observation: it is the book's own Muskingum computation, with coefficients rounded to four
decimals and outflows rounded to whole cfs, so it differs slightly from exact routing.

Prints the inflow, the published outflow and brooklet's outflow side by side with their
difference and, where matplotlib is installed, draws them with a panel of the differences to
textbook-flood.png in the current directory (--chart names another file: png, svg, pdf, jpg, ...).

    python examples/textbook_flood.py
    python examples/textbook_flood.py --chart flood.svg
"""

import csv
import datetime
import os
from pathlib import Path

from brooklet import reach
from _common import PALETTE, Parser, chart_path, save_chart

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "data" / "textbook-flood-8.4.1.csv"
SOURCE = "Chow, Maidment and Mays (1988), Applied Hydrology, Example 8.4.1"


def draw(path: Path, hours, inflow, published, routed) -> str | None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    fig, (flows, differences) = plt.subplots(
        2, 1, figsize=(8, 6), sharex=True, height_ratios=(3, 1), layout="constrained")
    flows.plot(hours, inflow, color=PALETTE[0], marker=".", label="inflow")
    flows.plot(hours, published, linestyle="none", marker="o", markersize=7, markerfacecolor="none",
               color="black", label="published outflow (the book's computation, whole cfs)")
    flows.plot(hours, routed, color=PALETTE[5], marker=".", label="brooklet outflow")
    # Headroom above the hydrographs for the legend.
    flows.set(ylabel="flow (cfs)", ylim=(0, 1.3 * max(inflow)),
              title="Muskingum routing, K = 2.3 h, X = 0.15, Δt = 1 h, one sub-reach")
    flows.grid(alpha=0.3)
    flows.legend(loc="upper left", fontsize=9)
    differences.axhline(0, color="black", linewidth=0.8)
    differences.bar(hours, [o - p for o, p in zip(routed, published)], width=0.5, color=PALETTE[5])
    differences.set(xlabel="time (h)", ylabel="brooklet −\npublished (cfs)", ylim=(-1, 1),
                    xticks=hours, xlim=(hours[0] - 0.5, hours[-1] + 0.5))
    differences.grid(alpha=0.3)
    differences.text(0.99, 0.04, SOURCE, transform=differences.transAxes, ha="right", va="bottom",
                     fontsize=8, color="dimgray")
    message = save_chart(fig, path)
    plt.close(fig)
    return message


def main() -> None:
    parser = Parser(prog="textbook_flood.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--chart", type=chart_path, default=Path("textbook-flood.png"), metavar="FILE",
                        help="where to draw the chart: png, svg, pdf, jpg, ... (default: textbook-flood.png here)")
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
        message = draw(args.chart, hours, inflow, published, routed)
    except ImportError as e:
        print(f"no chart: matplotlib is not importable ({e}); `pip install matplotlib` installs it")
    else:
        if message:
            raise SystemExit(f"textbook_flood.py: {message}")
        print(f"chart: {os.path.relpath(args.chart)}")


if __name__ == "__main__":
    main()
