"""_NumericAttribute and _BoundedNumericAttribute through real widgets."""

import gc
import math
import random
import struct

import pytest
from gcprobe import Canary
from native_probe import AttrvalueOp, Op3, entries, table_of

from ruvo.core._attributes import _BoundedNumericAttribute, _NumericAttribute
from ruvo.core._event import EventDispatcher
from ruvo.core.properties import BoundedNumericProperty, NumericProperty
from ruvo.uix._html import join_style, render_default_html

CLASSES = [_NumericAttribute, _BoundedNumericAttribute]
FILE = "ruvo/core/_attributes/numeric.cpp"


class Box(EventDispatcher):
    width = _NumericAttribute(20, attrtype="style", units="px", options=["inherit", "auto"])
    ratio = _NumericAttribute(0.5, units="%")
    plain = _NumericAttribute(3, units=None)
    empty_unit = _NumericAttribute(3, units="")
    level = _BoundedNumericAttribute(5, min=0, max=10, units="em", options=["auto"])



# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize("cls", CLASSES)
def test_fields_after_construction(cls):
    a = cls()
    assert (a.attrtype, a.sync, a.options) == ("", 0, [])
    given = ("inherit", "auto")
    b = cls(7, attrtype="style", attrname=None, sync=True, options=given, units="px")
    assert (b.attrtype, b.sync, b.options, b.defaultvalue, b.units) == ("style", 1, ["inherit", "auto"], 7, "px")
    assert type(b.sync) is int and type(b.options) is list
    assert not hasattr(b, "values")
    for name in ("attrtype", "sync", "options", "attrname"):
        with pytest.raises(AttributeError):
            setattr(b, name, "x")


def test_bounds_reach_the_base():
    a = _BoundedNumericAttribute(2, min=1, max=3)
    assert (a.min, a.max, a.defaultvalue) == (1, 3, 2)


class StrSub(str):
    pass


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"attrtype": 5}, TypeError, "Expected str, got int"),
        ({"attrname": StrSub("x")}, TypeError, "Expected str, got StrSub"),
        ({"sync": "1"}, TypeError, "an integer is required"),
        ({"sync": 2**40}, OverflowError, "value too large to convert to int"),
        ({"options": 5}, TypeError, "'int' object is not iterable"),
    ],
)
def test_keyword_errors(cls, kwargs, exc, message, no_leak):
    with pytest.raises(exc) as info:
        cls(**kwargs)
    assert str(info.value) == message
    assert entries(info)[-1] == (f"ruvo.core._attributes.{cls.__name__}.__init__", FILE)
    no_leak(lambda: cls(**kwargs), raises=exc)


@pytest.mark.parametrize("cls", CLASSES)
def test_failing_step_keeps_earlier_steps(cls):
    a = cls(attrtype="style", options=["x"])
    with pytest.raises(TypeError):
        a.__init__(attrtype="class", sync=2, options=5)
    assert (a.attrtype, a.sync, a.options) == ("class", 2, ["x"])


calls = []


class NumRecorder(NumericProperty):
    def __init__(self, *args, **kwargs):
        calls.append((args, kwargs))
        super().__init__(*args, **kwargs)


class BoundedRecorder(BoundedNumericProperty):
    def __init__(self, *args, **kwargs):
        calls.append((args, kwargs))
        super().__init__(*args, **kwargs)


class NumProbe(_NumericAttribute, NumRecorder):
    pass


class BoundedProbe(_BoundedNumericAttribute, BoundedRecorder):
    pass


@pytest.mark.parametrize("probe, args", [(NumProbe, (4, "px")), (BoundedProbe, (4, 0, 9))])
def test_base_constructor_gets_positionals_and_every_keyword(probe, args):
    calls.clear()
    given = {"attrtype": "style", "sync": 1, "options": ["a"], "allownone": False}
    probe(*args, **given)
    assert calls == [(args, {**given, "allownone": True})]
    assert given["allownone"] is False  # the caller's dictionary is untouched
    calls.clear()
    probe()
    assert calls == [((), {"allownone": True})]


