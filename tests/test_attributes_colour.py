"""_ColorAttribute through real widgets of the property framework."""

import ctypes
import gc

import pytest
from gcprobe import Canary
from native_probe import PROPERTY_OPS, collector_clear, frames, table

from ruvo.core import _attributes
from ruvo.core._attributes import _ColorAttribute
from ruvo.core._event import EventDispatcher
from ruvo.core.properties import Property

CONVERT = "ruvo.core._attributes._ColorAttribute.convert"
PARSE_STR = "ruvo.core._attributes._ColorAttribute.parse_str"


class Card(EventDispatcher):
    color = _ColorAttribute((255, 0, 0), attrtype="style", format="css", options=["inherit"])
    tint = _ColorAttribute(attrtype="style", options=["inherit", [1, 2], (5, 6, 7, 8, 9)])
    edge = _ColorAttribute([0, 0, 255], format=None)


class StrSub(str):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass




# ---------------------------------------------------------------------------
# Construction


def test_fields_and_defaults():
    c = _ColorAttribute()
    assert (c.attrtype, c.sync, c.defaultvalue) == ("", 0, None)
    c = _ColorAttribute(defaultvalue=[1, 2, 3], attrtype=None, attrname="bg", sync=2.9)
    assert (c.attrtype, c.sync, c.attrname, c.defaultvalue) == (None, 2, "bg", [1, 2, 3])
    for hidden in ("format", "options"):
        assert not hasattr(c, hidden)
    card = Card()
    assert (card.color, card.tint, card.edge) == ([255, 0, 0], None, [0, 0, 255])
    assert _ColorAttribute.__doc__.startswith("A ListAttribute with 3 or 4 elements with RGB or RGBA color values.")
    assert _ColorAttribute.__base__ is Property


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((), {"attrtype": 5}, TypeError, "Expected str, got int"),
        ((), {"attrname": StrSub("x")}, TypeError, "Expected str, got StrSub"),
        ((), {"format": b"css", "sync": "x"}, TypeError, "Expected str, got bytes"),
        ((), {"sync": "1"}, TypeError, "an integer is required"),
        ((), {"options": 3}, TypeError, "'int' object is not iterable"),
        ((1, 2), {}, TypeError, "__init__() takes at most 1 positional argument (2 given)"),
        ((1,), {"defaultvalue": 2}, TypeError, "__init__() got multiple values for keyword argument 'defaultvalue'"),
    ],
)
def test_construction_errors(args, kwargs, exc, message, no_leak):
    with pytest.raises(exc) as info:
        _ColorAttribute(*args, **kwargs)
    assert str(info.value) == message
    assert frames(info)[-1] == "ruvo.core._attributes._ColorAttribute.__init__"
    no_leak(lambda: _ColorAttribute(*args, **kwargs), raises=exc)


class Recorder(Property):
    calls = []

    def __init__(self, *args, **kwargs):
        Recorder.calls.append((args, kwargs))
        super().__init__(*args, **kwargs)


class Probe(_ColorAttribute, Recorder):
    pass


def test_base_init_gets_every_keyword():
    Recorder.calls.clear()
    given = {"attrtype": "style", "attrname": "x", "format": "css", "sync": 1, "options": ["a"], "allownone": 0}
    Probe(**given)
    assert Recorder.calls == [((None,), {**given, "allownone": True})]
    Recorder.calls.clear()
    Probe([1, 2, 3])
    assert Recorder.calls == [(([1, 2, 3],), {"allownone": True})]


# ---------------------------------------------------------------------------
# Conversion and rendering


@pytest.mark.parametrize(
    "prop, value, stored, text",
    [
        ("color", (255, 0, 0), [255, 0, 0], "rgb(255, 0, 0)"),
        ("edge", (255, 0, 0), [255, 0, 0], "1.0, 0.0, 0.0"),
        ("color", [255, 0, 0, 0.5], [255, 0, 0, 0.5], "rgba(255, 0, 0, 0.5)"),
        ("tint", [255, 0, 0, 0.5], [255, 0, 0, 0.5], "1.0, 0.0, 0.0, 0.5"),
        ("color", ["a", "b", "c"], ["a", "b", "c"], "rgb(a, b, c)"),
        ("tint", [51, 102.0, 0, 1], [51, 102.0, 0, 1], "0.2, 0.4, 0.0, 1"),
        ("tint", [256, -1, True, 1], [256, -1, True, 1],
         "1.003921568627451, -0.00392156862745098, 0.00392156862745098, 1"),
        ("color", [1, 2.5, "x", True], [1, 2.5, "x", True], "rgba(1, 2.5, x, True)"),
        ("color", (2**70, 0, 0), [2**70, 0, 0], f"rgb({2**70}, 0, 0)"),
        ("color", "#00ff00", [0, 255, 0], "rgb(0, 255, 0)"),
        ("tint", StrSub("00f"), [0, 0, 255], "0.0, 0.0, 1.0"),
        ("color", "inherit", "inherit", "inherit"),
        ("color", None, None, ""),
    ],
)
def test_conversion_and_rendering(prop, value, stored, text, no_leak):
    c = Card()
    setattr(c, prop, value)
    assert getattr(c, prop) == stored
    if isinstance(value, (list, tuple)):
        assert getattr(c, prop) is not value
    assert getattr(Card, prop).attrvalue(c) == text
    no_leak(lambda: getattr(Card, prop).attrvalue(c))
    no_leak(lambda: setattr(c, prop, value))


