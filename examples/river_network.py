"""Route storms through a river network, as an ensemble run in parallel.

The basin. A synthetic dendritic network of 1,200 reaches (--reaches): each reach drains into one
reach downstream (confluences join two tributaries), has its own length, storage constant K
(length over a wave celerity of 1 to 2 m/s), weighting factor X (0.1 to 0.3) and number of
sub-reaches N (about K/dt, which keeps the routing coefficients non-negative), and receives
lateral inflow from its own catchment of 3 to 25 km². Each reach's inflow is the sum of its
upstream reaches' outflows plus its lateral inflow, so the reaches are routed in topological
order, headwaters first, with brooklet, at dt = 15 min over 96 h.

Base flow. Every catchment yields a constant base flow of 0.02 m³/s per km² (groundwater
feeding the streams between storms), so the basin starts in steady flow: each reach starts
from its first inflow value, and the outlet carries the base flow of the whole basin before
and after the storm.

Members. An ensemble member is one storm that may happen: the same basin, hit by a different
synthetic storm (depth, duration, track across the basin and timing drawn at random). A storm's
rain on a catchment becomes runoff through a linear reservoir, on top of the base flow. The 8
members (--members) are independent, so they are routed in parallel, one member per task: on a
local process pool by default (--workers processes), or on a Dask cluster with --dask (a
LocalCluster of --workers processes started here on the loopback interface) or --scheduler
ADDRESS (an existing cluster, whose workers need brooklet and NumPy installed; the basin and
storms travel with the tasks). Calls hold the interpreter lock, so workers are processes, each
with one thread.

It prints the time taken, each member's outlet peak and the volume balance at the outlet against
all lateral inflow, and draws the outlet hydrographs of the members to river-network.png in the
current directory (--chart names another file; matplotlib).

    python examples/river_network.py                 # local process pool
    python examples/river_network.py --dask          # Dask LocalCluster
    python examples/river_network.py --scheduler tcp://10.0.0.5:8786

NumPy is needed, Dask only for --dask and --scheduler, matplotlib for the chart (`make example`
installs them); brooklet itself needs none of them.
"""

import datetime
import os
import time
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import numpy as np

# The package, not its `reach` attribute: Dask ships route_member to its workers by value, with
# the globals it uses, and `brooklet` travels as a reference to the importable package.
import brooklet
from _common import PALETTE, Parser, chart_path, number, plural, save_chart

TIME_STEP = datetime.timedelta(minutes=15)
DT_HOURS = TIME_STEP / datetime.timedelta(hours=1)
DT_SECONDS = TIME_STEP.total_seconds()
HORIZON_HOURS = 96  # long enough for the flood to leave the basin
BASE_FLOW = 0.02  # m³/s per km² of catchment


@dataclass
class Basin:
    """Reaches 0..n-1 in an arbitrary order; downstream[i] is -1 for the outlet reach."""

    downstream: np.ndarray  # int
    k: list  # datetime.timedelta per reach
    x: np.ndarray
    sub_reaches: np.ndarray  # int
    area_km2: np.ndarray  # the reach's own catchment
    runoff_coefficient: np.ndarray
    catchment_lag_hours: np.ndarray
    position_km: np.ndarray  # (n, 2): where the reach's catchment lies

    def __len__(self):
        return len(self.downstream)


@dataclass
class Storm:
    seed: int
    depth_mm: float  # rain at the centre of the storm
    duration_hours: float
    start_hours: float
    radius_km: float
    track_start_km: tuple
    velocity_kmh: tuple


