"""Benchmark of ruvo.core._attributes: rendering and assignment through the
native descriptors against the same descriptors and framework path written in
plain Python, with a call of a built-in that does nothing as the floor.

Run: .venv/bin/python benchmarks/bench_attributes.py [--quick]
Prints nanoseconds per operation (best of several repeats) and ratios measured
in this one run.
"""

import os
import re
import struct
import sys

from ruvo.core import _attributes
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _timing import FLOOR, FLOOR_NAME, Figure, best_times, print_figures  # noqa: E402
from python_colour import py_get_color_from_hex_255  # noqa: E402



# ---------------------------------------------------------------------------
# The plain-Python peer: a property framework and an attribute descriptor that
# take the same path (convert, check through the options of the widget's own
# storage, compare, store, notify).


class PyStorage:
    __slots__ = ("value", "observers", "options", "units")


class PyProperty:
    def __init__(self, defaultvalue=None, **kw):
        self.defaultvalue = defaultvalue
        self.allownone = bool(kw.get("allownone", False))
        self.name = None

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, obj, objtype=None):
        if obj is None:
            return self
        return self.get_value(obj)

    def __set__(self, obj, value):
        self.set(obj, value)

    def init_storage(self, obj, storage):
        storage.value = self.convert(obj, self.defaultvalue)
        storage.observers = []

    def get_value(self, obj):
        return obj._storage[self.name].value

    def convert(self, obj, value):
        return value

    def check(self, obj, value):
        if value is None:
            if self.allownone:
                return True
            raise ValueError(f"None is not allowed for {obj.__class__.__name__}.{self.name}")
        return None

    def compare_value(self, a, b):
        return a == b

    def set(self, obj, value):
        value = self.convert(obj, value)
        self.check(obj, value)
        storage = obj._storage[self.name]
        if self.compare_value(storage.value, value):
            return False
        storage.value = value
        for callback in storage.observers:
            callback(obj, value)
        return True


class PyAttribute(PyProperty):
    def __init__(self, defaultvalue="", **kw):
        self.attrtype = kw.get("attrtype", "")
        self.attrname_ = kw.get("attrname", "")
        self.sync = int(kw.get("sync", 0))
        self.options = list(kw.get("options", []))
        self.values = {}
        if self.options:
            values = list(kw.get("values", [])) or list(self.options)
            if len(values) != len(self.options):
                raise AttributeError("length mismatch between options and values lists")
            self.values = dict(zip(self.options, values))
        kw["allownone"] = True
        super().__init__(defaultvalue, **kw)

    def init_storage(self, obj, storage):
        super().init_storage(obj, storage)
        storage.options = self.options[:]

    def check(self, obj, value):
        if PyProperty.check(self, obj, value):
            return True
        if not isinstance(value, str):
            raise ValueError(f"{obj.__class__.__name__}.{self.name} accept only str")
        options = obj._storage[self.name].options
        if not options or value in options:
            return None
        raise ValueError(
            f"{obj.__class__.__name__}.{self.name} is set to an invalid option {value!r}. Must be one of: {options}"
        )

    def attrvalue(self, obj):
        value = self.get_value(obj)
        if value is None:
            return ""
        if self.values:
            return self.values[value]
        return value


class PyDispatcher:
    def __init__(self):
        self._storage = {}
        for name, prop in vars(type(self)).items():
            if isinstance(prop, PyProperty):
                storage = PyStorage()
                self._storage[name] = storage
                prop.init_storage(self, storage)


class NativeWidget(EventDispatcher):
    title = _Attribute("", attrtype="element")
    align = _Attribute("auto", options=["auto", "inherit", "initial"])
    level = _Attribute("a", options=["a", "b"], values=["1", "2"])


class PlainWidget(PyDispatcher):
    title = PyAttribute("", attrtype="element")
    align = PyAttribute("auto", options=["auto", "inherit", "initial"])
    level = PyAttribute("a", options=["a", "b"], values=["1", "2"])


# Numeric, boolean, logical and list attributes, with plain-Python peers of
# their framework bases (unit parsing with 32-bit narrowing, the remembered
# unit, bounds, truth conversion, observable lists).

