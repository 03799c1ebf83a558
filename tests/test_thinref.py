"""ThinRef core: the module, binding, __ref__, the three states, attribute
forwarding, __dir__, __class__, hashing, truth, comparisons, text
conversions, destructor callbacks and the garbage collector."""

import gc
import re
import traceback
import weakref

import pytest

import ruvo.core.thinref as thinref_module
from ruvo.core.thinref import ThinRef

DEAD = "weakly-referenced object no longer exists"
FILE = "ruvo/core/thinref.cpp"


class Obj:
    """A weakly referenceable object with identity equality."""

    attr = "class attr"

    def __init__(self, value=0):
        self.value = value

    def method(self, x):
        return (self, x)


class Dies:
    """A proxy whose referent has been collected, with the destructor calls."""

    def __init__(self):
        self.calls = []
        obj = Obj()
        self.proxy = ThinRef(obj, self.calls.append)
        self.ref = self.proxy._ThinRef__ref
        del obj
        gc.collect()


def dead_proxy():
    return Dies().proxy


def unbound():
    return ThinRef.__new__(ThinRef)


def raised(fn, *args, **kwargs):
    with pytest.raises(Exception) as info:
        fn(*args, **kwargs)
    return info


# ---------------------------------------------------------------------------
# The module and the class


def test_module_namespace():
    import operator

    ns = vars(thinref_module)
    assert ns["weakref"] is weakref
    assert ns["operator"] is operator
    assert ns["ThinRef"] is ThinRef
    assert callable(ns["__pyx_unpickle_ThinRef"])
    assert ns["__test__"] == {}
    public = {k for k in ns if not k.startswith("__")}
    assert public == {"weakref", "operator", "ThinRef"}


def test_module_docstring():
    doc = thinref_module.__doc__
    lines = doc.splitlines()
    assert "ThinRef" in lines[0]
    assert set(lines[1]) == {"="} and len(lines[1]) == len(lines[0])
    text = " ".join(lines[2:])
    assert "garbage collection" in text and "weakref.proxy" in text and "comparison" in text
    assert "http" not in doc


def test_class_basics():
    assert ThinRef.__name__ == "ThinRef"
    assert ThinRef.__qualname__ == "ThinRef"
    assert ThinRef.__module__ == "ruvo.core.thinref"
    assert ThinRef.__bases__ == (object,)
    assert ThinRef.__doc__ == "Replacement for weakref.proxy to support comparisons\n    "
    assert "__dict__" not in vars(ThinRef) and "__weakref__" not in vars(ThinRef)
    assert ThinRef.__dictoffset__ == 0 and ThinRef.__weakrefoffset__ == 0
    x = Obj()
    assert gc.is_tracked(ThinRef(x))


@pytest.mark.parametrize("name", [
    "__init__", "__ref__", "__getattr__", "__dir__", "__bytes__", "__class__", "_ThinRef__ref",
    "__reduce__", "__setstate__", "__hash__", "__eq__", "__lt__", "__bool__", "__str__", "__repr__",
])
def test_class_attributes(name):
    assert name in vars(ThinRef)


def test_plain_proxy_cannot_be_weakly_referenced():
    p = ThinRef(Obj())
    with pytest.raises(TypeError, match="cannot create weak reference to 'ruvo.core.thinref.ThinRef' object"):
        weakref.ref(p)
    with pytest.raises(TypeError):
        ThinRef(p)


# ---------------------------------------------------------------------------
# Construction and binding


def test_binding_stores_a_weak_reference():
    x = Obj()
    p = ThinRef(x)
    w = p._ThinRef__ref
    assert type(w) is weakref.ref and w() is x
    assert p.__ref__() is x


@pytest.mark.parametrize("make", [
    lambda x, f: ThinRef(x, f),
    lambda x, f: ThinRef(obj=x, destructor=f),
    lambda x, f: ThinRef(x, destructor=f),
])
def test_construction_forms(make):
    calls = []
    x = Obj()
    p = make(x, calls.append)
    assert p.__ref__() is x
    w = p._ThinRef__ref
    del x
    gc.collect()
    assert calls == [w]