def make_basin(reaches: int, seed: int = 1) -> Basin:
    """A random dendritic network: each new reach joins an existing one that has fewer than two
    tributaries, mostly one of the recently added (so the network grows at its tips and its main
    stems run to about 45 reaches); the reach numbers are then shuffled, so that the routing
    order has to be worked out."""
    rng = np.random.default_rng(seed)
    downstream = np.full(reaches, -1)
    tributaries = np.zeros(reaches, dtype=int)
    position = np.zeros((reaches, 2))
    length_km = rng.uniform(2.0, 8.0, reaches)
    open_reaches = [0]
    for new in range(1, reaches):
        joined = open_reaches[-1 - min(int(rng.exponential(30)), len(open_reaches) - 1)]
        downstream[new] = joined
        tributaries[joined] += 1
        if tributaries[joined] == 2:
            open_reaches.remove(joined)
        open_reaches.append(new)
        angle = rng.uniform(0, np.pi)  # upstream lies roughly away from the outlet
        position[new] = position[joined] + length_km[new] * np.array([np.cos(angle), np.sin(angle)])
    order = rng.permutation(reaches)  # old number -> new number
    shuffled = np.empty(reaches, dtype=int)
    shuffled[order] = downstream
    shuffled = np.where(shuffled >= 0, order[np.maximum(shuffled, 0)], -1)
    permute = np.argsort(order)  # new number -> old number

    celerity_ms = rng.uniform(1.0, 2.0, reaches)[permute]
    k_hours = length_km[permute] * 1000 / celerity_ms / 3600
    sub_reaches = np.maximum(1, np.rint(k_hours / DT_HOURS)).astype(int)
    x = rng.uniform(0.1, 0.3, reaches)
    return Basin(
        downstream=shuffled,
        k=[datetime.timedelta(hours=float(h)) for h in k_hours],
        x=x,
        sub_reaches=sub_reaches,
        area_km2=rng.uniform(3.0, 25.0, reaches),
        runoff_coefficient=rng.uniform(0.3, 0.6, reaches),
        catchment_lag_hours=rng.uniform(1.0, 4.0, reaches),
        position_km=position[permute],
    )


def make_storms(basin: Basin, members: int, seed: int = 7) -> list[Storm]:
    rng = np.random.default_rng(seed)
    low, high = basin.position_km.min(axis=0), basin.position_km.max(axis=0)
    storms = []
    for member in range(members):
        start = rng.uniform(low, high)
        heading = rng.uniform(0, 2 * np.pi)
        speed = rng.uniform(5.0, 25.0)
        storms.append(Storm(seed=seed * 1000 + member, depth_mm=float(rng.uniform(40.0, 120.0)),
                            duration_hours=float(rng.uniform(3.0, 12.0)),
                            start_hours=float(rng.uniform(2.0, 12.0)),
                            radius_km=float(rng.uniform(15.0, 40.0)), track_start_km=tuple(start),
                            velocity_kmh=(speed * np.cos(heading), speed * np.sin(heading))))
    return storms


def lateral_inflows(basin: Basin, storm: Storm, steps: int) -> np.ndarray:
    """(reaches, steps) lateral inflow in m³/s: base flow plus each catchment's runoff of the
    rain falling on it, delayed through a linear reservoir."""
    hours = np.arange(steps) * DT_HOURS
    centre = np.asarray(storm.track_start_km) + np.outer(hours - storm.start_hours, storm.velocity_kmh)
    distance2 = ((basin.position_km[:, None, :] - centre[None, :, :]) ** 2).sum(axis=2)
    raining = (hours >= storm.start_hours) & (hours < storm.start_hours + storm.duration_hours)
    intensity_mm_h = (storm.depth_mm / storm.duration_hours) * raining * np.exp(
        -distance2 / (2 * storm.radius_km ** 2))
    # mm/h on km² is 1/3.6 m³/s.
    runoff = intensity_mm_h * (basin.runoff_coefficient * basin.area_km2 / 3.6)[:, None]
    # Linear reservoir dQ/dt = (R - Q) / lag, stepped exactly for R constant over a step.
    decay = np.exp(-DT_HOURS / basin.catchment_lag_hours)
    quick = np.zeros_like(runoff)
    for t in range(1, steps):
        quick[:, t] = decay * quick[:, t - 1] + (1 - decay) * runoff[:, t - 1]
    return quick + (BASE_FLOW * basin.area_km2)[:, None]


def topological_order(downstream: np.ndarray) -> list[int]:
    """Reaches with every upstream reach before them (Kahn's algorithm from the headwaters)."""
    waiting = np.zeros(len(downstream), dtype=int)  # upstream reaches not yet routed
    for d in downstream:
        if d >= 0:
            waiting[d] += 1
    ready = [i for i in range(len(downstream)) if waiting[i] == 0]
    order = []
    while ready:
        i = ready.pop()
        order.append(i)
        d = downstream[i]
        if d >= 0:
            waiting[d] -= 1
            if waiting[d] == 0:
                ready.append(d)
    if len(order) != len(downstream):
        raise ValueError("the network has a loop")
    return order


