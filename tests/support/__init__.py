"""Helpers that the tests share: the duration unit, the module's internal-failure class, calls that
show what was read, argument types that force the general path, and outcomes comparable bit for
bit. The reference model of the routing is in support.reference."""

import ctypes
import math
import struct
import sys
import warnings
from datetime import timedelta

import brooklet

HOUR = timedelta(hours=1)


def _panic_class():
    try:
        brooklet.reach.muskingum_routing([], HOUR, 0.2, HOUR, 1, 0.0)
    except BaseException as exc:  # noqa: BLE001 - the internal-failure class derives from BaseException
        return type(exc)
    raise AssertionError("an empty inflow was routed")


# The class of the module's internal-failure exception, obtained from an empty inflow: Python code
# can reach it only as the type of a caught exception.
PANIC = _panic_class()


def route_identity(inflow, initial_outflow=1.0):
    """Routes with k = 0 and x = 0, whose coefficients are 1, 1 and -1, so that every step gives
    O[t] = I[t-1] + I[t] - O[t-1]: started from its first value, small integral inflows come back
    exactly as they went in, which shows what the call read."""
    return brooklet.reach.muskingum_routing(inflow, timedelta(0), 0.0, HOUR, 1, initial_outflow)


class Seq:
    """A sequence by the sequence protocol alone, so that it is read by iteration, never in place:
    `items` by index (a callable instead raises what it makes at every index), and a `__len__`
    that gives `length` when one is given (a length that may lie), raises it when it is an
    exception, and is len(items) otherwise."""

    def __init__(self, items, length=None):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if callable(self.items):
            raise self.items()
        return self.items[i]


class Iterated:
    """Hands out the length and the iterator of `inflow` itself, as a type that the call can only
    iterate: a call given it reads `inflow` the general way, item by item."""

    def __init__(self, inflow):
        self.inflow = inflow

    def __len__(self):
        return len(self.inflow)

    def __getitem__(self, i):
        return self.inflow[i]

    def __iter__(self):
        return iter(self.inflow)


def outcome(call, *args, **kwargs):
    """What a call gives, comparable bit for bit: the result's bits or the exception's type and
    arguments, with the warnings it issued."""
    with warnings.catch_warnings(record=True) as issued:
        warnings.simplefilter("always")
        try:
            result = ("result", [bit_key(v) for v in call(*args, **kwargs)])
        except BaseException as exc:  # noqa: BLE001 - the internal-failure class derives from BaseException
            result = (type(exc), exc.args)
    return result, [(w.category, str(w.message)) for w in issued]


def claimed_bytes(fmt="B"):
    """A memoryview claiming one more one-byte item than a hydrograph may hold in doubles, in the
    format `fmt`; it owns no memory, and reading it would crash."""
    items = sys.maxsize // 8 + 1
    view = memoryview((ctypes.c_ubyte * items).from_address(ctypes.addressof(_ONE_BYTE)))
    return view.cast(fmt) if fmt != view.format else view


_ONE_BYTE = ctypes.c_ubyte()


def bit_key(value):
    # NaN payloads are not part of the contract; every other value is compared bit for bit,
    # so 0.0 and -0.0 differ.
    assert type(value) is float
    return "nan" if math.isnan(value) else struct.pack("<d", value)
