"""ThinRef operator forwarding: binary operators and their reflected forms,
the dispatch rule, in-place operators with rebinding, unary operators and
conversions, containers, iteration and context management."""

import ctypes
import gc
import operator
import weakref

import pytest

import ruvo.core.thinref as thinref_module
from ruvo.core.thinref import ThinRef

DEAD = "weakly-referenced object no longer exists"

BINARY = [
    # name, operator function, symbol
    ("add", operator.add, "+"),
    ("sub", operator.sub, "-"),
    ("mul", operator.mul, "*"),
    ("truediv", operator.truediv, "/"),
    ("floordiv", operator.floordiv, "//"),
    ("mod", operator.mod, "%"),
    ("divmod", divmod, None),
    ("pow", pow, "**"),
    ("lshift", operator.lshift, "<<"),
    ("rshift", operator.rshift, ">>"),
    ("and", operator.and_, "&"),
    ("xor", operator.xor, "^"),
    ("or", operator.or_, "|"),
]
NAMED = [b for b in BINARY if b[0] != "pow"]

INPLACE = [
    ("iadd", operator.iadd),
    ("isub", operator.isub),
    ("imul", operator.imul),
    ("itruediv", operator.itruediv),
    ("ifloordiv", operator.ifloordiv),
    ("imod", operator.imod),
    ("ipow", operator.ipow),
    ("ilshift", operator.ilshift),
    ("irshift", operator.irshift),
    ("iand", operator.iand),
    ("ixor", operator.ixor),
    ("ior", operator.ior),
]


class Rec:
    """Answers every binary operator with (its name, the other operand) and
    every in-place operator with a new Rec it keeps alive in `made`."""

    made = []

    def __init__(self, tag=None):
        self.tag = tag


def _install():
    for name, _, _ in BINARY:
        setattr(Rec, f"__{name}__", lambda self, o, *m, _n=name: (_n, o, *m))
        setattr(Rec, f"__r{name}__", lambda self, o, *m, _n="r" + name: (_n, o, *m))
    for name, _ in INPLACE:
        def inplace(self, o, _n=name):
            new = Rec((_n, o))
            Rec.made.append(new)
            return new
        setattr(Rec, f"__{name}__", inplace)


_install()


class Num(float):
    pass


class Bits(set):
    pass


class Seq(list):
    pass


def dead(obj_type=Rec):
    p = ThinRef(obj_type())
    gc.collect()
    return p


def unbound():
    return ThinRef.__new__(ThinRef)


# ---------------------------------------------------------------------------
# Binary operators


@pytest.mark.parametrize("name, op, sym", BINARY)
def test_forward_and_reflected(name, op, sym):
    r = Rec()
    p = ThinRef(r)
    assert op(p, 5) == (name, 5)
    assert op(5, p) == ("r" + name, 5)


@pytest.mark.parametrize("name, op, sym", NAMED)
def test_named_methods_compute_from_self(name, op, sym):
    r = Rec()
    p = ThinRef(r)
    assert getattr(p, f"__{name}__")(5) == (name, 5)
    assert getattr(ThinRef, f"__{name}__")(p, 5) == (name, 5)
    # the reflected method computes `other OP r`
    assert getattr(ThinRef, f"__r{name}__")(p, 5) == op(5, r)
    assert type(vars(ThinRef)[f"__{name}__"]).__name__ == "method_descriptor"


def test_pow_is_a_slot_only():
    assert type(vars(ThinRef)["__pow__"]).__name__ == "wrapper_descriptor"
    assert type(vars(ThinRef)["__neg__"]).__name__ == "wrapper_descriptor"


