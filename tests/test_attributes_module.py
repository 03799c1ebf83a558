"""Importing ruvo.core._attributes: its names, and refusals of a broken framework."""

import json

import pytest

from ruvo.core import _attributes, _event, properties, utils

ALL = ("_Attribute", "_NumericAttribute", "_BoundedNumericAttribute", "_BooleanAttribute",
       "_VariableListAttribute", "_ColorAttribute", "_GenericEventAttribute")


def test_module_names():
    assert _attributes.ObservableList is properties.ObservableList
    assert _attributes.CSS_LENGTH_UNITS is properties.CSS_LENGTH_UNITS
    assert _attributes.get_color_from_hex_255 is utils.get_color_from_hex_255
    assert isinstance(_attributes.__all__, tuple)
    # __all__ lists the bound classes of the documented order
    assert _attributes.__all__ == tuple(n for n in ALL if hasattr(_attributes, n))
    assert _attributes.__all__[0] == "_Attribute"
    assert _attributes.__test__ == {}
    assert isinstance(_attributes._Attribute, type)


# Runs in a fresh interpreter: replaces names of a framework module by a
# module of the same name, then imports _attributes and reports the outcome.
PROBE = r"""
import importlib, json, sys, types, warnings
import ruvo.core.properties, ruvo.core._event, ruvo.core.utils

def substitute(modname, **changes):
    real = sys.modules[modname]
    fake = types.ModuleType(modname)
    fake.__dict__.update({k: v for k, v in vars(real).items() if not k.startswith("__")})
    for k, v in changes.items():
        if v is DELETE:
            del fake.__dict__[k]
        else:
            setattr(fake, k, v)
    sys.modules[modname] = fake
    return real

DELETE = object()
P = ruvo.core.properties
E = ruvo.core._event
{setup}
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    try:
        import ruvo.core._attributes as m
        outcome = ["ok", m._Attribute.__name__]
    except BaseException as e:
        outcome = [type(e).__name__, str(e), "ruvo.core._attributes" in sys.modules]
print(json.dumps({"outcome": outcome, "warnings": [[w.category.__name__, str(w.message)] for w in caught]}))
"""


def probe(python_subprocess, setup):
    proc = python_subprocess(PROBE.replace("{setup}", setup))
    return json.loads(proc.stdout.strip().splitlines()[-1])


def size_message(module, name, expected, got):
    return (f"{module}.{name} size changed, may indicate binary incompatibility. "
            f"Expected {expected} from C header, got {got} from PyObject")


PROPERTY_SIZE = properties.Property.__basicsize__


@pytest.mark.parametrize(
    "setup, outcome",
    [
        ("substitute('ruvo.core.properties', Property=DELETE)",
         ["AttributeError", "module 'ruvo.core.properties' has no attribute 'Property'", False]),
        ("substitute('ruvo.core.properties', Property=5)",
         ["TypeError", "ruvo.core.properties.Property is not a type object", False]),
        ("substitute('ruvo.core._event', EventDispatcher='x')",
         ["TypeError", "ruvo.core._event.EventDispatcher is not a type object", False]),
        ("class Small: __slots__ = ()\nsubstitute('ruvo.core.properties', Property=Small)",
         ["ValueError", size_message("ruvo.core.properties", "Property", PROPERTY_SIZE, 16), False]),
        ("class Small: __slots__ = ()\nsubstitute('ruvo.core._event', EventDispatcher=Small)",
         ["ValueError",
          size_message("ruvo.core._event", "EventDispatcher", _event.EventDispatcher.__basicsize__, 16), False]),
        # a larger base would overlap the fields laid after it
        ("class Big(P.Property): __slots__ = ('a',)\nsubstitute('ruvo.core.properties', Property=Big)",
         ["ValueError", size_message("ruvo.core.properties", "Property", PROPERTY_SIZE, PROPERTY_SIZE + 8), False]),
        ("class Sub(P.Property): __slots__ = ()\nsubstitute('ruvo.core.properties', Property=Sub)",
         ["RuntimeError", "invalid vtable found for imported type", False]),
        ("class Sub(P.StringProperty): pass\nsubstitute('ruvo.core.properties', StringProperty=Sub)",
         ["RuntimeError", "invalid vtable found for imported type", False]),
        ("substitute('ruvo.core.properties', CSS_LENGTH_UNITS=DELETE)",
         ["ImportError", "cannot import name 'CSS_LENGTH_UNITS' from 'ruvo.core.properties' (unknown location)", False]),
        ("substitute('ruvo.core.utils', get_color_from_hex_255=DELETE)",
         ["ImportError", "cannot import name 'get_color_from_hex_255' from 'ruvo.core.utils' (unknown location)", False]),
        ("import builtins; del builtins.zip",
         ["NameError", "name 'zip' is not defined", False]),
    ],
    ids=["missing", "not-a-type", "event-not-a-type", "smaller", "smaller-event", "larger-base", "no-table",
         "no-table-other", "missing-name", "missing-utils-name", "no-zip"],
)
def test_broken_framework_refused(python_subprocess, setup, outcome):
    result = probe(python_subprocess, setup)
    assert result["outcome"] == outcome


