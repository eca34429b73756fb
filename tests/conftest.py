"""Fixtures shared by the brooklet tests."""

import math
import struct
import subprocess
import sys
from datetime import timedelta

import pytest

import brooklet

HOUR = timedelta(hours=1)


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
    """The class of the module's internal-failure exception, obtained from an empty inflow."""
    return type(pytest.raises(BaseException, brooklet.reach.muskingum_routing, [], HOUR, 0.2, HOUR, 1, 0.0).value)


def _bit_key(value):
    # NaN payloads are not part of the contract; every other value is compared bit for bit,
    # so 0.0 and -0.0 differ.
    assert type(value) is float
    return "nan" if math.isnan(value) else struct.pack("<d", value)


@pytest.fixture
def bits():
    """Turns a list of floats into something that compares equal only for identical bits."""
    return lambda values: [_bit_key(v) for v in values]


@pytest.fixture(scope="session")
def run_python():
    """Runs a script in a fresh interpreter; returns the finished process."""
    return lambda script: subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                                         timeout=120)
