"""ThinRef's reduce format: shapes, checksums, copy, deepcopy, pickle,
__setstate__ and the restore function with their messages."""

import copy
import gc
import inspect
import pickle
import traceback

import pytest

import ruvo.core.thinref as thinref_module
from ruvo.core.thinref import ThinRef, __pyx_unpickle_ThinRef as unpickle

CHECKSUM = 0xAED1DB3
DEAD = "weakly-referenced object no longer exists"


class Obj:
    pass


class Sub(ThinRef):
    pass


def unbound(cls=ThinRef):
    return cls.__new__(cls)


def dead_proxy():
    p = ThinRef(Obj())
    gc.collect()
    return p


# ---------------------------------------------------------------------------
# __reduce__


def test_reduce_of_bound_proxy():
    x = Obj()
    p = ThinRef(x)
    w = p._ThinRef__ref
    assert CHECKSUM == 183311795
    assert p.__reduce__() == (unpickle, (ThinRef, CHECKSUM, None), (w,))


def test_reduce_of_unbound_proxy():
    assert unbound().__reduce__() == (unpickle, (ThinRef, CHECKSUM, (None,)))


def test_reduce_of_dead_proxy_does_not_fetch():
    p = dead_proxy()
    assert p.__reduce__() == (unpickle, (ThinRef, CHECKSUM, None), (p._ThinRef__ref,))


def test_reduce_records_the_subclass():
    x = Obj()
    p = Sub(x)
    assert p.__reduce__() == (unpickle, (Sub, CHECKSUM, None), (p._ThinRef__ref,))
    assert unbound(Sub).__reduce__() == (unpickle, (Sub, CHECKSUM, (None,)))


def test_reduce_with_own_instance_dictionary():
    x = Obj()
    p = Sub(x)
    p.__dict__["tag"] = 1
    assert p.__reduce__() == (unpickle, (Sub, CHECKSUM, None), (p._ThinRef__ref, {"tag": 1}))
    q = unbound(Sub)
    q.__dict__["tag"] = 2
    assert q.__reduce__() == (unpickle, (Sub, CHECKSUM, None), (None, {"tag": 2}))
    q.__dict__.clear()
    assert q.__reduce__() == (unpickle, (Sub, CHECKSUM, (None,)))


def test_reduce_reads_the_proxy_not_the_referent():
    class Sub2(ThinRef):
        def __ref__(self):
            raise AssertionError("not fetched")

    x = Obj()
    x.__dict__["entry"] = 1
    p = Sub2(x)
    assert p.__reduce__()[2] == (p._ThinRef__ref,)


def test_reduce_refuses_arguments():
    x = Obj()
    with pytest.raises(TypeError, match=r"^__reduce__\(\) takes exactly 0 positional arguments \(1 given\)$"):
        ThinRef(x).__reduce__(1)


def test_reduce_uses_the_module_global():
    x = Obj()
    p = ThinRef(x)
    saved = thinref_module.__pyx_unpickle_ThinRef
    try:
        thinref_module.__pyx_unpickle_ThinRef = "replaced"
        assert p.__reduce__()[0] == "replaced"
    finally:
        thinref_module.__pyx_unpickle_ThinRef = saved


# ---------------------------------------------------------------------------
# copy and deepcopy


def test_copy_shares_the_weak_reference():
    x = Obj()
    p = ThinRef(x)
    c = copy.copy(p)
    assert type(c) is ThinRef and c is not p
    assert c._ThinRef__ref is p._ThinRef__ref
    assert c == p and c.__ref__() is x


def test_copy_shares_the_destructor():
    calls = []
    x = Obj()
    p = ThinRef(x, calls.append)
    c = copy.copy(p)
    del p, x
    gc.collect()
    assert calls == [c._ThinRef__ref]


def test_copy_of_dead_and_unbound_proxies():
    p = dead_proxy()
    c = copy.copy(p)
    assert c._ThinRef__ref is p._ThinRef__ref
    with pytest.raises(ReferenceError, match=DEAD):
        c.__ref__()
    u = copy.copy(unbound())
    assert type(u) is ThinRef and u._ThinRef__ref is None


def test_copy_of_subclass_restores_its_own_dictionary():
    x = Obj()
    p = Sub(x)
    p.__dict__["tag"] = "mine"
    c = copy.copy(p)
    assert type(c) is Sub
    assert c.__dict__ == {"tag": "mine"} and c.__dict__ is not p.__dict__
    assert c.__ref__() is x
    assert "tag" not in vars(x)


def test_deepcopy_without_referent_deepcopy():
    x = Obj()
    p = ThinRef(x)
    d = copy.deepcopy(p)
    assert type(d) is ThinRef and d is not p
    assert d._ThinRef__ref is p._ThinRef__ref


def test_deepcopy_uses_the_referents_deepcopy():
    class Copies:
        def __deepcopy__(self, memo):
            return "deep copy of referent"

    x = Copies()
    assert copy.deepcopy(ThinRef(x)) == "deep copy of referent"


def test_deepcopy_of_dead_proxy():
    with pytest.raises(ReferenceError, match=DEAD):
        copy.deepcopy(dead_proxy())


