"""_BooleanAttribute and _LogicalAttribute through real widgets."""

import gc

import pytest
from gcprobe import Canary
from native_probe import AttrvalueOp, PROPERTY_OPS, entries, table_of

from ruvo.core._attributes import _BooleanAttribute, _LogicalAttribute
from ruvo.core._event import EventDispatcher
from ruvo.core.properties import BooleanProperty
from ruvo.uix._html import join_attributes

CLASSES = [_BooleanAttribute, _LogicalAttribute]
FILE = "ruvo/core/_attributes/boolean.cpp"


class Field(EventDispatcher):
    read_only = _BooleanAttribute(False, attrtype="element")
    hidden = _BooleanAttribute(True, allownone=True)
    locked = _BooleanAttribute(attrname="readonly", allownone=True)
    checked = _LogicalAttribute(None, attrname="aria-checked")
    expanded = _LogicalAttribute(False, allownone=False)



# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize("cls", CLASSES)
def test_fields_after_construction(cls):
    a = cls()
    assert (a.attrtype, a.sync) == ("", 0)
    b = cls(True, attrtype="element", attrname="x", sync=1.9)
    assert (b.attrtype, b.attrname, b.sync, b.defaultvalue) == ("element", "x", 1, True)
    assert type(b.sync) is int
    for name in ("options", "values"):
        assert not hasattr(b, name)
    for name in ("attrtype", "sync", "attrname"):
        with pytest.raises(AttributeError):
            setattr(b, name, "x")


class StrSub(str):
    pass


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"attrtype": 5}, TypeError, "Expected str, got int"),
        ({"attrname": StrSub("x")}, TypeError, "Expected str, got StrSub"),
        ({"sync": "yes"}, TypeError, "an integer is required"),
        ({"sync": -(2**31) - 1}, OverflowError, "value too large to convert to int"),
    ],
)
def test_keyword_errors(cls, kwargs, exc, message, no_leak):
    with pytest.raises(exc) as info:
        cls(**kwargs)
    assert str(info.value) == message
    assert entries(info)[-1] == (f"ruvo.core._attributes.{cls.__name__}.__init__", FILE)
    no_leak(lambda: cls(**kwargs), raises=exc)


calls = []


class Recorder(BooleanProperty):
    def __init__(self, *args, **kwargs):
        calls.append((args, kwargs))
        super().__init__(*args, **kwargs)


class BoolProbe(_BooleanAttribute, Recorder):
    pass


class LogicalProbe(_LogicalAttribute, Recorder):
    pass


@pytest.mark.parametrize(
    "probe, given, passed",
    [
        (BoolProbe, {"allownone": False, "sync": 1}, {"allownone": False, "sync": 1}),
        (BoolProbe, {"attrtype": "element"}, {"attrtype": "element"}),
        (LogicalProbe, {"allownone": False, "attrname": "a"}, {"allownone": True, "attrname": "a"}),
        (LogicalProbe, {}, {"allownone": True}),
    ],
)
def test_base_constructor_keywords(probe, given, passed):
    calls.clear()
    snapshot = dict(given)
    probe(True, **given)
    assert calls == [((True,), passed)]
    assert given == snapshot  # the caller's dictionary is untouched


@pytest.mark.parametrize("cls", CLASSES)
def test_positionals_are_the_base_constructors_business(cls):
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 1 positional argument \(2 given\)$"):
        cls(True, "extra")


def test_type_error_comes_before_the_base_constructor():
    calls.clear()
    with pytest.raises(TypeError, match=r"^Expected str, got float$"):
        BoolProbe(attrtype=1.5)
    assert calls == []


def test_allownone_reaches_the_base():
    assert Field.checked.allownone is True and Field.expanded.allownone is True
    assert Field.read_only.allownone is False and Field.hidden.allownone is True