@dataclass
class MemberResult:
    outlet: np.ndarray  # m³/s
    lateral_volume_m3: float
    outlet_volume_m3: float
    cpu_seconds: float


def route_member(basin: Basin, storm: Storm, steps: int = int(HORIZON_HOURS / DT_HOURS)) -> MemberResult:
    """Routes one storm through the whole basin; returns the outlet hydrograph and volumes."""
    started = time.thread_time()
    lateral = lateral_inflows(basin, storm, steps)
    upstream = np.zeros_like(lateral)  # sum of the outflows of each reach's upstream reaches
    outlet = None
    for i in topological_order(basin.downstream):
        inflow = lateral[i] + upstream[i]
        # The basin starts in steady base flow: each reach's outflow equals its first inflow.
        outflow = np.asarray(brooklet.reach.muskingum_routing(
            inflow, basin.k[i], float(basin.x[i]), TIME_STEP, int(basin.sub_reaches[i]), float(inflow[0])))
        d = basin.downstream[i]
        if d >= 0:
            upstream[d] += outflow
        else:
            outlet = outflow
    return MemberResult(outlet=outlet, lateral_volume_m3=float(lateral.sum() * DT_SECONDS),
                        outlet_volume_m3=float(outlet.sum() * DT_SECONDS),
                        cpu_seconds=time.thread_time() - started)


def run_on_pool(basin: Basin, storms: list[Storm], workers: int) -> tuple[list[MemberResult], float]:
    """The members' results and the seconds they took, starting the pool included."""
    started = time.perf_counter()
    with ProcessPoolExecutor(max_workers=workers) as pool:
        results = list(pool.map(route_member, [basin] * len(storms), storms))
    return results, time.perf_counter() - started


