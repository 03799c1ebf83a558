"""_VariableListAttribute through real widgets of the property framework."""

import ctypes
import gc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from gcprobe import Canary
from native_probe import PROPERTY_OPS, collector_clear, frames, table

from ruvo.core import _attributes
from ruvo.core._attributes import _VariableListAttribute
from ruvo.core._event import EventDispatcher
from ruvo.core.properties import Property, VariableListProperty

CONVERT = "ruvo.core._attributes._VariableListAttribute.convert"
CONVERT_NUMERIC = "ruvo.core._attributes._VariableListAttribute._convert_numeric"


class Box(EventDispatcher):
    margin = _VariableListAttribute(attrtype="style", options=["inherit"])
    gap = _VariableListAttribute([1, 2], length=2, attrtype="style")
    padding = _VariableListAttribute("5px")


class StrSub(str):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class IntSub(int):
    pass




# ---------------------------------------------------------------------------
# Construction


def test_fields_and_defaults():
    v = _VariableListAttribute()
    assert (v.attrtype, v.sync, v.options, v.length, v.defaultvalue) == ("", 0, [], 4, [0, 0, 0, 0])
    given = ("inherit", "auto")
    v = _VariableListAttribute(attrtype=None, attrname="m", sync=True, options=iter(given), length=2)
    assert (v.attrtype, v.sync, v.options, v.length, v.attrname) == (None, 1, ["inherit", "auto"], 2, "m")
    listed = ["inherit"]
    v = _VariableListAttribute(options=listed)
    assert v.options == listed and v.options is not listed and v.options is v.options
    b = Box()
    assert (b.margin, b.gap, b.padding) == ([0, 0, 0, 0], [1, 2], ["5px"] * 4)
    assert Box.margin.attrname == "margin"
    assert _VariableListAttribute.__doc__.startswith("A ListAttribute that allows you to work with a variable number of")
    assert issubclass(_VariableListAttribute, VariableListProperty)
    for name in ("attrtype", "sync", "options", "attrname"):
        with pytest.raises(AttributeError):
            setattr(v, name, "x")


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"attrtype": 5}, TypeError, "Expected str, got int"),
        ({"attrtype": StrSub("x")}, TypeError, "Expected str, got StrSub"),
        ({"attrname": b"x", "sync": "x"}, TypeError, "Expected str, got bytes"),
        ({"sync": "1"}, TypeError, "an integer is required"),
        ({"options": 3}, TypeError, "'int' object is not iterable"),
        ({"length": 3}, ValueError, "VariableListProperty length must be 2 or 4 (got 3)"),
    ],
)
def test_construction_errors(kwargs, exc, message, no_leak):
    with pytest.raises(exc) as info:
        _VariableListAttribute(**kwargs)
    assert str(info.value) == message
    no_leak(lambda: _VariableListAttribute(**kwargs), raises=exc)


class Recorder(VariableListProperty):
    calls = []

    def __init__(self, *args, **kwargs):
        Recorder.calls.append((args, kwargs))
        super().__init__(*args, **kwargs)


class Probe(_VariableListAttribute, Recorder):
    pass


def test_base_init_gets_every_argument():
    Recorder.calls.clear()
    given = {"attrtype": "style", "attrname": "x", "sync": 1, "options": ["a"], "allownone": False}
    Probe([1, 2], 2, **given)
    assert Recorder.calls == [(([1, 2], 2), {**given, "allownone": True})]
    assert given["allownone"] is False


# ---------------------------------------------------------------------------
# Conversion


@pytest.mark.parametrize(
    "prop, value, stored, text",
    [
        ("margin", 10, [10, 10, 10, 10], "10 10 10 10"),
        ("margin", 2.5, [2.5] * 4, "2.5 2.5 2.5 2.5"),
        ("margin", "5px", ["5px"] * 4, "5px 5px 5px 5px"),
        ("margin", "10px 20px", ["10px", "20px", "10px", "20px"], "10px 20px 10px 20px"),
        ("margin", " 1em\t2% 3pt\n4px ", ["1em", "2%", "3pt", "4px"], "1em 2% 3pt 4px"),
        ("margin", [1, "2px"], [1, "2px", 1, "2px"], "1 2px 1 2px"),
        ("margin", (1,), [1, 1, 1, 1], "1 1 1 1"),
        ("margin", [1, 2, 3, 4], [1, 2, 3, 4], "1 2 3 4"),
        ("margin", ListSub([7]), [7] * 4, "7 7 7 7"),
        ("margin", TupleSub((1, 2)), [1, 2, 1, 2], "1 2 1 2"),
        ("margin", "50%", ["50%"] * 4, "50% 50% 50% 50%"),
        ("margin", " 10px", [" 10px"] * 4, " 10px  10px  10px  10px"),
        ("margin", StrSub("3rem"), ["3rem"] * 4, "3rem 3rem 3rem 3rem"),
        ("margin", "inherit", "inherit", "inherit"),
        ("margin", None, None, ""),
        ("gap", 7, [7, 7], "7 7"),
        ("gap", [1, 2], [1, 2], "1 2"),
        ("gap", "3px 4px", ["3px", "4px"], "3px 4px"),
    ],
)
def test_conversion_and_rendering(prop, value, stored, text, no_leak):
    b = Box()
    setattr(b, prop, value)
    assert getattr(b, prop) == stored
    assert getattr(Box, prop).attrvalue(b) == text
    no_leak(lambda: setattr(b, prop, value))
    no_leak(lambda: getattr(Box, prop).attrvalue(b))


