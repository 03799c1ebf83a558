"""Events, observers and bound callbacks of the framework, and the colour
helper of ruvo.core.utils."""

import gc
import inspect
import sys
import weakref
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st
from native_probe import frames

from ruvo.core._event import BoundCallback, EventDispatcher, EventObservers, Observable, ObjectWithUid
from ruvo.core.properties import StringProperty
from ruvo.core.utils import get_color_from_hex_255


class Button(EventDispatcher):
    text = StringProperty("")

    def __init__(self, **kw):
        super().__init__(**kw)
        self.register_event("on_press")
        self.register_event("on_click", client=True)


def test_register_event_lists_and_client_events():
    b = Button()
    assert b.events() == ["on_press", "on_click"] and b.client_events() == ["on_click"]
    b.register_event("on_press", client=True)
    b.register_event("on_click", client=True)
    b.register_event("on_hover", client=False)
    assert b.events() == ["on_press", "on_click", "on_hover"]
    assert b.client_events() == ["on_click", "on_press"]
    b.client_events().append("x")  # a copy
    assert b.client_events() == ["on_click", "on_press"]
    with pytest.raises(TypeError, match="event name must be a str, got int"):
        b.register_event(5)
    with pytest.raises(TypeError, match=r"register_event\(\) takes at least 1 positional argument \(0 given\)"):
        b.register_event()


def test_reregistering_keeps_handlers():
    b = Button()
    seen = []
    b.bind(on_press=lambda obj: seen.append(obj))
    b.register_event("on_press")
    b.dispatch("on_press")
    assert seen == [b]


def test_dispatch_calls_handlers_in_order_with_arguments():
    b = Button()
    seen = []
    b.bind(on_click=lambda *a, **k: seen.append(("one", a, k)))
    b.fbind("on_click", lambda *a, **k: seen.append(("two", a, k)), "tag", extra=1)
    assert b.dispatch("on_click", 5, x=2) is None
    assert seen == [("one", (b, 5), {"x": 2}), ("two", ("tag", b, 5), {"extra": 1, "x": 2})]


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda b: b.dispatch("on_missing"), KeyError, "Button has no event 'on_missing'"),
        (lambda b: b.dispatch(), TypeError, r"dispatch\(\) takes at least 1 positional argument \(0 given\)"),
        (lambda b: b.bind(on_nope=print), KeyError, "Button has no property or event 'on_nope'"),
        (lambda b: b.bind(print), TypeError, r"bind\(\) takes exactly 0 positional arguments \(1 given\)"),
        (lambda b: b.bind(on_press=5), TypeError, "callback must be callable, got int"),
        (lambda b: b.fbind("text"), TypeError, r"fbind\(\) takes at least 2 positional arguments \(1 given\)"),
        (lambda b: b.fbind(5, print), TypeError, "property or event name must be a str, got int"),
        (lambda b: b.unbind_uid("text", "x"), TypeError, "an integer is required"),
    ],
)
def test_binding_and_dispatch_errors(call, exc, message):
    with pytest.raises(exc, match=message):
        call(Button())


def test_unbind_funbind_unbind_uid():
    b = Button()
    seen = []

    def handler(*args):
        seen.append(args)

    b.bind(text=handler, on_press=handler)
    uid = b.fbind("text", handler, "a")
    b.fbind("text", handler, "b")
    b.text = "1"
    assert seen == [(b, "1"), ("a", b, "1"), ("b", b, "1")]
    b.unbind(text=handler)  # the first binding of handler
    b.funbind("text", handler, "b")
    b.funbind("text", handler, "zzz")  # no such binding: nothing happens
    seen.clear()
    b.text = "2"
    assert seen == [("a", b, "2")]
    b.unbind_uid("text", uid)
    b.unbind_uid("text", uid)
    b.unbind(on_press=handler)
    b.text = "3"
    b.dispatch("on_press")
    assert seen == [("a", b, "2")]


def test_property_level_binding_forms():
    b = Button()
    seen = []
    Button.text.bind(b, lambda o, v: seen.append(v))
    uid = Button.text.fbind(b, lambda *a: seen.append(a), 1)
    b.text = "x"
    assert seen == ["x", (1, b, "x")]
    Button.text.unbind_uid(b, uid)
    Button.text.dispatch(b)
    assert seen[-1] == "x" and len(seen) == 3


def test_handlers_changing_bindings_during_dispatch():
    b = Button()
    seen = []

    def first(obj):
        seen.append("first")
        obj.unbind(on_press=first)
        obj.bind(on_press=late)

    def late(obj):
        seen.append("late")

    b.bind(on_press=first)
    b.bind(on_press=lambda obj: seen.append("second"))
    b.dispatch("on_press")
    assert seen == ["first", "second"]
    b.dispatch("on_press")
    assert seen == ["first", "second", "second", "late"]


def test_handler_error_stops_dispatch_and_propagates():
    b = Button()
    seen = []

    def boom(obj):
        raise OSError("boom")

    b.bind(on_press=boom, text=lambda o, v: None)
    b.fbind("on_press", seen.append)
    with pytest.raises(OSError, match="boom"):
        b.dispatch("on_press")
    assert seen == []


