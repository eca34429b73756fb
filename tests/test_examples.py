"""The examples' claims: calibration recovers known K and X, the network routes every reach after
its upstream reaches and delivers all lateral inflow to the outlet; the examples' handling of
their input; and the README's code blocks with the output they show."""

import importlib.machinery
import re
import shlex
import subprocess
import sys
import tempfile
import tomllib
import types
from datetime import timedelta
from pathlib import Path

import pytest

from support import HOUR

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def load_example(name):
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))  # the examples import their shared helpers
    module = types.ModuleType(f"brooklet_example_{name}")
    module.__file__ = str(EXAMPLES / f"{name}.py")
    sys.modules[module.__name__] = module  # dataclasses look their module up there
    importlib.machinery.SourceFileLoader(module.__name__, module.__file__).exec_module(module)
    return module


@pytest.mark.parametrize("k_hours, x, sub_reaches", [(3.7, 0.22, 1), (0.6, 0.02, 1), (5.0, 0.3, 4)])
def test_calibration_recovers_known_k_and_x(k_hours, x, sub_reaches):
    pytest.importorskip("scipy")
    calibrate = load_example("calibrate")
    inflow = calibrate.read_pair(calibrate.DATA, "inflow_cfs", "published_outflow_cfs").inflow
    k_error, x_error = calibrate.recovery_error(inflow, k_hours, x, HOUR, sub_reaches)
    assert abs(k_error) <= 0.01 and abs(x_error) <= 0.01


def test_network_routes_upstream_first_and_conserves_water():
    pytest.importorskip("numpy")
    network = load_example("river_network")
    basin = network.make_basin(150)
    order = network.topological_order(basin.downstream)
    position = {reach: i for i, reach in enumerate(order)}
    assert sorted(order) == list(range(len(basin)))
    assert all(position[i] < position[d] for i, d in enumerate(basin.downstream) if d >= 0)
    # Long enough for the flood to pass: the outlet then returns all of the lateral inflow.
    storm = network.make_storms(basin, 1)[0]
    result = network.route_member(basin, storm, steps=int(144 / network.DT_HOURS))
    assert result.outlet_volume_m3 == pytest.approx(result.lateral_volume_m3, rel=1e-9)


