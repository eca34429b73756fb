"""Route the inflow of your own gauge file through a reach, or a chain of reaches, and write the outflow.

Reads a CSV with pandas: the separator is sniffed (or given with --sep), decimal commas are
recognised (or given with --decimal), spaces around the header's names are dropped, and the
timestamp column is found by its name (time, date, timestamp, ...) or by parsing, or named with
--time-column. The timestamps must be evenly spaced, at --time-step minutes when that is given;
missing timestamps and blank values are refused, each named, unless --fill names how to fill
them (linear, time, nearest, ffill, bfill, or another method pandas interpolates with).

One reach takes --k (hours), --x and --sub-reaches. A chain of reaches takes --reaches TABLE, a
CSV with the columns reach, k_hours, x and sub_reaches, one row per reach from upstream down,
and optionally lateral: a column of the gauge file whose flow joins at the head of that reach.
Each reach starts in steady flow (its initial outflow is its first inflow).

It writes the timestamps, the inflow and the outflow of each reach to --out (by default beside
the input, named with -routed added; in the current directory when the input is inside this
source tree), with the input's separator and decimal mark, and reports the attenuation and lag
of the peak and the volume balance. --chart FILE draws the hydrographs, with the unit taken from
the column's name (`upstream (m3/s)`, `inflow_cfs`, ...).

    python examples/route_gauge_file.py gauges.csv --column upstream --k 2.3 --x 0.15
    python examples/route_gauge_file.py gauges.csv --column upstream --reaches reaches.csv --fill linear

pandas is needed (`pip install pandas`), matplotlib for --chart; brooklet needs neither.
"""

import csv
import io
import re
import sys
from dataclasses import dataclass
from datetime import timedelta
from pathlib import Path

import pandas as pd

from brooklet import reach
from _common import PALETTE, Parser, chart_path, number, plural, save_chart

ROOT = Path(__file__).resolve().parent.parent
PROGRAM = "route_gauge_file.py"
TIME_NAMES = re.compile(r"time|date|zeit|datum|fecha|heure", re.IGNORECASE)
FILL_METHODS = ("linear", "time", "nearest", "ffill", "bfill", "zero", "slinear", "quadratic", "cubic",
                "pchip", "akima")
# Units written in a column's name: "flow (m3/s)", "Q [cfs]", "inflow_cfs", "upstream m3s".
UNIT_IN_BRACKETS = re.compile(r"[(\[]\s*([^)\]]+?)\s*[)\]]\s*$")
UNIT_SUFFIXES = {"cfs": "cfs", "cms": "m³/s", "m3s": "m³/s", "m3/s": "m³/s", "m³/s": "m³/s", "ls": "l/s",
                 "l/s": "l/s", "mgd": "Mgal/d"}

VOLUME_UNITS = {"m³/s": "m³", "l/s": "l", "cfs": "ft³"}


class InputError(Exception):
    """A mistake in an input file or argument, reported in one line without a traceback."""


@dataclass
class GaugeFile:
    frame: pd.DataFrame  # the text of every cell, header names stripped
    sep: str
    decimal: str


def sniff_separator(lines: list[str]) -> str:
    """The separator that splits the header and every sampled line into the same number of
    fields; ';', tab and '|' first, since a comma may be a decimal mark."""
    for candidate in (";", "\t", "|", ","):
        counts = {line.count(candidate) for line in lines}
        if len(counts) == 1 and counts.pop() > 0:
            return candidate
    try:
        return csv.Sniffer().sniff("\n".join(lines), delimiters=";,\t|").delimiter
    except csv.Error:
        if all(len(line.split(",")) == 1 for line in lines):
            return ","  # a single column
        raise InputError("cannot tell which separator the file uses; give it with --sep") from None


def read_gauge_file(path: Path, sep: str | None = None, decimal: str | None = None) -> GaugeFile:
    try:
        text = path.read_text(encoding="utf-8-sig")
    except OSError as e:
        raise InputError(f"cannot read {path}: {e.strerror}") from None
    except UnicodeDecodeError:
        raise InputError(f"{path} is not a UTF-8 text file") from None
    lines = [line for line in text.splitlines() if line.strip()]
    if not lines:
        raise InputError(f"{path} is empty; it needs a header row that names its columns")
    sep = sep or sniff_separator(lines[:50])
    if decimal is None:
        # Decimal commas only where the comma does not separate fields.
        decimal = "," if sep != "," and any(re.search(rf"(^|{re.escape(sep)})\s*-?\d+,\d+\s*($|{re.escape(sep)})", line)
                                            for line in lines[1:50]) else "."
    try:
        frame = pd.read_csv(io.StringIO(text), sep=sep, dtype=str, keep_default_na=False, engine="python")
    except (pd.errors.ParserError, csv.Error) as e:
        raise InputError(f"{path} is not a readable CSV file with the separator {sep!r}: {e}") from None
    frame.columns = [str(c).strip() for c in frame.columns]
    if frame.empty:
        raise InputError(f"{path} has no rows after its header")
    return GaugeFile(frame, sep, decimal)