@pytest.mark.parametrize(
    "value, message",
    [
        ([1, 2], "Card.color must have 3 or 4 components (got [1, 2])"),
        ((1, 2, 3, 4, 5), "Card.color must have 3 or 4 components (got (1, 2, 3, 4, 5))"),
        ([], "Card.color must have 3 or 4 components (got [])"),
        (ListSub([1, 2, 3]), "Card.color has an invalid format (got [1, 2, 3])"),
        (TupleSub((1, 2, 3)), "Card.color has an invalid format (got (1, 2, 3))"),
        ({}, "Card.color has an invalid format (got {})"),
        (5, "Card.color has an invalid format (got 5)"),
    ],
)
def test_conversion_errors(value, message, no_leak):
    c = Card()
    with pytest.raises(ValueError) as info:
        c.color = value
    assert str(info.value) == message
    assert c.color == [255, 0, 0]
    assert frames(info)[-1] == CONVERT
    no_leak(lambda: setattr(c, "color", value), raises=ValueError)


def test_parser_refusal_propagates():
    c = Card()
    with pytest.raises(ValueError, match="#12") as info:
        c.color = "#12"
    assert frames(info)[-3:-1] == [CONVERT, PARSE_STR]  # then the parser's own frame
    assert c.color == [255, 0, 0]


def test_division_errors_propagate():
    c = Card()
    c.tint = ["a", "b", "c"]
    with pytest.raises(TypeError, match=r"^unsupported operand type\(s\) for /: 'str' and 'int'$"):
        Card.tint.attrvalue(c)


def test_option_values_are_stored_as_given():
    c = Card()
    given = [1, 2]
    c.tint = given
    assert c.tint is given
    with pytest.raises(IndexError, match=r"^list index out of range$"):
        Card.tint.attrvalue(c)  # two items in the four-component form


def test_short_and_long_option_values_in_css_form():
    class Odd(EventDispatcher):
        c = _ColorAttribute(format="css", options=[(1, 2), (5, 6, 7, 8, 9), 5])

    o = Odd()
    o.c = (1, 2)
    with pytest.raises(IndexError, match=r"^Replacement index 2 out of range for positional args tuple$"):
        Odd.c.attrvalue(o)
    o.c = (5, 6, 7, 8, 9)
    assert Odd.c.attrvalue(o) == "rgba(5, 6, 7, 8)"
    o.c = 5
    with pytest.raises(TypeError, match=r"^object of type 'int' has no len\(\)$"):
        Odd.c.attrvalue(o)


def test_components_are_formatted_as_by_format():
    class Shade:
        def __format__(self, format_spec):
            return f"shade[{format_spec}]"

        def __truediv__(self, other):
            return self

    class W(EventDispatcher):
        css = _ColorAttribute(format="css")
        bare = _ColorAttribute()

    w = W()
    s = Shade()
    w.css = w.bare = [s, s, s, s]
    assert W.css.attrvalue(w) == "rgba(shade[], shade[], shade[], shade[])"
    assert W.bare.attrvalue(w) == "shade[], shade[], shade[], shade[]"


class Int(int):
    def __format__(self, spec):
        return "Int"


class Float(float):
    def __format__(self, spec):
        return "Float"


def python_attrvalue(value, css):
    """What the rendering must give for a stored sequence, in plain Python."""
    if len(value) == 3:
        if css:
            return "rgb({0}, {1}, {2})".format(*value)
        return "{}, {}, {}".format(value[0] / 255, value[1] / 255, value[2] / 255)
    if css:
        return "rgba({0}, {1}, {2}, {3})".format(*value)
    return "{}, {}, {}, {}".format(value[0] / 255, value[1] / 255, value[2] / 255, value[3])


BIG = [2**53 - 1, 2**53, 2**53 + 1, -2**53 - 1, 2**63 - 1, -2**63, 2**63, 2**64 + 7]