@pytest.mark.parametrize("make", [lambda x: ThinRef(x), lambda x: ThinRef(obj=x), lambda x: ThinRef(x, None)])
def test_construction_without_destructor(make):
    x = Obj()
    assert make(x).__ref__() is x


@pytest.mark.parametrize("call, msg", [
    (lambda: ThinRef(), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda: ThinRef(1, 2, 3), "__init__() takes at most 2 positional arguments (3 given)"),
    (lambda: ThinRef(destructor=None), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda: ThinRef(Obj(), x=1), "__init__() got an unexpected keyword argument 'x'"),
    (lambda: ThinRef(Obj(), obj=1), "__init__() got multiple values for keyword argument 'obj'"),
    (lambda: ThinRef(Obj(), **{1: 2}), "keywords must be strings"),
    (lambda: ThinRef(1), "cannot create weak reference to 'int' object"),
    (lambda: ThinRef("text"), "cannot create weak reference to 'str' object"),
])
def test_construction_errors(call, msg):
    with pytest.raises(TypeError) as info:
        call()
    assert msg in str(info.value)


def test_new_ignores_arguments_and_is_unbound():
    p = ThinRef.__new__(ThinRef, 1, 2, x=3)
    assert type(p) is ThinRef
    assert p._ThinRef__ref is None


def test_rebinding_with_init_drops_old_destructor():
    calls = []
    x, y = Obj(), Obj()
    p = ThinRef(x, calls.append)
    p.__init__(y)
    assert p.__ref__() is y
    del x
    gc.collect()
    assert calls == []


def test_failed_rebinding_keeps_the_field():
    x = Obj()
    p = ThinRef(x)
    w = p._ThinRef__ref
    with pytest.raises(TypeError):
        p.__init__(5)
    assert p._ThinRef__ref is w


def test_discarded_proxy_never_calls_its_destructor():
    calls = []
    x = Obj()
    p = ThinRef(x, calls.append)
    del p
    del x
    gc.collect()
    assert calls == []


def test_proxies_without_destructor_share_the_weak_reference():
    x = Obj()
    assert ThinRef(x)._ThinRef__ref is ThinRef(x)._ThinRef__ref is weakref.ref(x)


# ---------------------------------------------------------------------------
# __ref__ and the three states


def test_ref_argument_errors():
    p = ThinRef(Obj())
    with pytest.raises(TypeError, match=r"^__ref__\(\) takes exactly 0 positional arguments \(1 given\)$"):
        p.__ref__(1)
    with pytest.raises(TypeError, match=r"^__ref__\(\) got an unexpected keyword argument 'a'$"):
        p.__ref__(a=1)


@pytest.mark.parametrize("op", [
    lambda p: p.attr,
    lambda p: p.__getattr__("attr"),
    lambda p: setattr(p, "attr", 1),
    lambda p: delattr(p, "attr"),
    lambda p: p.__class__,
    lambda p: hash(p),
    lambda p: bool(p),
    lambda p: p == 1,
    lambda p: p < 1,
    lambda p: p.__ref__(),
])
def test_dead_proxy_forwarding_raises(op):
    d = Dies()
    with pytest.raises(ReferenceError, match=f"^{DEAD}$"):
        op(d.proxy)
    assert d.calls == [d.ref]


def test_dead_proxy_text_and_dir():
    p = dead_proxy()
    assert str(p) == "None"
    assert repr(p) == "<ThinRef to None>"
    assert dir(p) == []
    with pytest.raises(TypeError, match="cannot convert 'NoneType' object to bytes"):
        bytes(p)


@pytest.mark.parametrize("op", [
    lambda p: p.__ref__(),
    lambda p: p.attr,
    lambda p: hash(p),
    lambda p: p == 1,
    lambda p: str(p),
    lambda p: repr(p),
    lambda p: dir(p),
    lambda p: bytes(p),
    lambda p: p.__class__,
])
def test_unbound_proxy_raises_not_callable(op):
    with pytest.raises(TypeError, match="'NoneType' object is not callable"):
        op(unbound())