def column_of(gauges: GaugeFile, name: str, path: Path) -> str:
    if name.strip() not in gauges.frame.columns:
        columns = ", ".join(repr(c) for c in gauges.frame.columns)
        hint = "" if len(gauges.frame.columns) > 1 else "; is --sep right?"
        raise InputError(f"{path} has no column {name.strip()!r}; its columns are {columns}{hint}")
    return name.strip()


def numbers(gauges: GaugeFile, column: str) -> pd.Series:
    """The column's values as floats, NaN where a cell is blank; any other text is refused."""
    text = gauges.frame[column].str.strip()
    values = pd.to_numeric(text.str.replace(gauges.decimal, ".", regex=False) if gauges.decimal != "." else text,
                           errors="coerce")
    blank = text.eq("") | text.str.lower().isin(["nan", "na"])
    wrong = values.isna() & ~blank
    if wrong.any():
        row = int(wrong.idxmax()) + 1
        raise InputError(f"row {row} (line {row + 1}), column {column!r}: {text[row - 1]!r} is not a number"
                         + (" (is --decimal right?)" if gauges.decimal == "." and "," in text[row - 1] else ""))
    if values.abs().eq(float("inf")).any():
        row = int(values.abs().eq(float("inf")).idxmax()) + 1
        raise InputError(f"row {row} (line {row + 1}), column {column!r}: {text[row - 1]!r} is not a finite number")
    return values.astype(float)


def parse_times(values: pd.Series, dayfirst: bool) -> pd.Series | None:
    """The timestamps, or None when a value is not one (whole numbers are not timestamps)."""
    if values.str.strip().str.fullmatch(r"-?[\d.,]+").all():
        return None
    # Dates written 01.05.2024 put the day first wherever they are written so.
    dayfirst = dayfirst or bool(values.str.strip().str.match(r"\d{1,2}\.\d{1,2}\.\d{4}").all())
    for options in ({"format": "ISO8601"}, {"format": "mixed", "dayfirst": dayfirst}):
        try:
            times = pd.to_datetime(values.str.strip(), **options)
        except (ValueError, TypeError, OverflowError):
            continue
        if not times.isna().any():
            return pd.Series(times.to_numpy(), index=values.index)
    return None


def find_times(gauges: GaugeFile, given: str | None, path: Path) -> tuple[str, pd.Series] | None:
    """The timestamp column and its parsed values: the one named, else the first whose name says
    time or date and that parses, else the first that parses; None when there is none."""
    frame, dayfirst = gauges.frame, gauges.decimal == ","
    if given:
        name = column_of(gauges, given, path)
        times = parse_times(frame[name], dayfirst)
        if times is None:
            raise InputError(f"column {name!r} of {path} does not hold timestamps (such as 2024-05-01 06:00)")
        return name, times
    named = [c for c in frame.columns if TIME_NAMES.search(c)]
    for name in named + [c for c in frame.columns if c not in named]:
        times = parse_times(frame[name], dayfirst)
        if times is not None:
            return name, times
    return None


