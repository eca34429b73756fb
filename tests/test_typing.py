"""The installed type information, as mypy --strict sees it in a user's script."""

import re
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """\
import datetime
from typing import assert_type
import brooklet
from brooklet import reach
H = datetime.timedelta(hours=1)
"""

# Each snippet, with the mypy error codes it must give (none: accepted as it stands).
SNIPPETS = {
    "list_of_floats": (set(), """
        assert_type(reach.muskingum_routing([10.0, 20.5], 2 * H, 0.2, H, 1, 10.0), list[float])"""),
    "any_sequence_by_keyword": (set(), """
        out = brooklet.reach.muskingum_routing(inflow=(1, 2, True), k=H, x=0, time_step=H,
                                               sub_reaches=True, initial_outflow=1)
        assert_type(out, list[float])"""),
    "numpy_array": (set(), """
        import numpy as np
        a = np.linspace(0.0, 1.0, 5)
        assert_type(reach.muskingum_routing(a, H, np.float64(0.2), H, np.int64(2), a[0]), list[float])"""),
    "k_as_a_number": ({"arg-type"}, "reach.muskingum_routing([1.0], 3600, 0.2, H, 1, 1.0)"),
    "missing_argument": ({"call-arg"}, "reach.muskingum_routing([1.0], H, 0.2, H, 1)"),
    "text_as_inflow": ({"arg-type"}, "reach.muskingum_routing('1, 2', H, 0.2, H, 1, 1.0)"),
    # `reach` is only an attribute of the module; importing it as a submodule fails at run time.
    "reach_imported_as_submodule": ({"import-not-found"}, "import brooklet.reach"),
}


@pytest.fixture(scope="module")
def mypy_codes(tmp_path_factory):
    """Runs mypy --strict once over every snippet; returns the error codes found per snippet."""
    pytest.importorskip("mypy.api", reason="mypy is not installed")
    work = tmp_path_factory.mktemp("typing")
    for name, (_, code) in SNIPPETS.items():
        (work / f"{name}.py").write_text(PRELUDE + textwrap.dedent(code).strip() + "\n")
    # Run from the scratch directory so that no project configuration applies; mypy looks for
    # brooklet's stubs in this interpreter's site-packages, where the wheel installs them.
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                           "--python-executable", sys.executable, *(f"{n}.py" for n in SNIPPETS)],
                          cwd=work, capture_output=True, text=True, timeout=300)
    assert proc.returncode in (0, 1) and not proc.stderr, proc.stdout + proc.stderr
    codes = {name: set() for name in SNIPPETS}
    for file, code in re.findall(r"^(\w+)\.py:\d+: error: .*\[([\w-]+)\]$", proc.stdout, re.M):
        codes[file].add(code)
    return codes, proc.stdout


@pytest.mark.parametrize("name", SNIPPETS)
def test_mypy_strict(name, mypy_codes):
    if name == "numpy_array":
        pytest.importorskip("numpy")
    codes, report = mypy_codes
    assert codes[name] == SNIPPETS[name][0], report
