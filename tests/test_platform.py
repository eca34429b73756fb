"""The build against the interpreter that loads it: ABI suffix, the GIL, word-size limits."""

import os
import subprocess
import sys
import sysconfig

import pytest

import brooklet
from support import HOUR, Seq, route_identity

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_built_for_this_interpreter():
    # A module built for the other interpreter build (or without the ABI tag) must not be found.
    assert brooklet.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))


@pytest.mark.skipif(not FREE_THREADED, reason="the interpreter lock is always on in this build")
def test_import_enables_the_gil():
    # A fresh interpreter started without -X gil or PYTHON_GIL, with the default warning filters.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHON_GIL", "PYTHONWARNINGS")}
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (os.path.dirname(brooklet.__file__), env.get("PYTHONPATH")) if p)
    script = "import sys; off = sys._is_gil_enabled(); import brooklet; print(off, sys._is_gil_enabled())"
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["False", "True"]
    assert ("RuntimeWarning: The global interpreter lock (GIL) has been enabled to load module "
            "'brooklet'") in proc.stderr


def test_largest_size_hint_is_a_capacity_overflow(routing, panic_class):
    # sys.maxsize is a valid length on every word size; 8 bytes each exceed any allocation.
    with pytest.raises(BaseException) as info:
        routing(Seq([1.0, 2.0], sys.maxsize), HOUR, 0.2, HOUR, 1, 1.0)
    assert type(info.value) is panic_class and info.value.args == ("capacity overflow",)


def test_size_hint_beyond_ssize_t_is_ignored(routing):
    # The interpreter cannot report such a length (2**31 on 32-bit, 2**63 on 64-bit); the
    # items decide.
    assert route_identity(Seq([1.0, 2.0, 3.0], sys.maxsize + 1)) == [1.0, 2.0, 3.0]