def test_handler_dropping_the_last_reference_of_its_dispatcher():
    holder = [Button()]
    probe = weakref.ref(holder[0])
    seen = []

    def drop(obj):
        holder.clear()
        gc.collect()
        seen.append(obj.uid)

    holder[0].bind(on_press=drop)
    holder[0].bind(on_press=lambda obj: seen.append("after"))
    holder[0].dispatch("on_press")
    assert len(seen) == 2 and seen[1] == "after"
    gc.collect()
    assert probe() is None


def test_uids_are_unique():
    objs = [ObjectWithUid(), Observable(), Button(), Button()]
    uids = [o.uid for o in objs]
    assert len(set(uids)) == 4 and all(isinstance(u, int) and u > 0 for u in uids)


def test_plain_observable_bindings():
    o = Observable()
    seen = []
    uid = o.fbind("anything", seen.append)
    o.bind(anything=seen.append)
    o.unbind(anything=seen.append)
    o.unbind_uid("anything", uid)
    o.funbind("other", print)


def test_event_observers_and_bound_callbacks():
    obs = EventObservers()
    seen = []
    uid = obs.bind(lambda *a, **k: seen.append((a, k)), 1, key="v")
    assert len(obs) == 1 and obs.callbacks[0].uid == uid
    obs.dispatch("obj", "value")
    assert seen == [((1, "obj", "value"), {"key": "v"})]
    obs.unbind_uid(uid)
    assert len(obs) == 0 and obs.callbacks == ()

    cb = BoundCallback(seen.append, (), None)
    assert (cb.args, cb.kwargs, cb.uid > 0) == ((), {}, True)
    cb("x")
    assert seen[-1] == "x"
    cb2 = BoundCallback(print, [1, 2], {"sep": "-"}, 7)
    assert (cb2.callback, cb2.args, cb2.kwargs, cb2.uid) == (print, (1, 2), {"sep": "-"}, 7)
    cb2.kwargs["sep"] = "+"  # a copy
    assert cb2.kwargs == {"sep": "-"}
    for bad in ((5,), (print, (), 5)):
        with pytest.raises(TypeError):
            BoundCallback(*bad)
    assert type(EventObservers.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"
    assert type(EventDispatcher.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"


def test_event_types_subclass_and_collect():
    class Mine(EventObservers):
        pass

    m = Mine()
    m.bind(lambda *a: m)  # a cycle through the callback
    probe = weakref.ref(m)
    del m
    gc.collect()
    assert probe() is None


def test_no_leaks_on_event_operations(no_leak):
    b = Button()
    b.bind(on_press=lambda obj, *a, **k: None)

    def bind_cycle():
        uid = b.fbind("on_click", print, 1, sep="")
        b.unbind_uid("on_click", uid)

    no_leak(lambda: b.dispatch("on_press", 1, k=2))
    no_leak(lambda: b.dispatch("on_nope"), raises=KeyError)
    no_leak(bind_cycle)
    no_leak(lambda: (b.bind(on_click=print), b.unbind(on_click=print)))
    no_leak(lambda: b.bind(on_nope=print), raises=KeyError)
    no_leak(lambda: (b.events(), b.client_events(), b.register_event("on_press", client=True)))
    no_leak(Button)


# ---------------------------------------------------------------------------
# Colour texts


@pytest.mark.parametrize(
    "text, expected",
    [
        ("#f00", [255, 0, 0]),
        ("0F0", [0, 255, 0]),
        ("#00f8", [0, 0, 255, 136 / 255]),
        ("#12ab9F", [18, 171, 159]),
        ("ffffff00", [255, 255, 255, 0.0]),
        ("#000000FF", [0, 0, 0, 1.0]),
    ],
)
def test_get_color_from_hex_255(text, expected):
    result = get_color_from_hex_255(text)
    assert result == expected and type(result) is list
    assert [type(v) for v in result[:3]] == [int] * 3
    assert len(result) == 3 or type(result[3]) is float


@pytest.mark.parametrize("text", ["", "#", "#ff", "#fffff", "#ggg", "red", "##fff", "#ffffffff0", " #fff", "#١٢٣", None, 5])
def test_get_color_from_hex_255_refuses(text):
    with pytest.raises(ValueError, match="invalid hex colour " + repr(text).replace("(", r"\(")):
        get_color_from_hex_255(text)


# The helper's definition in plain Python, which the native one must match
# (the benchmarks' plain-Python peer uses the same).
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))
from python_colour import py_get_color_from_hex_255 as python_hex_255  # noqa: E402


def outcome(parse, text):
    try:
        result = parse(text)
    except ValueError as e:
        return "refused", str(e)
    return type(result), [(type(v), v) for v in result]


class StrSub(str):
    pass


class ShownAs:
    """An object whose repr is a str subclass with its own formatting."""

    class Shown(str):
        def __format__(self, spec):
            return "<shown>"

    def __repr__(self):
        return self.Shown("ignored")


