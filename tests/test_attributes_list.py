"""_ListAttribute through real widgets."""

import gc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from gcprobe import Canary
from native_probe import AttrvalueOp, Op3, PROPERTY_OPS, entries, table_of

from ruvo.core import _attributes
from ruvo.core._attributes import _ListAttribute
from ruvo.core._event import EventDispatcher
from ruvo.core.properties import ListProperty, ObservableList, Property

FILE = "ruvo/core/_attributes/list.cpp"
CHECK = "ruvo.core._attributes._ListAttribute.check"


class Shape(EventDispatcher):
    points = _ListAttribute([], attrtype="element")
    fonts = _ListAttribute(["Arial", "sans-serif"], attrtype="style", attrname="font-family")
    corner = _ListAttribute([1, 2, 3], length=3)
    textual = _ListAttribute([0], length="3")



# ---------------------------------------------------------------------------
# Construction


def test_fields_after_construction():
    a = _ListAttribute()
    assert (a.attrtype, a.sync, a.defaultvalue) == ("", 0, [])
    b = _ListAttribute([1], attrtype="element", attrname="data-v", sync=True, length=1)
    assert (b.attrtype, b.attrname, b.sync, b.defaultvalue) == ("element", "data-v", 1, [1])
    assert type(b.sync) is int
    for name in ("length", "options", "values"):
        assert not hasattr(b, name)
    for name in ("attrtype", "sync", "attrname"):
        with pytest.raises(AttributeError):
            setattr(b, name, "x")


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"attrtype": 1}, TypeError, "Expected str, got int"),
        ({"attrname": StrSub("n")}, TypeError, "Expected str, got StrSub"),
        ({"sync": "3"}, TypeError, "an integer is required"),
        ({"sync": 2**31}, OverflowError, "value too large to convert to int"),
    ],
)
def test_keyword_errors(kwargs, exc, message, no_leak):
    with pytest.raises(exc) as info:
        _ListAttribute(**kwargs)
    assert str(info.value) == message
    assert entries(info)[-1] == ("ruvo.core._attributes._ListAttribute.__init__", FILE)
    no_leak(lambda: _ListAttribute(**kwargs), raises=exc)


def test_failing_step_keeps_earlier_steps():
    a = _ListAttribute(attrtype="style")
    with pytest.raises(TypeError):
        a.__init__(attrtype="class", attrname="n", sync="x")
    assert (a.attrtype, a.attrname, a.sync) == ("class", "n", 0)


calls = []


class Recorder(ListProperty):
    def __init__(self, *args, **kwargs):
        calls.append((args, kwargs))
        super().__init__(*args, **kwargs)


class Probe(_ListAttribute, Recorder):
    pass


def test_base_constructor_gets_everything_unchanged():
    calls.clear()
    given = {"attrtype": "style", "sync": 1, "length": 2, "allownone": False}
    Probe([1, 2], **given)
    assert calls == [(([1, 2],), given)]  # no allownone of its own, nothing removed
    calls.clear()
    Probe()
    assert calls == [((), {})]


def test_class_surface():
    assert _ListAttribute.__doc__.startswith(
        "List html attribute class which returns comma separated list of values as strings.\n")
    for word in ("`defaultvalue`", "`attrtype`", "`sync`"):
        assert word in _ListAttribute.__doc__
    assert _ListAttribute.__bases__ == (ListProperty,)
    assert "_ListAttribute" not in _attributes.__all__


# ---------------------------------------------------------------------------
# attrvalue


@pytest.mark.parametrize(
    "value, rendered",
    [
        ([], ""),
        ([1, "a", 2.5], "1, a, 2.5"),
        ([[1, 2], (3,)], "[1, 2], (3,)"),
        (("x",), "x"),
        ([StrSub("s"), None, True, 0.1], "s, None, True, 0.1"),
        ([1e16, -0.0], "1e+16, -0.0"),
    ],
)
def test_rendering(value, rendered, no_leak):
    s = Shape()
    s.points = value
    assert type(s.points) is ObservableList
    assert Shape.points.attrvalue(s) == rendered
    no_leak(lambda: Shape.points.attrvalue(s))