def test_larger_type_only_warns(python_subprocess):
    # BoundCallback is used, never extended: a larger record is harmless
    result = probe(python_subprocess, """
class Big(E.BoundCallback):
    __slots__ = ('a', 'b')
substitute('ruvo.core._event', BoundCallback=Big)
""")
    size = _event.BoundCallback.__basicsize__
    assert result["outcome"] == ["ok", "_Attribute"]
    assert result["warnings"] == [
        ["RuntimeWarning", size_message("ruvo.core._event", "BoundCallback", size, size + 16)]]


def test_failed_import_starts_afresh(python_subprocess):
    proc = python_subprocess("""
import sys, ruvo.core._event as E, ruvo.core.properties
real = sys.modules['ruvo.core._event']
class Small: __slots__ = ()
import types
fake = types.ModuleType('ruvo.core._event'); fake.__dict__.update(vars(real)); fake.EventDispatcher = Small
sys.modules['ruvo.core._event'] = fake
try:
    import ruvo.core._attributes
except ValueError as e:
    print('failed', 'ruvo.core._attributes' in sys.modules)
sys.modules['ruvo.core._event'] = real
from ruvo.core._attributes import _Attribute
class W(E.EventDispatcher):
    a = _Attribute('x', options=['x', 'y'], values=['X', 'Y'])
w = W()
w.a = 'y'
print(W.a.attrvalue(w))
""")
    assert proc.stdout.split() == ["failed", "False", "Y"]


def test_reimport_returns_the_same_module(python_subprocess):
    proc = python_subprocess("""
import importlib, sys
import ruvo.core._attributes as first
del sys.modules['ruvo.core._attributes']
import ruvo.core._attributes as second
print(first is second, first._Attribute is second._Attribute)
""")
    assert proc.stdout.split() == ["True", "True"]


FETCHED = {
    properties: ["Property", "NumericProperty", "BoundedNumericProperty", "BooleanProperty", "ListProperty",
                 "VariableListProperty", "StringProperty", "DictProperty", "ObjectProperty", "OptionProperty",
                 "ReferenceListProperty", "AliasProperty", "ColorProperty", "PropertyStorage"],
    _event: ["ObjectWithUid", "Observable", "EventDispatcher", "BoundCallback", "EventObservers"],
}
WITH_TABLE = {n for n in FETCHED[properties] if n.endswith("Property")} | {"EventDispatcher", "EventObservers"}


@pytest.mark.parametrize("module, name", [(m, n) for m, names in FETCHED.items() for n in names])
def test_framework_publishes_what_the_module_fetches(module, name):
    cls = getattr(module, name)
    assert isinstance(cls, type)
    if name in WITH_TABLE:
        assert type(cls.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"
    if name.endswith("Property") and name != "Property":
        assert issubclass(cls, properties.Property)
