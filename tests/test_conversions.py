"""Conversion of each argument, the errors that name the argument, and the result list."""

import math
import operator
from datetime import date, datetime, timedelta

import pytest

from support import HOUR, Seq, route_identity

BASE = dict(inflow=[10.0, 20.0, 30.0], k=2 * HOUR, x=0.2, time_step=HOUR, sub_reaches=2, initial_outflow=10.0)


def call(routing, **changes):
    return routing(**{**BASE, **changes})


def type_error(routing, **changes):
    info = pytest.raises(TypeError, call, routing, **changes)
    assert type(info.value) is TypeError
    return str(info.value)


class Outer:
    class Mapping(dict):
        pass


class Span(timedelta):
    pass


class Box:
    def __init__(self, value, length=None):
        self.value, self.length = value, length


class FloatLike(Box):
    def __float__(self):
        return self.value


class IndexLike(Box):
    def __index__(self):
        return self.value


class Raiser(Box):
    """Raises a fresh exception, made by its value, from every numeric conversion."""

    def __float__(self):
        raise self.value()

    __index__ = __float__


@pytest.mark.parametrize("inflow, message", [
    ("1,2,3", "Can't extract `str` to `Vec`"),
    (type("Text", (str,), {})("12"), "Can't extract `str` to `Vec`"),
    (5, "'int' object cannot be converted to 'Sequence'"),
    ({0: 1.0}, "'dict' object cannot be converted to 'Sequence'"),
    ({1.0}, "'set' object cannot be converted to 'Sequence'"),
    ((v for v in [1.0]), "'generator' object cannot be converted to 'Sequence'"),
    (Outer.Mapping(), "'Outer.Mapping' object cannot be converted to 'Sequence'"),
])
def test_inflow_refused(routing, inflow, message):
    assert type_error(routing, inflow=inflow) == "argument 'inflow': " + message


@pytest.mark.parametrize("inflow, hydrograph", [
    ((1, 2.5, True), [1.0, 2.5, 1.0]),
    (b"\x01\x02", [1.0, 2.0]),
    (range(4), [0.0, 1.0, 2.0, 3.0]),
    ([FloatLike(2.5), IndexLike(3), FloatLike(-1.0)], [2.5, 3.0, -1.0]),
    # A failing size query is ignored; the size never limits or pads what iteration yields.
    (Seq([1, 2, 3], RuntimeError("len")), [1.0, 2.0, 3.0]),
    (Seq([1, 2, 3, 4, 5], 1), [1.0, 2.0, 3.0, 4.0, 5.0]),
    (Seq([1, 2], 1000), [1.0, 2.0]),
])
def test_inflow_accepted(routing, inflow, hydrograph):
    assert route_identity(inflow, hydrograph[0]) == hydrograph


@pytest.mark.parametrize("name", ["k", "time_step"])
@pytest.mark.parametrize("value, type_name", [
    (3600, "int"), (None, "NoneType"), (3600.0, "float"), ("1:00:00", "str"),
    (datetime(2000, 1, 1), "datetime"), (date(2000, 1, 1), "date"), (Outer.Mapping(), "Outer.Mapping"),
])
def test_duration_refused(routing, name, value, type_name):
    message = f"argument '{name}': '{type_name}' object cannot be converted to 'PyDelta'"
    assert type_error(routing, **{name: value}) == message


@pytest.mark.parametrize("name, value, probe, probe_value", [
    ("inflow", [1.0, "2"], math.fabs, "2"), ("x", "a", math.fabs, "a"), ("x", [0.2], math.fabs, [0.2]),
    ("initial_outflow", None, math.fabs, None), ("sub_reaches", 2.0, operator.index, 2.0),
    ("sub_reaches", "2", operator.index, "2"), ("sub_reaches", FloatLike(2), operator.index, FloatLike(2)),
])
def test_interpreter_type_errors_are_prefixed(routing, name, value, probe, probe_value):
    # The interpreter's own message for the same refusal, after the argument's name.
    expected = pytest.raises(TypeError, probe, probe_value).value
    assert type_error(routing, **{name: value}) == f"argument '{name}': {expected}"