@pytest.mark.parametrize("example", sorted(p.stem for p in EXAMPLES.glob("[!_]*.py")))
def test_example_help_prints_usage_and_writes_nothing(example, tmp_path):
    result = subprocess.run([sys.executable, str(EXAMPLES / f"{example}.py"), "--help"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    if "ModuleNotFoundError" in result.stderr:
        pytest.skip(result.stderr.strip().splitlines()[-1])
    assert result.returncode == 0 and result.stdout.startswith("usage: ")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("example, arguments, chart", [
    ("textbook_flood", [], "textbook-flood.png"), ("calibrate", [], "calibration-textbook-flood-8.4.1.png"),
    ("textbook_flood", ["--chart", "flood.svg"], "flood.svg"), ("textbook_flood", ["--chart", "flood.pdf"], "flood.pdf"),
])
def test_example_draws_into_the_current_directory_not_the_source_tree(example, arguments, chart, tmp_path):
    skip_without_needs((EXAMPLES / f"{example}.py").read_text())
    before = {p: p.stat().st_mtime_ns for p in (ROOT / "docs").iterdir()}
    result = subprocess.run([sys.executable, str(EXAMPLES / f"{example}.py"), *arguments], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert {p: p.stat().st_mtime_ns for p in (ROOT / "docs").iterdir()} == before
    drawn = f"chart: {chart}" in result.stdout.splitlines()
    assert [p.name for p in tmp_path.iterdir()] == ([chart] if drawn else [])


# A CSV's text, then what calibrate.read_pair makes of it: the rows of missing observations, or
# the words of the one-line message that refuses it.
GOOD = "in,out\n93,85\n137,91\n208,114\n320,159\n"
CALIBRATION_INPUTS = [
    (GOOD, []),
    ("in,out\n93,85\n137,\n208,114\n320, \n442,232\n546,nan\n", [2, 4, 6]),
    ("\ufeffin,out\n93,85\n137,91\n208,114\n", []),  # with the byte-order mark of a spreadsheet
    ("time,upstream,downstream\n0,93,85\n", "has no column 'in'; its columns are 'time', 'upstream', 'downstream'"),
    ("in,out\n93,85\n13x7,91\n", "row 2 (line 3), column 'in': '13x7' is not a number"),
    ("in,out\n93,85\n137,inf\n", "row 2 (line 3), column 'out': 'inf' is not a finite number"),
    ("in,out\n93,85\n,91\n", "row 2 (line 3), column 'in': the inflow is missing"),
    ("in,out\n93,\n137,91\n208,114\n320,159\n", "row 1 (line 2), column 'out': the first outflow is missing"),
    ("in,out\n93,85\n137,\n208,\n", "has 1 outflow value; at least 3 are needed"),
    ("time; in ; out\n2024-05-01 06:00;93;85\n2024-05-01 07:00;137;\n2024-05-01 08:00;208;114\n"
     "2024-05-01 09:00;320;159\n", [2]),  # separator sniffed, header spaces dropped, timestamps regular
    ("time,in,out\n2024-05-01 06:00,93,85\n2024-05-01 07:00,137,91\n2024-05-01 09:00,320,159\n"
     "2024-05-01 10:00,442,232\n", "1 row missing, for 2024-05-01 08:00:00: the fit needs a row for every time step"),
    ("in,out\n", "has no rows after its header"),
    ("", "is empty"),
    (b"in,out\n93,85\xff\n", "is not a UTF-8 text file"),
]


@pytest.mark.parametrize("text, expected", CALIBRATION_INPUTS)
def test_calibration_reads_real_files_or_says_what_is_wrong(text, expected, tmp_path):
    pytest.importorskip("scipy")
    calibrate = load_example("calibrate")
    path = tmp_path / "gauges.csv"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    if isinstance(expected, str):
        with pytest.raises(calibrate.InputError, match=re.escape(expected)):
            calibrate.read_pair(path, "in", "out")
    else:
        pair = calibrate.read_pair(path, "in", "out")
        assert pair.missing_rows == expected
        assert [i + 1 for i, v in enumerate(pair.observed) if v != v] == expected


def test_calibration_fits_on_the_observations_that_are_there(tmp_path):
    pytest.importorskip("scipy")
    calibrate = load_example("calibrate")
    inflow = calibrate.read_pair(calibrate.DATA, "inflow_cfs", "published_outflow_cfs").inflow
    observed = calibrate.route(inflow, 2.3, 0.15, HOUR, 1, inflow[0])
    observed[[3, 7, 8, 15]] = float("nan")
    fit = calibrate.calibrate(inflow, observed)
    assert fit.k_hours == pytest.approx(2.3, rel=1e-6) and fit.x == pytest.approx(0.15, rel=1e-6)
    result = subprocess.run([sys.executable, str(EXAMPLES / "calibrate.py"), "missing.csv"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    # The last line: a free-threaded interpreter first warns that importing brooklet enabled the GIL.
    assert (result.returncode, result.stderr.splitlines()[-1]) == (
        1, "calibrate.py: cannot read missing.csv: No such file or directory")
    assert "Traceback" not in result.stderr


# A gauge file, the arguments after it, and what route_gauge_file.py makes of it: the inflow it
# routes, with the time step in minutes and the reaches (K hours, X, N, the lateral inflow that
# joins at the head), or the words of the one-line message that refuses the file.
SEMICOLONS = "timestamp ; upstream (m3/s) ; side\n" + "".join(
    f"2024-05-01 {6 + i:02d}:00;{q};{s}\n" for i, (q, s) in enumerate(
        [("93,5", "2"), ("137", "2,5"), ("208,25", "3"), ("320", "4"), ("442,5", "3")]))
FIRST_HOURS = [93.5, 137.0, 208.25, 320.0, 442.5]
ONE_REACH = ["--k", "2.3", "--x", "0.15"]
GAUGE_FILES = [
    (SEMICOLONS, ["--column", "upstream (m3/s)", *ONE_REACH], (FIRST_HOURS, 60, [(2.3, 0.15, 1, None)])),
    ("Time,Q_cfs\n2024-05-01T06:00,10\n2024-05-01T06:15,30\n2024-05-01T06:30,20\n",
     ["--column", "Q_cfs", "--k", "1", "--x", "0.2", "--sub-reaches", "3"], ([10.0, 30.0, 20.0], 15, [(1, 0.2, 3, None)])),
    ("flow\t when\n5.5\t01.05.2024 06:00\n7\t01.05.2024 07:00\n", ["--column", "flow", *ONE_REACH],
     ([5.5, 7.0], 60, [(2.3, 0.15, 1, None)])),
    ("hour,inflow\n1,93\n2,137\n3,208\n", ["--column", "inflow", "--time-step", "60", *ONE_REACH],
     ([93.0, 137.0, 208.0], 60, [(2.3, 0.15, 1, None)])),
    ("hour,inflow\n1,93\n2,137\n", ["--column", "inflow", *ONE_REACH], "no timestamp column; name it with --time-column"),
    (SEMICOLONS.replace("2024-05-01 08:00;208,25;3\n", ""), ["--column", "upstream (m3/s)", *ONE_REACH],
     "1 timestamp missing: 2024-05-01 08:00:00. Routing needs a value at every step"),
    (SEMICOLONS.replace("2024-05-01 08:00;208,25;3\n", ""), ["--column", "upstream (m3/s)", "--fill", "linear", *ONE_REACH],
     ([93.5, 137.0, 228.5, 320.0, 442.5], 60, [(2.3, 0.15, 1, None)])),
    (SEMICOLONS.replace(";320;", ";;"), ["--column", "upstream (m3/s)", *ONE_REACH],
     "1 blank value in 'upstream (m3/s)': 2024-05-01 09:00:00"),
    (SEMICOLONS.replace("08:00", "08:20"), ["--column", "upstream (m3/s)", *ONE_REACH],
     "row 3: timestamp 2024-05-01 08:20:00 is 1 h 20 min after the one above"),
    (SEMICOLONS, ["--column", "upstream (m3/s)", "--time-step", "30", *ONE_REACH],
     "the timestamps are 1 h apart, not the --time-step of 30 min"),
    (SEMICOLONS, ["--column", "upstream (m3/s)", "--sep", ",", *ONE_REACH], "is --sep right?"),
    (SEMICOLONS, ["--column", "upstream (m3/s)", "--decimal", ".", *ONE_REACH], "'93,5' is not a number (is --decimal right?)"),
    (SEMICOLONS, ["--column", "upstream (m3/s)", "--reaches", "reaches.csv"],
     (FIRST_HOURS, 60, [(2.0, 0.2, 2, None), (1.5, 0.1, 1, "side")])),
]
REACHES = "reach,k_hours,x,sub_reaches,lateral\nupper,2,0.2,2,\nlower,1.5,0.1,1,side\n"


@pytest.mark.parametrize("text, arguments, expected", GAUGE_FILES)
def test_gauge_file_is_read_checked_and_routed(routing, text, arguments, expected, tmp_path):
    pytest.importorskip("pandas")
    (tmp_path / "gauges.csv").write_text(text)
    (tmp_path / "reaches.csv").write_text(REACHES)
    result = subprocess.run([sys.executable, str(EXAMPLES / "route_gauge_file.py"), "gauges.csv", *arguments],
                            cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert "Traceback" not in result.stderr, result.stderr
    if isinstance(expected, str):
        assert result.returncode == 1 and expected in result.stderr.splitlines()[-1]
        assert not (tmp_path / "gauges-routed.csv").exists()
        return
    assert result.returncode == 0, result.stderr
    inflow, minutes, reaches = expected
    lines = (tmp_path / "gauges-routed.csv").read_text().splitlines()
    sep = next(c for c in ";\t," if c in lines[0])  # the output keeps the input's separator
    decimal = "," if sep == ";" else "."
    columns = [[float(v.replace(decimal, ".")) for v in line.split(sep)[1:]] for line in lines[1:]]
    flow = inflow
    for k_hours, x, n, lateral in reaches:
        if lateral:
            flow = [f + float(row[1]) for f, row in zip(flow, columns)]
        flow = routing(flow, timedelta(hours=k_hours), x, timedelta(minutes=minutes), n, flow[0])
    assert [row[0] for row in columns] == inflow
    assert [row[-1] for row in columns] == flow  # the file holds the routed values exactly


# (K hours, X, dt minutes, N): set-ups on both sides of the window 2(K/N)X <= dt <= 2(K/N)(1 - X).
SETUPS = [(2.3, 0.15, 60, 1), (2.3, 0.15, 60, 4), (2.3, 0.15, 10, 1), (2.3, 0.15, 10, 5), (0.5, 0.2, 60, 1),
          (6.0, 0.3, 30, 6), (6.0, 0.3, 30, 30), (1.0, 0.0, 60, 1), (1.0, 0.5, 15, 1), (3.0, 0.45, 20, 2)]


@pytest.mark.parametrize("k_hours, x, dt_minutes, n", SETUPS)
def test_setup_check_agrees_with_the_routed_step(routing, k_hours, x, dt_minutes, n):
    """With every coefficient non-negative a step of the inflow from 100 to 200 gives an outflow that
    rises from 100 to 200 and never leaves that range; a negative C0 dips below 100 at the step, a
    negative C2 overshoots 200 after it. check_setup must see exactly the set-ups that misbehave."""
    check = load_example("check_setup")
    k, dt = timedelta(hours=k_hours), timedelta(minutes=dt_minutes)
    outflow = routing([100.0] * 2 + [200.0] * 30, k, x, dt, n, 100.0)
    # Beyond rounding: a sound set-up may approach 200 to within the last bit from either side.
    misbehaves = (min(outflow) < 100.0 - 1e-9 or max(outflow) > 200.0 + 1e-9
                  or any(b < a - 1e-9 for a, b in zip(outflow, outflow[1:])))
    problems = check.check_setup(k, x, dt, n)
    assert bool(problems) == misbehaves, problems
    sound = check.sound_sub_reaches(k, x, dt)
    assert all(not check.check_setup(k, x, dt, m) for m in sound)


# ---------------------------------------------------------------------------------------------
# The README's code blocks, run as a reader would run them from the root of a clone:
# - a `python` block runs in a fresh interpreter, and what it prints must be exactly the `text`
#   block that follows it (nothing, when none follows);
# - in a `sh` block, `make TARGET` must name a target of the Makefile; `python examples/NAME.py
#   ...` runs the example when an output block follows (a chart goes to a temporary file, and the
#   `chart:` line is the one line not compared) and otherwise must use only options its --help
#   names; `python3.13[t] -m pip install ...` must install the project (`.`, `.[example]`,
#   `brooklet` or one of its wheels) or packages of the examples' extras: it is not run here;
# - a `sh` block after a line `<!-- install: TAG -->` installs one wheel: `make wheels` runs it as
#   written, so here only its tag is checked;
# - any other block or line fails, so that a new kind is handled before it can go stale.

ROOT = EXAMPLES.parent
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.MULTILINE | re.DOTALL)
INSTALL_MARKER = re.compile(r"<!-- install: ([\w-]+) -->\s*$")
WHEEL_TAGS = {"cp313-cp313-x86_64", "cp313-cp313t-x86_64", "cp313-cp313-i686", "cp313-cp313t-i686",
              "cp314-cp314-x86_64", "cp315-cp315-x86_64"}
# What a block or an example needs beyond the module; without it the block is skipped.
NEEDS = {"numpy": "import numpy", "scipy": "from scipy", "pandas": "import pandas", "matplotlib": "import matplotlib"}


def readme_blocks():
    """(language, code, shown output or None, line) of each fenced block of the README that is not
    itself an output block; an output block is a `text` block right after another block."""
    text = (ROOT / "README.md").read_text()
    matches = list(FENCE.finditer(text))
    blocks, outputs = [], set()
    for i, match in enumerate(matches):
        if i in outputs:
            continue
        following = matches[i + 1] if i + 1 < len(matches) else None
        output = None
        if following and following.group(1) == "text" and not text[match.end():following.start()].strip():
            output, _ = following.group(2), outputs.add(i + 1)
        before = text[matches[i - 1].end() if i else 0:match.start()]
        marker = INSTALL_MARKER.search(before)
        language = f"install {marker.group(1)}" if marker and match.group(1) == "sh" else match.group(1)
        blocks.append((language, match.group(2), output, text.count("\n", 0, match.start()) + 1))
    return blocks


def skip_without_needs(source):
    for module, statement in NEEDS.items():
        if statement in source:
            pytest.importorskip(module)


def run_example(command, shown):
    script = ROOT / command[1]
    with tempfile.TemporaryDirectory() as scratch:
        chart = ["--chart", str(Path(scratch) / "chart.png")] if "--chart" in run_help(script) else []
        result = subprocess.run([sys.executable, str(script), *command[2:], *chart], cwd=ROOT,
                                capture_output=True, text=True, timeout=120)
    assert "Traceback" not in result.stderr, result.stderr
    printed = [line for line in result.stdout.splitlines() if not line.startswith("chart: ")]
    expected = [line for line in shown.splitlines() if not line.startswith("chart: ")]
    assert printed == expected


def run_help(script):
    result = subprocess.run([sys.executable, str(script), "--help"], cwd=ROOT, capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def check_shell_line(line, shown):
    words = shlex.split(line, comments=True)
    if words[0] == "make":
        targets = re.findall(r"^([\w-]+):", (ROOT / "Makefile").read_text(), re.MULTILINE)
        assert len(words) == 2 and words[1] in targets, f"no make target {words[1:]}"
    elif words[0] == "python" and words[1].startswith("examples/"):
        assert (ROOT / words[1]).is_file()
        skip_without_needs((ROOT / words[1]).read_text())
        if shown is not None:
            run_example(words, shown)
        else:
            options = {w.split("=")[0] for w in words if w.startswith("--")}
            assert options <= set(re.findall(r"--[\w-]+", run_help(ROOT / words[1])))
    elif re.fullmatch(r"python3\.1[3-5]t?", words[0]) and words[1:4] == ["-m", "pip", "install"]:
        # What is installed: the clone (with the examples' extras), the project by name, one of its
        # wheels, or packages that the examples' extras name.
        extras = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]["example"]
        named = {re.match(r"[\w-]+", requirement).group() for requirement in extras}
        assert (re.fullmatch(r"\.(\[example\])?|brooklet|(dist/)?brooklet-[\w.]+-cp31[3-5]t?-cp31[3-5]t?-[\w.]+\.whl", words[-1])
                or set(words[4:]) <= named), line
    else:
        raise AssertionError(f"a shell line of a kind the README test does not know: {line}")


@pytest.mark.parametrize("language, code, shown, line",
                         [pytest.param(*block, id=f"{block[0]} block at line {block[3]}") for block in readme_blocks()])
def test_readme_block(language, code, shown, line):
    if language == "python":
        skip_without_needs(code)
        result = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True,
                                timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout == (shown or "")
    elif language == "sh":
        assert shown is None or len(code.splitlines()) == 1, "an output block follows a single command"
        for command in code.splitlines():
            if shlex.split(command, comments=True):
                check_shell_line(command, shown)
    elif language.startswith("install "):
        assert language.removeprefix("install ") in WHEEL_TAGS and shown is None
    else:
        raise AssertionError(f"README line {line}: a block of a kind the README test does not know: {language!r}")


def test_every_wheel_has_one_install_block():
    """make wheel and make wheels run these blocks; a missing or misspelt tag stops them late."""
    text = (ROOT / "docs" / "wheels-and-target.md").read_text()
    tags = re.findall(r"^<!-- install: ([\w-]+) -->\n\s*```sh\n", text, re.MULTILINE)
    assert sorted(tags) == sorted(WHEEL_TAGS)


def heading_anchors(path):
    """The anchors a Markdown renderer gives the headings of `path`, as GitHub makes them."""
    headings = re.findall(r"^#+ (.+)$", FENCE.sub("", path.read_text()), re.MULTILINE)
    return {re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-") for heading in headings}


@pytest.mark.parametrize("page", ["README.md", *sorted(f"docs/{p.name}" for p in (ROOT / "docs").glob("*.md"))])
def test_guide_links_lead_somewhere(page):
    path = ROOT / page
    for target in re.findall(r"\]\(([^)\s]+)\)", FENCE.sub("", path.read_text())):
        if "://" in target:
            continue
        file, _, anchor = target.partition("#")
        linked = (path.parent / file).resolve() if file else path
        assert linked.exists(), f"{page} links to {target}, which does not exist"
        if anchor:
            assert anchor in heading_anchors(linked), f"{page} links to {target}, which has no such heading"
