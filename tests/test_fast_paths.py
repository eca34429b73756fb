"""The in-place readers of lists, tuples and buffers, the routing without a hydrograph buffer
(one pass in one loop, several through the sweep's stream a chunk at a time) and the multi-pass
sweep give exactly what the general path gives."""

import array
import ctypes
import math
import random
import warnings
from datetime import timedelta

import brooklet
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from support import HOUR, Iterated, Seq, outcome, route_identity
from support.threads import changing_list_script, run_without_gil


def route(routing, inflow, sub_reaches=3, x=0.2):
    return routing(inflow, 2 * HOUR, x, HOUR, sub_reaches, 1.0)


INTEGERS = [0, 1, 7, 100, 127]


def misaligned(code, values):
    """A memoryview of `code` items that start one byte past where the allocator aligns them."""
    items = array.array(code, values)
    view = memoryview(bytearray(1 + len(items) * items.itemsize))[1:].cast(code)
    view[:] = memoryview(items)
    return view


# The __float__, __index__ and attribute reads that Python code of the arguments saw, in order.
CALLS = []


class LoggedFloat(float):
    """A float subclass whose Python code logs every call and would change the value: the float
    conversion reads the stored value of any float, so it runs none of it."""

    def __float__(self):
        CALLS.append(("__float__", float.__repr__(self)))
        return float.__float__(self) + 0.5

    def __index__(self):
        CALLS.append(("__index__", float.__repr__(self)))
        return 7

    def __getattribute__(self, name):
        CALLS.append(("attribute", name))
        return float.__getattribute__(self, name)


class LoggedInt(int):
    """An int subclass whose __float__, which the float conversion calls, logs its call."""

    def __float__(self):
        CALLS.append(("__float__", int.__repr__(self)))
        return int.__float__(self) + 0.5


