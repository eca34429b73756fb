"""The warning issued for a weighting factor outside [0.0, 0.5]."""

import math
import sys
import types
import warnings
from datetime import timedelta
from unittest import mock

import pytest

MESSAGE = "`x` is outside the recommended range [0.0, 0.5]."


def with_x(args, x, **changes):
    return {**args, "x": x, **changes}


@pytest.mark.parametrize("x", [0.0, -0.0, 0.5, 0.25, 5e-324])
def test_in_range_is_silent(routing, args, x):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(routing(**with_x(args, x))) == 5


@pytest.mark.parametrize("x", [0.5000001, -0.1, math.nan, math.inf, -math.inf, -5e-324, 1])
def test_out_of_range_warns_once_and_routes(routing, args, x):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = routing(**with_x(args, x))
    # Attributed to the Python code that made the call.
    assert [(w.category, str(w.message), w.filename) for w in caught] == [(UserWarning, MESSAGE, __file__)]
    assert len(result) == 5 and result[0] == 10.0


@pytest.mark.parametrize("changes", [{}, {"time_step": timedelta(-1)}, {"k": timedelta(-1)}, {"inflow": []}])
def test_warning_turned_into_error_comes_first(routing, args, changes):
    # The check runs before the durations are converted and before any routing.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning) as info:
            routing(**with_x(args, -0.1, **changes))
    assert type(info.value) is UserWarning and str(info.value) == MESSAGE


def warnings_module(stub):
    """Puts a stand-in for the warnings module into sys.modules while the block runs."""
    return mock.patch.dict(sys.modules, {"warnings": stub})


def test_warnings_module_is_looked_up_on_every_call(routing, args):
    calls = []
    with warnings_module(types.SimpleNamespace(warn=lambda *a, **kw: calls.append((a, kw)))):
        out_of_range = routing(**with_x(args, 0.7))
        routing(**with_x(args, -1.0))
        routing(**args)
    # One positional argument, no category and no keywords.
    assert calls == [((MESSAGE,), {})] * 2
    with pytest.warns(UserWarning, match="recommended range"):
        assert routing(**with_x(args, 0.7)) == out_of_range
    assert len(calls) == 2


def refuse(message):
    raise TypeError("stub refused")


@pytest.mark.parametrize("stub, expected", [
    (types.SimpleNamespace(warn=refuse), TypeError),  # not reworded: it is no argument's error
    (types.SimpleNamespace(), AttributeError),
    (None, ModuleNotFoundError),
])
def test_failing_warning_is_the_error(routing, args, stub, expected):
    with warnings_module(stub), pytest.raises(expected) as info:
        routing(**with_x(args, 0.7))
    assert type(info.value) is expected
    if expected is TypeError:
        assert str(info.value) == "stub refused"
    assert len(routing(**args)) == 5
