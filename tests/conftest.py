"""Fixtures shared by the brooklet tests."""

import subprocess
import sys

import pytest

import brooklet
from support import HOUR, PANIC, bit_key


@pytest.fixture
def routing():
    return brooklet.reach.muskingum_routing


@pytest.fixture
def args():
    """A valid set of arguments, by keyword, in parameter order (one sub-reach, x in range)."""
    return dict(inflow=[10.0, 20.0, 30.0, 20.0, 10.0], k=2 * HOUR, x=0.2, time_step=HOUR,
                sub_reaches=1, initial_outflow=10.0)


@pytest.fixture(scope="session")
def panic_class():
    return PANIC


@pytest.fixture
def bits():
    """Turns a list of floats into something that compares equal only for identical bits."""
    return lambda values: [bit_key(v) for v in values]


@pytest.fixture(scope="session")
def run_python():
    """Runs a script in a fresh interpreter; returns the finished process."""
    return lambda script: subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                                         timeout=120)