@pytest.mark.parametrize("name, op, sym", NAMED)
def test_named_method_arguments(name, op, sym):
    r = Rec()
    p = ThinRef(r)
    for method in (f"__{name}__", f"__r{name}__"):
        assert getattr(p, method)(other=5) == getattr(p, method)(5)
        with pytest.raises(TypeError, match=rf"^{method}\(\) takes exactly 1 positional argument \(0 given\)$"):
            getattr(p, method)()
        with pytest.raises(TypeError, match=rf"^{method}\(\) takes exactly 1 positional argument \(2 given\)$"):
            getattr(p, method)(1, 2)
        with pytest.raises(TypeError, match=rf"^{method}\(\) got an unexpected keyword argument 'x'$"):
            getattr(p, method)(1, x=2)


def test_numeric_results():
    n = Num(2.5)
    p = ThinRef(n)
    assert p + 1 == n + 1 and 1 + p == 1 + n
    assert p / 2 == n / 2 and 2 / p == 2 / n
    assert p // 2 == n // 2 and p % 2 == n % 2
    assert divmod(p, 3) == divmod(n, 3) and divmod(7, p) == divmod(7, n)
    assert p ** 2 == n ** 2 and 2 ** p == 2 ** n
    assert p * 2 == 5.0 and p - 1 == 1.5 and 4 - p == 1.5


def test_three_argument_pow():
    r = Rec()
    p = ThinRef(r)
    assert pow(p, 2, 5) == ("pow", 2, 5)


def test_set_operators():
    s = Bits({1, 2})
    p = ThinRef(s)
    assert p | {3} == {1, 2, 3} and {3} | p == {1, 2, 3}
    assert p & {2} == {2} and p ^ {2, 3} == {1, 3} and p - {1} == {2}


def test_proxy_operands_are_passed_unchanged():
    a, b = Rec(), Rec()
    p, q = ThinRef(a), ThinRef(b)
    result = p + q
    assert result[0] == "add" and result[1] is q


class Declines:
    def __init__(self, v):
        self.v = v

    def __sub__(self, o):
        if type(o) is Declines:
            return Declines(self.v - o.v)
        return NotImplemented

    def __rsub__(self, o):
        return NotImplemented


def test_dispatch_between_two_proxies():
    a, b = Declines(5), Declines(3)
    p, q = ThinRef(a), ThinRef(b)
    # a - q declines, then q's reflected operation computes a - b
    assert (p - q).v == 2


def test_unsupported_operands():
    n = Num(1.0)
    p = ThinRef(n)
    with pytest.raises(TypeError, match=r"^unsupported operand type\(s\) for \+: 'Num' and 'str'$"):
        p + "x"
    with pytest.raises(TypeError, match=r"^unsupported operand type\(s\) for @: 'ruvo.core.thinref.ThinRef' and 'int'$"):
        p @ 1
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for @"):
        1 @ p
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for @="):
        p @= 1
    with pytest.raises(ZeroDivisionError):
        p / 0


def test_truediv_goes_through_the_operator_global(restore_operator):
    class FakeOperator:
        truediv = staticmethod(lambda a, b: ("fake truediv", b))
        itruediv = staticmethod(lambda a, b: a)
        index = staticmethod(lambda a: 7)

    n = Num(4.0)
    p = ThinRef(n)
    thinref_module.operator = FakeOperator
    assert p / 2 == ("fake truediv", 2)
    assert 2 / p == ("fake truediv", n)
    assert p + 1 == 5.0  # other operators use the host's directly
    assert operator.index(p) == 7
    p /= 2
    assert p.__ref__() is n
    del thinref_module.operator
    with pytest.raises(NameError, match="^name 'operator' is not defined$"):
        p / 2


@pytest.fixture
def restore_operator():
    yield
    thinref_module.operator = operator


# ---------------------------------------------------------------------------
# In-place operators


@pytest.mark.parametrize("name, op", INPLACE)
def test_inplace_rebinds_to_the_result(name, op):
    r = Rec()
    p = ThinRef(r)
    q = op(p, 5)
    assert q is p
    new = p.__ref__()
    assert new is Rec.made[-1] and new.tag == (name, 5)
    del new
    Rec.made.clear()
    gc.collect()
    with pytest.raises(ReferenceError, match=DEAD):
        p.__ref__()