class LoggedIndex:
    """A number by __index__ alone, which the float conversion calls."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        CALLS.append(("__index__", self.value))
        return self.value


class LoggedDelta(timedelta):
    """A timedelta subclass (pandas' Timedelta is one) that would tell another span from Python;
    a duration is read from the timedelta's own fields."""

    days = property(lambda self: CALLS.append(("days", None)) or 0)
    seconds = property(lambda self: CALLS.append(("seconds", None)) or 0)

    def total_seconds(self):
        CALLS.append(("total_seconds", None))
        return 0.0

    def __getattribute__(self, name):
        CALLS.append(("attribute", name))
        return timedelta.__getattribute__(self, name)


def as_bytes(values, fmt):
    """A memoryview of `values` as doubles, cast through bytes to `fmt`."""
    return memoryview(array.array("d", values)).cast("B").cast(fmt)


# An inflow that no Python code can change is routed without a hydrograph buffer: one pass in one
# loop, several through the sweep's stream; an item that is not an exact float takes the general
# path, and so does every call at an x that warns. A buffer is read in place only in the formats
# that its type's own iteration reads as numbers: a memoryview iterates one native character,
# alone or after '@', and raises NotImplementedError for any other.
IN_PLACE_SOURCES = [
    list, tuple, lambda v: [float(x) for x in v], lambda v: tuple(float(x) for x in v),
    lambda v: [*map(float, v), 5], lambda v: [*map(float, v), -0.0, math.inf, math.nan, 5e-324],
    lambda v: [*v, 2**53 + 1, -(2**63) - 1, 2**1023 * 3 // 2, -(2**40)],  # ints that round, one not compact
    lambda v: [*v, 2**1024, "2"], lambda v: (-(2**1024), *v), lambda v: [*v, True], lambda v: [*v, LoggedInt(3)],
    lambda v: [LoggedFloat(x) for x in v], lambda v: (*v, LoggedFloat(-0.0), LoggedFloat(math.nan)),
    lambda v: array.array("d", v), lambda v: array.array("f", v),
    *[lambda v, c=code: array.array(c, [int(x) for x in v]) for code in "bBhHiIlLqQ"],
    lambda v: array.array("w", "abc"),
    lambda v: memoryview(array.array("d", v)), lambda v: memoryview(bytes(int(x) for x in v)),
    lambda v: memoryview(array.array("q", [int(x) for x in v]))[::2],
    lambda v: misaligned("d", v), lambda v: misaligned("h", [int(x) for x in v])[::-2],
    *[lambda v, f=fmt: as_bytes(v, f) for fmt in ["@d", "e", "c", "P", "?", "@B", "@?"]],
    *[lambda v, c=ctype: memoryview((c * len(v))(*v)) for ctype in [  # formats '<d', '<i', '<?', ...
        ctypes.c_double, ctypes.c_float, ctypes.c_int, ctypes.c_bool, ctypes.c_ubyte, ctypes.c_longlong]],
]


class Delta(timedelta):
    pass


# Each argument after the inflow takes the shortcut only as an exact built-in type with a value
# that needs nothing else (x in range, no warning; a number a double holds; a count the stream
# takes); every other value goes the general way. Either way the call gives the same result, or
# the same error, the one of the first argument converted, with the same warnings.
@pytest.mark.parametrize("changes", [
    {"x": 0}, {"x": 0.5}, {"x": -0.0}, {"initial_outflow": 3}, {"initial_outflow": 2**53 + 1},
    {"initial_outflow": -(2**53)}, {"sub_reaches": 0}, {"sub_reaches": -3}, {"k": timedelta(0)},
    {"time_step": timedelta(microseconds=1)}, {"k": timedelta(days=999999999, microseconds=999999)},
    {"x": True}, {"x": 2**53 + 1}, {"x": 0.5000001}, {"x": math.nan}, {"x": 2**1024}, {"x": "0.2"},
    {"initial_outflow": 2**1024}, {"initial_outflow": None}, {"initial_outflow": True},
    {"sub_reaches": True}, {"sub_reaches": 2**63}, {"sub_reaches": 2.0},
    {"sub_reaches": 4096}, {"sub_reaches": 4097}, {"sub_reaches": -(2**63)},
    {"k": Delta(hours=2)}, {"time_step": Delta(hours=1)}, {"k": timedelta(-1)},
    {"k": timedelta(-1), "time_step": timedelta(microseconds=-1)}, {"k": timedelta(-1), "x": 0.7},
    {"k": 7200}, {"inflow": []}, {"inflow": ()}, {"inflow": [2.0]}, {"inflow": [1.0, 2]},
    {"inflow": [1.0, "2"]}, {"inflow": (1.0, True)}, {"inflow": [1, 2**60 + 1, LoggedFloat(3.5)]},
    {"x": LoggedFloat(0.2)}, {"x": LoggedFloat(0.7)}, {"x": LoggedFloat(math.nan)}, {"x": 2**53 - 1},
    {"initial_outflow": LoggedFloat(-0.0)}, {"initial_outflow": 2**1023 * 3 // 2}, {"initial_outflow": -(2**62)},
    {"x": LoggedInt(0)}, {"initial_outflow": LoggedIndex(3)}, {"k": Delta(-1)}, {"time_step": Delta(0)},
    {"k": LoggedDelta(hours=2), "time_step": LoggedDelta(minutes=25, microseconds=3)},
])
def test_plain_arguments_route_as_the_general_path(routing, args, changes):
    args.update({"inflow": [0.5, 1e-300, -0.0, 7.25, 1e300, 3.0]} | changes)
    general = dict(args, inflow=Seq(list(args["inflow"])))
    assert outcome(routing, **args) == outcome(routing, **general)


# Whichever way a call goes, the Python code of its arguments runs alike: none for a float subclass,
# which is read by its stored value, or for a timedelta subclass, read by its fields; __float__ or
# __index__ once per conversion for any other number, in the same order.
@pytest.mark.parametrize("sub_reaches", [1, 3])
@pytest.mark.parametrize("changes, runs_python", [
    ({"inflow": [10.0, LoggedFloat(20.5), 30, LoggedFloat(-0.0), 10.0]}, False),
    ({"inflow": (10, LoggedInt(20), 30.0, LoggedInt(7))}, True), ({"inflow": [10.0, LoggedIndex(20), 3]}, True),
    ({"x": LoggedFloat(0.2)}, False), ({"x": LoggedInt(0)}, True), ({"x": LoggedIndex(0)}, True),
    ({"initial_outflow": LoggedFloat(3.5)}, False), ({"initial_outflow": LoggedInt(3)}, True),
    ({"initial_outflow": LoggedIndex(-3)}, True), ({"k": LoggedDelta(hours=2)}, False),
    ({"time_step": LoggedDelta(minutes=25), "x": LoggedFloat(0.5), "initial_outflow": LoggedFloat(1.0)}, False),
])
def test_python_code_of_the_arguments_runs_alike(routing, args, changes, runs_python, sub_reaches):
    args.update(changes, sub_reaches=sub_reaches)
    CALLS.clear()
    direct = outcome(routing, **args), list(CALLS)
    CALLS.clear()
    general = outcome(routing, **dict(args, inflow=Seq(list(args["inflow"])))), list(CALLS)
    assert direct == general
    assert bool(general[1]) == runs_python, general[1]


def test_first_call_routes_as_later_ones(run_python):
    # The first call of a process loads the datetime API, so it cannot take the shortcut.
    proc = run_python("import brooklet, datetime; h = datetime.timedelta(hours=1)\n"
                      "calls = [brooklet.reach.muskingum_routing([1.0, 5.0, 2.5] * 20, 2 * h, 0.2, h, n, 1.0)"
                      " for n in (3, 3, 1, 1)]\n"
                      "print(calls[0] == calls[1] and calls[2] == calls[3])")
    assert proc.stdout == "True\n", proc.stderr


def in_place_cases():
    # Short inflows of every source the call may read in place, on either side of the x that warns.
    return [(make(INTEGERS), x, Iterated) for make in IN_PLACE_SOURCES for x in (0.2, 0.7)]


def numpy_cases():
    np = pytest.importorskip("numpy")
    base = np.array([0, 1, 7, 100, 127, 3, 250])
    unaligned = np.zeros(57, "u1")[1:].view("f8")  # format '=d'
    unaligned[:] = base
    cases = [(inflow, 0.2, Iterated)
             for dtype in ["i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", ">f8", "?"]
             for inflow in (base.astype(dtype), base.astype(dtype)[::-2], memoryview(base.astype(dtype)),
                            unaligned if dtype == "f8" else memoryview(unaligned))]
    scalars = [base.astype("f8").tolist(), list(base.astype("f8")), list(base.astype("f4")), list(base),
               [*base.astype("f8")[:3], *base.astype("f4")[3:]]]  # float64 is a float subclass, the others not
    cases += [(inflow, 0.2, Iterated) for inflow in scalars]
    wide = np.array([2**64 - 1, 2**63 + 12345, 2**53 + 1], dtype="u8")  # rounded on conversion
    return cases + [(wide, 0.2, lambda inflow: Seq(list(inflow)))]


def streamed_cases():
    # 3000 values take several chunks of the sweep's stream (longer chunks through the nine blocks
    # of 600 passes than through fewer blocks). An item that is not an exact float
    # late in a list is met after chunks have been routed and made into floats: the call starts
    # again on the general path.
    values = [100.0 + 50.0 * math.sin(i / 40.0) for i in range(3000)]
    values[1234:1238] = [-0.0, math.inf, 5e-324, math.nan]
    inflows = [values, tuple(values), values[:2900] + [7] + values[2901:], [*values[:-1], True],
               array.array("d", values), memoryview(array.array("f", values))[::-3],
               [round(v) for v in values[:1234]], [LoggedFloat(v) for v in values]]
    try:
        import numpy as np
    except ImportError:  # the 32-bit target has no NumPy; the rest still counts there
        np = None
    if np is not None:
        finite = np.array(values[:1234] + values[1238:])
        inflows += [finite.astype(dtype) for dtype in ["f8", "f4", "i4", "u2", ">f8"]]
        inflows += [np.array(values)[::2], np.array(values)[::-7], list(np.array(values))]
    # An int beyond the doubles met after chunks have been made into floats: the general path's error.
    inflows.append([round(v) for v in values[:1234] * 2] + [2**1024])
    return [(inflow, 0.2, lambda inflow: Seq(list(inflow))) for inflow in inflows]


# Every source of an inflow that the call reads without the general path, against the same values
# read by iteration: short inflows of each in-place reader, NumPy arrays and their scalars, and long
# inflows that the sweep's stream takes a chunk at a time, at pass counts that the sweep routes
# with different block shapes.
@pytest.mark.parametrize("sub_reaches", [1, 2, 3, 17, 80, 150, 600])
@pytest.mark.parametrize("cases", [in_place_cases, numpy_cases, streamed_cases])
def test_sources_match_iteration(routing, cases, sub_reaches):
    for n, (inflow, x, general) in enumerate(cases()):
        assert outcome(route, routing, inflow, sub_reaches, x) == outcome(
            route, routing, general(inflow), sub_reaches, x), (n, type(inflow))


def test_numpy_array_of_two_dimensions_is_refused(routing):
    np = pytest.importorskip("numpy")
    message = pytest.raises(TypeError, route, routing, np.zeros((2, 2))).value
    assert str(message).startswith("argument 'inflow': ")


@pytest.mark.parametrize("int_items", [True, False])
def test_streamed_list_that_other_threads_change(tmp_path, int_items):
    # The changing list of test_threads, routed through three sub-reaches of no storage (each one
    # the identity), so that the list is read a chunk at a time, under its lock where the GIL is off.
    script = changing_list_script(int_items)
    script = script.replace("route_identity(shared, 0.0)", "brooklet.reach.muskingum_routing(shared, "
                            "datetime.timedelta(0), 0.0, datetime.timedelta(hours=1), 3, 0.0)")
    script = script.replace("from support import route_identity", "import brooklet, datetime")
    assert script.count("muskingum_routing(shared") == 1
    summary, (failures,) = run_without_gil(script, tmp_path)
    assert failures == "[]", summary


def test_list_changed_while_converting_is_read_like_iteration(routing):
    class Appends:
        def __float__(self):
            grown.append(9.0)
            return 5.0

    class Clears:
        def __float__(self):
            shrunk.clear()
            return 5.0

    grown = [1.0, Appends(), 3.0]
    assert route_identity(grown) == [1.0, 5.0, 3.0, 9.0]
    shrunk = [1.0, Clears(), 3.0, 4.0]
    assert route_identity(shrunk) == [1.0, 5.0]


special = st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -0.0, 1e300, -1e300,
                           5e-324, -5e-324, 2.5e-310, 2.2250738585072014e-308])  # subnormals too
flows = st.one_of(st.floats(-1e4, 1e4), special)


@st.composite
def hydrographs(draw):
    """A short hydrograph of drawn flows, or a long one (up to 3000 values) of random flows with
    the drawn ones strewn in."""
    drawn = draw(st.lists(flows, min_size=1, max_size=40))
    length = draw(st.one_of(st.just(len(drawn)), st.integers(len(drawn), 3000)))
    if length == len(drawn):
        return drawn
    rng = random.Random(draw(st.integers(0, 2**32)))
    values = [rng.uniform(0.0, 1000.0) for _ in range(length)]
    for value in drawn:
        values[rng.randrange(length)] = value
    return values


@settings(max_examples=60, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(inflow=hydrographs(), passes=st.one_of(st.integers(2, 40), st.integers(41, 300)),
       seconds_per_pass=st.sampled_from([0, 1, 600, 3600, 86400]), x=st.sampled_from([0.0, 0.2, 0.5, 0.7]),
       initial=flows)
@example(inflow=[-0.0] * 4, passes=2, seconds_per_pass=3600, x=0.2, initial=-0.0)  # signed zeros
@example(inflow=[-0.0] * 40, passes=37, seconds_per_pass=3600, x=0.2, initial=-0.0)
@example(inflow=[5e-324, -5e-324] * 20, passes=17, seconds_per_pass=600, x=0.0, initial=-5e-324)
def test_sweep_matches_passes_one_after_another(routing, bits, inflow, passes, seconds_per_pass, x, initial):
    # k = passes * m seconds gives exactly m seconds per sub-reach, and every pass starts from
    # the initial outflow, so single-pass calls chained by hand must agree bit for bit.
    per_pass = timedelta(seconds=seconds_per_pass)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        swept = routing(inflow, per_pass * passes, x, HOUR, passes, initial)
        chained = inflow
        for _ in range(passes):
            chained = routing(chained, per_pass, x, HOUR, 1, initial)
    assert bits(swept) == bits(chained)


@pytest.mark.parametrize("length", [1, 2, 5, 33, 3000])
def test_long_hydrograph_through_many_passes(routing, bits, length):
    # Pass counts 1 to 159 cover every remainder of a split into blocks of 72, 36, 16 or 8 passes,
    # one to three blocks of 72 and up to twenty of 8, and hydrographs shorter than a block takes
    # to fill.
    inflow = [100.0 + 50.0 * math.sin(i / 40.0) for i in range(length)]
    chained = inflow
    for passes in range(1, 160):
        chained = routing(chained, HOUR, 0.25, HOUR, 1, 80.0)
        assert bits(routing(inflow, passes * HOUR, 0.25, HOUR, passes, 80.0)) == bits(chained), passes


@pytest.mark.parametrize("name", ["array.array", "numpy.ndarray"])
def test_python_class_with_a_buffer_type_name_is_read_by_iteration(routing, name):
    # Its buffer says one thing and its items another: the items are what iteration gives.
    impostor = type(name, (Seq,), {"__buffer__": lambda self, flags: memoryview(array.array("d", [7.0] * 3))})
    assert route_identity(impostor([1, 2, 3])) == [1.0, 2.0, 3.0]