def test_class_surface():
    assert _NumericAttribute.__doc__.startswith("Html attribute class with a numeric value.\n")
    assert _BoundedNumericAttribute.__doc__.startswith("Html attribute class with a bounded numeric value.\n")
    for word in ("`defaultvalue`: numeric, defaults to 0.0", "`attrtype`", "`sync`", "`options`"):
        assert word in _NumericAttribute.__doc__ and word in _BoundedNumericAttribute.__doc__
    assert "`units`: valid CSS metric default units: 'px', 'mm', '%', etc. or empty" in _NumericAttribute.__doc__
    assert "`min`" in _BoundedNumericAttribute.__doc__ and "`max`" in _BoundedNumericAttribute.__doc__
    assert issubclass(_NumericAttribute, NumericProperty)
    assert issubclass(_BoundedNumericAttribute, BoundedNumericProperty)
    assert _NumericAttribute.__module__ == "ruvo.core._attributes"


# ---------------------------------------------------------------------------
# _NumericAttribute: convert and check


@pytest.mark.parametrize(
    "given, stored, rendered",
    [
        (None, None, ""),
        ("inherit", "inherit", "inherit"),
        (14, 14, "14px"),
        (12.0, 12.0, "12.0px"),
        (1e16, 1e16, "1e+16px"),
        ("12px", 12.0, "12.0px"),
        ("0.1em", 0.10000000149011612, "0.10000000149011612em"),
        (StrSub("7mm"), 7.0, "7.0mm"),
        ((3, "mm"), 3.0, "3.0mm"),
        ([2.5, "%"], 2.5, "2.5%"),
        ((4, None), 4.0, "4.0px"),
    ],
)
def test_numeric_assignment(given, stored, rendered, no_leak):
    b = Box()
    b.width = given
    assert b.width == stored and type(b.width) is type(stored)
    assert Box.width.attrvalue(b) == rendered
    no_leak(lambda: setattr(b, "width", given))


class TupleSub(tuple):
    pass


@pytest.mark.parametrize(
    "given, message",
    [
        (True, "Box.width has an invalid format (got True)"),
        ({}, "Box.width has an invalid format (got {})"),
        (b"12px", "Box.width has an invalid format (got b'12px')"),
        (TupleSub((1, "px")), "Box.width has an invalid format (got (1, 'px'))"),
        ([1, 2, 3], "Box.width must have 2 components (got [1, 2, 3])"),
        ((1,), "Box.width must have 2 components (got (1,))"),
        ((), "Box.width must have 2 components (got ())"),
    ],
)
def test_numeric_convert_errors(given, message, no_leak):
    b = Box()
    b.width = 20
    with pytest.raises(ValueError) as info:
        b.width = given
    assert str(info.value) == message
    assert ("ruvo.core._attributes._NumericAttribute.convert", FILE) in entries(info)
    assert b.width == 20 and Box.width.attrvalue(b) == "20px"
    no_leak(lambda: setattr(b, "width", given), raises=ValueError)


@pytest.mark.parametrize("given", ["12 parsecs", ("x", "px"), (1, "furlong")])
def test_parser_errors_propagate(given):
    b = Box()
    with pytest.raises(ValueError) as info:
        b.width = given
    assert str(info.value).startswith("Box.width cannot parse")
    assert ("ruvo.core._attributes._NumericAttribute.convert", FILE) in entries(info)


def test_message_names_the_widget_subclass():
    class Panel(Box):
        pass

    with pytest.raises(ValueError, match=r"^Panel\.width has an invalid format \(got False\)$"):
        Panel().width = False


def test_options_are_matched_by_equality_before_the_type():
    class Opts(EventDispatcher):
        x = _NumericAttribute(0, options=[True, (1, "px"), "auto"])

    o = Opts()
    o.x = True  # a bool, refused as a number, is an option here
    assert o.x is True
    o.x = (1, "px")
    assert o.x == (1, "px") and Opts.x.attrvalue(o) == "(1, 'px')"
    o.x = 1  # 1 == True: an option, kept as it is
    assert o.x == 1


