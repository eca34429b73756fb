"""Hostile calls: random call shapes against a model of the argument matcher, and random argument
objects against a model of the conversions and the routing, down to the last bit."""

import array
import gc
import operator
import sys
import warnings
from datetime import timedelta

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import brooklet
from support import HOUR, PANIC, Seq
from support.interpreter_calls import raw_vectorcall, vectorcall
from support.reference import reference

route = brooklet.reach.muskingum_routing
NAMES = ["inflow", "k", "x", "time_step", "sub_reaches", "initial_outflow"]
VALID = [[10.0, 20.0, 30.0, 20.0], 2 * HOUR, 0.2, HOUR, 2, 10.0]
ROUTED = route(*VALID)

# ------------------------------------------------------------------------------- call shapes


def shown(name):
    """A keyword name as messages show it: each lone surrogate, not valid UTF-8, as three U+FFFD."""
    return "".join("\ufffd" * 3 if 0xD800 <= ord(c) <= 0xDFFF else c for c in name)


def matcher_message(n_positional, keywords):
    """The matcher's TypeError message for a call shape, or None when every parameter gets one value."""
    f = "muskingum_routing()"
    if n_positional > 6:
        return f"{f} takes 6 positional arguments but {n_positional} were given"
    filled = set(range(n_positional))
    for name in keywords:
        if name not in NAMES:
            return f"{f} got an unexpected keyword argument '{shown(name)}'"
        if NAMES.index(name) in filled:
            return f"{f} got multiple values for argument '{name}'"
        filled.add(NAMES.index(name))
    missing = [f"'{name}'" for i, name in enumerate(NAMES) if i not in filled]
    if not missing:
        return None
    listed = missing[0] if len(missing) == 1 else (
        (", " if len(missing) > 2 else " ").join(missing[:-1]) + ("," if len(missing) > 2 else "")
        + " and " + missing[-1])
    return (f"{f} missing {len(missing)} required positional argument{'s' * (len(missing) > 1)}: "
            + listed)


keyword_names = st.one_of(
    st.sampled_from(NAMES), st.sampled_from(["K", "Inflow", "time-step", "k\x00", "\uff4b", "x "]),
    st.text(st.characters(categories=["Cs", "Ll", "Lo"]), max_size=3))


@settings(max_examples=400, deadline=None, database=None)
@given(n_positional=st.integers(0, 8), data=st.data())
def test_call_shapes_match_the_model(n_positional, data):
    # The parameters left after the positional ones, by keyword in any order, often all of them,
    # then up to three more keywords (repeated, unknown, not UTF-8) anywhere among them.
    keywords = data.draw(st.permutations(NAMES[n_positional:]))
    keywords = keywords[:data.draw(st.just(len(keywords)) | st.integers(0, len(keywords)))]
    for name in data.draw(st.lists(keyword_names, max_size=3)):
        keywords.insert(data.draw(st.integers(0, len(keywords))), name)
    positional = (VALID + [0.0, 0.0])[:n_positional]
    pairs = [(name, VALID[NAMES.index(name)] if name in NAMES else object()) for name in keywords]
    expected = matcher_message(n_positional, keywords)
    tracked = [*keywords, *positional, *(value for _, value in pairs)]
    gc.disable()  # a collection inside the counted window could free garbage that holds tracked objects
    try:
        before = [sys.getrefcount(obj) for obj in tracked]
        try:
            result = vectorcall(positional, pairs)
        except TypeError as exc:
            assert type(exc) is TypeError and exc.__cause__ is None
            assert str(exc) == expected
        else:
            assert expected is None and result == ROUTED
        after = [sys.getrefcount(obj) for obj in tracked]
    finally:
        gc.enable()
    assert after == before


@pytest.mark.parametrize("nargs, kwnames, message", [
    (0, ("x",), "keyword names given without an argument vector"),
    (6, None, "arguments counted without an argument vector"),
])
def test_arguments_without_an_argument_vector_fail_cleanly(nargs, kwnames, message):
    # Only a C caller breaking the calling convention can do this; it must not read through null.
    with pytest.raises(BaseException) as info:
        raw_vectorcall(route, None, nargs, 0 if kwnames is None else id(kwnames))
    assert type(info.value) is PANIC and str(info.value) == message
    assert route(*VALID) == ROUTED