_NUMBER = re.compile(r"([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)(.*)")
_UNITS = ("px", "em", "ex", "ch", "vw", "vh", "cm", "mm", "in", "pt", "pc", "rem", "vmin", "vmax", "%")


def _narrow(x):
    return struct.unpack("f", struct.pack("f", x))[0]


class PyNumericProperty(PyProperty):
    def __init__(self, defaultvalue=0, units=None, **kw):
        super().__init__(defaultvalue, **kw)
        self.units = units

    def init_storage(self, obj, storage):
        storage.units = None
        super().init_storage(obj, storage)

    def parse_text(self, obj, text):
        m = _NUMBER.fullmatch(text.strip())
        if not m or (m.group(2) and m.group(2) not in _UNITS):
            raise ValueError(f"{obj.__class__.__name__}.{self.name} cannot parse {text!r}")
        obj._storage[self.name].units = m.group(2) or None
        return _narrow(float(m.group(1)))

    def parse_pair(self, obj, number, unit):
        if unit not in _UNITS and unit not in ("", None):
            raise ValueError(f"{obj.__class__.__name__}.{self.name} cannot parse the pair")
        obj._storage[self.name].units = unit or None
        return _narrow(float(number))

    def get_units(self, obj):
        return obj._storage[self.name].units or self.units

    def convert(self, obj, value):
        if isinstance(value, str):
            return self.parse_text(obj, value)
        if isinstance(value, (list, tuple)) and len(value) == 2:
            return self.parse_pair(obj, value[0], value[1])
        return value

    def check(self, obj, value):
        if PyProperty.check(self, obj, value):
            return True
        if type(value) is bool or not isinstance(value, (int, float)):
            raise ValueError(f"{obj.__class__.__name__}.{self.name} accepts only int or float (got {value!r})")
        return None

    def set(self, obj, value):
        storage = obj._storage[self.name]
        saved, storage.units = storage.units, None
        try:
            value = self.convert(obj, value)
            self.check(obj, value)
        except BaseException:
            storage.units = saved
            raise
        if self.compare_value(storage.value, value) and (saved or self.units) == (storage.units or self.units):
            return False
        storage.value = value
        for callback in storage.observers:
            callback(obj, value)
        return True


class PyBoundedNumericProperty(PyNumericProperty):
    def __init__(self, defaultvalue=0, min=None, max=None, **kw):
        super().__init__(defaultvalue, **kw)
        self.min, self.max = min, max

    def check(self, obj, value):
        if PyNumericProperty.check(self, obj, value):
            return True
        if self.min is not None and value < self.min:
            raise ValueError(f"{obj.__class__.__name__}.{self.name} is below the minimum bound {self.min!r}")
        if self.max is not None and value > self.max:
            raise ValueError(f"{obj.__class__.__name__}.{self.name} is above the maximum bound {self.max!r}")
        return None


class PyHtmlMixin:
    def _read_common(self, kw):
        self.attrtype = kw.get("attrtype", "")
        self.attrname_ = kw.get("attrname", "")
        self.sync = int(kw.get("sync", 0))

    @property
    def attrname(self):
        return self.attrname_ or self.name.replace("_", "-")


class PyNumericAttribute(PyHtmlMixin, PyNumericProperty):
    def __init__(self, *args, **kw):
        kw = dict(kw)
        self._read_common(kw)
        self.options = list(kw.get("options", []))
        kw["allownone"] = True
        super().__init__(*args, **kw)

    def convert(self, obj, x):
        if x is None or x in self.options or type(x) in (int, float):
            return x
        if type(x) in (tuple, list):
            if len(x) != 2:
                raise ValueError(f"{obj.__class__.__name__}.{self.name} must have 2 components (got {x!r})")
            return self.parse_pair(obj, x[0], x[1])
        if isinstance(x, str):
            return self.parse_text(obj, x)
        raise ValueError(f"{obj.__class__.__name__}.{self.name} has an invalid format (got {x!r})")

    def check(self, obj, value):
        if PyProperty.check(self, obj, value):
            return True
        if type(value) in (int, float, str) or value in self.options:
            return None
        raise ValueError(f"{obj.__class__.__name__}.{self.name} accept only int/float/str and is set to an "
                         f"invalid option {value!r}. Must be one of: {self.options}")

    def attrvalue(self, obj):
        value = self.get_value(obj)
        if value is None:
            return ""
        if isinstance(value, str):
            return value
        units = self.get_units(obj)
        return "{0}{1}".format(value, units) if units else "{0}".format(value)