BOOLEAN_DOC = (
    "Boolean Html attribute class which returns `attrname` as the\n"
    "         return value when its true and empty string when its false.\n"
    "\n"
    "    :Parameters:\n"
    "        `defaultvalue`: boolean, defaults to false\n"
    "        Specifies the default value of the attribute.\n"
    "        `attrtype`: string, attribute type - 'style', 'class', 'element'\n"
    "        `sync`: boolean, relevant for element attributes only, class and style attributes\n"
    "        are always synced. If true the update event is sent to the client when the attribute value is updated.\n"
    "    "
)
LOGICAL_DOC = (
    "Logical html attribute class which returns 'true' or 'false' as string type and empty string when it is None.\n"
    "\n"
    "    :Parameters:\n"
    "        `defaultvalue`: boolean, defaults to False\n"
    + BOOLEAN_DOC.split("defaults to false\n", 1)[1]
)


def test_class_surface():
    assert _BooleanAttribute.__doc__ == BOOLEAN_DOC
    assert _LogicalAttribute.__doc__ == LOGICAL_DOC
    for cls in CLASSES:
        assert cls.__bases__ == (BooleanProperty,)
        assert cls.__module__ == "ruvo.core._attributes"


# ---------------------------------------------------------------------------
# attrvalue


@pytest.mark.parametrize(
    "prop, value, rendered",
    [
        ("read_only", True, "read-only"),
        ("read_only", False, ""),
        ("read_only", 1, "read-only"),  # converted to True by the base
        ("hidden", True, "hidden"),
        ("hidden", None, ""),
        ("hidden", 0, ""),
        ("locked", True, "readonly"),
        ("locked", [], ""),
        ("checked", True, "true"),
        ("checked", False, "false"),
        ("checked", None, ""),
        ("checked", 0, "false"),
        ("checked", "", "false"),
        ("expanded", None, ""),
    ],
)
def test_rendering(prop, value, rendered, no_leak):
    f = Field()
    setattr(f, prop, value)
    attr = getattr(Field, prop)
    assert attr.attrvalue(f) == rendered
    assert attr.attrvalue(obj=f) == rendered
    no_leak(lambda: attr.attrvalue(f))


def test_logical_texts_are_shared():
    f = Field()
    f.checked = True
    assert Field.checked.attrvalue(f) is Field.checked.attrvalue(f)


def test_boolean_refuses_none_without_allownone():
    with pytest.raises(ValueError):
        Field().read_only = None


def test_bare_boolean_attribute_in_the_element():
    f = Field()
    f.locked = True
    f.read_only = False
    attrs = {}
    for prop in (Field.locked, Field.read_only):
        attrs[prop.attrname] = prop.attrvalue(f)
    assert join_attributes(attrs) == "readonly"
    f.read_only = True
    attrs[Field.read_only.attrname] = Field.read_only.attrvalue(f)
    # "read-only" is no HTML boolean attribute: a bare name would empty its value
    assert join_attributes(attrs) == 'readonly read-only="read-only"'


class Own(_BooleanAttribute):
    attrname = "own-name"


class NamedByProperty(_BooleanAttribute):
    @property
    def attrname(self):
        return self.name.upper()


class Custom(EventDispatcher):
    mine = Own(True)
    shout = NamedByProperty(True)
    plain_sub = type("PlainSub", (_BooleanAttribute,), {})(True)


def test_python_subclass_attrname_is_used():
    c = Custom()
    assert Custom.mine.attrvalue(c) == "own-name"
    assert Custom.shout.attrvalue(c) == "SHOUT"
    assert Custom.plain_sub.attrvalue(c) == "plain-sub"


class OddName(_BooleanAttribute):
    name = 5  # shadows the property's own name for Python lookups


class Odd(EventDispatcher):
    flag = OddName(True)


def test_attrname_lookup_errors_propagate(no_leak):
    o = Odd()
    with pytest.raises(TypeError, match=r"^Expected str, got int$") as info:
        Odd.flag.attrvalue(o)
    names = [name for name, _ in entries(info)]
    assert names[-2:] == ["ruvo.core._attributes._BooleanAttribute.attrvalue",
                          "ruvo.core._attributes._BooleanAttribute.attrname.__get__"]
    no_leak(lambda: Odd.flag.attrvalue(o), raises=TypeError)
    o.flag = False
    assert Odd.flag.attrvalue(o) == ""  # no lookup for a false value