def test_none_renders_empty():
    class Maybe(EventDispatcher):
        v = _ListAttribute([1], allownone=True)

    m = Maybe()
    m.v = None
    assert Maybe.v.attrvalue(m) == ""
    with pytest.raises(ValueError, match=r"^None is not allowed for Shape\.points$"):
        Shape().points = None  # the class adds no allownone of its own


@pytest.mark.parametrize(
    "value",
    [
        ["café", 1, -2.5],
        ["→", "x"],
        [10**30, -(2**63), 2**63 - 1, 0],
        [float("inf"), float("nan"), -1e-7, 123456789.125],
        [True, False, 3],
        list(range(32)),
        list(range(33)),
        [""] * 3,
        ["a" * 1000, 7],
    ],
)
def test_rendering_matches_str_join(value):
    s = Shape()
    s.points = value
    text = Shape.points.attrvalue(s)
    assert text == ", ".join(map(str, value))
    assert text.isascii() == all(str(v).isascii() for v in value)


PLAIN_ITEMS = st.one_of(
    st.floats(width=64) | st.floats(width=32),
    st.integers(min_value=-(2**65), max_value=2**65),
    st.text(max_size=4),
    st.sampled_from([1e-4, 2.0**50, 2.0**50 - 0.25, 1e15 + 0.3, 0.1 + 0.2, 5e-324, -0.0, 2**63, -(2**63) - 1]),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(PLAIN_ITEMS, max_size=40))
def test_one_pass_join_matches_str_join(value):
    # Numbers and texts of every width, below and beyond the items joined in
    # one pass: the same text, and so the same kind of str, as str() gives.
    s = Shape()
    s.points = value
    assert Shape.points.attrvalue(s) == ", ".join(map(str, value))


def test_rendering_of_other_iterables():
    class Loose(EventDispatcher):
        v = _ListAttribute("abc")
        e = _ListAttribute(())

    w = Loose()
    assert Loose.v.attrvalue(w) == "a, b, c"
    assert Loose.e.attrvalue(w) == ""


class Shouty:
    def __str__(self):
        return "LOUD"


class Failing:
    def __str__(self):
        raise LookupError("no text")


def test_item_text_and_errors(no_leak):
    s = Shape()
    s.points = [Shouty(), 1]
    assert Shape.points.attrvalue(s) == "LOUD, 1"
    s.points = [1, Failing()]
    with pytest.raises(LookupError) as info:
        Shape.points.attrvalue(s)
    assert ("ruvo.core._attributes._ListAttribute.attrvalue", FILE) in entries(info)
    no_leak(lambda: Shape.points.attrvalue(s), raises=LookupError)