# The table of internal operations, as a native caller reads it.
CHECK, CONVERT = 13, 14
PARSE_TEXT, PARSE_PAIR, ATTRVALUE = 16, 17, 18



@pytest.mark.parametrize("cls, base", [(_NumericAttribute, NumericProperty),
                                       (_BoundedNumericAttribute, BoundedNumericProperty)])
def test_table_extends_the_base_table(cls, base):
    ours = table_of(cls, ATTRVALUE + 1)
    theirs = table_of(base, PARSE_PAIR + 1)
    for i in range(PARSE_PAIR + 1):
        assert (ours[i] != theirs[i]) == (i in (CHECK, CONVERT)), i
    assert ours[ATTRVALUE]


NUMERIC_CHECK = Op3(table_of(_NumericAttribute, CHECK + 1)[CHECK])
A_BOX = Box()


def numeric_check(value):
    return NUMERIC_CHECK(Box.width, A_BOX, value)


def test_numeric_check():
    assert numeric_check(None) is True  # the generic check accepts None outright
    for value in (1, 2.5, "anything at all", "inherit"):
        assert numeric_check(value) is None
    class Extra(EventDispatcher):
        x = _NumericAttribute(0, options=[(1, 2)])
    assert Op3(table_of(_NumericAttribute, CHECK + 1)[CHECK])(Extra.x, Extra(), (1, 2)) is None


@pytest.mark.parametrize(
    "value, shown",
    [(True, "True"), (StrSub("none"), "'none'"), ([1], "[1]"), (b"x", "b'x'")],
)
def test_numeric_check_refusals(value, shown, no_leak):
    with pytest.raises(ValueError) as info:
        numeric_check(value)
    assert str(info.value) == (f"Box.width accept only int/float/str and is set to an invalid option {shown}. "
                               "Must be one of: ['inherit', 'auto']")
    assert entries(info)[-1] == ("ruvo.core._attributes._NumericAttribute.check", FILE)
    no_leak(lambda: numeric_check(value), raises=ValueError)


def test_numeric_check_str_subclass_counts_only_as_option():
    assert numeric_check(StrSub("auto")) is None


# ---------------------------------------------------------------------------
# _BoundedNumericAttribute


def test_bounded_assignment():
    b = Box()
    assert Box.level.attrvalue(b) == "5em"
    b.level = "auto"
    assert b.level == "auto" and Box.level.attrvalue(b) == "auto"
    b.level = "7.5px"  # a non-option text goes to the base's conversion
    assert b.level == 7.5 and Box.level.attrvalue(b) == "7.5px"
    b.level = 10
    assert Box.level.attrvalue(b) == "10em"


@pytest.mark.parametrize(
    "given, message",
    [
        (11, "Box.level is above the maximum bound 10 (got 11)"),
        (-0.5, "Box.level is below the minimum bound 0 (got -0.5)"),
        ("3 apples", "Box.level cannot parse '3 apples'"),
        ({}, "Box.level accept only int/float/str and is set to an invalid option {}. Must be one of: ['auto']"),
        (True, "Box.level accept only int/float/str and is set to an invalid option True. Must be one of: ['auto']"),
        (None, "Box.level accept only int/float/str and is set to an invalid option None. Must be one of: ['auto']"),
    ],
)
def test_bounded_refusals(given, message, no_leak):
    b = Box()
    with pytest.raises(ValueError) as info:
        b.level = given
    assert str(info.value).startswith(message)
    assert b.level == 5
    no_leak(lambda: setattr(b, "level", given), raises=ValueError)


def test_bounded_check_results():
    op = Op3(table_of(_BoundedNumericAttribute, CHECK + 1)[CHECK])
    b = Box()
    assert op(Box.level, b, 3) is None  # the base's own result
    assert op(Box.level, b, "auto") is True
    with pytest.raises(ValueError) as info:
        op(Box.level, b, "3")
    assert entries(info)[-1] == ("ruvo.core._attributes._BoundedNumericAttribute.check", FILE)


