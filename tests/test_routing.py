"""Routing results, bit for bit, against worked values and an independent reference."""

import math
import warnings
from datetime import timedelta

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import HOUR
from support.reference import reference

NAN, INF = math.nan, math.inf


WORKED_INFLOW = [10, 20, 30, 20, 10]
WORKED = {
    1: [10.0, 10.476190476190476, 15.487528344671201, 21.922038656732532, 20.53059167733609],
    2: [10.0, 10.532544378698224, 13.796085571233501, 20.12604600679248, 22.75542496087995],
    5: [10.0, 10.352514666003934, 12.752152827965695, 18.75261607276234, 24.192722404800193],
    -1: [10.0, 1.8181818181818201, -22.892561983471072, -62.79489105935387, -129.8811556587665],
    0: [10.0, NAN, NAN, NAN, NAN],
}


@pytest.mark.parametrize("sub_reaches", WORKED)
def test_worked_examples(routing, bits, sub_reaches):
    expected = bits(WORKED[sub_reaches])
    assert bits(reference(WORKED_INFLOW, 2 * HOUR, 0.2, HOUR, sub_reaches, 10.0)) == expected
    assert bits(routing(WORKED_INFLOW, 2 * HOUR, 0.2, HOUR, sub_reaches, 10.0)) == expected


# Pass counts and lengths that the sweep routes with different block shapes, and
# hydrographs on either side of the length at which 9 to 16 passes change shape.
@pytest.mark.parametrize("sub_reaches, length", [
    (2, 6), (3, 6), (4, 6), (5, 40), (7, 6), (9, 255), (13, 256), (16, 300), (17, 300), (36, 300), (37, 80),
])
def test_sub_reaches_chain_single_passes(routing, bits, sub_reaches, length):
    # k = n hours over n sub-reaches is exactly 1 hour per pass, and every pass starts
    # from the caller's initial outflow.
    inflow = [10.0 + (t * 7919 % 97) for t in range(length)]
    chained = inflow
    for _ in range(sub_reaches):
        chained = routing(chained, HOUR, 0.2, HOUR, 1, 7.0)
    assert bits(routing(inflow, sub_reaches * HOUR, 0.2, HOUR, sub_reaches, 7.0)) == bits(chained)


@pytest.mark.parametrize("sub_reaches", [1, 3, 7])
def test_routing_continues_from_saved_state_bit_for_bit(routing, bits, sub_reaches):
    """A record routed in pieces, each sub-reach continuing from its saved last inflow and outflow,
    gives the bits of the same single-pass calls over the whole record, wherever it is cut."""
    inflow = [10.0 + (t * 7919 % 97) for t in range(40)]
    k = timedelta(hours=2.3) / sub_reaches
    at_once = inflow
    for _ in range(sub_reaches):
        at_once = routing(at_once, k, 0.15, HOUR, 1, 7.0)
    for cuts in ([2], [5], [39], [3, 4, 17, 38]):
        state = [(inflow[0], 7.0)] + [(7.0, 7.0)] * (sub_reaches - 1)
        routed = [7.0]
        for start, end in zip([1, *cuts], [*cuts, len(inflow)]):
            flow = inflow[start:end]
            for j, (last_inflow, last_outflow) in enumerate(state):
                out = routing([last_inflow, *flow], k, 0.15, HOUR, 1, last_outflow)[1:]
                state[j], flow = (flow[-1], out[-1]), out
            routed += flow
        assert bits(routed) == bits(at_once), cuts


D = timedelta
FLOWS = [1.0, 4.0, 9.0, 2.0, 0.5]


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("inflow, k, x, time_step, sub_reaches, initial", [
    # Durations with microseconds, the largest duration and zero durations.
    (FLOWS, HOUR, 0.3, D(microseconds=1), 3, 0.5),
    (FLOWS, D(microseconds=3), 0.3, D(seconds=1, microseconds=7), 1, 0.5),
    (FLOWS, D(days=1, seconds=2, microseconds=3), 0.3, D(minutes=10, microseconds=999999), 3, 0.5),
    (FLOWS, D(seconds=1, microseconds=100001), 0.3, D(microseconds=300003), 1, 0.5),
    (FLOWS, D.max, 0.3, D.max, 3, 0.5), (FLOWS, D.max, 0.3, HOUR, 1, 0.5),
    (FLOWS, D(0), 0.3, D(0), 1, 0.5), (FLOWS, D(0), 0.3, HOUR, 3, 0.5), (FLOWS, HOUR, 0.3, D(0), 3, 0.5),
    # A count below one means a single pass, with k divided by that count.
    (FLOWS, 2 * HOUR, 0.2, HOUR, -3, 10.0), (FLOWS, 2 * HOUR, 0.2, HOUR, -2**63, 10.0),
    # A single value gives the initial outflow, whatever the rest.
    ([123.0], 2 * HOUR, 0.2, HOUR, 0, 10.0), ([NAN], D(0), 0.5, D(0), -3, -0.0), ([1.0], HOUR, 0.2, HOUR, 4, -INF),
    # Non-finite and extreme values flow through the arithmetic.
    ([1.0, INF, 2.0, 3.0], 2 * HOUR, 0.2, HOUR, 2, 0.0), ([1.0, NAN, 2.0], 2 * HOUR, 0.2, HOUR, 2, 0.0),
    (FLOWS, 2 * HOUR, 0.2, HOUR, 2, -INF), (FLOWS, 2 * HOUR, NAN, HOUR, 2, 1.0), (FLOWS, 2 * HOUR, INF, HOUR, 2, 1.0),
    ([1e308, 1e308, -1e308], 2 * HOUR, 0.1, HOUR, 2, 1e308),
    ([5e-324, -5e-324, 0.0, -0.0], 2 * HOUR, 0.0, HOUR, 2, -0.0),
])
def test_special_cases_match_reference(routing, bits, inflow, k, x, time_step, sub_reaches, initial):
    arguments = (inflow, k, x, time_step, sub_reaches, initial)
    result = routing(*arguments)
    assert len(result) == len(inflow) and bits(result[:1]) == bits([initial])
    assert bits(result) == bits(reference(*arguments))


durations = st.builds(timedelta, days=st.integers(0, 3), seconds=st.integers(0, 86399),
                      microseconds=st.integers(0, 999999))
flows = st.floats(-1e6, 1e6)


@settings(max_examples=200, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(inflow=st.lists(flows, min_size=1, max_size=25), k=durations, x=st.floats(-0.5, 1.0),
       time_step=durations, sub_reaches=st.integers(-3, 6), initial_outflow=flows)
def test_matches_reference(routing, bits, inflow, k, x, time_step, sub_reaches, initial_outflow):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = routing(inflow, k, x, time_step, sub_reaches, initial_outflow)
    assert len(result) == len(inflow)
    assert bits(result) == bits(reference(inflow, k, x, time_step, sub_reaches, initial_outflow))