class Shrinking:
    """An item whose text empties the list it is in."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        del self.target[:]
        return "gone"


def test_list_changing_while_rendered():
    s = Shape()
    s.points = [0, 1, 2]
    s.points[0] = Shrinking(s.points)
    assert Shape.points.attrvalue(s) == "gone"
    assert s.points == []


# ---------------------------------------------------------------------------
# check


def test_accepts_lists_and_tuples_made_observable():
    s = Shape()
    s.corner = (4, 5, 6)
    assert s.corner == [4, 5, 6] and Shape.corner.attrvalue(s) == "4, 5, 6"
    s.points = ObservableList([7])
    assert Shape.points.attrvalue(s) == "7"


class ObservableSub(ObservableList):
    pass


@pytest.mark.parametrize(
    "prop, value, exc, message",
    [
        ("points", 5, ValueError, "Shape.points accept only ObservableList"),
        ("points", "ab", ValueError, "Shape.points accept only ObservableList"),
        ("points", {1: 2}, ValueError, "Shape.points accept only ObservableList"),
        ("corner", [1, 2], ValueError, "Length of input array is wrong, must be 3"),
        ("corner", ObservableList([1, 2, 3, 4]), ValueError, "Length of input array is wrong, must be 3"),
        ("corner", 5, TypeError, "object of type 'int' has no len()"),
        ("corner", "abc", ValueError, "Shape.corner accept only ObservableList"),
        ("textual", [1, 2, 3], ValueError, "Length of input array is wrong, must be 3"),
    ],
)
def test_refusals(prop, value, exc, message, no_leak):
    s = Shape()
    before = list(getattr(s, prop))
    with pytest.raises(exc) as info:
        setattr(s, prop, value)
    assert str(info.value) == message
    assert (CHECK, FILE) in entries(info)
    assert getattr(s, prop) == before
    no_leak(lambda: setattr(s, prop, value), raises=exc)


# The table of internal operations, as a native caller reads it.
CHECK_OP = 13
ATTRVALUE = PROPERTY_OPS



CHECK_FN = Op3(table_of(_ListAttribute, CHECK_OP + 1)[CHECK_OP])
A_SHAPE = Shape()


def check(prop, value):
    return CHECK_FN(getattr(Shape, prop), A_SHAPE, value)


def test_table_replaces_only_check():
    ours = table_of(_ListAttribute, ATTRVALUE + 1)
    base = table_of(ListProperty, PROPERTY_OPS)
    for i in range(PROPERTY_OPS):
        assert (ours[i] != base[i]) == (i == CHECK_OP), i
    assert ours[ATTRVALUE]


@pytest.mark.parametrize("value", [[1, 2], (1, 2), ObservableSub([1, 2])])
def test_check_wants_the_exact_type(value, no_leak):
    with pytest.raises(ValueError, match=r"^Shape\.points accept only ObservableList$"):
        check("points", value)
    assert check("points", ObservableList([1, 2])) is None
    no_leak(lambda: check("points", value), raises=ValueError)


def test_generic_check_answers_first():
    # None is accepted by the generic check before the length and the type
    assert Shape.corner.allownone is False
    with pytest.raises(ValueError, match="None is not allowed"):
        check("corner", None)

    class Lenient(EventDispatcher):
        v = _ListAttribute([0], length=1, allownone=True)

    assert CHECK_FN(Lenient.v, Lenient(), None) is True


def test_length_compared_with_python_inequality():
    class Weird:
        def __ne__(self, other):
            return other > 2

    class W(EventDispatcher):
        v = _ListAttribute([], length=Weird())

    w = W()
    w.v = [1, 2]
    with pytest.raises(ValueError, match=r"^Length of input array is wrong, must be <"):
        w.v = [1, 2, 3]


@pytest.fixture
def restore_global():
    saved = _attributes.ObservableList
    yield
    _attributes.ObservableList = saved


def test_observable_list_looked_up_at_each_call(restore_global, no_leak):
    _attributes.ObservableList = list
    assert check("points", [1]) is None
    with pytest.raises(ValueError, match="accept only ObservableList"):
        check("points", ObservableList([1]))
    del _attributes.ObservableList
    with pytest.raises(NameError, match=r"^name 'ObservableList' is not defined$") as info:
        check("points", ObservableList([1]))
    assert entries(info)[-1] == (CHECK, FILE)
    no_leak(lambda: check("points", [1]), raises=NameError)
    import builtins

    builtins.ObservableList = tuple
    try:
        assert check("points", (1,)) is None
    finally:
        del builtins.ObservableList


class Upper(_ListAttribute):
    def attrvalue(self, obj):
        return super().attrvalue(obj).upper()


class Tagged(EventDispatcher):
    tags = Upper(["a", "b"])


def test_table_attrvalue_reaches_python_override(no_leak):
    op = AttrvalueOp(table_of(_ListAttribute, ATTRVALUE + 1)[ATTRVALUE])
    t = Tagged()
    assert op(Tagged.tags, t, 0) == "A, B"
    assert op(Tagged.tags, t, 1) == "a, b"
    assert _ListAttribute.attrvalue(Tagged.tags, t) == "a, b"
    no_leak(lambda: op(Tagged.tags, t, 0))


# ---------------------------------------------------------------------------
# Pickling, garbage collection, leaks




def test_length_takes_part_in_cycles():
    Canary.died = 0
    gc.collect()
    for _ in range(3):
        canary = Canary()
        a = _ListAttribute(length=canary)
        canary.attr = a
        assert any(r is canary for r in gc.get_referents(a))
        del a, canary
    gc.collect()
    assert Canary.died == 3


def test_no_leaks(no_leak):
    s = Shape()
    no_leak(lambda: _ListAttribute([1], attrtype="element", sync=1, length=1, attrname="x"))
    no_leak(lambda: Shape())
    no_leak(lambda: Shape.fonts.attrvalue(s))

    def assign():
        s.corner = [1, 2, 3]
        s.corner = (4, 5, 6)

    no_leak(assign)
    assert isinstance(Shape.points, Property)