def test_dead_proxy_can_be_rebound():
    p = dead_proxy()
    x = Obj(3)
    p.__init__(x)
    assert p.value == 3


# ---------------------------------------------------------------------------
# The field descriptor


def test_field_descriptor():
    x = Obj()
    p = ThinRef(x)
    descr = vars(ThinRef)["_ThinRef__ref"]
    descr.__set__(p, 5)
    assert p._ThinRef__ref == 5
    descr.__delete__(p)
    assert p._ThinRef__ref is None
    descr.__set__(p, lambda: x)
    assert p.__ref__() is x and p.value == 0


def test_field_assignment_goes_to_the_referent():
    x = Obj()
    p = ThinRef(x)
    w = p._ThinRef__ref
    p._ThinRef__ref = 5
    assert x._ThinRef__ref == 5
    assert p._ThinRef__ref is w


def test_field_callable_returning_none_is_dead():
    p = unbound()
    ThinRef._ThinRef__ref.__set__(p, lambda: None)
    with pytest.raises(ReferenceError, match=DEAD):
        p.__ref__()
    assert str(p) == "None"


def test_non_callable_field():
    p = unbound()
    ThinRef._ThinRef__ref.__set__(p, 5)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        p.attr


# ---------------------------------------------------------------------------
# Attribute forwarding


def test_attribute_forwarding():
    x = Obj(7)
    p = ThinRef(x)
    assert p.value == 7
    assert p.attr == "class attr"
    assert p.method(1) == (x, 1)
    p.value = 5
    assert x.value == 5
    p.new = 1
    assert x.new == 1
    del p.new
    assert not hasattr(x, "new")
    assert p.__getattr__("value") == 5
    assert p.__getattr__(name="value") == 5
    with pytest.raises(TypeError, match=r"^__getattr__\(\) takes exactly 1 positional argument \(0 given\)$"):
        p.__getattr__()


def test_missing_attribute_error_is_the_referents():
    x = Obj()
    p = ThinRef(x)
    with pytest.raises(AttributeError, match="'Obj' object has no attribute 'nope'"):
        p.nope
    with pytest.raises(AttributeError):
        del p.nope
    assert getattr(p, "nope", 1) == 1
    assert not hasattr(p, "nope")


class Name(str):
    """An attribute name that is not an exact str."""


class SubProxy(ThinRef):
    pass


@pytest.mark.parametrize("cls", [ThinRef, SubProxy])
@pytest.mark.parametrize("name", [Name("value"), Name("__ref__"), "vàlue", "", "_value", Name("nope"), "nope"])
def test_attribute_read_by_any_name(cls, name):
    x = Obj()
    vars(x).update({"value": 1, "vàlue": 2, "": 3, "_value": 4, "__ref__": 5})
    p = cls(x)
    if name == "__ref__":
        assert getattr(p, name)() is x  # the class's own name stays on the proxy
    elif name == "nope":
        with pytest.raises(AttributeError, match="^'Obj' object has no attribute 'nope'$"):
            getattr(p, name)
    else:
        assert getattr(p, name) == vars(x)[name]


def test_assignment_of_own_names_is_forwarded():
    x = Obj()
    p = ThinRef(x)
    p.__ref__ = "shadow"
    assert x.__ref__ == "shadow"
    assert p.__ref__() is x

    class Other:
        pass

    p.__class__ = Other
    assert type(x) is Other


@pytest.mark.parametrize("name", ["__ref__", "__dir__", "__bytes__", "__doc__", "__init__", "__getattr__",
                                  "__add__", "__oct__", "__enter__", "__reduce__"])
def test_own_names_resolve_on_the_proxy(name):
    x = Obj()
    x.__dict__[name] = "from referent"
    p = ThinRef(x)
    assert getattr(p, name) != "from referent"


def test_other_names_resolve_on_the_referent():
    x = Obj()
    x.__dict__["__module__"] = "mod"
    p = ThinRef(x)
    assert p.__module__ == "mod"
    assert p.__dict__ is x.__dict__