def test_inplace_on_a_mutable_referent_keeps_it():
    s = Bits({1})
    p = ThinRef(s)
    alias = p
    p |= {3}
    assert s == {1, 3} and p is alias and p.__ref__() is s
    p &= {3}
    p ^= {4}
    p -= {4}
    assert s == {3} and p.__ref__() is s
    seq = Seq([1])
    ps = ThinRef(seq)
    ps += [2]
    ps *= 2
    assert seq == [1, 2, 1, 2] and ps.__ref__() is seq


def test_inplace_new_object_leaves_the_proxy_dead():
    class Fresh:
        def __add__(self, o):
            return Fresh()

    f = Fresh()
    p = ThinRef(f)
    p += 1
    assert type(p) is ThinRef
    with pytest.raises(ReferenceError, match=DEAD):
        p.__ref__()


def test_inplace_result_that_cannot_be_weakly_referenced():
    class AppendsThenInt(Seq):
        def __iadd__(self, o):
            self.append(o)
            return 5

    r = AppendsThenInt()
    p = ThinRef(r)
    w = p._ThinRef__ref
    with pytest.raises(TypeError, match="cannot create weak reference to 'int' object"):
        p += 1
    assert p._ThinRef__ref is w and r == [1]


def test_inplace_drops_the_destructor():
    calls = []
    s = Bits()
    p = ThinRef(s, calls.append)
    p |= {1}
    del s
    gc.collect()
    assert calls == []


@pytest.mark.parametrize("name, op", INPLACE)
def test_inplace_rebinds_through_the_weakref_global(name, op):
    made = []

    class FakeWeakref:
        @staticmethod
        def ref(*args):
            made.append(args)
            return lambda: args[0]

    r = Rec()
    p = ThinRef(r)
    thinref_module.weakref = FakeWeakref
    try:
        assert op(p, 5) is p
        # one argument only: the result, without a destructor
        assert made == [(Rec.made[-1],)] and p.__ref__() is Rec.made[-1]
        del thinref_module.weakref
        w = p._ThinRef__ref
        with pytest.raises(NameError, match="^name 'weakref' is not defined$"):
            op(p, 6)
        assert p._ThinRef__ref is w
    finally:
        thinref_module.weakref = weakref
        Rec.made.clear()


def test_inplace_power():
    r = Rec()
    p = ThinRef(r)
    p **= 2
    assert p.__ref__().tag == ("ipow", 2)
    with pytest.raises(TypeError, match=r"^ruvo.core.thinref.ThinRef.__ipow__\(\) takes 2 arguments but 3 were given$"):
        p.__ipow__(2, 5)
    assert p.__ipow__(3) is p
    Rec.made.clear()


def test_inplace_unsupported_symbol():
    n = Num(1.0)
    p = ThinRef(n)
    with pytest.raises(TypeError, match=r"^unsupported operand type\(s\) for \+=: 'Num' and 'str'$"):
        p += "x"


def test_inplace_on_dead_proxy_keeps_the_field():
    p = dead()
    w = p._ThinRef__ref
    with pytest.raises(ReferenceError, match=DEAD):
        p += 1
    assert p._ThinRef__ref is w


def test_inplace_with_the_proxy_on_the_right():
    r = Rec()
    p = ThinRef(r)
    x = 5
    x += p
    assert x == ("radd", 5)


# ---------------------------------------------------------------------------
# Unary operators and conversions


class Numberish:
    def __neg__(self):
        return "neg"

    def __pos__(self):
        return "pos"

    def __abs__(self):
        return "abs"

    def __invert__(self):
        return "invert"

    def __int__(self):
        return 11

    def __float__(self):
        return 1.5

    def __index__(self):
        return 10

    def __round__(self, ndigits=None):
        return ("round", ndigits)