def test_expansion_shares_item_objects():
    b = Box()
    b.margin = ["1px", "2px"]
    m = b.margin
    assert m[0] is m[2] and m[1] is m[3]
    v = 10**20
    b.margin = v
    assert all(item is v for item in b.margin)


@pytest.mark.parametrize(
    "prop, value, message",
    [
        ("margin", [1, 2, 3], "Box.margin must have 1, 2 or 4 components (got [1, 2, 3])"),
        ("margin", [], "Box.margin must have 1, 2 or 4 components (got [])"),
        ("margin", (1, 2, 3, 4, 5), "Box.margin must have 1, 2 or 4 components (got (1, 2, 3, 4, 5))"),
        ("margin", "1px 2px 3px", "Box.margin must have 1, 2 or 4 components (got ['1px', '2px', '3px'])"),
        ("gap", [1, 2, 3, 4], "Box.gap must have 1 or 2 components (got [1, 2, 3, 4])"),
        ("gap", [1, 2, 3], "Box.gap must have 1 or 2 components (got [1, 2, 3])"),
        ("margin", True, "Box.margin has an invalid format (got True)"),
        ("margin", {}, "Box.margin has an invalid format (got {})"),
        ("margin", {1}, "Box.margin has an invalid format (got {1})"),
        ("margin", IntSub(3), "Box.margin has an invalid format (got 3)"),
        ("margin", [1, True], "Box.margin has an invalid format (got True)"),
        ("margin", [[1]], "Box.margin has an invalid format (got [1])"),
        # a text without a unit is refused rather than stored as None
        ("margin", "10", "Box.margin has an invalid format (got '10')"),
        ("margin", "10px ", "Box.margin has an invalid format (got '10px ')"),
        ("margin", "auto", "Box.margin has an invalid format (got 'auto')"),
        ("margin", "", "Box.margin has an invalid format (got '')"),
        ("margin", "10px 20", "Box.margin has an invalid format (got '20')"),
        ("margin", ["1px", "x", "y"], "Box.margin must have 1, 2 or 4 components (got ['1px', 'x', 'y'])"),
        ("gap", ["1px", "2"], "Box.gap has an invalid format (got '2')"),
    ],
)
def test_conversion_errors(prop, value, message, no_leak):
    b = Box()
    before = getattr(b, prop)
    with pytest.raises(ValueError) as info:
        setattr(b, prop, value)
    assert str(info.value) == message
    assert getattr(b, prop) == before
    assert CONVERT in frames(info)
    no_leak(lambda: setattr(b, prop, value), raises=ValueError)


def test_unlisted_option_text_is_refused_and_subclass_name_used():
    class Panel(Box):
        pass

    with pytest.raises(ValueError, match=r"^Panel\.padding has an invalid format \(got 'inherit'\)$") as info:
        Panel().padding = "inherit"
    assert frames(info)[-1] == CONVERT_NUMERIC


def test_units_global_is_looked_up_at_every_call(monkeypatch, no_leak):
    b = Box()
    monkeypatch.setattr(_attributes, "CSS_LENGTH_UNITS", ("zz",))
    b.margin = "3zz"
    assert b.margin == ["3zz"] * 4
    with pytest.raises(ValueError, match="got '3px'"):
        b.margin = "3px"
    monkeypatch.setattr(_attributes, "CSS_LENGTH_UNITS", ["px", 5])  # any container, searched with ==
    b.margin = "1px"
    monkeypatch.delattr(_attributes, "CSS_LENGTH_UNITS")
    with pytest.raises(NameError, match=r"^name 'CSS_LENGTH_UNITS' is not defined$"):
        b.margin = "2px"
    b.margin = 4  # numbers do not need it
    monkeypatch.setattr("builtins.CSS_LENGTH_UNITS", ("qq",), raising=False)
    b.margin = "1qq"
    assert b.margin == ["1qq"] * 4
    no_leak(lambda: setattr(b, "margin", "2px"), raises=ValueError)


def test_option_test_uses_equality_and_may_fail():
    class Odd:
        def __eq__(self, other):
            raise LookupError("eq")

    class Holder(EventDispatcher):
        m = _VariableListAttribute(options=[Odd()])

    with pytest.raises(LookupError):
        Holder()  # the default goes through convert too


