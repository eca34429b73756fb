"""libFuzzer target (through Atheris) for the call binding: arbitrary positional and keyword call
shapes, with argument values drawn from a grammar of hostile objects, against the module built with
AddressSanitizer, UndefinedBehaviorSanitizer and coverage instrumentation (scripts/fuzz.sh).

Every call must end in a list of floats or exactly one raised exception (never SystemError, which
the interpreter raises for a null without an exception or a result with one pending). A call whose
arguments are plain values must give, bit for bit, what the pure-Python reference of the tests
gives. Every object the grammar made must be gone once the call is over (nothing leaked a
reference), and the sanitizers report any bad memory access or undefined behaviour.

    LD_PRELOAD=... python fuzz/call_target.py -max_total_time=60 build/fuzz/corpus-call fuzz/corpus/call
"""

import array
import gc
import math
import os
import struct
import sys
import warnings
from datetime import timedelta

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import brooklet  # noqa: E402 - the sanitized build, found through PYTHONPATH

from support.interpreter_calls import vectorcall  # noqa: E402 - calls as the interpreter makes them
from support.reference import reference  # noqa: E402 - the pure-Python model of the routing

try:
    import numpy
except ImportError:
    numpy = None

route = brooklet.reach.muskingum_routing
NAMES = ["inflow", "k", "x", "time_step", "sub_reaches", "initial_outflow"]
HOUR = timedelta(hours=1)

# ------------------------------------------------------------------------------ made objects

alive = [0]  # objects of the grammar's classes not yet freed


class Tracked:
    """Counts its live instances, so that a reference the call kept shows as a leak."""

    def __init__(self, *args, **kwargs):
        alive[0] += 1

    def __del__(self):
        alive[0] -= 1


def tracked(base):
    return type("Tracked" + base.__name__.capitalize(), (base,), {
        "__init__": lambda self, *args, **kwargs: alive.__setitem__(0, alive[0] + 1),
        "__del__": Tracked.__del__})


TFloat, TInt, TList, TTuple, TDelta = (tracked(base) for base in (float, int, list, tuple, timedelta))
SubTypeError = type("SubTypeError", (TypeError,), {})
SubBaseException = type("SubBaseException", (BaseException,), {})
ERRORS = [ValueError, TypeError, SubTypeError, OverflowError, ZeroDivisionError, MemoryError, IndexError,
          StopIteration, KeyboardInterrupt, SubBaseException, RecursionError]


def caused(error_class):
    error = error_class("hostile")
    error.__cause__ = KeyError("cause")
    return error


class Hostile(Tracked):
    """__float__ / __index__ / __len__ / iteration that give or raise what the input chose, and may
    change the list that holds the object while it is read."""

    def __init__(self, action, value=None, effect=None):
        super().__init__()
        self.action, self.value, self.effect, self.owner = action, value, effect, None

    def act(self):
        if self.effect is not None and self.owner is not None:
            self.effect(self.owner)
        if self.action == "raise":
            raise caused(self.value) if self.value is TypeError else self.value("hostile")
        return self.value


class FloatLike(Hostile):
    def __float__(self):
        return self.act()


class IndexLike(Hostile):
    def __index__(self):
        return self.act()


class BothLike(Hostile):
    def __float__(self):
        return self.act()

    def __index__(self):
        return 7


class HostileSeq(Hostile):
    """A sequence by __len__ and __getitem__, or by __iter__, each of which may lie or raise."""

    def __init__(self, items, length, iteration):
        super().__init__("give")
        self.items, self.length, self.iteration = items, length, iteration

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("len")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.iteration == "index raises" and i == len(self.items) // 2:
            raise ValueError("getitem")
        return self.items[i]

    def __iter__(self):
        if self.iteration == "not an iterator":
            return 5
        if isinstance(self.iteration, type):
            raise self.iteration("iter")
        if self.iteration == "items then raise":
            return self.items_then_raise()
        if self.iteration == "grows":
            return self.growing()
        return iter(self.items)

    def items_then_raise(self):
        yield from self.items
        raise LookupError("iteration")

    def growing(self):
        for item in self.items:
            self.items.append(item)  # a list changed while it is iterated stops at its new end
            if len(self.items) > 64:
                break
            yield item