class PyBoundedNumericAttribute(PyHtmlMixin, PyBoundedNumericProperty):
    def __init__(self, *args, **kw):
        kw = dict(kw)
        self._read_common(kw)
        self.options = list(kw.get("options", []))
        kw["allownone"] = True
        super().__init__(*args, **kw)

    attrvalue = PyNumericAttribute.attrvalue

    def convert(self, obj, x):
        if x is None or x in self.options:
            return x
        return PyBoundedNumericProperty.convert(self, obj, x)

    def check(self, obj, value):
        if type(value) in (int, float):
            return PyBoundedNumericProperty.check(self, obj, value)
        if value in self.options:
            return True
        raise ValueError(f"{obj.__class__.__name__}.{self.name} accept only int/float/str and is set to an "
                         f"invalid option {value!r}. Must be one of: {self.options}")


class PyBooleanProperty(PyProperty):
    def convert(self, obj, value):
        return value if value is None else bool(value)

    def check(self, obj, value):
        if PyProperty.check(self, obj, value):
            return True
        if type(value) is not bool:
            raise ValueError(f"{obj.__class__.__name__}.{self.name} accepts only bool (got {value!r})")
        return None


class PyBooleanAttribute(PyHtmlMixin, PyBooleanProperty):
    def __init__(self, *args, **kw):
        kw = dict(kw)
        self._read_common(kw)
        super().__init__(*args, **kw)

    def attrvalue(self, obj):
        return self.attrname if self.get_value(obj) else ""


class PyLogicalAttribute(PyBooleanAttribute):
    def __init__(self, *args, **kw):
        super().__init__(*args, **{**kw, "allownone": True})

    def attrvalue(self, obj):
        value = self.get_value(obj)
        if value is None:
            return ""
        return "true" if value else "false"


class PyObservableList(list):
    __slots__ = ("prop", "obj")


class PyListProperty(PyProperty):
    def __init__(self, defaultvalue=None, **kw):
        super().__init__([] if defaultvalue is None else defaultvalue, **kw)

    def convert(self, obj, value):
        if isinstance(value, (list, tuple)):
            result = PyObservableList(value)
            result.prop, result.obj = self, obj
            return result
        return value


class PyListAttribute(PyHtmlMixin, PyListProperty):
    def __init__(self, *args, **kw):
        kw = dict(kw)
        self._read_common(kw)
        self.length = kw.get("length")
        super().__init__(*args, **kw)

    def check(self, obj, value):
        if PyProperty.check(self, obj, value):
            return True
        if self.length is not None and len(value) != self.length:
            raise ValueError("Length of input array is wrong, must be {}".format(self.length))
        if type(value) is PyObservableList:
            return None
        raise ValueError(f"{obj.__class__.__name__}.{self.name} accept only ObservableList")

    def attrvalue(self, obj):
        value = self.get_value(obj)
        if not value:
            return ""
        return ", ".join([item if type(item) is str else str(item) for item in value])


class NativeKinds(EventDispatcher):
    width = _NumericAttribute(12, attrtype="style", units="px", options=["auto"])
    height = _NumericAttribute(12, attrtype="style", units="px")
    level = _BoundedNumericAttribute(5, min=0, max=100, units="%")
    read_only = _BooleanAttribute(True)
    expanded = _LogicalAttribute(True)
    fonts = _ListAttribute(["Arial", "Helvetica", "sans-serif"], attrtype="style")
    points = _ListAttribute([1, 2.5, "a"])
    series = _ListAttribute([1.5, 2, "a&b", 0.25, None, "x"])


