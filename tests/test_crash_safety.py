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


def test_mixed_native_bases_use_the_layout_class(crash_free):
    # the method resolution order puts BooleanProperty first, the layout is NumericProperty's
    out = crash_free(FRAMEWORK + """
from ruvo.core.properties import BooleanProperty
class Y(BooleanProperty, NumericProperty):
    pass
class Z(BooleanProperty, NumericProperty):
    def convert(self, obj, value):
        return 42
class W(EventDispatcher):
    z = Z(0)
print(Y().parse_text(None, "12px"), Y().parse_pair(None, 3, "em"))
w = W()
w.z = 5
print(w.z)
""")
    assert out.split() == ["12.0", "3.0", "42"]


# The collector runs at every allocation and a callback empties a dict whose
# entries the native call holds.
@pytest.mark.parametrize("snippet", [
    """
class W(EventDispatcher):
    x = StringProperty("")
w = W()
target = next(d for d in gc.get_referents(w) if isinstance(d, dict) and "x" in d)
call = lambda: w.fbind("x", print)
""",
    """
w = EventDispatcher()
w.register_event("on_x")
for _ in range(40):
    w.fbind("on_x", lambda *a: None)
target = next(d for d in gc.get_referents(w) if isinstance(d, dict) and "on_x" in d)
call = lambda: w.dispatch("on_x")
""",
    """
from ruvo.core.properties import AliasProperty
class W(EventDispatcher):
    y = StringProperty("")
w = W()
alias = AliasProperty(lambda o: 1, bind=("y",))
target = next(d for d in gc.get_referents(w) if isinstance(d, dict) and "y" in d)
call = lambda: alias.link_deps(w, "a")
# once y's observers exist, inside the binding
from ruvo.core._event import EventObservers
ready = lambda: "y" in target and any(isinstance(r, EventObservers) for r in gc.get_referents(target["y"]))
""",
], ids=["fbind", "dispatch", "link_deps"])
def test_dicts_emptied_by_the_collector_mid_call(crash_free, snippet):
    out = crash_free(FRAMEWORK + "ready = lambda: True\n" + snippet + """
def on_gc(phase, info):
    if phase == "start" and ready():
        target.clear()
gc.callbacks.append(on_gc)
gc.set_threshold(1)
try:
    call()
except (KeyError, TypeError):
    pass
gc.set_threshold(700)
gc.callbacks.remove(on_gc)
print("alive")
""")
    assert out.split() == ["alive"]


def test_keyword_hash_that_empties_the_keywords(crash_free):
    out = crash_free(FRAMEWORK + """
armed = [False]
class Key(str):
    def __hash__(self):
        if armed[0]:
            armed[0] = False
            for r in gc.get_referrers(self):
                if isinstance(r, dict):
                    r.clear()
        return str.__hash__(self)
    __eq__ = str.__eq__
def arm():
    armed[0] = True
    return {}
keys = [Key("foo")]
p = StringProperty("", **{keys.pop(): [object()]}, **arm())
print(p.defaultvalue == "")
""")
    assert out.split() == ["True"]


