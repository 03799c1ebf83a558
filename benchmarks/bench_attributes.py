"""Benchmark of ruvo.core._attributes: rendering and assignment through the
native descriptors against the same descriptors and framework path written in
plain Python, with a call of a built-in that does nothing as the floor.

Run: PYTHONPATH=src python benchmarks/bench_attributes.py
Prints nanoseconds per operation (best of several repeats) and ratios measured
in this one run.
"""

import sys
import timeit

from ruvo.core._attributes import _Attribute
from ruvo.core._event import EventDispatcher

REPEAT = 7


# ---------------------------------------------------------------------------
# The plain-Python peer: a property framework and an attribute descriptor that
# take the same path (convert, check through the options of the widget's own
# storage, compare, store, notify).


class PyStorage:
    __slots__ = ("value", "observers", "options")


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


# ---------------------------------------------------------------------------


def measure(statements, namespace, number):
    """Nanoseconds per run of each statement: the best of REPEAT rounds, the
    statements taking turns within each round so that a change of machine
    load touches them alike."""
    timers = [timeit.Timer(stmt, globals=namespace) for stmt in statements]
    best = [float("inf")] * len(timers)
    for _ in range(REPEAT):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    return best


def main():
    n = 200_000 if "--quick" not in sys.argv else 20_000
    native, plain = NativeWidget(), PlainWidget()
    ns = {"t": (), "NW": NativeWidget, "PW": PlainWidget, "nw": native, "pw": plain}
    cases = [
        # label, native statement, plain statement, operations per statement
        ("attrvalue, plain value", "NW.title.attrvalue(nw)", "PW.title.attrvalue(pw)", 1),
        ("attrvalue, through values", "NW.level.attrvalue(nw)", "PW.level.attrvalue(pw)", 1),
        ("assignment with options", "nw.align = 'inherit'; nw.align = 'auto'",
         "pw.align = 'inherit'; pw.align = 'auto'", 2),
        ("assignment, no options", "nw.title = 'a'; nw.title = 'b'", "pw.title = 'a'; pw.title = 'b'", 2),
        ("read through descriptor", "nw.title", "pw.title", 1),
    ]
    statements = ["len(t)"]
    for _, nat, py, _ in cases:
        statements += [nat, py]
    times = measure(statements, ns, n)
    floor = times[0]

    print(f"floor len(()): {floor:.1f} ns")
    print(f"{'operation':32} {'native ns':>10} {'python ns':>10} {'python/native':>14} {'native/floor':>13}")
    for i, (label, _, _, ops) in enumerate(cases):
        nat = times[1 + 2 * i] / ops
        py = times[2 + 2 * i] / ops
        print(f"{label:32} {nat:10.1f} {py:10.1f} {py / nat:14.2f} {nat / floor:13.2f}")
    print()
    print("targets: attrvalue of _Attribute within 4x the floor;"
          " assignment at least 5x faster than plain Python")


if __name__ == "__main__":
    main()