EFFECTS = [None, lambda owner: owner.append(1.5), lambda owner: owner.clear(),
           lambda owner: owner.pop() if owner else None, lambda owner: owner.reverse(),
           lambda owner: owner.__setitem__(slice(None), [2.0] * 40), lambda owner: gc.collect()]

SPECIAL_FLOATS = [math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, -5e-324, 2.5e-310, 1e308,
                  -1.7976931348623157e308, 2.2250738585072014e-308, 1.0, 0.5, 100.0]
SPECIAL_INTS = [0, 1, -1, 2**53 + 1, 2**63 - 1, -2**63, 2**63, 2**64, 2**1100, -2**1100]


class Grammar:
    """Draws objects from the fuzzer's input."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.plain = True  # every argument is a value whose routing the reference knows

    def pick(self, options):
        return options[self.fdp.ConsumeIntInRange(0, len(options) - 1)]

    def number(self):
        kind = self.fdp.ConsumeIntInRange(0, 5)
        if kind == 0:
            return self.pick(SPECIAL_FLOATS)
        if kind == 1:
            return self.fdp.ConsumeRegularFloat()
        if kind == 2:
            return self.fdp.ConsumeIntInRange(-1000, 1000)
        if kind == 3:
            return struct.unpack("<d", self.fdp.ConsumeBytes(8).ljust(8, b"\0"))[0]
        if kind == 4:
            return self.pick([True, False])
        return self.fdp.ConsumeFloatInRange(0.0, 0.5)

    def scalar(self, effects=False):
        """A number or a would-be number."""
        kind = self.fdp.ConsumeIntInRange(0, 15)
        if kind < 9:
            return self.number()
        self.plain = False
        if kind == 9:
            return TFloat(self.number() if self.fdp.ConsumeBool() else self.pick(SPECIAL_FLOATS))
        if kind == 10:
            return TInt(self.pick(SPECIAL_INTS))
        if kind == 11:
            return self.pick(SPECIAL_INTS)
        if kind == 12:
            return self.pick([None, "1.5", b"1", [1.0], timedelta(1), object(), 1j])
        cls = self.pick([FloatLike, IndexLike, BothLike])
        action = self.pick(["give", "raise"])
        if action == "raise":
            value = self.pick(ERRORS)
        else:
            value = self.pick([0.25, TFloat(-0.0), 3, TInt(4), 2**70, "x", None, math.nan, True, 1.5])
        return cls(action, value, self.pick(EFFECTS) if effects else None)

    def values(self, most=40):
        return [self.number() for _ in range(self.fdp.ConsumeIntInRange(0, most))]

    def inflow(self):
        kind = self.fdp.ConsumeIntInRange(0, 13)
        if kind <= 2:  # a plain list or tuple, sometimes long
            values = self.values()
            if self.fdp.ConsumeBool():
                values = values * self.fdp.ConsumeIntInRange(1, 80)
            return tuple(values) if kind == 2 else values
        if kind in (3, 4):  # hostile items in a list, tuple or their subclasses, able to change the list
            self.plain = False
            items = [self.scalar(effects=True) for _ in range(self.fdp.ConsumeIntInRange(0, 12))]
            container = self.pick([list, tuple, TList, TTuple])(items)
            if isinstance(container, list):
                for item in items:
                    if isinstance(item, Hostile):
                        item.owner = container  # a cycle, which the collector frees
            return container
        if kind in (5, 6):
            return self.buffer()
        if kind == 7:
            self.plain = False
            items = [self.scalar() for _ in range(self.fdp.ConsumeIntInRange(0, 10))]
            length = self.pick([None, None, 0, 1, 100, -1, 2**100, sys.maxsize, sys.maxsize // 8 + 1,
                                "3", 2.5, ValueError, OverflowError, SubBaseException])
            iteration = self.pick(["items", "items", "not an iterator", "items then raise", "grows", "index raises",
                                   TypeError, ValueError, KeyboardInterrupt])
            return HostileSeq(items, length, iteration)
        if kind == 8:
            return self.numpy_array()
        self.plain = False
        return self.pick(["1,2", "", b"", bytearray(b"\x01\x02"), b"\xff" * 3, 5, None, {0: 1.0}, {1.0},
                          (v for v in [1.0]), range(self.fdp.ConsumeIntInRange(0, 50)), range(2**62),
                          [], (), memoryview(b""), array.array("d"), dict(), timedelta(0)])

    def buffer(self):
        """An array of a drawn type code, or a memoryview of one: sliced, cast, or of several dimensions."""
        code = self.pick(list("bBhHiIlLqQfd") + ["u", "w"])
        values = self.values(60)
        if code in "uw":
            made = array.array(code, "".join(chr(65 + abs(int(v)) % 26) if math.isfinite(v) else "z"
                                             for v in values))
            self.plain = False
        elif code in "fd":
            made = array.array(code, [float(v) for v in values])
        else:
            bits = array.array(code).itemsize * 8
            low, high = (0, 2**bits - 1) if code.isupper() else (-2**(bits - 1), 2**(bits - 1) - 1)
            made = array.array(code, [min(max(int(v), low), high) if math.isfinite(v) else 0 for v in values])
        view = self.fdp.ConsumeIntInRange(0, 5)
        if view == 0:
            return made
        if view == 1:
            return memoryview(made)
        if view == 2:
            step = self.pick([1, 2, 3, -1, -2, 7])
            return memoryview(made)[self.fdp.ConsumeIntInRange(0, 3)::step]
        if view == 3 and code not in "uw":
            self.plain = False
            raw = memoryview(made).cast("B")
            form = self.pick(list("bBcd?"))
            if not len(raw) or len(raw) % struct.calcsize(form) or self.fdp.ConsumeBool():
                return raw
            return raw.cast(form, shape=[1, len(raw) // struct.calcsize(form)])
        if view == 4:
            return bytearray(made.tobytes()) if self.fdp.ConsumeBool() else bytes(made.tobytes())
        return memoryview(made).toreadonly()

    def numpy_array(self):
        if numpy is None:
            return self.buffer()
        dtype = self.pick(["f8", ">f8", "<f4", ">f4", "f2", "i1", "u1", ">i2", "i4", ">u4", "i8", "u8", "?",
                           "c16", "O", "M8[s]", "V8", "U3"])
        values = self.values(60)
        try:
            with numpy.errstate(all="ignore"):
                made = numpy.array(values).astype(dtype)
        except (TypeError, ValueError, OverflowError):
            made = numpy.zeros(len(values), dtype=dtype)
        shape = self.fdp.ConsumeIntInRange(0, 4)
        if shape == 1:
            made = made[::self.pick([2, -1, -3])]
        elif shape == 2 and made.size % 2 == 0:
            made = made.reshape(2, -1)
        elif shape == 3:
            made = numpy.asarray(made[:1]).reshape(()) if made.size else made
        if dtype in ("c16", "O", "M8[s]", "V8", "U3") or shape in (2, 3):
            self.plain = False
        return made

    def delta(self):
        kind = self.fdp.ConsumeIntInRange(0, 7)
        if kind <= 3:
            return timedelta(seconds=self.fdp.ConsumeIntInRange(0, 10**6))
        if kind == 4:
            return timedelta(days=self.fdp.ConsumeIntInRange(-999999999, 999999999),
                             seconds=self.fdp.ConsumeIntInRange(0, 86399),
                             microseconds=self.fdp.ConsumeIntInRange(0, 999999))
        if kind == 5:
            return self.pick([timedelta.max, timedelta.min, timedelta(0), timedelta(microseconds=-1),
                              timedelta(microseconds=1), -HOUR])
        self.plain = False
        if kind == 6:
            return TDelta(seconds=self.fdp.ConsumeIntInRange(-10**6, 10**6))
        return self.pick([3600, 1.5, None, "1:00:00", HOUR.total_seconds(), object()])

    def sub_reaches(self):
        kind = self.fdp.ConsumeIntInRange(0, 5)
        if kind <= 2:
            return self.fdp.ConsumeIntInRange(-3, 12)
        if kind == 3:
            return self.fdp.ConsumeIntInRange(-3, 300)
        if kind == 4:
            self.plain = False
            return self.pick([True, 2**63, -2**63, 2**64, 2.0, "2", None, TInt(3), IndexLike("give", 2),
                              IndexLike("raise", OverflowError), IndexLike("give", 2**70)])
        value = self.scalar()
        if isinstance(value, int) and 300 < value < 2**63:  # a valid count this high routes for ages
            return type(value)(300)
        return value

    def call(self):
        """Positional arguments, then keyword ones in a drawn order, sometimes with names that
        repeat, name nothing, or are not valid UTF-8."""
        values = [self.inflow(), self.delta(), self.scalar(), self.delta(), self.sub_reaches(), self.scalar()]
        positional_count = self.pick([6, 6, 6, 6, 0, 1, 2, 3, 4, 5, 7, 8])
        positional = (values + [0.0, 1.0])[:positional_count]
        keywords = [(name, values[i]) for i, name in enumerate(NAMES) if i >= positional_count]
        if self.fdp.ConsumeBool():
            keywords.reverse()
        if self.fdp.ConsumeIntInRange(0, 3) == 0:
            self.plain = False
            extra = self.pick(NAMES + ["K", "Inflow", "k\x00", "\ud800", "\uff4b", "x ", ""])
            keywords.insert(self.fdp.ConsumeIntInRange(0, len(keywords)), (extra, self.scalar()))
        if self.fdp.ConsumeIntInRange(0, 5) == 0 and keywords:
            self.plain = False
            del keywords[self.fdp.ConsumeIntInRange(0, len(keywords) - 1)]
        return values, positional, keywords


# ------------------------------------------------------------------------------- the target

class Shown(Exception):
    """Raised by a replaced showwarning, so that the warning's display fails."""