def test_bounded_convert_keeps_options_and_none():
    op = Op3(table_of(_BoundedNumericAttribute, CONVERT + 1)[CONVERT])
    b = Box()
    assert op(Box.level, b, None) is None
    assert op(Box.level, b, "auto") == "auto"
    assert op(Box.level, b, "2px") == 2.0


# ---------------------------------------------------------------------------
# attrvalue


@pytest.mark.parametrize(
    "prop, value, rendered",
    [("ratio", 0.5, "0.5%"), ("plain", 12, "12"), ("plain", 12.0, "12.0"), ("empty_unit", 1.25, "1.25"),
     ("ratio", -0.0, "-0.0%"), ("ratio", 1e-05, "1e-05%"), ("ratio", float("inf"), "inf%")],
)
def test_rendering(prop, value, rendered):
    b = Box()
    setattr(b, prop, value)
    assert getattr(Box, prop).attrvalue(b) == rendered


def test_unit_remembered_with_the_value():
    b = Box()
    b.width = "2em"
    assert Box.width.attrvalue(b) == "2.0em"
    b.width = 3
    assert Box.width.attrvalue(obj=b) == "3px"


def test_float_text_matches_str():
    class F(EventDispatcher):
        f = _NumericAttribute(None, units="")

    w = F()
    rng = random.Random(1234)
    values = [0.1, 1 / 3, 2**53, 2.0**-1074, 1.7976931348623157e308, 1e15, 1e16, 1e-4, 1e-5, 123456.789, -9.5]
    values += [struct.unpack("d", struct.pack("Q", rng.getrandbits(64)))[0] for _ in range(3000)]
    values += [rng.uniform(-1e6, 1e6) for _ in range(1000)]
    # Short decimals and the bounds of fixed notation, as given and narrowed
    # to 32 bits as parsed texts are.
    short = [rng.randrange(-10**9, 10**9) / 10 ** rng.randrange(0, 14) for _ in range(2000)]
    short += [2.0**50, 2.0**50 - 0.5, 2.0**50 - 0.25, 1e15 + 0.5, 1e-4, 0.00015, -0.0, 1e16 - 2]
    short += [math.nextafter(v, d) for v in (1e-4, 12.5, 0.1) for d in (0, 1e300)]
    values += short + [struct.unpack("f", struct.pack("f", v))[0] for v in short if abs(v) < 3e38]
    for v in values:
        if math.isnan(v):
            continue
        w.f = v
        assert F.f.attrvalue(w) == str(v), v


class Units(_NumericAttribute):
    def get_units(self, obj):
        return obj.unit


class Styled(EventDispatcher):
    size = Units(9, units="px")
    unit = None


@pytest.mark.parametrize("unit, rendered", [("vh", "9vh"), (None, "9"), ("", "9"), (0, "9"), (5, "95"),
                                            (StrSub("pt"), "9pt"), ("µm", "9µm"), ("→", "9→")])
def test_python_get_units_is_honoured(unit, rendered):
    s = Styled()
    s.unit = unit
    assert Styled.size.attrvalue(s) == rendered


@pytest.mark.parametrize("value", [10**30, -(2**63), 2**63 - 1, -7, 2.0**-1074, -1e300, float("nan")])
@pytest.mark.parametrize("unit", ["px", "µ", "→", None])
def test_number_and_unit_text(value, unit):
    s = Styled()
    s.size = value
    s.unit = unit
    text = Styled.size.attrvalue(s)
    assert text == str(value) + (unit or "")
    assert text.isascii() == (unit or "").isascii()


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("truth")


class Failing(_NumericAttribute):
    def get_units(self, obj):
        raise LookupError("no unit")


class Broken(EventDispatcher):
    size = Failing(1)


@pytest.mark.parametrize("make, exc", [(lambda: (Styled, Styled()), ZeroDivisionError),
                                       (lambda: (Broken, Broken()), LookupError)])
def test_get_units_errors_propagate(make, exc, no_leak):
    cls, w = make()
    if cls is Styled:
        w.unit = BadTruth()
    with pytest.raises(exc) as info:
        cls.size.attrvalue(w)
    assert ("ruvo.core._attributes._NumericAttribute.attrvalue", FILE) in entries(info)
    no_leak(lambda: cls.size.attrvalue(w), raises=exc)


