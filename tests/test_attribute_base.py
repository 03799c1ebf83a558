"""_Attribute through real widgets of the property framework."""

import copy
import ctypes
import gc
import pickle

import pytest
from gcprobe import Canary
from native_probe import AttrvalueOp, PROPERTY_OPS, entries, table_of

from ruvo.core import _attributes
from ruvo.core._attributes import _Attribute
from ruvo.core._event import EventDispatcher
from ruvo.core.properties import Property

FILE = "ruvo/core/_attributes/attribute.cpp"
DISPATCHER_NAME = f"{EventDispatcher.__module__}.{EventDispatcher.__qualname__}"


class Widget(EventDispatcher):
    title = _Attribute("", attrtype="element")
    font_size = _Attribute("12px", attrtype="style")
    align = _Attribute("auto", options=["auto", "inherit"])
    level = _Attribute("a", options=["a", "b"], values=[1, 2])
    data = _Attribute(attrname="data-x", sync=True)


class Upper(_Attribute):
    def attrvalue(self, obj):
        return "<" + super().attrvalue(obj).upper() + ">"


class Plain(_Attribute):
    pass


class Other(EventDispatcher):
    shout = Upper("hey")
    quiet = Plain("hush")



# ---------------------------------------------------------------------------
# Construction


def test_fields_after_construction():
    a = _Attribute()
    assert (a.attrtype, a.sync, a.options, a.values, a.defaultvalue) == ("", 0, [], {}, "")
    b = _Attribute("x", attrtype="style", attrname=None, sync=1.7, options=("p", "q"), values=iter("PQ"))
    assert (b.attrtype, b.sync, b.options, b.values, b.defaultvalue) == ("style", 1, ["p", "q"], {"p": "P", "q": "Q"}, "x")
    assert _Attribute(sync=True).sync == 1 and type(_Attribute(sync=True).sync) is int
    assert _Attribute(defaultvalue="k").defaultvalue == "k"