# ---------------------------------------------------------------------------
# pickle


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_unbound_proxy(protocol):
    q = pickle.loads(pickle.dumps(unbound(), protocol))
    assert type(q) is ThinRef and q._ThinRef__ref is None


def test_pickle_unbound_subclass_with_dictionary():
    q = unbound(PickledSub)
    q.__dict__["tag"] = [1, 2]
    r = pickle.loads(pickle.dumps(q))
    assert type(r) is PickledSub and r._ThinRef__ref is None and r.__dict__ == {"tag": [1, 2]}


class PickledSub(ThinRef):
    pass


def test_pickle_bound_proxy_fails_in_the_pickler():
    x = Obj()
    with pytest.raises(TypeError, match="cannot pickle 'weakref"):
        pickle.dumps(ThinRef(x))


def test_restore_function_pickles_by_reference():
    assert pickle.loads(pickle.dumps(unpickle)) is unpickle
    assert copy.copy(unpickle) is unpickle


def test_restore_function_introspection():
    assert unpickle.__name__ == "__pyx_unpickle_ThinRef"
    assert unpickle.__module__ == "ruvo.core.thinref"
    assert list(inspect.signature(unpickle).parameters) == ["__pyx_type", "__pyx_checksum", "__pyx_state"]


# ---------------------------------------------------------------------------
# The restore function


@pytest.mark.parametrize("checksum", [CHECKSUM, 0x51F19D2, 0x32B41A])
def test_accepted_checksums(checksum):
    p = unpickle(ThinRef, checksum, None)
    assert type(p) is ThinRef and p._ThinRef__ref is None
    x = Obj()
    w = ThinRef(x)._ThinRef__ref
    q = unpickle(ThinRef, checksum, (w,))
    assert q.__ref__() is x


@pytest.mark.parametrize("checksum, shown", [
    (1, "0x1"),
    (-1, "0xffffffff"),
    (0, "0x0"),
    (2**31 - 1, "0x7fffffff"),
    (-(2**31), "0x80000000"),
    (True, "0x1"),
])
def test_refused_checksums(checksum, shown):
    with pytest.raises(pickle.PickleError) as info:
        unpickle(ThinRef, checksum, None)
    assert str(info.value) == (
        f"Incompatible checksums ({shown} vs (0xaed1db3, 0x51f19d2, 0x32b41a) = (_ThinRef__ref))"
    )


class IntLike:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


@pytest.mark.parametrize("checksum", [IntLike(CHECKSUM), float(CHECKSUM)])
def test_checksum_through_int(checksum):
    assert unpickle(ThinRef, checksum, None)._ThinRef__ref is None


