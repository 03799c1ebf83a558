"""Arbitrary and hostile values thrown at every attribute class: construction,
assignment and rendering give only Python exceptions, a refused value leaves
the stored one as it was, and collection during a call is harmless."""

import gc

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from hostile import Raiser, values
from ruvo.core._attributes import (
    _Attribute,
    _BooleanAttribute,
    _BoundedNumericAttribute,
    _ColorAttribute,
    _GenericEventAttribute,
    _ListAttribute,
    _LogicalAttribute,
    _NumericAttribute,
    _VariableListAttribute,
)
from ruvo.core._event import EventDispatcher


def handler(obj, name, **kwargs):
    return f"go('{name}')"


class Widget(EventDispatcher):
    text = _Attribute("a", attrtype="element", options=["a", "b"], values=["1", "2"])
    free = _Attribute("", attrtype="element")
    size = _NumericAttribute(12, attrtype="style", units="px", options=["auto"])
    level = _BoundedNumericAttribute(5, min=0, max=10, options=["inherit"])
    hidden = _BooleanAttribute(False, attrtype="element")
    pressed = _LogicalAttribute(None, attrtype="element")
    fonts = _ListAttribute(["a"], attrtype="style")
    margin = _VariableListAttribute(None, attrtype="style", options=["auto"])
    color = _ColorAttribute(None, attrtype="style", format="css", options=["inherit"])
    onclick = _GenericEventAttribute(False, handler, attrtype="element")


NAMES = ["text", "free", "size", "level", "hidden", "pressed", "fonts", "margin", "color", "onclick"]
CLASSES = [_Attribute, _NumericAttribute, _BoundedNumericAttribute, _BooleanAttribute, _LogicalAttribute,
           _ListAttribute, _VariableListAttribute, _ColorAttribute, _GenericEventAttribute]

fast = settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@fast
@given(st.data())
@pytest.mark.parametrize("name", NAMES)
def test_assignment_and_rendering(name, data):
    w = Widget()
    descriptor = getattr(Widget, name)
    before = getattr(w, name)
    value = data.draw(values)
    try:
        setattr(w, name, value)
    except Exception:
        # A refused value leaves the stored one in place.
        assert getattr(w, name) is before or getattr(w, name) == before
    try:
        text = descriptor.attrvalue(w)
    except Exception:
        return
    assert text is not None


@fast
@given(st.data())
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_construction_with_arbitrary_keywords(cls, data):
    kwargs = {key: data.draw(values) for key in data.draw(
        st.lists(st.sampled_from(["attrtype", "attrname", "sync", "options", "values", "length", "format",
                                  "units", "min", "max", "allownone"]), max_size=4, unique=True))}
    args = [data.draw(values)] if data.draw(st.booleans()) else []
    try:
        prop = cls(*args, **kwargs)
    except Exception:
        return
    for attr in ("attrtype", "sync"):
        getattr(prop, attr)
    try:
        prop.attrname  # an unnamed property: the name is None
    except Exception:
        pass


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("where", ["eq", "hash", "bool", "str", "format"])
def test_values_with_raising_protocols(name, where):
    w = Widget()
    try:
        setattr(w, name, Raiser(where))
    except Exception:
        pass
    try:
        getattr(Widget, name).attrvalue(w)
    except Exception:
        pass


def test_widget_collected_inside_a_handler():
    holder = []

    def dropping_handler(obj, name, **kwargs):
        holder.clear()
        gc.collect()
        return "x"

    class W(EventDispatcher):
        onclick = _GenericEventAttribute(True, dropping_handler, attrtype="element")

    holder.append(W())
    w = holder[0]
    del w
    assert W.onclick.attrvalue(holder[0]) == "x"
    assert holder == []


def test_subclass_attrvalue_that_collects():
    class Collecting(_Attribute):
        def attrvalue(self, obj):
            gc.collect()
            return super().attrvalue(obj)

    class W(EventDispatcher):
        text = Collecting("x")

    assert W.text.attrvalue(W()) == "x"