def test_options_are_copied_and_values_default_to_options():
    given = ["auto", "inherit"]
    a = _Attribute(options=given)
    assert a.options == given and a.options is not given
    assert a.values == {"auto": "auto", "inherit": "inherit"}
    # values are ignored without options
    assert _Attribute(values=[1, 2]).values == {}


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"attrtype": 5}, TypeError, "Expected str, got int"),
        ({"attrtype": StrSub("x")}, TypeError, "Expected str, got StrSub"),
        ({"attrname": b"x"}, TypeError, "Expected str, got bytes"),
        ({"sync": "1"}, TypeError, "an integer is required"),
        ({"sync": None}, TypeError, "an integer is required"),
        ({"sync": 2**31}, OverflowError, "value too large to convert to int"),
        ({"options": 5}, TypeError, "'int' object is not iterable"),
        ({"options": [1, 2], "values": 5}, TypeError, "'int' object is not iterable"),
        ({"options": ["auto", "inherit"], "values": ["x"]}, AttributeError,
         "length mismatch between options and values lists"),
        ({"options": [[1]]}, TypeError, "unhashable type: 'list'"),
    ],
)
def test_keyword_errors(kwargs, exc, message, no_leak):
    with pytest.raises(exc) as info:
        _Attribute(**kwargs)
    assert str(info.value) == message
    assert entries(info)[-1] == ("ruvo.core._attributes._Attribute.__init__", FILE)
    no_leak(lambda: _Attribute(**kwargs), raises=exc)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a", "b"), {}, "__init__() takes at most 1 positional argument (2 given)"),
        (("a",), {"defaultvalue": "b"}, "__init__() got multiple values for keyword argument 'defaultvalue'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _Attribute(*args, **kwargs)
    assert str(info.value) == message


def test_failing_step_keeps_earlier_steps():
    a = _Attribute(attrtype="style", options=["x"])
    with pytest.raises(AttributeError):
        a.__init__(attrtype="class", sync=3, options=["p", "q"], values=[1])
    assert (a.attrtype, a.sync, a.options, a.values) == ("class", 3, ["p", "q"], {"x": "x"})


class Recorder(Property):
    calls = []

    def __init__(self, *args, **kwargs):
        Recorder.calls.append((args, kwargs))
        super().__init__(*args, **kwargs)


class Probe(_Attribute, Recorder):
    pass


def test_base_constructor_through_super_gets_every_keyword():
    Recorder.calls.clear()
    given = {"attrtype": "style", "sync": 1, "options": ["a"], "allownone": False, "units": "px"}
    Probe("a", **given)
    assert Recorder.calls == [(("a",), {**given, "allownone": True})]
    assert given["allownone"] is False  # the caller's dict is untouched
    Recorder.calls.clear()
    Probe()
    assert Recorder.calls == [(("",), {"allownone": True})]


def test_class_surface():
    assert _Attribute.__module__ == "ruvo.core._attributes"
    assert _Attribute.__doc__.startswith("General Html attribute class with a string value.")
    for word in ("`defaultvalue`", "`attrtype`", "`sync`", "`options`", "`values`"):
        assert word in _Attribute.__doc__
    assert issubclass(_Attribute, Property)
    a = _Attribute()
    for name in ("attrtype", "sync", "options", "values", "attrname"):
        with pytest.raises(AttributeError):
            setattr(a, name, "x")


# ---------------------------------------------------------------------------
# attrname


@pytest.mark.parametrize(
    "attrname, name, expected",
    [("", "font_size", "font-size"), (None, "font_size", "font-size"), ("data-x", "font_size", "data-x"),
     ("", "a_b_c", "a-b-c"), ("", "plain", "plain")],
)
def test_attrname_resolution(attrname, name, expected):
    a = _Attribute(attrname=attrname)
    a.__set_name__(Widget, name)
    assert a.attrname == expected


def test_attrname_on_widget_classes():
    assert Widget.font_size.attrname == "font-size"
    assert Widget.data.attrname == "data-x"


class OddName(_Attribute):
    name = 5


def test_attrname_errors():
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'replace'$"):
        _Attribute().attrname
    assert _Attribute(attrname="given").attrname == "given"
    with pytest.raises(TypeError, match=r"^Expected str, got int$") as info:
        OddName().attrname
    assert entries(info)[-1][0] == "ruvo.core._attributes._Attribute.attrname.__get__"


# ---------------------------------------------------------------------------
# Assignment: init_storage and check


def test_values_and_defaults_per_widget():
    w = Widget(title="hello")
    assert (w.title, w.font_size, w.align, w.level, w.data) == ("hello", "12px", "auto", "a", "")
    w.title = StrSub("sub")
    assert w.title == "sub"
    w.title = None  # allownone is always set
    assert w.title is None


def test_each_widget_validates_against_its_own_options():
    a, b = Widget(), Widget()
    sa = a.property_storage("align")
    assert sa.options == ["auto", "inherit"]
    assert sa.options is not Widget.align.options
    assert sa.options is not b.property_storage("align").options
    sa.options.append("initial")
    a.align = "initial"
    assert a.align == "initial"
    with pytest.raises(ValueError, match="invalid option 'initial'"):
        b.align = "initial"
    assert Widget.align.options == ["auto", "inherit"]


@pytest.mark.parametrize(
    "prop, value, message",
    [
        ("title", 5, "Widget.title accept only str"),
        ("align", b"auto", "Widget.align accept only str"),
        ("align", "A", "Widget.align is set to an invalid option 'A'. Must be one of: ['auto', 'inherit']"),
        ("level", "c", "Widget.level is set to an invalid option 'c'. Must be one of: ['a', 'b']"),
    ],
)
def test_check_messages(prop, value, message, no_leak):
    w = Widget()
    before = getattr(w, prop)
    with pytest.raises(ValueError) as info:
        setattr(w, prop, value)
    assert str(info.value) == message
    assert getattr(w, prop) == before
    assert ("ruvo.core._attributes._Attribute.check", FILE) in entries(info)
    no_leak(lambda: setattr(w, prop, value), raises=ValueError)


def test_check_accepts():
    w = Widget()
    w.align = "inherit"
    w.title = "anything"
    w.property_storage("align").options = None
    w.align = "free"
    w.property_storage("align").options = []
    w.align = "freer"
    assert (w.align, w.title) == ("freer", "anything")
    w.align = None  # accepted by the base without the string and option tests
    assert w.align is None


def test_message_uses_subclass_and_property_names():
    class Panel(Widget):
        pass

    p = Panel()
    with pytest.raises(ValueError, match=r"^Panel\.title accept only str$"):
        p.title = 1


def test_compare_value_keeps_equal_values():
    seen = []
    w = Widget()
    w.bind(title=lambda obj, value: seen.append(value))
    w.title = "a"
    w.title = "a"
    w.title = "b"
    assert seen == ["a", "b"]


# ---------------------------------------------------------------------------
# attrvalue


def test_attrvalue_renders_through_values_map():
    w = Widget()
    level = Widget.level
    assert level.attrvalue(w) == 1
    w.level = "b"
    assert level.attrvalue(obj=w) == 2
    w.level = None
    assert level.attrvalue(w) == ""
    w.title = "t"
    assert Widget.title.attrvalue(w) == "t"
    w.title = None
    assert Widget.title.attrvalue(w) == ""


def test_attrvalue_missing_key(no_leak):
    w = Widget()
    w.property_storage("level").options.append("c")
    w.level = "c"
    with pytest.raises(KeyError) as info:
        Widget.level.attrvalue(w)
    assert info.value.args == ("c",)
    assert entries(info)[-1] == ("ruvo.core._attributes._Attribute.attrvalue", FILE)
    no_leak(lambda: Widget.level.attrvalue(w), raises=KeyError)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((5,), {}, f"Argument 'obj' has incorrect type (expected {DISPATCHER_NAME}, got int)"),
        ((), {}, "attrvalue() takes exactly 1 positional argument (0 given)"),
        ((None, None), {}, "attrvalue() takes exactly 1 positional argument (2 given)"),
        ((), {"widget": None}, "attrvalue() takes exactly 1 positional argument (0 given)"),
        ((None,), {"obj": None}, "attrvalue() got multiple values for keyword argument 'obj'"),
    ],
)
def test_attrvalue_argument_errors(args, kwargs, message, no_leak):
    with pytest.raises(TypeError) as info:
        Widget.title.attrvalue(*args, **kwargs)
    assert str(info.value) == message
    no_leak(lambda: Widget.title.attrvalue(*args, **kwargs), raises=TypeError)