# Python code, run while a native call uses an object, drops that object.
@pytest.mark.parametrize("snippet, expected", [
    # an observer empties what __init__ walks through its keyword arguments
    ("""
from ruvo.core.properties import ObjectProperty
def empty_holders(value):
    for t in gc.get_referrers(value):
        for holder in gc.get_referrers(t) if type(t) is tuple else ():
            if type(holder) in (list, dict):
                holder.clear()
class W(EventDispatcher):
    a = ObjectProperty(None)
    b = ObjectProperty(None)
    def __init__(self, **kw):
        self.fbind("a", lambda obj, value: empty_holders(value))
        super().__init__(**kw)
w = W(a=object(), b=object())
print(type(w.b).__name__)
""", "object"),
    # repr of the stored value replaces it
    ("""
from ruvo.core.properties import ObjectProperty
class W(EventDispatcher):
    a = ObjectProperty(None)
class X:
    def __repr__(self):
        w.a = 0
        return "X"
w = W()
w.a = slice(X(), X(), None)
print(repr(w.property_storage("a")))
""", "<PropertyStorage value=slice(X, X, None)>"),
    # converting the default re-initialises the descriptor, replacing the default
    ("""
from ruvo.core._attributes import _NumericAttribute
class E:
    armed = False
    def __eq__(self, other):
        if E.armed:
            E.armed = False
            W.n.__init__(options=[E()])
        return False
    __hash__ = object.__hash__
class W(EventDispatcher):
    n = _NumericAttribute(float("1.5e300"), options=[E()])
E.armed = True
print(W().n)
""", "1.5e+300"),
    # code run by __init__ empties the keyword dict it was given
    ("""
from ruvo.core.properties import ObjectProperty
class V:
    pass
class B:
    def __bool__(self):
        for o in gc.get_objects():
            if type(o) is dict and o.keys() == {"defaultvalue", "allownone"}:
                o.clear()
        return False
print(type(ObjectProperty(**{"defaultvalue": V(), "allownone": B()}).defaultvalue).__name__)
""", "V"),
    ("""
import weakref
import ruvo.core.thinref as tr
class Fake:
    def __getattr__(self, name):
        for o in gc.get_objects():
            if type(o) is dict and "obj" in o:
                o.clear()
        return weakref.ref
class X:
    pass
r = tr.ThinRef(X())
tr.weakref = Fake()
r.__init__(**{"obj": X()})
print(r.__ref__ is not None)
""", "True"),
], ids=["init-keywords", "storage-repr", "default-replaced", "keywords-emptied", "proxy-keywords"])
def test_objects_dropped_while_in_use(crash_free, snippet, expected):
    assert crash_free(FRAMEWORK + snippet).strip() == expected


# Objects that Python code finds before their constructor has finished: the
# collector runs inside an allocation of the constructor, or a class's
# attribute lookup runs while the class table is built.
FINDER = """
from ruvo.core.properties import OptionProperty
from ruvo.core._attributes import _Attribute
hold = [[] for _ in range(200)]
def tolerant(use):
    try:
        use()
    except TypeError:
        pass
class Finder:
    def __del__(self):
        objs = gc.get_objects()
        hold.append(objs)
        for o in objs:
            if type(o) is KIND:
                tolerant(lambda: USE)
gc.set_threshold(1)
for _ in range(300):
    f = Finder()
    f.me = f
    del f
    hold.append(KIND())
gc.set_threshold(700)
print("alive")
"""


@pytest.mark.parametrize("kind, use", [
    ("OptionProperty", "o.options"),
    ("ReferenceListProperty", "o.properties"),
    ("_Attribute", "type('W', (EventDispatcher,), {'p': o})()"),
])
def test_half_built_objects_found_by_the_collector(crash_free, kind, use):
    out = crash_free(FRAMEWORK + FINDER.replace("KIND", kind).replace("USE", use))
    assert out.split() == ["alive"]


def test_half_built_object_found_while_the_class_table_is_built(crash_free):
    out = crash_free(FRAMEWORK + """
from ruvo.core.properties import AliasProperty
class Hostile:
    def __get__(self, inst, owner):
        for o in gc.get_objects():
            if type(o) is P:
                o.getter, o.setter, o.bind_names
        return lambda *a: None
class P(AliasProperty):
    convert = Hostile()
print(P(lambda obj: 1).setter)
""")
    assert out.split() == ["None"]


def test_class_cleared_by_the_collector_and_revived(crash_free):
    out = crash_free(FRAMEWORK + """
import weakref
stash = []
class Reviver:
    def __init__(self, wr):
        self.wr = wr
    def __del__(self):
        stash.append(self.wr())
class Trigger:
    def __del__(self):
        setattr(self.cls, "reviver", Reviver(weakref.ref(self.cls)))
class W(EventDispatcher):
    a = NumericProperty(1)
W.cycle = W
W.trigger = Trigger()
W.trigger.cls = W
del W
gc.collect()
try:
    stash.pop()()
except TypeError as e:
    print(e)
""")
    assert out.strip() == "W has no method resolution order"