class BadLen(list):
    def __len__(self):
        raise LookupError("len")


class BadItem(tuple):
    def __getitem__(self, i):
        raise LookupError("item")


@pytest.mark.parametrize("value", [BadLen([1]), BadItem((1, 2))])
def test_sequence_protocol_errors_propagate(value, no_leak):
    b = Box()
    with pytest.raises(LookupError):
        b.margin = value
    no_leak(lambda: setattr(b, "margin", value), raises=LookupError)


def test_assignment_notifies_only_on_change():
    seen = []
    b = Box()
    b.bind(margin=lambda obj, value: seen.append(value))
    b.margin = "1px"
    b.margin = ["1px"]
    b.margin = "1px 2px"
    assert seen == [["1px"] * 4, ["1px", "2px", "1px", "2px"]]


# ---------------------------------------------------------------------------
# attrvalue


def test_rendering_of_option_values():
    class Named:
        def __str__(self):
            return "named"

    mixed = [None, StrSub("s"), Named(), 1]  # lists stored must have `length` items

    class Odd(EventDispatcher):
        a = _VariableListAttribute(options=[(1, None), 5, StrSub("x"), mixed, [256, -3, 256, 2.5]])

    o = Odd()
    o.a = (1, None)
    assert Odd.a.attrvalue(o) == "1 None"
    o.a = mixed
    assert Odd.a.attrvalue(o) == "None s named 1"
    o.a = [256, -3, 256, 2.5]
    assert Odd.a.attrvalue(o) == "256 -3 256 2.5"
    o.a = StrSub("x")
    assert Odd.a.attrvalue(o) == "x"
    o.a = 5
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        Odd.a.attrvalue(o)


# ---------------------------------------------------------------------------
# The table: _convert_numeric is reached through it




def test_table_layout_and_replaced_convert_numeric():
    ours = table(_VariableListAttribute, PROPERTY_OPS + 2)
    base = table(VariableListProperty, PROPERTY_OPS)
    for i in range(PROPERTY_OPS):
        assert (ours[i] != base[i]) == (i == 14), i  # only convert replaced
    assert ours[16] and ours[17]
    # A replacement of _convert_numeric (here: Property's identity convert)
    # is what convert calls, for single values and for list items.
    saved = ours[16]
    ours[16] = table(Property, PROPERTY_OPS)[14]
    try:
        b = Box()
        b.margin = "anything"
        assert b.margin == ["anything"] * 4
        b.margin = [True, None]
        assert b.margin == [True, None, True, None]
    finally:
        ours[16] = saved
    with pytest.raises(ValueError):
        b.margin = "anything"


def test_python_override_of_attrvalue():
    class Loud(_VariableListAttribute):
        def attrvalue(self, obj):
            return super().attrvalue(obj).upper()

    class W(EventDispatcher):
        m = Loud("1px")

    op = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)(
        table(_VariableListAttribute, PROPERTY_OPS + 2)[17])
    w = W()
    assert op(W.m, w, 0) == "1PX 1PX 1PX 1PX"
    assert op(W.m, w, 1) == _VariableListAttribute.attrvalue(W.m, w) == "1px 1px 1px 1px"


# ---------------------------------------------------------------------------
# Pickling, garbage collection




def test_options_cycle_is_collected():
    Canary.died = 0
    gc.collect()
    for _ in range(3):
        canary = Canary()
        canary.attr = _VariableListAttribute()
        canary.attr.options.append(canary)
        del canary
    gc.collect()
    assert Canary.died == 3


def test_cleared_attribute_fails_cleanly():
    class W(EventDispatcher):
        m = _VariableListAttribute("1px", options=["inherit"])

    w = W()
    collector_clear(W.m)
    assert W.m.options is None
    with pytest.raises(TypeError, match="not iterable"):
        w.m = "2px"
    W.m.attrvalue(w)


def test_no_leaks(no_leak):
    no_leak(lambda: _VariableListAttribute([1, 2], length=2, attrtype="style", sync=1, options=["inherit"], x=1))
    no_leak(lambda: Box())
    b = Box()
    no_leak(lambda: Box.margin.attrname)
    no_leak(lambda: Box.margin.attrvalue(obj=b))


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats() | st.integers(min_value=-(2**65), max_value=2**65) | st.text(max_size=3), max_size=10),
       st.data())
def test_one_pass_render_matches_str_join(items, data):
    # The stored list, changed in place, with items repeated as the
    # expansion repeats them: the same text as str() of each item gives.
    w = Box()
    w.margin = [1]
    if items:
        items += [data.draw(st.sampled_from(items)) for _ in range(data.draw(st.integers(0, 3)))]
    w.margin[:] = items
    assert Box.margin.attrvalue(w) == " ".join(map(str, items))
