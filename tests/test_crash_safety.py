"""Pure-Python code that once crashed the interpreter or lost a value. Each
snippet runs in a fresh interpreter, so a crash fails one test."""

import pytest

FRAMEWORK = """
import gc
from ruvo.core._event import EventDispatcher, BoundCallback
from ruvo.core.properties import (
    NumericProperty, ReferenceListProperty, StringProperty, VariableListProperty)
"""


def test_class_table_outlives_its_class(crash_free):
    # an instance keeps its class's table alive after moving to another class
    out = crash_free(FRAMEWORK + """
class Shouting(StringProperty):
    def convert(self, obj, value):
        return str(value).upper()
class Plain(StringProperty):
    pass
p = Shouting("")
p.__class__ = Plain
del Shouting
for _ in range(3):
    gc.collect()
junk = [type("J%d" % i, (StringProperty,), {"check": lambda s, o, v: None})("") for i in range(50)]
class W(EventDispatcher):
    x = p
w = W()
w.x = "abc"
print(w.x)
""")
    assert out.split() == ["abc"]


def test_class_tables_found_by_identity(crash_free):
    # classes that claim to equal every other class keep tables of their own
    out = crash_free(FRAMEWORK + """
class Meta(type):
    def __eq__(cls, other):
        return True
    def __hash__(cls):
        return 1
class Loud(StringProperty, metaclass=Meta):
    def convert(self, obj, value):
        return value.upper()
class Metric(NumericProperty, metaclass=Meta):
    def parse_text(self, obj, text):
        return 7.0
class W(EventDispatcher):
    s = Loud("")
    n = Metric(0)
w = W()
w.s = "abc"
w.n = "3px"
print(w.s, w.n)
""")
    assert out.split() == ["ABC", "7.0"]


@pytest.mark.parametrize("source", [
    "NumericProperty.__dict__['__pyx_vtable__']",
    "VariableListProperty.__dict__['__pyx_vtable__']",
])
def test_table_capsule_set_by_a_subclass_is_ignored(crash_free, source):
    out = crash_free(FRAMEWORK + f"""
class Forged(StringProperty):
    __pyx_vtable__ = {source}
    def convert(self, obj, value):
        return value * 2
class Sub(Forged):
    pass
class W(EventDispatcher):
    a = Forged("")
    b = Sub("")
w = W(a="x", b="y")
print(w.a, w.b)
""")
    assert out.split() == ["xx", "yy"]


@pytest.mark.parametrize("forgery", [
    "(id(W), {'x': 5})",
    "(id(W), {'x': W})",
    "object()",
    "type(Other.__dict__['__ruvo_properties__'])",
    "Other.__dict__['__ruvo_properties__']",
])
def test_property_cache_cannot_be_forged(crash_free, forgery):
    out = crash_free(FRAMEWORK + f"""
class Other(EventDispatcher):
    y = NumericProperty(2)
Other()
class W(EventDispatcher):
    x = StringProperty("a")
W()
W.__ruvo_properties__ = {forgery}
w = W()
print(w.x, sorted(w.properties()), w.property("x") is W.x)
""")
    assert out.split() == ["a", "['x']", "True"]


def test_property_added_after_the_first_instance(crash_free):
    out = crash_free(FRAMEWORK + """
class Base(EventDispatcher):
    a = StringProperty("a")
class W(Base):
    pass
old = W()
W.b = StringProperty("b")
Base.c = NumericProperty(3)
w = W()
w.b = "B"
print(w.a, w.b, w.c, sorted(w.properties()), W.b.name, w.property("c") is Base.c)
try:
    old.b
except KeyError as e:
    print("old", e)
""")
    assert out.split() == ["a", "B", "3", "['a',", "'b',", "'c']", "b", "True", "old", "'b'"]


@pytest.mark.parametrize("action", ["w.r", "v = [None, 'v']; v[0] = v; w.r = v"])
def test_self_referencing_reference_list(crash_free, action):
    out = crash_free(FRAMEWORK + f"""
class W(EventDispatcher):
    x = StringProperty("")
    r = ReferenceListProperty(x)
W.r.__init__(W.r, W.x)
w = W()
try:
    {action}
except RecursionError:
    print("RecursionError")
""")
    assert out.split() == ["RecursionError"]


@pytest.mark.parametrize("chain", [
    # proxies linked through their field
    """
from ruvo.core.thinref import ThinRef
link = ThinRef.__dict__["_ThinRef__ref"].__set__
head = None
for _ in range(10**6):
    t = ThinRef.__new__(ThinRef)
    link(t, head)
    head = t
""",
    """
head = print
for _ in range(10**6):
    head = BoundCallback(head, (), {})
""",
    """
from ruvo.core.properties import ObservableList
head = ObservableList()
for _ in range(10**6):
    head = ObservableList([head])
""",
    # each property the default value of the next
    """
from ruvo.core.properties import Property
head = None
for _ in range(10**6):
    head = Property(head)
""",
    """
from ruvo.core._attributes import _Attribute
head = None
for _ in range(10**6):
    head = _Attribute(head)
""",
], ids=["ThinRef", "BoundCallback", "ObservableList", "Property", "_Attribute"])
def test_long_chains_free_without_deep_recursion(crash_free, chain):
    out = crash_free(FRAMEWORK + chain + """
head = t = None
gc.collect()
print("freed")
""")
    assert out.split() == ["freed"]