def run_on_dask(basin: Basin, storms: list[Storm], workers: int,
                scheduler: str | None) -> tuple[list[MemberResult], float]:
    """The members' results and the seconds they took once the cluster was up."""
    from dask.distributed import Client, LocalCluster

    started = time.perf_counter()
    if scheduler:
        cluster, client = None, Client(scheduler)
    else:
        # One thread per worker process: a routing call holds the interpreter lock.
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None)
        client = Client(cluster)
    try:
        print(f"Dask cluster at {client.scheduler.address} with {len(client.scheduler_info()['workers'])}"
              f" workers, {'started' if cluster else 'connected'} in {time.perf_counter() - started:.2f} s")
        started = time.perf_counter()
        shared = client.scatter(basin, broadcast=True)  # sent to each worker once
        results = client.gather(client.map(route_member, [shared] * len(storms), storms, pure=False))
        return results, time.perf_counter() - started
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def draw(path: Path, results: list[MemberResult], basin: Basin) -> str | None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    # Laid out by hand: the caption below the axes needs room that automatic layouts do not keep.
    fig, ax = plt.subplots(figsize=(8, 5.2))
    fig.subplots_adjust(left=0.09, right=0.98, top=0.93, bottom=0.2)
    hours = np.arange(len(results[0].outlet)) * DT_HOURS
    for member, result in enumerate(results):
        # Colour and dash pattern both change, so that no two members look alike.
        ax.plot(hours, result.outlet, linewidth=1.2, color=PALETTE[member % len(PALETTE)],
                linestyle=("-", "--", ":", "-.")[member // len(PALETTE) % 4], label=f"member {member + 1}")
    base_flow = BASE_FLOW * basin.area_km2.sum()
    ax.axhline(base_flow, color="dimgray", linestyle="--", linewidth=0.8, label="base flow")
    ax.set(xlabel="time (h)", ylabel="outlet flow (m³/s)", xlim=(0, hours[-1]), ylim=(0, None),
           xticks=np.arange(0, hours[-1] + 1, 6),
           title=f"Outlet of a synthetic basin of {plural(len(basin), 'reach', 'reaches')}:"
                 f" {plural(len(results), 'storm')}")
    ax.grid(alpha=0.3)
    ax.legend(ncols=3, fontsize=8)
    fig.text(0.01, 0.015,
             f"Each member is the same basin hit by a different synthetic storm (depth, duration, track, timing).\n"
             f"Base flow: {BASE_FLOW} m³/s per km² of catchment, {base_flow:.0f} m³/s at the outlet, the flow"
             f" before and after the storm.", fontsize=8, color="dimgray", va="bottom")
    message = save_chart(fig, path)
    plt.close(fig)
    return message


def main() -> None:
    parser = Parser(prog="river_network.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--reaches", type=number(int, 1, 100_000), default=1200,
                        help="reaches in the basin, 1 to 100,000 (default: 1200)")
    parser.add_argument("--members", type=number(int, 1, 1000), default=8,
                        help="storms in the ensemble, 1 to 1,000 (default: 8)")
    parser.add_argument("--workers", type=number(int, 1, 1024), default=os.cpu_count() or 1,
                        help="processes of the local pool or LocalCluster, 1 to 1,024 (default: one per core)")
    parser.add_argument("--dask", action="store_true", help="run on a Dask LocalCluster started here")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster at ADDRESS")
    parser.add_argument("--chart", type=chart_path, default=Path("river-network.png"), metavar="FILE",
                        help="where to draw: png, svg, pdf, jpg, ... (default: river-network.png here)")
    args = parser.parse_args()

    basin = make_basin(args.reaches)
    storms = make_storms(basin, args.members)
    hour = datetime.timedelta(hours=1)
    print(f"Basin: {plural(len(basin), 'reach', 'reaches')}, K {min(basin.k) / hour:.2f} to {max(basin.k) / hour:.2f} h,"
          f" X {basin.x.min():.2f} to {basin.x.max():.2f}, {basin.sub_reaches.min()} to"
          f" {basin.sub_reaches.max()} sub-reaches, {basin.area_km2.sum():,.0f} km²;"
          f" {HORIZON_HOURS} h in steps of {DT_HOURS * 60:g} min")

    if args.dask or args.scheduler:
        where = "the Dask cluster" if args.scheduler else f"a Dask LocalCluster of {plural(args.workers, 'process', 'processes')}"
        results, elapsed = run_on_dask(basin, storms, args.workers, args.scheduler)
    else:
        where = f"a local pool of {plural(args.workers, 'process', 'processes')}"
        results, elapsed = run_on_pool(basin, storms, args.workers)

    print(f"{plural(len(storms), 'storm member')} routed on {where} in {elapsed:.2f} s"
          f" ({sum(r.cpu_seconds for r in results):.2f} s of CPU in the members,"
          f" {plural(len(storms) * len(basin), 'reach routing')})")
    print(f"{'member':>6}  {'outlet peak (m³/s)':>18}  {'at (h)':>6}  {'lateral inflow (10⁶ m³)':>23}"
          f"  {'outlet (10⁶ m³)':>15}  {'outlet / lateral - 1':>20}")
    for member, r in enumerate(results, 1):
        peak = int(np.argmax(r.outlet))
        balance = r.outlet_volume_m3 / r.lateral_volume_m3 - 1
        print(f"{member:>6}  {r.outlet[peak]:>18.1f}  {peak * DT_HOURS:>6.1f}  {r.lateral_volume_m3 / 1e6:>23.4f}"
              f"  {r.outlet_volume_m3 / 1e6:>15.4f}  {balance:>+20.1e}")
    print("Volume balance: what reached the outlet over the run against all lateral inflow. The basin"
          " starts in steady base flow; the small deficit is the last of the flood still stored in the"
          " reaches at the end (routed for 144 h instead, it is down to rounding error).")
    try:
        message = draw(args.chart, results, basin)
    except ImportError as e:
        print(f"no chart: matplotlib is not importable ({e}); `pip install matplotlib` installs it")
    else:
        if message:
            raise SystemExit(f"river_network.py: {message}")
        print(f"chart: {os.path.relpath(args.chart)}")


if __name__ == "__main__":
    main()