@pytest.mark.parametrize("checksum, exc, msg", [
    ("1", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (IntLike("x"), TypeError, "__int__ returned non-int (type str)"),
    (2**31, OverflowError, "Python int too large to convert to C int"),
    (-(2**31) - 1, OverflowError, "Python int too large to convert to C int"),
    (2**70, OverflowError, "Python int too large to convert to C int"),
])
def test_checksum_conversion_errors(checksum, exc, msg):
    with pytest.raises(exc) as info:
        unpickle(ThinRef, checksum, None)
    assert str(info.value) == msg


@pytest.mark.parametrize("state, type_name", [([None], "list"), ("x", "str"), (type("T", (tuple,), {})(), "T")])
def test_state_must_be_none_or_exact_tuple(state, type_name):
    with pytest.raises(TypeError) as info:
        unpickle(ThinRef, CHECKSUM, state)
    assert str(info.value) == f"Argument '__pyx_state' has incorrect type (expected tuple, got {type_name})"


def test_error_order():
    # the checksum conversion comes first, then the state type, then the checksum value
    with pytest.raises(TypeError, match="an integer is required"):
        unpickle(ThinRef, "x", [1])
    with pytest.raises(TypeError, match="incorrect type"):
        unpickle(ThinRef, 1, [1])
    with pytest.raises(pickle.PickleError):
        unpickle(int, 1, None)


@pytest.mark.parametrize("cls, msg", [
    (int, "ruvo.core.thinref.ThinRef.__new__(int): int is not a subtype of ruvo.core.thinref.ThinRef"),
    (5, "ruvo.core.thinref.ThinRef.__new__(X): X is not a type object (int)"),
])
def test_type_must_be_a_thinref_class(cls, msg):
    with pytest.raises(TypeError) as info:
        unpickle(cls, CHECKSUM, None)
    assert str(info.value) == msg


def test_restore_subclass_does_not_run_init():
    class NoInit(ThinRef):
        def __init__(self, *args):
            raise AssertionError("no __init__")

    p = unpickle(NoInit, CHECKSUM, None)
    assert type(p) is NoInit


@pytest.mark.parametrize("call, msg", [
    (lambda: unpickle(ThinRef, CHECKSUM),
     "__pyx_unpickle_ThinRef() takes exactly 3 positional arguments (2 given)"),
    (lambda: unpickle(),
     "__pyx_unpickle_ThinRef() takes exactly 3 positional arguments (0 given)"),
    (lambda: unpickle(ThinRef, CHECKSUM, None, 1),
     "__pyx_unpickle_ThinRef() takes exactly 3 positional arguments (4 given)"),
    (lambda: unpickle(ThinRef, __pyx_state=None),
     "__pyx_unpickle_ThinRef() takes exactly 3 positional arguments (1 given)"),
    (lambda: unpickle(ThinRef, CHECKSUM, None, x=1),
     "__pyx_unpickle_ThinRef() got an unexpected keyword argument 'x'"),
    (lambda: unpickle(ThinRef, CHECKSUM, None, __pyx_type=ThinRef),
     "__pyx_unpickle_ThinRef() got multiple values for keyword argument '__pyx_type'"),
])
def test_restore_argument_errors(call, msg):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == msg


def test_restore_by_keyword():
    p = unpickle(__pyx_type=ThinRef, __pyx_checksum=CHECKSUM, __pyx_state=None)
    assert type(p) is ThinRef


def test_restore_merges_dictionary_and_ignores_extra_items():
    x = Obj()
    w = ThinRef(x)._ThinRef__ref
    p = unpickle(Sub, CHECKSUM, (w, {"a": 1}, "ignored", 3))
    assert p.__dict__ == {"a": 1} and p.__ref__() is x


def test_restore_into_plain_proxy_with_dictionary():
    x = Obj()
    w = ThinRef(x)._ThinRef__ref
    with pytest.raises(AttributeError, match="This object has no __dict__"):
        unpickle(ThinRef, CHECKSUM, (w, {"a": 1}))


def test_pickle_error_raised_when_pickle_import_fails(monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "pickle", None)
    with pytest.raises(ImportError):
        unpickle(ThinRef, 1, None)


def test_restore_traceback_entries():
    with pytest.raises(AttributeError) as info:
        x = Obj()
        unpickle(ThinRef, CHECKSUM, (ThinRef(x)._ThinRef__ref, {"a": 1}))
    names = [e.name for e in traceback.extract_tb(info.tb)]
    assert names[-2:] == ["ruvo.core.thinref.__pyx_unpickle_ThinRef",
                          "ruvo.core.thinref.__pyx_unpickle_ThinRef__set_state"]
    assert traceback.extract_tb(info.tb)[-1].filename == "ruvo/core/thinref_pickle.cpp"


# ---------------------------------------------------------------------------
# __setstate__


def test_setstate_binds():
    x = Obj()
    w = ThinRef(x)._ThinRef__ref
    p = unbound()
    assert p.__setstate__((w,)) is None
    assert p.__ref__() is x
    q = unbound()
    q.__setstate__(__pyx_state=(w, {}))
    assert q.__ref__() is x


def test_setstate_stores_any_value():
    p = unbound()
    p.__setstate__((5,))
    assert p._ThinRef__ref == 5


@pytest.mark.parametrize("state, exc, msg", [
    (None, TypeError, "cannot pass None into a C function argument that is declared 'not None'"),
    ([1], TypeError, "Expected tuple, got list"),
    (type("T", (tuple,), {})((1,)), TypeError, "Expected tuple, got T"),
    ((), IndexError, "tuple index out of range"),
])
def test_setstate_errors(state, exc, msg):
    x = Obj()
    p = ThinRef(x)
    w = p._ThinRef__ref
    with pytest.raises(exc) as info:
        p.__setstate__(state)
    assert str(info.value) == msg
    assert p._ThinRef__ref is w


def test_setstate_dictionary_on_plain_proxy_binds_then_fails():
    x = Obj()
    w = ThinRef(x)._ThinRef__ref
    p = unbound()
    with pytest.raises(AttributeError, match="This object has no __dict__"):
        p.__setstate__((w, {"a": 1}))
    assert p._ThinRef__ref is w


def test_setstate_dictionary_update_paths():
    class MyDict(dict):
        updates = []

        def update(self, other):
            MyDict.updates.append(other)

    x = Obj()
    w = ThinRef(x)._ThinRef__ref
    p = unbound(Sub)
    Sub.__dict__["__dict__"].__set__(p, MyDict())  # assignment would go to the referent
    p.__setstate__((w, {"a": 1}))
    assert MyDict.updates == [{"a": 1}] and dict(p.__dict__) == {}
    q = unbound(Sub)
    with pytest.raises(AttributeError):
        q.__setstate__((w, 5))  # a true non-mapping: the update fails
    assert q._ThinRef__ref is w


@pytest.mark.parametrize("call, msg", [
    (lambda p: p.__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
    (lambda p: p.__setstate__((None,), 1), "__setstate__() takes exactly 1 positional argument (2 given)"),
    (lambda p: p.__setstate__((None,), state=1), "__setstate__() got an unexpected keyword argument 'state'"),
    (lambda p: p.__setstate__((None,), __pyx_state=1),
     "__setstate__() got multiple values for keyword argument '__pyx_state'"),
])
def test_setstate_argument_errors(call, msg):
    with pytest.raises(TypeError) as info:
        call(unbound())
    assert str(info.value) == msg


def test_pickling_hooks_are_class_attributes():
    assert "__reduce__" in vars(ThinRef) and "__setstate__" in vars(ThinRef)