def duration(step) -> str:
    """A time step as people write it: 15 min, 1 h, 1 d 6 h."""
    seconds = int(pd.Timedelta(step).total_seconds())
    parts = [(seconds // 86400, "d"), (seconds % 86400 // 3600, "h"), (seconds % 3600 // 60, "min"), (seconds % 60, "s")]
    return " ".join(f"{value} {unit}" for value, unit in parts if value) or "0 s"


def describe(times) -> str:
    shown = [str(t) for t in list(times)[:8]]
    return ", ".join(shown) + (f" and {len(times) - 8} more" if len(times) > 8 else "")


def regular_step(times: pd.Series, time_step: timedelta | None) -> timedelta:
    """The interval between the timestamps: the commonest one, which must be the given step;
    every other interval must be a whole number of steps (a gap)."""
    intervals = times.diff().iloc[1:]
    for row, interval in intervals.items():
        if interval <= pd.Timedelta(0):
            what = "repeats" if interval == pd.Timedelta(0) else "comes before"
            raise InputError(f"row {row + 1}: timestamp {times[row]} {what} the one in the row above;"
                             " the rows must be in time order, each once")
    if intervals.empty:
        if time_step is None:
            raise InputError("one row gives no time step; give --time-step")
        return time_step
    step = intervals.mode().iloc[0]
    if time_step is not None and step != time_step:
        raise InputError(f"the timestamps are {duration(step)} apart, not the --time-step of {duration(time_step)}")
    odd = intervals[intervals % step != pd.Timedelta(0)]
    if not odd.empty:
        row = odd.index[0]
        raise InputError(f"row {row + 1}: timestamp {times[row]} is {duration(odd.iloc[0])} after the one above, not a"
                         f" whole number of the time step {duration(step)}; put the record on a regular grid first")
    return step.to_pytimedelta()


def on_grid(times: pd.Series, step: timedelta, columns: dict[str, pd.Series], fill: str | None) -> pd.DataFrame:
    """The columns on the full grid of timestamps; missing timestamps and blank values are refused,
    each named, unless `fill` says how to fill them."""
    grid = pd.date_range(times.iloc[0], times.iloc[-1], freq=step)
    frame = pd.DataFrame({name: values.to_numpy() for name, values in columns.items()}, index=pd.DatetimeIndex(times))
    frame = frame.reindex(grid)
    absent = grid.difference(pd.DatetimeIndex(times))
    if absent.size:
        where = f"{plural(absent.size, 'timestamp')} missing: {describe(absent)}"
    else:
        where = ""
    blanks = {name: frame.index[frame[name].isna() & frame.index.isin(times)] for name in frame.columns}
    blank_text = "; ".join(f"{plural(b.size, 'blank value')} in {name!r}: {describe(b)}" for name, b in blanks.items() if b.size)
    if not (where or blank_text):
        return frame
    gaps = "; ".join(part for part in (where, blank_text) if part)
    if fill is None:
        raise InputError(f"{gaps}. Routing needs a value at every step: fill them with --fill linear"
                         " (or another method), or fill the file")
    filled = frame.ffill() if fill == "ffill" else frame.bfill() if fill == "bfill" else \
        frame.interpolate(method=fill, limit_direction="both")
    if filled.isna().any().any():
        raise InputError(f"{gaps}; --fill {fill} cannot fill them all (the first or last value is missing?)")
    print(f"Filled with --fill {fill}: {gaps}")
    return filled


@dataclass
class Reach:
    name: str
    k: timedelta
    x: float
    sub_reaches: int
    lateral: str | None = None


def read_reaches(path: Path) -> list[Reach]:
    """The rows of a reaches table: reach, k_hours, x, sub_reaches and an optional lateral."""
    table = read_gauge_file(path)
    needed = ["reach", "k_hours", "x", "sub_reaches"]
    missing = [c for c in needed if c not in table.frame.columns]
    if missing:
        raise InputError(f"reaches table {path} lacks the columns {', '.join(missing)}; it needs"
                         f" {', '.join(needed)} and optionally lateral")
    k_hours, x, n = (numbers(table, c) for c in needed[1:])
    reaches = []
    for row in range(len(table.frame)):
        where = f"reaches table {path}, row {row + 1} (line {row + 2})"
        if not k_hours[row] >= 0 or not x[row] == x[row] or not (n[row] >= 1 and n[row] == int(n[row])):
            raise InputError(f"{where}: k_hours must be 0 or more, x a number and sub_reaches a whole number of"
                             " at least 1")
        lateral = table.frame["lateral"][row].strip() if "lateral" in table.frame.columns else ""
        reaches.append(Reach(table.frame["reach"][row].strip() or f"reach {row + 1}", timedelta(hours=k_hours[row]),
                             float(x[row]), int(n[row]), lateral or None))
    return reaches


def unit_of(column: str) -> str:
    """The flow unit a column's name carries, or '' when it carries none."""
    found = UNIT_IN_BRACKETS.search(column)
    if found:
        return UNIT_SUFFIXES.get(found.group(1).lower().replace(" ", ""), found.group(1))
    suffix = re.split(r"[_\s]", column)[-1].lower()
    return UNIT_SUFFIXES.get(suffix, "") if suffix != column.lower() else ""


def route_chain(inflow: pd.Series, laterals: pd.DataFrame, reaches: list[Reach], step: timedelta) -> dict[str, pd.Series]:
    """Each reach's outflow, upstream first: a reach routes the outflow above it plus its lateral
    inflow, starting in steady flow."""
    outflows, flow = {}, inflow
    for r in reaches:
        if r.lateral:
            flow = flow + laterals[r.lateral]
        routed = reach.muskingum_routing(flow.to_numpy(), r.k, r.x, step, r.sub_reaches, float(flow.iloc[0]))
        flow = pd.Series(routed, index=inflow.index)
        outflows[r.name] = flow
    return outflows


def report(inflow: pd.Series, laterals: pd.DataFrame, outflow: pd.Series, step: timedelta, unit: str) -> None:
    """The peak's attenuation and lag, and the volume balance, against all the water that enters."""
    entering = inflow + laterals.sum(axis=1)
    unit = f" {unit}" if unit else ""
    peak_in, peak_out = entering.idxmax(), outflow.idxmax()
    change = outflow.max() / entering.max() - 1
    print(f"  peak {'inflow' if laterals.empty else 'of inflow and lateral inflow together'} {entering.max():.4g}{unit}"
          f" at {peak_in}; peak outflow {outflow.max():.4g}{unit} at {peak_out}")
    print(f"  the peak is {abs(change):.1%} {'lower' if change <= 0 else 'higher'} and"
          f" {duration(peak_out - peak_in) if peak_out >= peak_in else duration(peak_in - peak_out) + ' earlier'}"
          f"{' later' if peak_out >= peak_in else ''}")
    balance = outflow.sum() / entering.sum() - 1
    stored = ("still stored in the reaches at the end of the record" if balance < 0 else
              "released from storage the reaches started with")
    print(f"  volume balance: the outflow volume is {abs(balance):.3%} {'short of' if balance < 0 else 'above'} the"
          f" inflow volume, water {stored} ({(outflow.sum() - entering.sum()) * step.total_seconds():+.6g}"
          f" {VOLUME_UNITS.get(unit.strip(), (unit.strip() or 'flow unit') + ' × s')})")


def draw(path: Path, inflow: pd.Series, laterals: pd.DataFrame, outflows: dict[str, pd.Series], column: str,
         unit: str, timed: bool) -> str | None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 4.8), layout="constrained")
    ax.plot(inflow.index, inflow.to_numpy(), color=PALETTE[0], label=f"inflow ({column})")
    for i, name in enumerate(laterals.columns):
        ax.plot(laterals.index, laterals[name].to_numpy(), color=PALETTE[4 + i % 4], linestyle="--",
                linewidth=1, label=f"lateral inflow ({name})")
    for i, (name, outflow) in enumerate(outflows.items()):
        ax.plot(outflow.index, outflow.to_numpy(), color=PALETTE[(1 + i) % 4 if i < 3 else 5 + i % 3],
                label=f"outflow of {name}")
    ax.set(xlabel="time" if timed else "time (h)", ylabel=f"flow ({unit})" if unit else "flow (unit as in the file)",
           title=f"Muskingum routing of {column}")
    # Headroom above the hydrographs for the legend.
    top = max(inflow.max(), *(o.max() for o in outflows.values()), *(laterals.max() if len(laterals.columns) else []))
    ax.set_ylim(0, 1.3 * top)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8, loc="upper left", ncols=2)
    if timed:
        fig.autofmt_xdate()
    message = save_chart(fig, path)
    plt.close(fig)
    return message


