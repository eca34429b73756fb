"""The examples' claims: calibration recovers known K and X, the network routes every reach after
its upstream reaches and delivers all lateral inflow to the outlet."""

import importlib.machinery
import sys
import types
from pathlib import Path

import pytest

from conftest import HOUR

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def load_example(name):
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
