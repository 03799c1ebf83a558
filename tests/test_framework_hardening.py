"""Hostile and arbitrary values through every property kind, and the number
parser against a plain-Python reading of its grammar."""

import re
import struct
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from hostile import PROTOCOLS, Boom, Mutator, Raiser
from ruvo.core._event import EventDispatcher
from ruvo.core.properties import (
    CSS_LENGTH_UNITS,
    BooleanProperty,
    BoundedNumericProperty,
    ColorProperty,
    DictProperty,
    ListProperty,
    NumericProperty,
    ObjectProperty,
    OptionProperty,
    Property,
    StringProperty,
    VariableListProperty,
)


class Everything(EventDispatcher):
    plain = Property(0)
    number = NumericProperty(0, units="px")
    bounded = BoundedNumericProperty(0, min=-5, max=5)
    flag = BooleanProperty()
    items = ListProperty()
    box = VariableListProperty()
    text = StringProperty()
    data = DictProperty()
    obj = ObjectProperty()
    option = OptionProperty("a", options=["a", "b"])
    color = ColorProperty()


NAMES = list(Everything().properties())


def hostile_values(target):
    return [Raiser(p) for p in PROTOCOLS] + [Mutator(target, a) for a in ("clear", "grow", "collect")] + [
        [Raiser("eq")],
        (Raiser("bool"), Raiser("str")),
        ["1px", Raiser("eq")],
    ]


@pytest.mark.parametrize("name", NAMES)
def test_hostile_values_raise_or_store_never_crash(name):
    w = Everything()
    shared = []
    for value in hostile_values(shared):
        before = getattr(w, name)
        try:
            setattr(w, name, value)
        except (Boom, ValueError, TypeError):
            after = getattr(w, name)
            assert after is before or after == before
        else:
            getattr(w, name)
        shared.append(value)


@settings(max_examples=200, deadline=None)
@given(st.sampled_from(NAMES), st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=12),
                                        st.lists(st.integers(), max_size=5), st.tuples(st.floats(), st.text())))
def test_arbitrary_values(name, value):
    w = Everything()
    try:
        setattr(w, name, value)
    except ValueError:
        return
    getattr(w, name)


# ---------------------------------------------------------------------------
# The number grammar: [+-](digits[.digits]|.digits)[e[+-]digits], then a unit.

NUMBER = re.compile(r"[ \t\n\r\f\v]*([+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)(.*?)[ \t\n\r\f\v]*", re.S)


def reference_parse(text):
    m = NUMBER.fullmatch(text)
    if not m or (m.group(2) and m.group(2) not in CSS_LENGTH_UNITS + ("%",)):
        return None
    number = float(m.group(1))
    try:
        narrowed = struct.unpack("f", struct.pack("f", number))[0]
    except OverflowError:  # finite, but beyond 32 bits
        return None
    if narrowed in (float("inf"), float("-inf")):
        return None
    return narrowed, m.group(2) or None


pieces = st.sampled_from(list(CSS_LENGTH_UNITS) + ["%", "e", "E", ".", "+", "-", " ", "\t", "x", "1", "0", "9", "PX"])


@settings(max_examples=400, deadline=None)
@given(st.lists(st.one_of(pieces, st.integers(0, 10**6).map(str)), max_size=6).map("".join))
def test_parse_text_matches_grammar(text):
    w = Everything()
    expected = reference_parse(text)
    try:
        got = Everything.number.parse_text(w, text)
    except ValueError as e:
        assert expected is None, (text, e)
        return
    assert expected is not None and got == expected[0], text
    assert w.property_storage("number").units == expected[1]


class _Burn:
    pass


def _retag(burn):
    # After sys._clear_type_cache() the version tags start again: the same
    # steps give a class changed since its first use its old tag.
    sys._clear_type_cache()
    for _ in range(burn):
        getattr(_Burn, "missing", None)
        _Burn.x = 1


@pytest.mark.parametrize("first", range(3))
def test_override_added_after_type_cache_clear_is_used(first):
    for second in range(10):

        class P(Property):
            pass

        _retag(first)
        P(1)
        P.get_value = lambda self, obj: "override"
        _retag(second)
        getattr(P, "missing", None)
        W = type("W", (EventDispatcher,), {"a": P(2)})
        assert W().a == "override", second