# Containers of native records that Python code reaches through the collector
# and fills with other objects.
@pytest.mark.parametrize("snippet, error", [
    ("""
from ruvo.core._event import Observable
o = Observable()
o.bind(x=print)
[d] = [r for r in gc.get_referents(o) if isinstance(r, dict)]
d["x"] = 12345
o.bind(x=print)
""", "TypeError: Expected ruvo.core._event.EventObservers, got int"),
    ("""
class W(EventDispatcher):
    pass
w = W()
w.register_event("on_a")
w.bind(on_a=print)
[events] = [r for r in gc.get_referents(w) if isinstance(r, dict) and "on_a" in r]
[callbacks] = [r for r in gc.get_referents(events["on_a"]) if isinstance(r, list)]
callbacks.append(12345)
w.dispatch("on_a")
""", "TypeError: Expected ruvo.core._event.BoundCallback, got int"),
    ("""
class W(EventDispatcher):
    a = NumericProperty(1)
    r = ReferenceListProperty(a)
[props] = [x for x in gc.get_referents(W.r) if isinstance(x, list)]
props.append(12345)
W().r
""", "TypeError: Argument 'props' has incorrect type (expected ruvo.core.properties.Property, got int)"),
], ids=["observable-bound", "event-callbacks", "reference-list"])
def test_forged_container_entries_refused(crash_free, snippet, error):
    out = crash_free(FRAMEWORK + "try:\n" + "".join("    " + line + "\n" for line in snippet.strip().splitlines())
                     + "except TypeError as e:\n    print('TypeError:', e)\n")
    assert out.strip() == error


# Borrowed objects that a key's __eq__ frees in the middle of a lookup.
@pytest.mark.parametrize("snippet, expected", [
    # the property is renamed while its storage is looked up
    ("""
class W(EventDispatcher):
    x = NumericProperty(1)
w = W()
p = W.x
name = "".join(["zz", "q" * 50])
[storage] = [r for r in gc.get_referents(w) if isinstance(r, dict) and "x" in r]
class K(str):
    fire = False
    def __hash__(self):
        return hash(name)
    def __eq__(self, other):
        if self.fire:
            self.fire = False
            p.name = "x"
            junk = ["a" * 70 for _ in range(100)]
        return False
k1, k2 = K("k1"), K("k2")
storage[k1] = storage[k2] = 1
p.name = name
del name
k1.fire = True
try:
    w.x
except KeyError:
    print("KeyError")
""", "KeyError"),
    # the class's cached properties are dropped while searched
    ("""
class W(EventDispatcher):
    x = NumericProperty(1)
w = W()
keep = []
class K:
    def __hash__(self):
        return hash("x")
    def __eq__(self, other):
        W.__dict__.get("__ruvo_properties__") and delattr(W, "__ruvo_properties__")
        keep.extend({"x": "FORGED"} for _ in range(50))
        return True
print(w.property(K()) is W.x)
""", "True"),
    # the weakref module global is rebound and freed while its namespace is searched
    ("""
import types, weakref
import ruvo.core.thinref as tr
class Target:
    pass
t = Target()
class K(str):
    armed = False
    def __hash__(self):
        return hash("ref")
    def __eq__(self, other):
        if K.armed:
            K.armed = False
            tr.weakref = weakref
            tr.ThinRef(t)
            junk = [{} for _ in range(200)]
        return False
fake = types.ModuleType("fake")
fake.__dict__[K("zz")] = 1
fake.ref = weakref.ref
tr.weakref = fake
tr.ThinRef(t)
fake.__dict__["other"] = 2
del fake
K.armed = True
print(tr.ThinRef(t).__ref__() is t)
""", "True"),
    # a proxy's instance dictionary is replaced while searched
    ("""
from ruvo.core.thinref import ThinRef
class Target:
    pass
target = Target()
class T(ThinRef):
    pass
t = T(target)
set_dict = T.__dict__["__dict__"].__set__
class K(str):
    armed = False
    def __hash__(self):
        return hash("foo")
    def __eq__(self, other):
        if K.armed:
            K.armed = False
            set_dict(t, {})
        return False
d = {f"k{i}": i for i in range(100)}
d[K("a")] = 1
set_dict(t, d)
del d
K.armed = True
try:
    t.foo
except AttributeError:
    print("AttributeError")
""", "AttributeError"),
], ids=["storage-name", "class-properties", "weakref-global", "proxy-dict"])
def test_objects_freed_during_a_lookup(crash_free, snippet, expected):
    assert crash_free(FRAMEWORK + snippet).split() == [expected]