def raising_showwarning(*args, **kwargs):
    raise Shown("showwarning")


def check_call(data):
    grammar = Grammar(data)
    filters = grammar.pick(["ignore", "error", "always", "raising display", "default"])
    values, positional, keywords = grammar.call()
    plain = grammar.plain
    with warnings.catch_warnings():
        if filters == "raising display":
            warnings.simplefilter("always")
            warnings.showwarning = raising_showwarning
        else:
            warnings.simplefilter(filters)
        try:
            result = vectorcall(positional, keywords)
        except SystemError as exc:
            raise AssertionError(f"the call broke the calling convention: {exc!r}") from exc
        except BaseException as exc:  # noqa: BLE001 - every other exception is an outcome
            result = exc
    if not isinstance(result, BaseException):
        assert type(result) is list and all(type(v) is float for v in result), type(result)
        if plain and len(values[0]) * max(values[4], 1) <= 20000:
            expected = reference(list(map(float, values[0])) if not isinstance(values[0], memoryview)
                                 else list(map(float, values[0].tolist())), *values[1:])
            assert [bits(v) for v in result] == [bits(v) for v in expected], "differs from the reference"
    del result, values, positional, keywords, grammar
    if alive[0]:
        gc.collect()
        assert alive[0] == 0, f"{alive[0]} objects of the call are still referenced"


def bits(value):
    return "nan" if math.isnan(value) else struct.pack("<d", value)


def main():
    sys.setrecursionlimit(200)  # instrumented frames are large
    atheris.Setup(sys.argv, check_call)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