@pytest.mark.parametrize("op, expected", [
    (operator.neg, "neg"),
    (operator.pos, "pos"),
    (abs, "abs"),
    (operator.invert, "invert"),
    (int, 11),
    (float, 1.5),
    (operator.index, 10),
    (round, ("round", None)),
    (oct, "0o12"),
    (hex, "0xa"),
    (bin, "0b1010"),
    (lambda p: p.__oct__(), "0o12"),
    (lambda p: p.__hex__(), "0xa"),
    (lambda p: "abcdefghijkl"[p], "k"),
    (lambda p: list(range(20))[p:], list(range(10, 20))),
])
def test_unary_and_conversions(op, expected):
    r = Numberish()
    assert op(ThinRef(r)) == expected


def test_conversions_of_a_float():
    n = Num(2.7)
    p = ThinRef(n)
    assert int(p) == 2 and float(p) == 2.7 and round(p) == 3
    with pytest.raises(TypeError, match="'Num' object cannot be interpreted as an integer"):
        operator.index(p)


@pytest.mark.parametrize("call, name", [
    (lambda p: round(p, 2), "__round__"),
    (lambda p: p.__oct__(1), "__oct__"),
    (lambda p: p.__hex__(1), "__hex__"),
    (lambda p: p.__reversed__(1), "__reversed__"),
    (lambda p: p.__enter__(1), "__enter__"),
])
def test_no_argument_methods_refuse_arguments(call, name):
    r = Numberish()
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 0 positional arguments \(1 given\)$"):
        call(ThinRef(r))


def test_no_argument_methods_refuse_keywords():
    r = Numberish()
    with pytest.raises(TypeError, match=r"^__round__\(\) got an unexpected keyword argument 'ndigits'$"):
        ThinRef(r).__round__(ndigits=1)


# ---------------------------------------------------------------------------
# Containers and iteration


def test_container_protocol():
    seq = Seq([1, 2, 3])
    p = ThinRef(seq)
    assert len(p) == 3 and 2 in p and 5 not in p
    assert p[0] == 1 and p[-1] == 3 and p[1:] == [2, 3]
    p[0] = 9
    del p[1]
    assert seq == [9, 3]
    with pytest.raises(IndexError):
        p[10]


def test_mapping_referent():
    class D(dict):
        pass

    d = D(a=1)
    p = ThinRef(d)
    assert p["a"] == 1 and "a" in p
    p["b"] = 2
    del p["a"]
    assert d == {"b": 2}
    with pytest.raises(KeyError):
        p["a"]


def test_contains_returns_a_boolean():
    class Weird:
        def __contains__(self, x):
            return "yes"

    w = Weird()
    assert (1 in ThinRef(w)) is True