class PlainKinds(PyDispatcher):
    width = PyNumericAttribute(12, attrtype="style", units="px", options=["auto"])
    height = PyNumericAttribute(12, attrtype="style", units="px")
    level = PyBoundedNumericAttribute(5, min=0, max=100, units="%")
    read_only = PyBooleanAttribute(True)
    expanded = PyLogicalAttribute(True)
    fonts = PyListAttribute(["Arial", "Helvetica", "sans-serif"], attrtype="style")
    points = PyListAttribute([1, 2.5, "a"])
    series = PyListAttribute([1.5, 2, "a&b", 0.25, None, "x"])


# Peers of the box value, colour and event attributes on the same plain
# framework; module globals are looked up at each call, as the native ones do.


def _refusal(prop, obj, text, value):
    return ValueError(f"{obj.__class__.__name__}.{prop.name}{text}{value!r})")


class PyVariableListAttribute(PyProperty):
    def __init__(self, defaultvalue=None, length=4, **kw):
        self.attrtype = kw.get("attrtype", "")
        self.sync = int(kw.get("sync", 0))
        self.options = list(kw.get("options", []))
        self.length = length
        kw["allownone"] = True
        super().__init__([0] * length if defaultvalue is None else defaultvalue, **kw)

    def convert(self, obj, value):
        if value is None:
            return None
        if value in self.options:
            return value
        n = self.length
        if isinstance(value, (list, tuple)):
            if len(value) == 1:
                return [self._convert_numeric(obj, value[0])] * n
            if len(value) == 2:
                a = self._convert_numeric(obj, value[0])
                b = self._convert_numeric(obj, value[1])
                return [a, b, a, b] if n == 4 else [a, b]
            if len(value) == 4 and n == 4:
                return [self._convert_numeric(obj, v) for v in value]
            raise _refusal(self, obj, " must have 1, 2 or 4 components (got ", value)
        if type(value) in (int, float) or isinstance(value, str):
            if isinstance(value, str):
                parts = value.split()
                if len(parts) > 1:
                    return self.convert(obj, parts)
            return [self._convert_numeric(obj, value)] * n
        raise _refusal(self, obj, " has an invalid format (got ", value)

    def _convert_numeric(self, obj, value):
        if type(value) in (int, float):
            return value
        if isinstance(value, str) and (value[-2:] in _attributes.CSS_LENGTH_UNITS or value[-1:] == "%"):
            return value
        raise _refusal(self, obj, " has an invalid format (got ", value)

    def check(self, obj, value):
        if PyProperty.check(self, obj, value):
            return True
        if isinstance(value, list) and len(value) != self.length:
            raise ValueError(f"{obj.__class__.__name__}.{self.name} must have {self.length} items (got {value!r})")
        return None

    def attrvalue(self, obj):
        value = self.get_value(obj)
        if value is None:
            return ""
        if isinstance(value, str):
            return value
        return " ".join([str(v) for v in value])


class PyColorAttribute(PyProperty):
    def __init__(self, defaultvalue=None, **kw):
        self.format = kw.get("format", "")
        self.options = list(kw.get("options", []))
        kw["allownone"] = True
        super().__init__(defaultvalue, **kw)

    def convert(self, obj, value):
        if value is None:
            return None
        if value in self.options:
            return value
        if type(value) in (list, tuple):
            if len(value) not in (3, 4):
                raise _refusal(self, obj, " must have 3 or 4 components (got ", value)
            return list(value)
        if isinstance(value, str):
            return py_get_color_from_hex_255(value)
        raise _refusal(self, obj, " has an invalid format (got ", value)

    def attrvalue(self, obj):
        value = self.get_value(obj)
        if value is None:
            return ""
        if isinstance(value, str):
            return value
        if len(value) == 3:
            if self.format == "css":
                return "rgb({0}, {1}, {2})".format(*value)
            return "{}, {}, {}".format(value[0] / 255, value[1] / 255, value[2] / 255)
        if self.format == "css":
            return "rgba({0}, {1}, {2}, {3})".format(*value)
        return "{}, {}, {}, {}".format(value[0] / 255, value[1] / 255, value[2] / 255, value[3])