def default_out(path: Path) -> Path:
    """Beside the input with -routed added, or in the current directory when the input lies in
    this source tree, which the example does not write into."""
    name = f"{path.stem}-routed{path.suffix or '.csv'}"
    return Path(name) if path.resolve().is_relative_to(ROOT) else path.with_name(name)


def main() -> None:
    parser = Parser(prog=PROGRAM, description=__doc__.split("\n\n")[0])
    parser.add_argument("file", type=Path, help="the gauge file: a CSV with a header row")
    parser.add_argument("--column", required=True, metavar="NAME", help="the inflow column")
    parser.add_argument("--time-column", metavar="NAME", help="the timestamp column (default: found by name or by parsing)")
    parser.add_argument("--k", type=number(float, 0), metavar="HOURS", help="storage constant of the reach")
    parser.add_argument("--x", type=number(float, 0, 0.5), help="weighting factor, 0 to 0.5")
    parser.add_argument("--sub-reaches", type=number(int, 1), default=1, metavar="N",
                        help="number of sub-reaches (default: 1)")
    parser.add_argument("--reaches", type=Path, metavar="TABLE",
                        help="CSV of reaches from upstream down: reach, k_hours, x, sub_reaches[, lateral]")
    parser.add_argument("--time-step", type=number(float, 0, above=True), metavar="MINUTES",
                        help="interval between rows (default: read from the timestamps)")
    parser.add_argument("--sep", help="field separator (default: sniffed)")
    parser.add_argument("--decimal", choices=[".", ","], help="decimal mark (default: ',' where it cannot separate fields and numbers use it)")
    parser.add_argument("--fill", choices=FILL_METHODS, metavar="METHOD",
                        help=f"fill missing timestamps and blank values: {', '.join(FILL_METHODS)} (default: refuse them)")
    parser.add_argument("--out", type=Path, metavar="FILE", help="the routed CSV (default: FILE-routed.csv beside the input)")
    parser.add_argument("--chart", type=chart_path, metavar="FILE", help="draw the hydrographs (png, svg, pdf, jpg, ...)")
    args = parser.parse_args()
    if args.reaches and (args.k is not None or args.x is not None):
        parser.error("give either --k and --x or --reaches, not both")
    if not args.reaches and (args.k is None or args.x is None):
        parser.error("give --k and --x for one reach, or --reaches TABLE for several")
    if args.sep is not None and len(args.sep.replace("\\t", "\t")) != 1:
        parser.error(f"--sep {args.sep!r}: give one character, such as ';' or ','")
    try:
        run(args)
    except InputError as e:
        sys.exit(f"{PROGRAM}: {e}")