@pytest.mark.parametrize("changes, exc_type", [
    ({"sub_reaches": 2**63}, OverflowError), ({"sub_reaches": -2**63 - 1}, OverflowError),
    ({"k": -HOUR}, ValueError), ({"time_step": -HOUR}, ValueError), ({"k": -HOUR, "time_step": -HOUR}, ValueError),
    ({"k": timedelta(microseconds=-1)}, ValueError), ({"time_step": timedelta(days=-1, seconds=1)}, ValueError),
    ({"k": timedelta.min, "time_step": timedelta.max}, ValueError), ({"k": Span(seconds=-5)}, ValueError),
    ({"inflow": [], "k": -HOUR}, ValueError),  # refused before the routing looks at the inflow
    ({"x": 2**1024}, OverflowError), ({"initial_outflow": -(2**1024)}, OverflowError),
    ({"inflow": Seq([1.0, 2**1024])}, OverflowError), ({"inflow": (2**1024, "2")}, OverflowError),
])
def test_errors_without_argument_name(routing, changes, exc_type):
    info = pytest.raises(exc_type, call, routing, **changes)
    assert type(info.value) is exc_type and not str(info.value).startswith("argument")
    assert exc_type is OverflowError or "negative" in str(info.value)
    if exc_type is OverflowError and "sub_reaches" not in changes:  # an int beyond the doubles
        assert info.value.args == pytest.raises(OverflowError, float, 2**1024).value.args


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("name, value, plain", [
    ("x", 1, 1.0), ("x", True, 1.0), ("x", FloatLike(0.3), 0.3), ("x", IndexLike(0), 0.0),
    ("x", FloatLike(-1.0), -1.0), ("initial_outflow", 7, 7.0), ("initial_outflow", FloatLike(-1.0), -1.0),
    ("sub_reaches", True, 1), ("sub_reaches", IndexLike(3), 3), ("sub_reaches", IndexLike(-1), -1),
    ("k", Span(hours=2), 2 * HOUR), ("time_step", Span(minutes=30), timedelta(minutes=30)),
])
def test_accepted_values_equal_plain_ones(routing, bits, name, value, plain):
    assert bits(call(routing, **{name: value})) == bits(call(routing, **{name: plain}))


def failing(source, make):
    """The parameter's name and arguments that make its conversion raise make()."""
    if source == "inflow item":
        return "inflow", {"inflow": [1.0, Raiser(make), 2.0]}
    if source == "inflow iteration":  # a sequence whose size query and indexing both fail
        return "inflow", {"inflow": Seq(make)}
    return source, {source: Raiser(make)}


SOURCES = ["inflow item", "inflow iteration", "x", "sub_reaches", "initial_outflow"]


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("exc_type", [ValueError, MyTypeError, LookupError, KeyboardInterrupt])
def test_other_conversion_errors_pass_unchanged(routing, source, exc_type):
    raised = []
    _, changes = failing(source, lambda: raised.append(exc_type("from the argument")) or raised[-1])
    info = pytest.raises(exc_type, call, routing, **changes)
    assert info.value is raised[0] and len(raised) == 1 and str(info.value) == "from the argument"


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("cause", [KeyError("E"), None])
def test_plain_type_error_is_reworded_keeping_the_cause(routing, source, cause):
    def make():
        error = TypeError("T")
        if cause is not None:
            error.__cause__ = cause
        return error
    name, changes = failing(source, make)
    assert type_error(routing, **changes) == f"argument '{name}': T"
    info = pytest.raises(TypeError, call, routing, **changes)
    assert info.value.__cause__ is cause and info.value.__suppress_context__ is True


BAD = {"inflow": "abc", "k": 3600, "x": "a", "time_step": None, "sub_reaches": 2.0, "initial_outflow": None}
ORDER = list(BAD)


@pytest.mark.parametrize("first", range(6))
def test_first_bad_argument_in_parameter_order_is_reported(routing, first):
    later_bad = {name: BAD[name] for name in ORDER[first:]}
    assert type_error(routing, **later_bad).startswith(f"argument '{ORDER[first]}': ")


@pytest.mark.parametrize("negative", ["k", "time_step"])
@pytest.mark.parametrize("bad", ["x", "sub_reaches", "initial_outflow"])
def test_conversion_errors_come_before_negative_durations(routing, negative, bad):
    assert type_error(routing, **{negative: -HOUR, bad: BAD[bad]}).startswith(f"argument '{bad}': ")


def test_result_is_a_new_list_of_floats(routing):
    inflow = [1, 2, 3, 4]
    first, second = call(routing, inflow=inflow), call(routing, inflow=inflow)
    assert type(first) is list and all(type(v) is float for v in first)
    assert first == second and first is not second and first is not inflow
    assert inflow == [1, 2, 3, 4] and all(type(v) is int for v in inflow)
    assert len(first) == 4 and first[0] == 10.0