def test_class_property():
    x = Obj()
    p = ThinRef(x)
    assert type(p) is ThinRef
    assert p.__class__ is Obj
    assert isinstance(p, Obj) and isinstance(p, ThinRef)
    with pytest.raises(AttributeError):
        vars(ThinRef)["__class__"].__set__(p, Obj)


def test_attribute_errors_other_than_attribute_error_propagate():
    class Sub(ThinRef):
        @property
        def boom(self):
            raise KeyError("boom")

        @property
        def missing(self):
            raise AttributeError("missing")

    x = Obj()
    x.missing = "from referent"
    p = Sub(x)
    with pytest.raises(KeyError):
        p.boom
    assert p.missing == "from referent"


def test_attribute_name_must_be_a_string():
    x = Obj()
    p = ThinRef(x)
    with pytest.raises(TypeError, match="attribute name must be string"):
        ThinRef.__getattribute__(p, 1)
    with pytest.raises(TypeError, match="attribute name must be string"):
        p.__getattr__(1)


def test_calling_is_not_forwarded():
    x = Obj()
    p = ThinRef(x)
    with pytest.raises(TypeError, match="'ruvo.core.thinref.ThinRef' object is not callable"):
        p()
    with pytest.raises(TypeError):
        format(p, "x")


# ---------------------------------------------------------------------------
# __dir__


def test_dir():
    x = Obj()
    p = ThinRef(x)
    assert dir(p) == dir(x)
    assert p.__dir__() == dir(x)


@pytest.mark.parametrize("referent", [set(), type("F", (), {"__bool__": lambda s: False})()])
def test_dir_of_false_referent_is_empty(referent):
    assert dir(ThinRef(referent)) == []


def test_dir_argument_errors():
    p = ThinRef(Obj())
    with pytest.raises(TypeError, match=r"^__dir__\(\) takes exactly 0 positional arguments \(1 given\)$"):
        p.__dir__(1)
    with pytest.raises(TypeError, match=r"^__bytes__\(\) got an unexpected keyword argument 'k'$"):
        p.__bytes__(k=1)


# ---------------------------------------------------------------------------
# Hashing, truth and comparisons


def test_hash_and_dict_lookup():
    x = Obj()
    p = ThinRef(x)
    assert hash(p) == hash(x)
    assert {x: 1}[p] == 1
    assert p in {x}


def test_unhashable_referent():
    class L(list):
        pass

    x = L()
    with pytest.raises(TypeError, match="unhashable type: 'L'"):
        hash(ThinRef(x))


@pytest.mark.parametrize("referent, truth", [(set(), False), ({1}, True)])
def test_truth(referent, truth):
    assert bool(ThinRef(referent)) is truth


def test_equality_by_identity():
    x = Obj()
    p = ThinRef(x)
    assert p == x and x == p
    assert ThinRef(x) == ThinRef(x)
    assert not (p != x)
    assert p != Obj()


class Ordered:
    def __init__(self, v):
        self.v = v

    def __lt__(self, o):
        return ("lt", self.v, getattr(o, "v", o))

    def __le__(self, o):
        return ("le", self.v, getattr(o, "v", o))

    def __gt__(self, o):
        return ("gt", self.v, getattr(o, "v", o))

    def __ge__(self, o):
        return ("ge", self.v, getattr(o, "v", o))

    def __eq__(self, o):
        return ("eq", self.v, getattr(o, "v", o))

    def __ne__(self, o):
        return ("ne", self.v, getattr(o, "v", o))

    __hash__ = object.__hash__


@pytest.mark.parametrize("op, name", [
    (lambda a, b: a < b, "lt"),
    (lambda a, b: a <= b, "le"),
    (lambda a, b: a == b, "eq"),
    (lambda a, b: a != b, "ne"),
    (lambda a, b: a > b, "gt"),
    (lambda a, b: a >= b, "ge"),
])
def test_comparisons_pass_results_through(op, name):
    a = Ordered(1)
    assert op(ThinRef(a), 2) == (name, 1, 2)