# --------------------------------------------------------------------------- argument objects


# Subclasses of accepted and refused types; SubBaseException passes every `except Exception`.
SubBaseException, SubTypeError, Float, Int, Text, List, Tuple, Span = (
    type("Sub" + base.__name__, (base,), {})
    for base in (BaseException, TypeError, float, int, str, list, tuple, timedelta))
CAUSE = KeyError("the cause")


def counted(obj):
    """Whether references to `obj` are counted: an immortal object's count never changes."""
    count = sys.getrefcount(obj)
    extra = [obj]  # noqa: F841 - held while counting again
    return sys.getrefcount(obj) != count


def caused_type_error():
    error = TypeError("T")
    error.__cause__ = CAUSE
    return error


ERRORS = [ValueError, TypeError, SubTypeError, ZeroDivisionError, SubBaseException, PANIC, caused_type_error]


def outcome(result, owner=None, effect=None):
    """Runs `effect` on the list `owner`, then returns `result`, or raises what it makes."""
    if effect is not None and isinstance(owner, list):
        effect(owner)
    if result in ERRORS:
        raise result()
    return result


def hostile(method, result, effect=None):
    """An object whose `method` (__float__ or __index__) gives `outcome(result, ...)`."""
    body = lambda self: outcome(result, self.owner, effect)  # noqa: E731
    return type("Hostile", (), {method: body, "owner": None})()


class HostileSeq(Seq):
    """A sequence whose __len__ and __iter__ give the chosen outcomes."""

    def __init__(self, items, length, iteration):
        super().__init__(items, length)
        self.iteration = iteration

    def __len__(self):
        return outcome(len(self.items) if self.length is None else self.length)

    def __iter__(self):
        if self.iteration in ("items", "not an iterator"):
            return iter(self.items) if self.iteration == "items" else 5
        if isinstance(self.iteration, tuple):
            return outcome(self.iteration[0])
        return self.items_then(self.iteration)

    def items_then(self, error):
        yield from self.items
        outcome(error)


def const(value):
    return lambda: value


def either(good, bad, odds=4):
    """Mostly makers from `good`, one in `odds` from `bad`."""
    return st.sampled_from(range(odds)).flatmap(lambda i: bad if i == odds - 1 else good)


RESULTS = st.sampled_from([0.25, Float(0.5), 3, Int(4), 2**70, "x", *ERRORS])
EFFECTS = st.sampled_from([None, None, lambda owner: owner.append(1.0), lambda owner: owner.clear()])


def scalars(floats, integers, effects=st.just(None), odds=4):
    """Makers of numbers and would-be numbers; each call of a maker makes fresh objects."""
    return either(
        st.one_of(st.one_of(floats, integers, st.just(True)).map(const),
                  floats.map(lambda v: lambda: Float(v)), integers.map(lambda v: lambda: Int(v)),
                  st.builds(lambda method, e: lambda: hostile(*method, e),
                            st.sampled_from([("__float__", 0.25), ("__index__", 3)]), effects)),
        st.one_of(st.sampled_from([2**1100, "1.5", None]).map(const),
                  st.builds(lambda m, r: lambda: hostile(m, r), st.sampled_from(["__float__", "__index__"]),
                            RESULTS)),
        odds)


def contained(kind, makers):
    items = [make() for make in makers]
    container = kind(items)
    for item in items:
        if hasattr(type(item), "owner"):
            item.owner = container
    return container


items = st.lists(scalars(st.floats(), st.integers(-10**6, 10**6), EFFECTS, odds=15), max_size=6)
inflows = either(
    st.one_of(st.builds(lambda kind, makers: lambda: contained(kind, makers),
                        st.sampled_from([list, tuple, List, Tuple]), items),
              items.map(lambda makers: lambda: HostileSeq([make() for make in makers], None, "items")),
              st.lists(st.floats(), max_size=6).map(lambda v: lambda: array.array("d", v))),
    st.one_of(st.builds(lambda makers, length, iteration: lambda: HostileSeq([make() for make in makers], length,
                                                                      iteration),
                        items, st.sampled_from([0, 1, 100, -1, 2**100, sys.maxsize, "3", *ERRORS]),
                        st.one_of(st.sampled_from(["items", "not an iterator", *ERRORS]),
                                  st.sampled_from(ERRORS).map(lambda error: (error,)))),
              st.sampled_from(["1,2", Text("12"), 5, {0: 1.0}, {1.0}, None]).map(const)))