@pytest.mark.parametrize("text", [
    "#abc", "ABC", "#AbCd", "aBcD", "#0f0f0f", "FfEeDd", "#01234567", "89abcdef", "#fff0", "#000",
    "", "#", "##", "##fff", "#ff", "#fffff", "#fffffff", "#fffffffff", "#ggg", "#fgf", "ff ", "#ff\x00",
    "#\uff10\uff10\uff10", "\uff03fff", "#\u0661\u0662\u0663", "#ffé", "\U0001f600fff", "#ff\u00ff",
    StrSub("#fff"), StrSub("12345678"), StrSub("#12"),
    None, 5, 1.5, b"#fff", bytearray(b"fff"), ["#fff"], ShownAs(),
])
def test_native_parser_matches_the_python_definition(text):
    assert outcome(get_color_from_hex_255, text) == outcome(python_hex_255, text)


@given(st.text(alphabet="#0123456789abcdefABCDEFgG \u0661\uff10\x00\U0001f600", max_size=10))
def test_native_parser_matches_the_python_definition_on_any_text(text):
    assert outcome(get_color_from_hex_255, text) == outcome(python_hex_255, text)


class Prefixed(str):
    """Claims a leading "#" whatever the text."""

    def startswith(self, prefix, *args):
        return True


class Unprefixed(str):
    def startswith(self, prefix, *args):
        return False


class Sliced(str):
    def __getitem__(self, index):
        return "abc"


class Sized(str):
    def __len__(self):
        return 3


class Iterated(str):
    def __iter__(self):
        return iter("fff")


class SlicedToUnsliceable(str):
    """Its slice is sized and iterable but cannot itself be sliced."""

    class Digits:
        def __len__(self):
            return 6

        def __iter__(self):
            return iter("ffffff")

    def __getitem__(self, index):
        return self.Digits()


class Shrinking(str):
    """Its length changes at each call: 6, then 4, then 4..."""

    def __len__(self):
        self.calls = getattr(self, "calls", 0) + 1
        return 6 if self.calls == 1 else 4


class ClaimsStr:
    """Not a str, but isinstance(x, str) is true and its methods answer."""

    __class__ = property(lambda self: str)

    def startswith(self, prefix):
        return False

    def __len__(self):
        return 3

    def __iter__(self):
        return iter("fff")

    def __getitem__(self, index):
        return "ab"

    def __init__(self, arg):
        pass

    def __repr__(self):
        return "ClaimsStr()"


class Raising(str):
    def startswith(self, prefix, *args):
        raise KeyError("startswith")


@pytest.mark.parametrize("cls, arg", [
    (Prefixed, "fff"), (Prefixed, "#fff"), (Unprefixed, "#fff"), (Unprefixed, "fff"), (Sliced, "#zzzz"),
    (Sliced, "#ffffff"), (Sliced, "ffff"), (SlicedToUnsliceable, "#ffffff"), (Sized, "#ffff"), (Sized, "#ff"), (Iterated, "#zzz"),
    (Iterated, "#ffffff"), (Shrinking, "ffffff"), (Shrinking, "ffff"), (ClaimsStr, None), (Raising, "#fff"),
])
def test_str_subclass_methods_are_used_as_the_python_definition_uses_them(cls, arg, no_leak):
    def run(parse, text):
        try:
            return outcome(parse, text)
        except (KeyError, TypeError) as e:
            return "raised", repr(e)

    expected = run(python_hex_255, cls(arg))
    assert run(get_color_from_hex_255, cls(arg)) == expected
    raises = (ValueError, KeyError, TypeError) if expected[0] in ("refused", "raised") else None
    no_leak(lambda: get_color_from_hex_255(cls(arg)), raises=raises)


def test_native_parser_is_a_function_with_its_own_traceback_entry(no_leak):
    assert get_color_from_hex_255.__module__ == "ruvo.core._framework"
    assert str(inspect.signature(get_color_from_hex_255)) == "(text)"
    first, second = get_color_from_hex_255(text="#fff"), get_color_from_hex_255("#fff")
    assert first == second and first is not second
    with pytest.raises(ValueError) as info:
        get_color_from_hex_255("#12")
    assert frames(info)[-1] == "ruvo.core._framework.get_color_from_hex_255"
    no_leak(lambda: get_color_from_hex_255("#ff000080"))
    no_leak(lambda: get_color_from_hex_255("#12"), raises=ValueError)
    no_leak(lambda: get_color_from_hex_255(ShownAs()), raises=ValueError)


def test_unbind_survives_equality_that_changes_the_bindings():
    b = Button()
    target = print

    class Sneaky:
        def __call__(self, *args):
            pass

        def __eq__(self, other):
            b.unbind_uid("on_press", later)  # removes the binding the search is about to reach
            b.fbind("on_press", target)
            gc.collect()
            return False

        __hash__ = object.__hash__

    b.bind(on_press=Sneaky())
    later = b.fbind("on_press", target)
    b.unbind(on_press=target)  # the binding found was already gone: nothing else is removed
    seen = []
    b.fbind("on_press", seen.append)
    b.dispatch("on_press")
    assert seen == [b]