def test_comparison_of_two_proxies_uses_reflection():
    a, b = Ordered(1), Ordered(2)
    p, q = ThinRef(a), ThinRef(b)
    # a < q: Ordered.__lt__ receives the proxy q unchanged
    assert (p < q) == ("lt", 1, 2)
    assert p.__lt__(q) == ("lt", 1, 2)
    # When the left referent declines, the host tries the reflected
    # comparison of the right proxy: b > a.
    class Declines:
        def __lt__(self, o):
            return NotImplemented

    d = Declines()
    assert (ThinRef(d) < q) == ("gt", 2, d)


def test_sorting_proxies():
    class V:
        def __init__(self, v):
            self.v = v

        def __lt__(self, o):
            return self.v < o.v

    items = [V(3), V(1), V(2)]
    proxies = [ThinRef(v) for v in items]
    assert [p.v for p in sorted(proxies)] == [1, 2, 3]


# ---------------------------------------------------------------------------
# Text conversions


class Texty:
    def __str__(self):
        return "as text"

    def __repr__(self):
        return "Texty()"

    def __bytes__(self):
        return b"as bytes"


def test_text_conversions():
    t = Texty()
    p = ThinRef(t)
    assert str(p) == "as text"
    assert repr(p) == "<ThinRef to Texty()>"
    assert bytes(p) == b"as bytes"
    assert p.__bytes__() == b"as bytes"


@pytest.mark.parametrize("result", [3, "text", [65, 66], 2.5])
def test_bytes_is_the_builtin_of_the_field_result(result):
    # bytes(3) is three zero bytes; the built-in's own errors come through
    p = ThinRef.__new__(ThinRef)
    ThinRef.__dict__["_ThinRef__ref"].__set__(p, lambda: result)
    try:
        expected = bytes(result)
    except TypeError as e:
        with pytest.raises(TypeError, match=f"^{re.escape(str(e))}$"):
            bytes(p)
    else:
        assert bytes(p) == p.__bytes__() == expected


def test_repr_of_a_set():
    s = {1, 2}
    assert repr(ThinRef(s)) == "<ThinRef to {!r}>".format(s)


def test_str_of_exact_str_field_result():
    p = unbound()
    ThinRef._ThinRef__ref.__set__(p, lambda: "already text")
    assert str(p) == "already text"


def test_text_conversions_use_the_field_not_ref():
    class Sub(ThinRef):
        def __ref__(self):
            raise AssertionError("not used")

    t = Texty()
    p = Sub(t)
    assert str(p) == "as text"
    assert repr(p) == "<ThinRef to Texty()>"
    assert bytes(p) == b"as bytes"
    assert dir(p) == dir(t)


# ---------------------------------------------------------------------------
# Subclasses and the forwarding rule


class Other:
    attr = "other"
    value = 9

    def __hash__(self):
        return 99

    def __bool__(self):
        return False


def test_subclass_override_of_ref_reaches_every_forwarding():
    other = Other()

    class Sub(ThinRef):
        def __ref__(self):
            return other

    x = Obj()
    p = Sub(x)
    assert p.attr == "other"
    assert p.__getattr__("value") == 9
    assert p.__class__ is Other
    assert hash(p) == 99
    assert bool(p) is False
    assert p == other
    p.assigned = 1
    assert other.assigned == 1 and not hasattr(x, "assigned")
    del p.assigned
    assert not hasattr(other, "assigned")


@pytest.mark.parametrize("name", ["__ref__", "__getattribute__"])
@pytest.mark.parametrize("changed", ["class", "base"])
def test_ref_override_added_and_removed_after_use(name, changed):
    other = Other()

    class Base(ThinRef):
        pass

    class Sub(Base):
        pass

    target = Sub if changed == "class" else Base
    x = Obj()
    p = Sub(x)
    for _ in range(2):  # the second round after the class was seen unchanged again
        assert p.attr == "class attr" and hash(p) == hash(x)
        if name == "__ref__":
            setattr(target, name, lambda self: other)
        else:
            setattr(target, name,
                    lambda self, n: (lambda: other) if n == "__ref__" else ThinRef.__getattribute__(self, n))
        assert p.attr == "other" and hash(p) == 99
        delattr(target, name)