deltas = either(
    st.one_of(st.builds(timedelta, days=st.integers(0, 3), seconds=st.integers(0, 86399),
                        microseconds=st.integers(0, 999999)).map(const),
              st.integers(0, 10**6).map(lambda s: lambda: Span(seconds=s))),
    st.one_of(st.integers(-10**6, -1).map(lambda s: lambda: Span(microseconds=s)),
              st.sampled_from([-HOUR, 3600, None, "1:00:00", 1.5]).map(const)))


def as_double(value):
    if isinstance(value, float):
        return float.__float__(value)
    if hasattr(type(value), "__float__"):
        result = type(value).__float__(value)
        if not isinstance(result, float):
            raise TypeError("__float__ returned non-float")
        if type(result) is not float:
            warnings.warn("__float__ returned a float subclass", DeprecationWarning)
        return float.__float__(result)
    return float(operator.index(value))


def as_i64(value):
    value = operator.index(value)
    if not -2**63 <= value < 2**63:
        raise OverflowError
    return value


def as_delta(value):
    if not issubclass(type(value), timedelta):
        raise TypeError
    return value


def as_hydrograph(value):
    if issubclass(type(value), str) or isinstance(value, dict) or not hasattr(type(value), "__getitem__"):
        raise TypeError
    try:
        size_hint = len(value)
    except PANIC:
        raise
    except BaseException:  # noqa: BLE001 - the size is only a hint
        size_hint = 0
    if size_hint > sys.maxsize // 8:
        raise PANIC("capacity overflow")
    return [as_double(item) for item in value]


def model(inflow, k, x, time_step, sub_reaches, initial_outflow):
    """What the call gives: (result, None), or (exception class, argument whose conversion failed)."""
    converted = []
    for name, convert, value in zip(NAMES, [as_hydrograph, as_delta, as_double, as_delta, as_i64, as_double],
                                    [inflow, k, x, time_step, sub_reaches, initial_outflow]):
        try:
            converted.append(convert(value))
        except BaseException as exc:  # noqa: BLE001
            return type(exc), name
    try:
        if not 0.0 <= converted[2] <= 0.5:
            warnings.warn("`x` is outside the recommended range [0.0, 0.5].")
        if converted[1].days < 0 or converted[3].days < 0:
            raise ValueError
        if not converted[0]:
            raise PANIC
        return reference(*converted), None
    except BaseException as exc:  # noqa: BLE001
        return type(exc), None


@settings(max_examples=500, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(makers=st.tuples(inflows, deltas, scalars(st.floats(0.0, 0.5) | st.floats(), st.integers(0, 1)), deltas,
                        scalars(st.nothing(), st.integers(-3, 5)), scalars(st.floats(), st.integers())),
       strict=st.booleans())
def test_hostile_arguments_match_the_model(bits, makers, strict):
    with warnings.catch_warnings():
        warnings.simplefilter("error" if strict else "ignore")
        expected, failed = model(*[make() for make in makers])
        args = [make() for make in makers]
        items = list(args[0]) if isinstance(args[0], (list, tuple)) else []
        tracked = [*args, CAUSE, *items]
        gc.disable()  # no collection inside the counted window
        try:
            before = [sys.getrefcount(obj) for obj in tracked]
            try:
                result = route(*args)
            except BaseException as exc:  # noqa: BLE001
                assert type(exc) is expected, (exc, failed)
                assert type(exc) is not TypeError or str(exc).startswith(f"argument '{failed}': ")
            else:
                assert failed is None and bits(result) == bits(expected)
            after = [sys.getrefcount(obj) for obj in tracked]
        finally:
            gc.enable()
    # A conversion that cleared or grew the inflow list changed the counts of what the list held:
    # of its items, and of any argument that is one of them too (a shared constant, say).
    if isinstance(args[0], list):
        held = lambda container, obj: sum(item is obj for item in container)  # noqa: E731
        after = [count + (held(items, obj) - held(args[0], obj)) * counted(obj)
                 for count, obj in zip(after, tracked)]
    assert after == before
    assert route(*VALID) == ROUTED
