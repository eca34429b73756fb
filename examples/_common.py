"""What the examples share: one-line argument errors, checked numbers, chart paths and saving,
and a palette that stays distinguishable for colour-blind readers."""

import argparse
import math
from pathlib import Path

# Okabe and Ito's palette, which readers with any common colour vision deficiency can tell apart.
PALETTE = ["#0072B2", "#E69F00", "#009E73", "#CC79A7", "#56B4E9", "#D55E00", "#F0E442", "#000000"]


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line, without the usage block."""

    def error(self, message: str):
        self.exit(2, f"{self.prog}: {message} (--help lists the options)\n")


def plural(count: int, noun: str, nouns: str | None = None) -> str:
    return f"{count:,} {noun if count == 1 else nouns or noun + 's'}"


def number(kind, low: float = -math.inf, high: float = math.inf, above: bool = False):
    """An argparse type: a finite `kind` (int or float) from `low` (excluded when `above`) up to
    `high`, with a message that names the accepted range."""
    noun = "a whole number" if kind is int else "a finite number"
    accepted = (f"{noun} from {low:g} to {high:g}" if math.isfinite(low) and math.isfinite(high)
                else f"{noun} greater than {low:g}" if above else f"{noun} of at least {low:g}"
                if math.isfinite(low) else f"{noun} of at most {high:g}" if math.isfinite(high) else noun)

    def parse(text: str):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not {noun}; give {accepted}") from None
        if not math.isfinite(value):
            raise argparse.ArgumentTypeError(f"{text} is not finite; give {accepted}")
        if value < low or (above and value == low) or value > high:
            raise argparse.ArgumentTypeError(f"{text} is out of range; give {accepted}")
        return value

    parse.__name__ = kind.__name__
    return parse


# What matplotlib writes, by file suffix; checked before any work so that a bad path costs nothing.
CHART_FORMATS = ("png", "svg", "svgz", "pdf", "jpg", "jpeg", "tif", "tiff", "webp", "eps", "ps", "pgf")


def chart_path(text: str) -> Path:
    """An argparse type for --chart: a file in an existing directory, of a format matplotlib writes."""
    path = Path(text).expanduser()
    if path.is_dir() or text.endswith(("/", "\\")) or path.name in ("", ".", ".."):
        raise argparse.ArgumentTypeError(f"{text} is a directory; give a file name, such as {path / 'chart.png'}")
    suffix = path.suffix.lower().lstrip(".")
    if suffix not in CHART_FORMATS:
        raise argparse.ArgumentTypeError(
            f"{text}: the file name must end in one of .{', .'.join(CHART_FORMATS)} (the chart's format)")
    if not path.parent.resolve().is_dir():
        raise argparse.ArgumentTypeError(f"{text}: there is no directory {path.parent}")
    return path


def save_chart(fig, path: Path) -> str | None:
    """Saves `fig` to `path` in the format its suffix names; returns a one-line message when it
    cannot be written, None when it was."""
    # No software version in a PNG, so that redrawing it changes nothing but the picture; other
    # writers know other metadata keys.
    metadata = {"Software": None} if path.suffix.lower() == ".png" else None
    try:
        fig.savefig(path, dpi=100, metadata=metadata)
    except OSError as e:
        path.unlink(missing_ok=True)
        return f"cannot write the chart to {path}: {e.strerror or e}"
    return None