def test_instance_dict_ref_override():
    other = Other()

    class Sub(ThinRef):
        pass

    x = Obj()
    p = Sub(x)
    assert p.attr == "class attr"
    p.__dict__["__ref__"] = lambda: other
    assert p.attr == "other"
    del p.__dict__["__ref__"]
    assert p.attr == "class attr"


def test_subclass_getattribute_override_is_used_for_ref():
    other = Other()

    class Sub(ThinRef):
        def __getattribute__(self, name):
            if name == "__ref__":
                return lambda: other
            return ThinRef.__getattribute__(self, name)

    assert hash(Sub(Obj())) == 99


def test_subclass_instance_dict_and_class_names():
    class Sub(ThinRef):
        own = "sub attr"

    x = Obj()
    p = Sub(x)
    assert p.own == "sub attr"
    p.__dict__["mine"] = 1
    assert p.mine == 1
    assert p.value == 0
    p.value = 4  # assignment still goes to the referent
    assert x.value == 4 and "value" not in p.__dict__


def test_subclass_is_weakly_referenceable_and_can_be_a_referent():
    class Sub(ThinRef):
        pass

    x = Obj(5)
    inner = Sub(x)
    outer = ThinRef(inner)
    assert outer.value == 5
    assert outer.__ref__() is inner


def test_subclass_construction_and_init_override():
    class Sub(ThinRef):
        def __init__(self, obj, tag):
            super().__init__(obj)
            self.__dict__["tag"] = tag

    x = Obj()
    p = Sub(x, "t")
    assert p.tag == "t" and p.__ref__() is x
    with pytest.raises(TypeError):
        Sub()


# ---------------------------------------------------------------------------
# Destructor callbacks and the garbage collector


def test_destructor_called_once_with_the_weak_reference():
    d = Dies()
    assert d.calls == [d.ref]


def test_gc_traverses_the_field():
    x = Obj()
    calls = []
    p = ThinRef(x, calls.append)
    assert p._ThinRef__ref in gc.get_referents(p)


def test_cycle_through_destructor_is_collected():
    class Holder:
        pass

    x = Obj()
    h = Holder()
    h.proxy = ThinRef(x, lambda w: h)  # proxy -> ref -> callback -> h -> proxy
    probe = weakref.ref(h)
    del h
    gc.collect()
    assert probe() is None


# ---------------------------------------------------------------------------
# Traceback entries


KEEP = Obj()


@pytest.mark.parametrize("call, name", [
    (lambda: dead_proxy().__ref__(), "ThinRef.__ref__"),
    (lambda: dead_proxy().attr, "ThinRef.__getattr__"),
    (lambda: hash(dead_proxy()), "ThinRef.__hash__"),
    (lambda: ThinRef(1), "ThinRef.__init__"),
    (lambda: ThinRef(KEEP).nope, "ThinRef.__getattr__"),
    (lambda: ThinRef(Obj()).__ref__(1), "ThinRef.__ref__"),
    (lambda: bytes(unbound()), "ThinRef.__bytes__"),
])
def test_traceback_entries(call, name):
    info = raised(call)
    names = [(e.name, e.filename) for e in traceback.extract_tb(info.tb)]
    assert ("ruvo.core.thinref." + name, FILE) in names


def test_dead_forwarding_names_ref_then_the_operation():
    info = raised(lambda: dead_proxy() == 1)
    names = [e.name for e in traceback.extract_tb(info.tb)]
    assert names[-2:] == ["ruvo.core.thinref.ThinRef.__eq__", "ruvo.core.thinref.ThinRef.__ref__"]


# ---------------------------------------------------------------------------
# Module globals


@pytest.fixture
def restore_globals():
    saved = dict(vars(thinref_module))
    yield thinref_module
    for name in ("weakref", "operator"):
        vars(thinref_module)[name] = saved[name]


