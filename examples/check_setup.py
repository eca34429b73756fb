"""Check a routing set-up before routing: K, X, the time step and the number of sub-reaches.

brooklet routes whatever it is given; this script says what a set-up will do. For each
sub-reach (storage constant K/N) it computes the routing coefficients C0, C1 and C2 and checks
the window 2(K/N)X <= dt <= 2(K/N)(1 - X), inside which all three are non-negative. Outside it
the outflow dips below its starting value as the inflow rises (C0 < 0, dt too short) or
oscillates (C2 < 0, dt too long). It also names the numbers of sub-reaches that keep the
coefficients non-negative, the one nearest K/dt, and the set-ups that are routed without an
error but give no usable outflow (N < 1, dt = 0, K = 0, X outside [0, 0.5]).

    python examples/check_setup.py --k 2.3 --x 0.15 --time-step 60 --sub-reaches 4

K is in hours, the time step in minutes. The exit status is 0 when nothing was found, 1
otherwise. Import check_setup() to use the checks in a program of your own.
"""

import math
import sys
from datetime import timedelta

from _common import Parser, number

HOUR = timedelta(hours=1)


def coefficients(k_hours: float, x: float, dt_hours: float) -> tuple[float, float, float]:
    """C0, C1, C2 of one reach with storage constant k_hours."""
    d = 2 * k_hours * (1 - x) + dt_hours
    return (dt_hours - 2 * k_hours * x) / d, (dt_hours + 2 * k_hours * x) / d, (2 * k_hours * (1 - x) - dt_hours) / d


def sound_sub_reaches(k: timedelta, x: float, time_step: timedelta) -> range:
    """The numbers of sub-reaches N for which 2(K/N)X <= dt <= 2(K/N)(1 - X); empty when none."""
    k_hours, dt_hours = k / HOUR, time_step / HOUR
    if dt_hours <= 0 or k_hours <= 0 or not 0 <= x <= 0.5:
        return range(0)
    # Rounded to 12 digits first, so that a bound that is a whole number in decimal stays one.
    lowest = max(1, math.ceil(round(2 * k_hours * x / dt_hours, 12)))
    highest = math.floor(round(2 * k_hours * (1 - x) / dt_hours, 12))
    return range(lowest, highest + 1)


def check_setup(k: timedelta, x: float, time_step: timedelta, sub_reaches: int) -> list[str]:
    """What is wrong with routing at `time_step` through `sub_reaches` sub-reaches of a reach with
    storage constant `k` and weighting factor `x`, in plain words; an empty list when nothing is."""
    if time_step < timedelta(0) or k < timedelta(0):
        return ["k and time_step must not be negative: the call raises ValueError"]
    if sub_reaches < 1:
        effect = ("K/N is infinite and the outflow is NaN after its first value" if sub_reaches == 0
                  else "K/N is negative and the outflow grows without bound")
        return [f"sub_reaches = {sub_reaches}: {effect}; use 1 or more"]
    if time_step == timedelta(0):
        return ["time_step = 0: no time passes between values, so the outflow only moves against each"
                " change of the inflow, falls as it rises and goes negative; give the interval between"
                " the inflow values"]
    problems = []
    if not 0 <= x <= 0.5:
        problems.append(f"x = {x}: outside [0, 0.5] a UserWarning is issued; X above 0.5 has no physical"
                        " meaning; use X from 0 to 0.5, mostly 0.1 to 0.3 for natural channels")
    if k == timedelta(0):
        return problems + ["k = 0: a reach without storage; C2 = -1, so the outflow swings around the inflow"
                           " at every time step and sub-reaches cannot help; give the reach's travel time as K,"
                           " or take the inflow as the outflow"]
    k_hours, dt_hours = k / HOUR / sub_reaches, time_step / HOUR
    c0, _, c2 = coefficients(k_hours, x, dt_hours)
    sound = sound_sub_reaches(k, x, time_step)
    longest = 2 * (k / HOUR) * (1 - x)
    advice = ("" if not 0 <= x <= 0.5 else
              f"; sub_reaches from {sound.start} to {sound.stop - 1} keep every coefficient non-negative"
              if sound else f"; no number of sub-reaches keeps them non-negative: shorten the time step to"
                            f" {longest:.3g} h ({longest * 60:.3g} min) or less")
    if c0 < 0:
        problems.append(f"C0 = {c0:.3f} < 0 (dt < 2(K/N)X = {2 * k_hours * x:.3g} h): the outflow dips below"
                        f" its starting value as the inflow rises{advice}")
    if c2 < 0:
        problems.append(f"C2 = {c2:.3f} < 0 (dt > 2(K/N)(1 - X) = {2 * k_hours * (1 - x):.3g} h): the outflow"
                        f" oscillates{advice}")
    return problems


def main() -> None:
    parser = Parser(prog="check_setup.py", description=__doc__.split("\n\n")[0])
    # Bounds that keep every time a timedelta; the checks say what any value inside them does.
    parser.add_argument("--k", type=number(float, 0, 1e9), required=True, metavar="HOURS",
                        help="storage constant of the reach, 0 to 1e9")
    parser.add_argument("--x", type=number(float), required=True, help="weighting factor")
    parser.add_argument("--time-step", type=number(float, 0, 1e9), required=True, metavar="MINUTES",
                        help="routing interval, 0 to 1e9")
    parser.add_argument("--sub-reaches", type=number(int, -10**9, 10**9), default=1, metavar="N",
                        help="number of sub-reaches (default: 1)")
    args = parser.parse_args()
    k, time_step = timedelta(hours=args.k), timedelta(minutes=args.time_step)

    print(f"K = {args.k:g} h, X = {args.x:g}, dt = {args.time_step:g} min, N = {args.sub_reaches}")
    if args.sub_reaches >= 1 and time_step > timedelta(0) and k >= timedelta(0):
        c0, c1, c2 = coefficients(args.k / args.sub_reaches, args.x, time_step / HOUR)
        print(f"  each sub-reach: K/N = {args.k / args.sub_reaches:.3g} h, C0 = {c0:.3f}, C1 = {c1:.3f},"
              f" C2 = {c2:.3f}")
        print(f"  N nearest K/dt: {max(1, round(k / time_step))}")
    problems = check_setup(k, args.x, time_step, args.sub_reaches)
    for problem in problems:
        print(f"  problem: {problem}")
    if not problems:
        print("  all three coefficients are non-negative: the set-up is sound")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