def run(args) -> None:
    sep = args.sep.replace("\\t", "\t") if args.sep else None
    gauges = read_gauge_file(args.file, sep, args.decimal)
    column = column_of(gauges, args.column, args.file)
    reaches = read_reaches(args.reaches) if args.reaches else [Reach("the reach", timedelta(hours=args.k), args.x,
                                                                      args.sub_reaches)]
    lateral_names = [column_of(gauges, r.lateral, args.file) for r in reaches if r.lateral]
    out = args.out or default_out(args.file)
    if out.resolve() == args.file.resolve():
        raise InputError(f"--out {out} is the input file; give another name")
    step_given = timedelta(minutes=args.time_step) if args.time_step else None
    values = {name: numbers(gauges, name) for name in [column, *lateral_names]}
    found = find_times(gauges, args.time_column, args.file)
    if found is None:
        if step_given is None:
            raise InputError(f"{args.file} has no timestamp column; name it with --time-column, or give"
                             " --time-step to take the rows as evenly spaced")
        time_name, times = "hour", pd.Series(pd.Timestamp(0) + pd.Series(range(len(gauges.frame))) * step_given)
    else:
        time_name, times = found
    step = regular_step(times, step_given)
    grid = on_grid(times, step, values, args.fill)
    inflow, laterals = grid[column], grid[lateral_names]
    print(f"{args.file}: {plural(len(grid), 'step')} of {duration(step)} from {grid.index[0]} to {grid.index[-1]}"
          f" (separator {gauges.sep!r}, decimal mark {gauges.decimal!r}"
          f"{', timestamps in ' + repr(time_name) if found else ', rows taken as evenly spaced'})")

    outflows = route_chain(inflow, laterals, reaches, step)
    unit = unit_of(column)
    for r in reaches:
        print(f"{r.name}: K = {r.k / timedelta(hours=1):g} h, X = {r.x:g}, N = {r.sub_reaches}"
              + (f", lateral inflow {r.lateral!r} joins at its head" if r.lateral else ""))
    report(inflow, laterals, outflows[reaches[-1].name], step, unit)

    table = pd.DataFrame({column: inflow, **{name: laterals[name] for name in lateral_names}})
    suffix = f" ({unit})" if unit else ""
    for name, outflow in outflows.items():
        table[f"outflow of {name}{suffix}" if len(outflows) > 1 else f"outflow{suffix}"] = outflow
    if found:
        table.index.name = time_name
    else:
        table.index = pd.Index((grid.index - grid.index[0]) / pd.Timedelta(hours=1), name="hour")
    try:
        table.to_csv(out, sep=gauges.sep, decimal=gauges.decimal)
    except OSError as e:
        raise InputError(f"cannot write {out}: {e.strerror}") from None
    print(f"routed: {out}")
    if args.chart:
        if not found:
            inflow.index = laterals.index = table.index
            outflows = {name: o.set_axis(table.index) for name, o in outflows.items()}
        try:
            message = draw(args.chart, inflow, laterals, outflows, column, unit, timed=bool(found))
        except ImportError as e:
            print(f"no chart: matplotlib is not importable ({e}); `pip install matplotlib` installs it")
        else:
            if message:
                raise InputError(message)
            print(f"chart: {args.chart}")


if __name__ == "__main__":
    main()