class PyEventAttribute(PyProperty):
    def __init__(self, defaultvalue=False, eventhandler=None, prevent_default=False, eventargs=None, eventjs="",
                 dispatch=True, **kw):
        self.attrname_ = kw.get("attrname", "")
        self.eventhandler = eventhandler
        self.prevent_default = bool(prevent_default)
        self.dispatch = bool(dispatch)
        self.eventargs = eventargs or {}
        self.eventjs = str(eventjs)
        kw["allownone"] = True
        super().__init__(defaultvalue, **kw)

    @property
    def attrname(self):
        return self.attrname_ or self.name.replace("_", "-")

    def attrvalue(self, obj):
        handler = self.eventhandler
        if not self.get_value(obj) or handler is None:
            return ""
        if isinstance(handler, str):
            return handler
        if not callable(handler):
            raise AttributeError("renderer must be of callable type or string, got {0}".format(type(handler)))
        return handler(obj, "on_{}".format(self.attrname[2:]), prevent_default=self.prevent_default,
                       event_args=self.eventargs, event_js=self.eventjs, dispatch=self.dispatch)


def render_handler(obj, name, prevent_default, event_args, event_js, dispatch):
    return name


class NativeBox(EventDispatcher):
    margin = _VariableListAttribute("10px 20px", attrtype="style")
    padding = _VariableListAttribute([4, 8], attrtype="style")
    inset = _VariableListAttribute([1.5, 2.25, 0.5, 10.75], attrtype="style")
    color = _ColorAttribute((255, 128, 0), attrtype="style", format="css")
    shade = _ColorAttribute((255, 128, 0))
    veil = _ColorAttribute((255, 128, 0, 0.5))
    onfocus = _GenericEventAttribute(True, "focus()")
    onclick = _GenericEventAttribute(True, render_handler)


class PlainBox(PyDispatcher):
    margin = PyVariableListAttribute("10px 20px", attrtype="style")
    padding = PyVariableListAttribute([4, 8], attrtype="style")
    inset = PyVariableListAttribute([1.5, 2.25, 0.5, 10.75], attrtype="style")
    color = PyColorAttribute((255, 128, 0), attrtype="style", format="css")
    shade = PyColorAttribute((255, 128, 0))
    veil = PyColorAttribute((255, 128, 0, 0.5))
    onfocus = PyEventAttribute(True, "focus()")
    onclick = PyEventAttribute(True, render_handler)


# ---------------------------------------------------------------------------


