"""Placing positional and keyword arguments into the six parameters, and the matcher's messages."""

import pytest

from support import HOUR

NAMES = ["inflow", "k", "x", "time_step", "sub_reaches", "initial_outflow"]
POS = [[10.0, 20.0, 30.0, 20.0, 10.0], 2 * HOUR, 0.2, HOUR, 3, 10.0]
ALL = "'inflow', 'k', 'x', 'time_step', 'sub_reaches', and 'initial_outflow'"


@pytest.mark.parametrize("positional, keywords, message", [
    (POS + [0], {}, "takes 6 positional arguments but 7 were given"),
    # Too many positional arguments is found before any keyword is looked at.
    (POS + [0], {"K": 1}, "takes 6 positional arguments but 7 were given"),
    (POS + [0], {"x": 1}, "takes 6 positional arguments but 7 were given"),
    (POS, {"x": 0.3}, "got multiple values for argument 'x'"),
    (POS[:1], {"inflow": [1.0]}, "got multiple values for argument 'inflow'"),
    # Keywords are examined in call order and the first problem wins.
    (POS, {"K": 1, "x": 0.3}, "got an unexpected keyword argument 'K'"),
    (POS, {"x": 0.3, "K": 1}, "got multiple values for argument 'x'"),
    # An unknown keyword is reported in preference to missing arguments; names are case-sensitive.
    ([], {"K": 1}, "got an unexpected keyword argument 'K'"),
    (POS[:2], {"X": 0.2}, "got an unexpected keyword argument 'X'"),
    ([], {"\u00e9": 1}, "got an unexpected keyword argument '\u00e9'"),
    # A name that is not valid UTF-8 is shown with each bad byte replaced.
    ([], {"\ud800": 1}, "got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ([], {}, "missing 6 required positional arguments: " + ALL),
    (POS[:1], {}, "missing 5 required positional arguments: 'k', 'x', 'time_step', 'sub_reaches', "
                  "and 'initial_outflow'"),
    (POS[:3], {}, "missing 3 required positional arguments: 'time_step', 'sub_reaches', "
                  "and 'initial_outflow'"),
    (POS[:4], {}, "missing 2 required positional arguments: 'sub_reaches' and 'initial_outflow'"),
    (POS[:5], {}, "missing 1 required positional argument: 'initial_outflow'"),
    ([], {"k": HOUR, "time_step": HOUR}, "missing 4 required positional arguments: 'inflow', 'x', "
                                   "'sub_reaches', and 'initial_outflow'"),
    (POS[:4], {"initial_outflow": 1.0}, "missing 1 required positional argument: 'sub_reaches'"),
    ([], {"inflow": [1.0], "time_step": HOUR, "initial_outflow": 1.0},
     "missing 3 required positional arguments: 'k', 'x', and 'sub_reaches'"),
    # Matching comes before any conversion, so bad values do not matter yet.
    (["abc", 3600, "x"], {}, "missing 3 required positional arguments: 'time_step', 'sub_reaches', "
                             "and 'initial_outflow'"),
    (["abc"] + POS[1:] + [None], {}, "takes 6 positional arguments but 7 were given"),
])
def test_matcher_messages(routing, positional, keywords, message):
    with pytest.raises(TypeError) as info:
        routing(*positional, **keywords)
    assert type(info.value) is TypeError
    assert str(info.value) == "muskingum_routing() " + message
    assert info.value.__cause__ is None


@pytest.mark.parametrize("n_positional", range(7))
def test_keywords_in_any_order_match_positional(routing, n_positional):
    expected = routing(*POS)
    rest = list(zip(NAMES, POS))[n_positional:]
    for order in (rest, rest[::-1], rest[1::2] + rest[::2]):
        assert routing(*POS[:n_positional], **dict(order)) == expected