@pytest.mark.parametrize("value", [
    [0, 128, 255], (7, 8, 9), [0, 128, 255, 0.5], [255, 0, 0, 1], [256, -1, 300, 0], [1.5, 102.0, -0.0, 1e-7],
    [float("inf"), float("-inf"), float("nan"), 1e300], [0.1, 2.5e16, 1e16, 5e-324],
    BIG[:3], BIG[3:6], BIG[5:], [BIG[2], 1, 2, BIG[-1]],
    [True, 1, 2], [1, 2, 3, False], [Int(1), 2, 3], [1, 2, 3, Float(0.5)], [Float(1.0), 2, 3], [1, 2, 3, "x"],
])
def test_rendering_matches_the_python_formatting(value, no_leak):
    class W(EventDispatcher):
        css = _ColorAttribute(format="css", options=[(1, 2, 3, 4, 5)])
        bare = _ColorAttribute(options=[(1, 2, 3, 4, 5)])

    w = W()
    w.css = w.bare = value
    for prop, css in [(W.css, True), (W.bare, False)]:
        assert prop.attrvalue(w) == python_attrvalue(value, css)
        no_leak(lambda: prop.attrvalue(w))
    w.css = w.bare = (1, 2, 3, 4, 5)  # an option: the first four rendered
    assert (W.css.attrvalue(w), W.bare.attrvalue(w)) == ("rgba(1, 2, 3, 4)", python_attrvalue((1, 2, 3, 4), False))


def test_every_byte_component_renders_as_in_python():
    class W(EventDispatcher):
        css = _ColorAttribute(format="css")
        bare = _ColorAttribute()

    w = W()
    for i in range(256):
        w.css = w.bare = value = [i, 255 - i, i // 2, i]
        assert (W.css.attrvalue(w), W.bare.attrvalue(w)) == (python_attrvalue(value, True),
                                                              python_attrvalue(value, False))


def test_parser_global_is_looked_up_at_every_call(monkeypatch, no_leak):
    c = Card()
    seen = []

    def parser(*args, **kwargs):
        seen.append((args, kwargs))
        return result

    monkeypatch.setattr(_attributes, "get_color_from_hex_255", parser)
    result = [1, 2, 3]
    c.color = "red"
    assert seen == [(("red",), {})] and c.color is result
    result = None
    c.color = "none"
    assert c.color is None
    for result, name in [((1, 2, 3), "tuple"), (ListSub([1, 2, 3]), "ListSub")]:
        with pytest.raises(TypeError, match=f"^Expected list, got {name}$") as info:
            c.color = "blue"
        assert frames(info)[-2:] == [CONVERT, PARSE_STR]
    monkeypatch.setattr(_attributes, "get_color_from_hex_255", lambda text: [9, 9, 9])
    no_leak(lambda: setattr(c, "color", "x"))
    monkeypatch.delattr(_attributes, "get_color_from_hex_255")
    with pytest.raises(NameError, match=r"^name 'get_color_from_hex_255' is not defined$"):
        c.color = "#fff"
    c.color = [1, 2, 3]  # lists do not need it
    monkeypatch.setattr("builtins.get_color_from_hex_255", lambda text: [7, 7, 7], raising=False)
    c.color = "#fff"
    assert c.color == [7, 7, 7]


# ---------------------------------------------------------------------------
# The table: parse_str is reached through it




def test_table_layout_and_replaced_parse_str():
    ours = table(_ColorAttribute, PROPERTY_OPS + 2)
    base = table(Property, PROPERTY_OPS)
    for i in range(PROPERTY_OPS):
        assert (ours[i] != base[i]) == (i == 14), i  # only convert replaced
    assert ours[16] and ours[17]
    saved = ours[17]
    ours[17] = base[14]  # Property's identity convert in place of parse_str
    try:
        c = Card()
        c.color = "not a colour"
        assert c.color == "not a colour"
    finally:
        ours[17] = saved
    with pytest.raises(ValueError):
        c.color = "not a colour"


def test_python_override_of_attrvalue():
    class Hex(_ColorAttribute):
        def attrvalue(self, obj):
            return "#" + "".join(f"{v:02x}" for v in self.get(obj))

    class W(EventDispatcher):
        c = Hex([255, 0, 16], format="css")

    op = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)(
        table(_ColorAttribute, PROPERTY_OPS + 2)[16])
    w = W()
    assert op(W.c, w, 0) == W.c.attrvalue(w) == "#ff0010"
    assert op(W.c, w, 1) == _ColorAttribute.attrvalue(W.c, w) == "rgb(255, 0, 16)"


# ---------------------------------------------------------------------------
# Pickling, garbage collection




def test_options_cycle_is_collected():
    Canary.died = 0
    gc.collect()
    for _ in range(3):
        canary = Canary()
        canary.attr = _ColorAttribute(options=[canary])
        del canary
    gc.collect()
    assert Canary.died == 3


def test_cleared_attribute_fails_cleanly():
    class W(EventDispatcher):
        c = _ColorAttribute((1, 2, 3), options=["inherit"])

    w = W()
    collector_clear(W.c)
    with pytest.raises(TypeError, match="not iterable"):
        w.c = (4, 5, 6)
    assert W.c.attrvalue(w) == "0.00392156862745098, 0.00784313725490196, 0.011764705882352941"


def test_no_leaks(no_leak):
    no_leak(lambda: _ColorAttribute([1, 2, 3], attrtype="style", format="css", sync=1, options=["inherit"], x=1))
    no_leak(lambda: Card())
    no_leak(lambda: Card.color.attrname)