def test_weakref_global_is_resolved_at_each_binding(restore_globals):
    m = restore_globals
    made = []

    class FakeWeakref:
        @staticmethod
        def ref(obj, destructor):
            made.append((obj, destructor))
            return lambda: obj

    x = Obj()
    m.weakref = FakeWeakref
    p = ThinRef(x)
    assert made == [(x, None)]
    assert p.__ref__() is x
    m.weakref = weakref
    assert type(ThinRef(x)._ThinRef__ref) is weakref.ref


def test_weakref_module_attribute_change_is_seen(restore_globals):
    import types

    m = restore_globals
    fake = types.ModuleType("fakeweakref")
    fake.ref = lambda obj, destructor: (lambda: "first")
    m.weakref = fake
    x = Obj()
    assert ThinRef(x).__ref__() == "first"
    fake.ref = lambda obj, destructor: (lambda: "second")
    assert ThinRef(x).__ref__() == "second"

    # a change of the module's class leaves its namespace as it was
    class Patched(types.ModuleType):
        ref = property(lambda self: lambda obj, destructor: (lambda: "third"))

    fake.__class__ = Patched
    assert ThinRef(x).__ref__() == "third"


def test_missing_weakref_global(restore_globals):
    del restore_globals.weakref
    with pytest.raises(NameError, match="^name 'weakref' is not defined$"):
        ThinRef(Obj())
    import builtins

    builtins.weakref = weakref
    try:
        assert ThinRef(Obj())._ThinRef__ref is not None
    finally:
        del builtins.weakref


def test_weakref_global_from_the_builtins_is_resolved_at_each_binding(restore_globals):
    import builtins
    import types

    del restore_globals.weakref
    for tag in ("first", "second"):  # the module's own namespace stays as it is
        fake = types.ModuleType("fakeweakref")
        fake.ref = lambda obj, destructor, tag=tag: (lambda: tag)
        builtins.weakref = fake
        try:
            assert ThinRef(Obj()).__ref__() == tag
        finally:
            del builtins.weakref


def test_weakref_ref_errors_propagate(restore_globals):
    class Bad:
        def ref(self, obj, destructor):
            raise ValueError("no")

    restore_globals.weakref = Bad()
    x = Obj()
    p = unbound()
    with pytest.raises(ValueError, match="no"):
        p.__init__(x)
    assert p._ThinRef__ref is None


# ---------------------------------------------------------------------------
# Module execution


@pytest.mark.parametrize("name", ["reversed", "round"])
def test_missing_builtin_fails_the_import(python_subprocess, name):
    python_subprocess(f"""
        import builtins, sys
        saved = builtins.{name}
        del builtins.{name}
        try:
            import ruvo.core.thinref
        except NameError as e:
            assert str(e) == "name '{name}' is not defined", e
        else:
            raise AssertionError("imported")
        assert "ruvo.core.thinref" not in sys.modules
        builtins.{name} = saved
        import ruvo.core.thinref as m
        assert m.ThinRef.__name__ == "ThinRef"
    """)


def test_failed_import_is_forgotten(python_subprocess):
    python_subprocess("""
        import operator, sys
        real = sys.modules["operator"]
        sys.modules["operator"] = None  # `import operator` now fails
        try:
            import ruvo.core.thinref
        except ImportError as e:
            assert "operator" in str(e), e
        else:
            raise AssertionError("imported")
        assert "ruvo.core.thinref" not in sys.modules
        sys.modules["operator"] = real
        import ruvo.core.thinref as m
        x = type("X", (), {})()
        assert m.ThinRef(x) == x and m.operator is real
    """)


def test_builtins_resolved_once(python_subprocess):
    python_subprocess("""
        import builtins
        from ruvo.core.thinref import ThinRef
        builtins.round = lambda x: "patched"
        builtins.reversed = lambda x: "patched"
        class L(list):
            pass
        l = L([1, 2])
        p = ThinRef(l)
        assert list(p.__reversed__()) == [2, 1]
        f = type("F", (float,), {})(2.6)
        assert ThinRef(f).__round__() == 3
    """)