def measure(quick=False):
    """The module's figures: attrvalue against the floor, assignment against
    the same descriptor written in plain Python, measured in the same run."""
    native, plain = NativeWidget(), PlainWidget()
    ns = {"short": (1, 2), "NW": NativeWidget, "PW": PlainWidget, "nw": native, "pw": plain}
    nk, pk = NativeKinds(), PlainKinds()
    nk.height = pk.height = "12.5px"  # a parsed value: the widened 32-bit float
    ns.update({"NK": NativeKinds, "PK": PlainKinds, "nk": nk, "pk": pk})
    ns.update({"NB": NativeBox, "PB": PlainBox, "nb": NativeBox(), "pb": PlainBox()})
    cases = [
        # label, native statement, plain statement, operations per statement
        # (an assignment case leaves the value as it found it)
        ("attrvalue, plain value", "NW.title.attrvalue(nw)", "PW.title.attrvalue(pw)", 1),
        ("attrvalue, through values", "NW.level.attrvalue(nw)", "PW.level.attrvalue(pw)", 1),
        ("assignment with options", "nw.align = 'inherit'; nw.align = 'auto'",
         "pw.align = 'inherit'; pw.align = 'auto'", 2),
        ("assignment, no options", "nw.title = 'a'; nw.title = 'b'", "pw.title = 'a'; pw.title = 'b'", 2),
        ("read through descriptor", "nw.title", "pw.title", 1),
        ("numeric attrvalue, int px", "NK.width.attrvalue(nk)", "PK.width.attrvalue(pk)", 1),
        ("numeric attrvalue, float px", "NK.height.attrvalue(nk)", "PK.height.attrvalue(pk)", 1),
        ("bounded attrvalue, int %", "NK.level.attrvalue(nk)", "PK.level.attrvalue(pk)", 1),
        ("boolean attrvalue, true", "NK.read_only.attrvalue(nk)", "PK.read_only.attrvalue(pk)", 1),
        ("logical attrvalue", "NK.expanded.attrvalue(nk)", "PK.expanded.attrvalue(pk)", 1),
        ("list attrvalue, 3 str", "NK.fonts.attrvalue(nk)", "PK.fonts.attrvalue(pk)", 1),
        ("list attrvalue, int float str", "NK.points.attrvalue(nk)", "PK.points.attrvalue(pk)", 1),
        ("list attrvalue, 6 with floats, None", "NK.series.attrvalue(nk)", "PK.series.attrvalue(pk)", 1),
        ("numeric assignment, numbers", "nk.width = 10.5; nk.width = 12", "pk.width = 10.5; pk.width = 12", 2),
        ("numeric assignment, texts", "nk.height = '10px'; nk.height = '12.5px'",
         "pk.height = '10px'; pk.height = '12.5px'", 2),
        ("bounded assignment", "nk.level = 10; nk.level = 5", "pk.level = 10; pk.level = 5", 2),
        ("boolean assignment", "nk.read_only = False; nk.read_only = True",
         "pk.read_only = False; pk.read_only = True", 2),
        ("logical assignment", "nk.expanded = None; nk.expanded = True",
         "pk.expanded = None; pk.expanded = True", 2),
        ("list assignment", "nk.points = [1, 2]; nk.points = (1, 2.5, 'a')",
         "pk.points = [1, 2]; pk.points = (1, 2.5, 'a')", 2),
        ("box attrvalue, 4 texts", "NB.margin.attrvalue(nb)", "PB.margin.attrvalue(pb)", 1),
        ("box attrvalue, 4 ints", "NB.padding.attrvalue(nb)", "PB.padding.attrvalue(pb)", 1),
        ("box attrvalue, 4 floats", "NB.inset.attrvalue(nb)", "PB.inset.attrvalue(pb)", 1),
        ("colour attrvalue, css", "NB.color.attrvalue(nb)", "PB.color.attrvalue(pb)", 1),
        ("colour attrvalue, scaled", "NB.shade.attrvalue(nb)", "PB.shade.attrvalue(pb)", 1),
        ("colour attrvalue, scaled alpha", "NB.veil.attrvalue(nb)", "PB.veil.attrvalue(pb)", 1),
        ("event attrvalue, text", "NB.onfocus.attrvalue(nb)", "PB.onfocus.attrvalue(pb)", 1),
        ("event attrvalue, function", "NB.onclick.attrvalue(nb)", "PB.onclick.attrvalue(pb)", 1),
        ("box assignment, '10px 20px'", "nb.margin = '1px 2px'; nb.margin = '10px 20px'",
         "pb.margin = '1px 2px'; pb.margin = '10px 20px'", 2),
        ("colour assignment, '#ff0000'", "nb.shade = '#ff0000'; nb.shade = '#ff8000'",
         "pb.shade = '#ff0000'; pb.shade = '#ff8000'", 2),
        ("colour assignment, '#f008'", "nb.veil = '#f008'; nb.veil = '#ff800080'",
         "pb.veil = '#f008'; pb.veil = '#ff800080'", 2),
    ]
    statements = {"floor": FLOOR}
    for i, (_, nat, py, _) in enumerate(cases):
        statements[f"nat{i}"] = nat
        statements[f"py{i}"] = py
    times = best_times(statements, ns, quick)
    floor = times["floor"]
    figures = []
    for i, (label, _, _, ops) in enumerate(cases):
        nat, py = times[f"nat{i}"] / ops, times[f"py{i}"] / ops
        if "attrvalue" in label:
            figures.append(Figure(label, nat, FLOOR_NAME, floor, "within", 3, floor))
        else:
            bound = 0 if label.startswith("read") else 5
            figures.append(Figure(label, nat, "plain-Python descriptor", py, "faster", bound, floor))
    return figures


if __name__ == "__main__":
    print_figures(measure("--quick" in sys.argv))
