"""The pure-Python model of the routing: every operation rounded once to double, independently of
how the host evaluates Python floats (a plain a * b may be rounded twice on an x87 FPU)."""

import math
from fractions import Fraction

NAN, INF = math.nan, math.inf


def rounded(a, b, c):
    """a * b + c rounded once: a product with c = -0.0 (which keeps a zero's sign), a sum with b = 1.0."""
    try:
        return math.fma(a, b, c)
    except OverflowError:  # finite operands, infinite result: the same infinity either way
        return a * b + c
    except ValueError:  # inf - inf or 0 * inf
        return NAN


def mul(a, b):
    return rounded(a, b, -0.0)


def add(a, b):
    return rounded(a, 1.0, b)


def sub(a, b):
    return rounded(a, 1.0, -b)


def div(a, b):
    if math.isnan(a) or math.isnan(b) or (math.isinf(a) and math.isinf(b)) or a == b == 0:
        return NAN
    sign = math.copysign(1.0, a) * math.copysign(1.0, b)
    if math.isinf(a) or b == 0:
        return math.copysign(INF, sign)
    if math.isinf(b) or a == 0:
        return math.copysign(0.0, sign)
    try:
        # Integers wider than 53 bits take CPython's exactly rounded division; float(Fraction)
        # divides small ones as doubles, which an x87 FPU may round twice.
        n, d = (Fraction(a) / Fraction(b)).as_integer_ratio()
        quotient = (n << 64) / (d << 64)
    except OverflowError:
        quotient = INF
    return math.copysign(abs(quotient), sign)


def seconds(span):
    # Whole seconds plus nanoseconds / 1e9, the nanoseconds being microseconds * 1000.
    return add(float(span.days * 86400 + span.seconds), div(float(span.microseconds * 1000), 1e9))


def one_pass(inflow, dt, k, x, initial=None):
    out = [inflow[0] if initial is None else initial]
    t = add(k, k)
    a = mul(sub(1.0, x), t)
    b = mul(t, x)
    d = add(a, dt)
    c0, c1, c2 = div(sub(dt, b), d), div(add(b, dt), d), div(sub(a, dt), d)
    for i in range(1, len(inflow)):
        out.append(add(mul(c2, out[-1]), add(mul(c1, inflow[i - 1]), mul(c0, inflow[i]))))
    return out


def reference(inflow, k, x, time_step, sub_reaches, initial_outflow):
    dt, k_part = seconds(time_step), div(seconds(k), float(sub_reaches))
    out = one_pass([float(v) for v in inflow], dt, k_part, x, initial_outflow)
    for _ in range(1, sub_reaches):
        out = one_pass(out, dt, k_part, x)
    return out