def test_attrvalue_lets_none_through():
    # None reaches the value access, whose own error is not the argument test
    with pytest.raises(Exception) as info:
        Widget.title.attrvalue(None)
    assert not str(info.value).startswith("Argument 'obj'")
    with pytest.raises(Exception):
        Widget.title.attrvalue(obj=None)


def test_attrvalue_of_python_subclass():
    o = Other()
    assert Other.shout.attrvalue(o) == "<HEY>"
    assert Other.quiet.attrvalue(o) == "hush"
    assert _Attribute.attrvalue(Other.shout, o) == "hey"  # the native method never re-dispatches


# The table of internal operations, read as a native caller would.
ATTRVALUE = PROPERTY_OPS  # the first new operation



def test_table_extends_property_table():
    ours = table_of(_Attribute, PROPERTY_OPS + 1)
    base = table_of(Property, PROPERTY_OPS)
    replaced = {0, 10, 13}  # init_storage, compare_value, check
    for i in range(PROPERTY_OPS):
        assert (ours[i] != base[i]) == (i in replaced), i
    assert ours[ATTRVALUE]


def test_table_attrvalue_dispatches_to_python_override(no_leak):
    op = AttrvalueOp(table_of(_Attribute, PROPERTY_OPS + 1)[ATTRVALUE])
    o = Other()
    assert op(Other.shout, o, 0) == "<HEY>"
    assert op(Other.shout, o, 1) == "hey"
    assert op(Other.quiet, o, 0) == "hush"
    w = Widget()
    assert op(Widget.level, w, 0) == 1
    # an instance attribute overrides as well
    odd = Plain("v")
    odd.attrvalue = lambda obj: ("instance", obj)
    assert op(odd, 7, 0) == ("instance", 7)
    no_leak(lambda: op(Other.shout, o, 0))

    class Failing(_Attribute):
        def attrvalue(self, obj):
            raise LookupError("from the override")

    with pytest.raises(LookupError, match="from the override"):
        op(Failing(), o, 0)


# ---------------------------------------------------------------------------
# Pickling, garbage collection


ALL_CLASSES = [getattr(_attributes, name) for name in (
    "_Attribute", "_NumericAttribute", "_BoundedNumericAttribute", "_BooleanAttribute", "_LogicalAttribute",
    "_ListAttribute", "_VariableListAttribute", "_ColorAttribute", "_GenericEventAttribute")]


@pytest.mark.parametrize(
    "action",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda a: a.__reduce__(), lambda a: a.__setstate__({}),
     lambda a: a.__reduce_ex__(2)],
)
@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_pickling_refused(cls, action, no_leak):
    for attr in (cls(), type("Sub", (cls,), {})()):
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            action(attr)
    if cls is _Attribute:
        for attr in (Widget.level, Other.shout):
            with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
                action(attr)
        no_leak(lambda: action(Widget.level), raises=TypeError)


def test_pickling_methods_named_in_traceback():
    with pytest.raises(TypeError) as info:
        Widget.title.__setstate__(None)
    assert entries(info)[-1][0] == "ruvo.core._attributes._Attribute.__setstate__"



@pytest.mark.parametrize("where", ["options", "values", "subclass"])
def test_cycles_are_collected(where):
    Canary.died = 0
    gc.collect()
    for _ in range(3):
        canary = Canary()
        if where == "subclass":
            a = Plain()
            a.extra = canary
        else:
            a = _Attribute(options=["x"])
        canary.attr = a
        if where == "options":
            a.options.append(canary)
        else:
            a.values[canary] = canary
        del a, canary
    gc.collect()
    assert Canary.died == 3


def test_cleared_attribute_fails_cleanly():
    # tp_clear, as the collector runs it on a cycle, leaves options and values None
    class W(EventDispatcher):
        a = _Attribute("x", options=["x", "y"], values=["1", "2"])

    w = W()
    clear = ctypes.cast(id(_Attribute), ctypes.POINTER(ctypes.c_void_p))[24]  # PyTypeObject.tp_clear
    ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(clear)(W.a)
    assert (W.a.options, W.a.values) == (None, None)
    with pytest.raises(TypeError, match=r"^'NoneType' object is not subscriptable$") as info:
        W()
    assert entries(info)[-1] == ("ruvo.core._attributes._Attribute.init_storage", FILE)
    assert W.a.attrvalue(w) == "x"


def test_no_leaks(no_leak):
    w = Widget()
    no_leak(lambda: _Attribute("d", attrtype="style", sync=1, options=["a", "b"], values=[1, 2], units="px"))
    no_leak(lambda: Widget.level.attrvalue(w))
    no_leak(lambda: Other.shout.attrvalue(Other()))
    no_leak(lambda: Widget.font_size.attrname)
    no_leak(lambda: Widget())

    def assign():
        w.align = "inherit"
        w.align = "auto"

    no_leak(assign)