def _seq_api(name, restype, *argtypes):
    fn = getattr(ctypes.pythonapi, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


def test_sequence_protocol_by_position():
    get = _seq_api("PySequence_GetItem", ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t)
    set_ = _seq_api("PySequence_SetItem", ctypes.c_int, ctypes.py_object, ctypes.c_ssize_t, ctypes.py_object)
    delete = _seq_api("PySequence_DelItem", ctypes.c_int, ctypes.py_object, ctypes.c_ssize_t)
    seq = Seq([1, 2, 3])
    p = ThinRef(seq)
    assert get(p, 1) == 2 and get(p, -1) == 3
    assert set_(p, 0, 7) == 0
    assert delete(p, 1) == 0
    assert seq == [7, 3]

    class D(dict):
        pass

    d = D({0: "zero"})
    assert get(ThinRef(d), 0) == "zero"  # the position becomes an int key


def test_iteration():
    def gen():
        yield 1
        yield 2

    g = gen()
    p = ThinRef(g)
    assert iter(p) is g
    with pytest.raises(TypeError, match="'ruvo.core.thinref.ThinRef' object is not an iterator"):
        next(p)
    seq = Seq([1, 2, 3])
    assert list(ThinRef(seq)) == [1, 2, 3]
    assert list(reversed(ThinRef(seq))) == [3, 2, 1]
    r = Rec()
    with pytest.raises(TypeError, match="'Rec' object is not iterable"):
        iter(ThinRef(r))


# ---------------------------------------------------------------------------
# Context management


class Ctx:
    def __init__(self, suppress=False):
        self.suppress = suppress
        self.exits = []

    def __enter__(self):
        return "entered"

    def __exit__(self, *args, **kwargs):
        self.exits.append((args, kwargs))
        return self.suppress


def test_with_binds_the_enter_result():
    c = Ctx()
    with ThinRef(c) as v:
        assert v == "entered"
    assert c.exits == [((None, None, None), {})]


@pytest.mark.parametrize("suppress", [True, False])
def test_exit_decides_suppression(suppress):
    c = Ctx(suppress)
    p = ThinRef(c)
    try:
        with p:
            raise ValueError("inside")
    except ValueError:
        assert not suppress
    else:
        assert suppress
    assert c.exits[0][0][0] is ValueError


def test_enter_uses_instance_attribute_and_exit_passes_keywords():
    c = Ctx()
    c.__enter__ = lambda: "instance enter"
    p = ThinRef(c)
    assert p.__enter__() == "instance enter"
    assert p.__exit__(1, 2, extra=3) is False
    assert c.exits == [((1, 2), {"extra": 3})]


def test_referent_dying_inside_with():
    holder = [Ctx()]
    p = ThinRef(holder[0])
    with pytest.raises(ReferenceError, match=DEAD):
        with p:
            holder.clear()
            gc.collect()


# ---------------------------------------------------------------------------
# Dead and unbound proxies; the forwarding rule


ALL_OPS = [
    lambda p: p + 1,
    lambda p: 1 + p,
    lambda p: p / 2,
    lambda p: 2 / p,
    lambda p: pow(p, 2, 5),
    lambda p: divmod(p, 3),
    lambda p: p.__radd__(1),
    lambda p: operator.iadd(p, 1),
    lambda p: operator.ipow(p, 2),
    lambda p: -p,
    lambda p: abs(p),
    lambda p: int(p),
    lambda p: float(p),
    lambda p: operator.index(p),
    lambda p: round(p),
    lambda p: p.__oct__(),
    lambda p: p.__hex__(),
    lambda p: len(p),
    lambda p: 1 in p,
    lambda p: p[0],
    lambda p: operator.setitem(p, 0, 1),
    lambda p: operator.delitem(p, 0),
    lambda p: iter(p),
    lambda p: reversed(p),
    lambda p: p.__enter__(),
    lambda p: p.__exit__(None, None, None),
]


@pytest.mark.parametrize("op", ALL_OPS)
def test_dead_proxy_raises_reference_error(op):
    with pytest.raises(ReferenceError, match=f"^{DEAD}$"):
        op(dead())


@pytest.mark.parametrize("op", ALL_OPS)
def test_unbound_proxy_raises_type_error(op):
    with pytest.raises(TypeError, match="'NoneType' object is not callable"):
        op(unbound())


class Everything(Rec, Seq, Ctx, Numberish):
    """A referent that supports every operation of ALL_OPS."""

    def __init__(self):
        Seq.__init__(self, [1, 2])
        Ctx.__init__(self)

    __hash__ = object.__hash__


@pytest.mark.parametrize("op", ALL_OPS)
def test_subclass_override_of_ref_is_used(op):
    target = Everything()
    calls = []

    class Sub(ThinRef):
        def __ref__(self):
            calls.append(1)
            return target

    decoy = Everything()
    p = Sub(decoy)
    op(p)
    assert calls
    Rec.made.clear()


def test_subclass_operators_reach_the_referent():
    r = Rec()

    class Sub(ThinRef):
        pass

    p = Sub(r)
    assert p + 1 == ("add", 1) and 1 + p == ("radd", 1)
    p += 1
    assert p.__ref__().tag == ("iadd", 1)
    Rec.made.clear()