DISPATCHER_NAME = f"{EventDispatcher.__module__}.{EventDispatcher.__qualname__}"


@pytest.mark.parametrize("cls", CLASSES)
def test_attrvalue_argument_errors(cls):
    prop = Box.width if cls is _NumericAttribute else Box.level
    with pytest.raises(TypeError) as info:
        prop.attrvalue(3)
    assert str(info.value) == f"Argument 'obj' has incorrect type (expected {DISPATCHER_NAME}, got int)"
    assert entries(info)[-1] == (f"ruvo.core._attributes.{cls.__name__}.attrvalue", FILE)
    with pytest.raises(TypeError, match=r"^attrvalue\(\) takes exactly 1 positional argument \(0 given\)$"):
        prop.attrvalue()


class Shout(_BoundedNumericAttribute):
    def attrvalue(self, obj):
        return "!" + super().attrvalue(obj)


class Loud(EventDispatcher):
    volume = Shout(3, units="dB")


@pytest.mark.parametrize("cls, prop", [(_BoundedNumericAttribute, "volume")])
def test_table_attrvalue_reaches_python_override(cls, prop, no_leak):
    op = AttrvalueOp(table_of(cls, ATTRVALUE + 1)[ATTRVALUE])
    w = Loud()
    assert op(Loud.volume, w, 0) == "!3dB"
    assert op(Loud.volume, w, 1) == "3dB"
    assert _BoundedNumericAttribute.attrvalue(Loud.volume, w) == "3dB"
    b = Box()
    assert AttrvalueOp(table_of(_NumericAttribute, ATTRVALUE + 1)[ATTRVALUE])(Box.width, b, 0) == "20px"
    no_leak(lambda: op(Loud.volume, w, 0))


# ---------------------------------------------------------------------------
# The road of one value: declared, assigned as text, rendered into the element


class Label(EventDispatcher):
    font_size = _NumericAttribute(0, attrtype="style", units="px")
    title = _NumericAttribute(1, attrtype="element")


def render_element(widget):
    style, attributes = {}, {}
    for prop in (Label.font_size, Label.title):
        text = prop.attrvalue(widget)
        (style if prop.attrtype == "style" else attributes)[prop.attrname] = text
    return render_default_html("span", "w1", None, join_style(style), "", "label")


def test_road_of_one_value():
    label = Label()
    label.font_size = "12px"
    assert label.font_size == 12.0
    assert join_style({Label.font_size.attrname: Label.font_size.attrvalue(label)}) == "font-size: 12.0px"
    html = render_element(label)
    assert 'style="font-size: 12.0px"' in html
    assert html.startswith('<span id="w1"')


# ---------------------------------------------------------------------------
# Pickling, garbage collection, leaks




@pytest.mark.parametrize("cls", CLASSES)
def test_option_cycles_are_collected(cls):
    Canary.died = 0
    gc.collect()
    for _ in range(3):
        a = cls()
        canary = Canary()
        canary.attr = a
        a.options.append(canary)
        del a, canary
    gc.collect()
    assert Canary.died == 3


@pytest.mark.parametrize("cls", CLASSES)
def test_only_options_are_visited(cls):
    a = cls(options=["o"], attrtype="style", units="px")
    referents = gc.get_referents(a)
    assert any(r is a.options for r in referents)
    assert not any(r is a.attrtype for r in referents)


def test_no_leaks(no_leak):
    b = Box()
    no_leak(lambda: _NumericAttribute(1, attrtype="style", sync=1, options=["a"], units="px"))
    no_leak(lambda: _BoundedNumericAttribute(1, min=0, max=2, options=["a"]))
    no_leak(lambda: Box.width.attrvalue(b))
    no_leak(lambda: Box.level.attrvalue(b))
    no_leak(lambda: Styled.size.attrvalue(Styled()))
    no_leak(lambda: Box())

    def assign():
        b.width = "3px"
        b.width = (4, "em")
        b.level = "auto"
        b.level = 2

    no_leak(assign)