def test_unplaced_attribute_has_no_name():
    loose = _BooleanAttribute(True)
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'replace'$"):
        loose.attrname


DISPATCHER_NAME = f"{EventDispatcher.__module__}.{EventDispatcher.__qualname__}"


@pytest.mark.parametrize("cls, prop", [(_BooleanAttribute, "hidden"), (_LogicalAttribute, "checked")])
def test_attrvalue_argument_errors(cls, prop, no_leak):
    attr = getattr(Field, prop)
    with pytest.raises(TypeError) as info:
        attr.attrvalue("widget")
    assert str(info.value) == f"Argument 'obj' has incorrect type (expected {DISPATCHER_NAME}, got str)"
    assert entries(info)[-1] == (f"ruvo.core._attributes.{cls.__name__}.attrvalue", FILE)
    with pytest.raises(TypeError, match=r"^attrvalue\(\) got multiple values for keyword argument 'obj'$"):
        attr.attrvalue(None, obj=None)
    with pytest.raises(Exception) as info:  # None passes the argument test, then the value access fails
        attr.attrvalue(None)
    assert not str(info.value).startswith("Argument")
    assert (f"ruvo.core._attributes.{cls.__name__}.attrvalue", FILE) in entries(info)
    no_leak(lambda: attr.attrvalue(7), raises=TypeError)


# The table of internal operations, as a native caller reads it.
ATTRVALUE = PROPERTY_OPS



@pytest.mark.parametrize("cls", CLASSES)
def test_table_is_the_boolean_table_plus_attrvalue(cls):
    assert table_of(cls, PROPERTY_OPS) == table_of(BooleanProperty, PROPERTY_OPS)
    assert table_of(cls, ATTRVALUE + 1)[ATTRVALUE]


class Inverted(_LogicalAttribute):
    def attrvalue(self, obj):
        return {"true": "false", "false": "true"}.get(super().attrvalue(obj), "")


class Switch(EventDispatcher):
    state = Inverted(True)


def test_table_attrvalue_reaches_python_override(no_leak):
    op = AttrvalueOp(table_of(_LogicalAttribute, ATTRVALUE + 1)[ATTRVALUE])
    s = Switch()
    assert op(Switch.state, s, 0) == "false"
    assert op(Switch.state, s, 1) == "true"
    assert _LogicalAttribute.attrvalue(Switch.state, s) == "true"
    f = Field()
    bool_op = AttrvalueOp(table_of(_BooleanAttribute, ATTRVALUE + 1)[ATTRVALUE])
    assert bool_op(Field.hidden, f, 0) == "hidden"
    no_leak(lambda: op(Switch.state, s, 0))


# ---------------------------------------------------------------------------
# Pickling, garbage collection, leaks



@pytest.mark.parametrize("cls", CLASSES)
def test_text_fields_are_not_visited(cls):
    a = cls(True, attrtype="element", attrname="named")
    referents = gc.get_referents(a)
    assert not any(r is a.attrtype for r in referents)
    assert not any(isinstance(r, str) and r == "named" for r in referents)



@pytest.mark.parametrize("cls", CLASSES)
def test_subclass_cycles_are_collected(cls):
    sub = type("Sub", (cls,), {})
    Canary.died = 0
    gc.collect()
    for _ in range(3):
        a = sub(True)
        a.canary = Canary()
        a.canary.back = a
        del a
    gc.collect()
    assert Canary.died == 3


def test_no_leaks(no_leak):
    f = Field()
    no_leak(lambda: _BooleanAttribute(True, attrtype="element", sync=1, allownone=True))
    no_leak(lambda: _LogicalAttribute(None, attrname="aria-x"))
    no_leak(lambda: Field())

    def assign():
        f.read_only = True
        f.read_only = False
        f.checked = None
        f.checked = True

    no_leak(assign)
    no_leak(lambda: Field.read_only.attrvalue(f))
    no_leak(lambda: Custom.shout.attrvalue(Custom()))
