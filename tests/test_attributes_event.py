"""_GenericEventAttribute through real widgets of the event framework."""

import ctypes
import gc

import pytest
from gcprobe import Canary
import native_probe
from native_probe import collector_clear, frames

from ruvo.core._attributes import _GenericEventAttribute
from ruvo.core._event import EventDispatcher
from ruvo.core.properties import BooleanProperty

INIT_STORAGE = "ruvo.core._attributes._GenericEventAttribute.init_storage"


class Recording:
    """A handler function that records its calls and returns a marker."""

    def __init__(self, result=("rendered",)):
        self.calls = []
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


handler = Recording()
shared_args = {"key": "k"}


class Button(EventDispatcher):
    onclick = _GenericEventAttribute(True, handler)
    onfocus = _GenericEventAttribute(False, "focus()")
    onkeydown = _GenericEventAttribute(True, handler, 1, shared_args, 5, 0, attrname="onkeydown")
    onblur = _GenericEventAttribute(True, 5)
    onidle = _GenericEventAttribute(True)


class StrSub(str):
    pass




# ---------------------------------------------------------------------------
# Construction


def test_public_fields_and_surface():
    e = _GenericEventAttribute()
    assert (e.attrtype, e.sync, e.defaultvalue) == ("", 0, False)
    e = _GenericEventAttribute(None, attrname="onclick", attrtype=None, sync=True)
    assert (e.attrtype, e.sync, e.attrname, e.defaultvalue) == (None, 1, "onclick", None)
    for hidden in ("eventhandler", "prevent_default", "eventargs", "eventjs"):  # dispatch: a method of Property
        assert not hasattr(e, hidden)
    assert _GenericEventAttribute.__doc__.startswith(
        "An event attribute class like `onclick` for the button input element.")
    assert _GenericEventAttribute.__base__ is BooleanProperty


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((), {"attrname": 5, "attrtype": 5.0}, TypeError, "Expected str, got int"),  # attrname first
        ((), {"attrtype": StrSub("x")}, TypeError, "Expected str, got StrSub"),
        ((), {"sync": "1"}, TypeError, "an integer is required"),
        ((1, 2, 3, 4, 5, 6, 7), {}, TypeError, "__init__() takes at most 6 positional arguments (7 given)"),
        ((1, 2), {"eventhandler": 2}, TypeError,
         "__init__() got multiple values for keyword argument 'eventhandler'"),
    ],
)
def test_construction_errors(args, kwargs, exc, message, no_leak):
    with pytest.raises(exc) as info:
        _GenericEventAttribute(*args, **kwargs)
    assert str(info.value) == message
    assert frames(info)[-1] == "ruvo.core._attributes._GenericEventAttribute.__init__"
    no_leak(lambda: _GenericEventAttribute(*args, **kwargs), raises=exc)


class Falsy:
    def __bool__(self):
        raise LookupError("truth")


class NoStr:
    def __str__(self):
        raise LookupError("str")


@pytest.mark.parametrize("kwargs", [{"prevent_default": Falsy()}, {"dispatch": Falsy()},
                                    {"eventargs": Falsy()}, {"eventjs": NoStr()}])
def test_argument_conversions_propagate_errors(kwargs, no_leak):
    with pytest.raises(LookupError):
        _GenericEventAttribute(**kwargs)
    no_leak(lambda: _GenericEventAttribute(**kwargs), raises=LookupError)


class Recorder(BooleanProperty):
    calls = []

    def __init__(self, *args, **kwargs):
        Recorder.calls.append((args, kwargs))
        super().__init__(*args, **kwargs)


class Probe(_GenericEventAttribute, Recorder):
    pass


def test_base_init_gets_default_and_further_keywords():
    Recorder.calls.clear()
    Probe(True, "h", True, {"a": 1}, "js", False, attrname="onx", attrtype="element", sync=1, allownone=0, x=2)
    assert Recorder.calls == [((True,), {"attrname": "onx", "attrtype": "element", "sync": 1,
                                         "allownone": True, "x": 2})]
    Recorder.calls.clear()
    Probe()
    assert Recorder.calls == [((False,), {"allownone": True})]


# ---------------------------------------------------------------------------
# Client event registration


def test_client_events_registered_on_set_up():
    b = Button()
    assert b.client_events() == ["on_click", "on_focus", "on_keydown", "on_blur", "on_idle"]


def test_register_event_called_after_base_set_up():
    seen = []

    class Spy(EventDispatcher):
        onclick = _GenericEventAttribute(1, "go()")
        onmouse_over = _GenericEventAttribute(attrname="")

        def register_event(self, *args, **kwargs):
            seen.append((args, kwargs, self.property_storage("onclick").value))

    Spy()
    assert seen == [(("on_click",), {"client": True}, True), (("on_mouse-over",), {"client": True}, True)]


def test_names_follow_each_attribute_across_many_classes():
    # More attribute names than renderings keep at hand, in classes made and
    # dropped in turn: each renders its own dashed and event names.
    def name_of(obj, name, **kwargs):
        return name

    for round_ in range(3):
        names = [f"onpart_{round_}_{i}" for i in range(40)]
        W = type("W", (EventDispatcher,), {n: _GenericEventAttribute(True, name_of) for n in names})
        w = W()
        for _ in range(2):
            for n in names:
                attr = getattr(W, n)
                assert attr.attrname == n.replace("_", "-")
                assert attr.attrvalue(w) == "on_" + n.replace("_", "-")[2:]
        del W, w
        gc.collect()


@pytest.mark.parametrize("override, event", [("ontap", "on_tap"), (["o", "n", "tap", 5], "on_['tap', 5]")])
def test_event_name_from_python_attrname_override(override, event):
    class Renamed(_GenericEventAttribute):
        attrname = override

    rec = Recording()

    class W(EventDispatcher):
        onx = Renamed(True, rec)

    w = W()
    assert w.client_events() == [event]
    W.onx.attrvalue(w)
    assert rec.calls[0][0][1] == event


class Broken(_GenericEventAttribute):
    @property
    def attrname(self):
        raise ZeroDivisionError("attrname")


class Numbered(_GenericEventAttribute):
    attrname = 5


@pytest.mark.parametrize(
    "attr, register, exc, message",
    [
        (_GenericEventAttribute, None, TypeError, "'NoneType' object is not callable"),
        (_GenericEventAttribute, lambda self, *a, **k: 1 / 0, ZeroDivisionError, "division by zero"),
        (Broken, EventDispatcher.register_event, ZeroDivisionError, "attrname"),
        (Numbered, EventDispatcher.register_event, TypeError, "'int' object is not subscriptable"),
    ],
)
def test_registration_errors_propagate(attr, register, exc, message, no_leak):
    class W(EventDispatcher):
        onclick = attr()

    W.register_event = register
    with pytest.raises(exc) as info:
        W()
    assert str(info.value) == message
    assert INIT_STORAGE in frames(info)
    no_leak(W, raises=exc)


# ---------------------------------------------------------------------------
# attrvalue


def test_handler_call_with_defaults():
    handler.calls.clear()
    b = Button()
    assert Button.onclick.attrvalue(b) is handler.result
    ((args, kwargs),) = handler.calls
    assert args == (b, "on_click")
    assert list(kwargs.items()) == [("prevent_default", False), ("event_args", {}), ("event_js", ""),
                                    ("dispatch", True)]
    handler.calls.clear()
    Button.onclick.attrvalue(b)
    assert handler.calls[0][1]["event_args"] is kwargs["event_args"]  # the field itself, not a copy


def test_handler_call_with_given_arguments():
    handler.calls.clear()
    b = Button()
    Button.onkeydown.attrvalue(obj=b)
    ((args, kwargs),) = handler.calls
    assert args == (b, "on_keydown")
    assert kwargs == {"prevent_default": True, "event_args": shared_args, "event_js": "5", "dispatch": False}
    assert kwargs["event_args"] is shared_args
    assert type(kwargs["prevent_default"]) is bool and type(kwargs["dispatch"]) is bool


@pytest.mark.parametrize("eventargs", [None, {}, 0, ()])
def test_empty_eventargs_give_a_new_dict(eventargs):
    rec = Recording()
    a = _GenericEventAttribute(True, rec, eventargs=eventargs)

    class W(EventDispatcher):
        onx = a

    w = W()
    W.onx.attrvalue(w)
    W.onx.attrvalue(w)
    first, second = (kw["event_args"] for _, kw in rec.calls)
    assert first == {} and first is second and first is not eventargs


@pytest.mark.parametrize(
    "prop, value, expected",
    [
        ("onclick", False, ""), ("onclick", None, ""), ("onfocus", False, ""), ("onblur", False, ""),
        ("onidle", True, ""), ("onfocus", True, "focus()"), ("onclick", True, ("rendered",)),
    ],
)
def test_rendering(prop, value, expected, no_leak):
    b = Button()
    setattr(b, prop, value)
    assert getattr(Button, prop).attrvalue(b) == expected
    no_leak(lambda: (getattr(Button, prop).attrvalue(b), handler.calls.clear()))


def test_text_handler_of_str_subclass_returned_itself():
    text = StrSub("go()")

    class W(EventDispatcher):
        onx = _GenericEventAttribute(True, text)

    assert W.onx.attrvalue(W()) is text


def test_handler_that_cannot_be_called(no_leak):
    b = Button()
    with pytest.raises(AttributeError) as info:
        Button.onblur.attrvalue(b)
    assert str(info.value) == "renderer must be of callable type or string, got <class 'int'>"
    assert frames(info)[-1] == "ruvo.core._attributes._GenericEventAttribute.attrvalue"
    no_leak(lambda: Button.onblur.attrvalue(b), raises=AttributeError)


def test_handler_errors_propagate(no_leak):
    def failing(obj, name, **kw):
        raise KeyError(name)

    class W(EventDispatcher):
        onx = _GenericEventAttribute(True, failing)

    w = W()
    with pytest.raises(KeyError, match="on_x"):
        W.onx.attrvalue(w)
    no_leak(lambda: W.onx.attrvalue(w), raises=KeyError)


def test_python_override_through_the_table():
    class Wrapped(_GenericEventAttribute):
        def attrvalue(self, obj):
            return "[" + super().attrvalue(obj) + "]"

    class W(EventDispatcher):
        onx = Wrapped(True, "x()")

    base = native_probe.table(BooleanProperty, 16)
    table = native_probe.table(_GenericEventAttribute, 17)
    assert [i for i in range(16) if table[i] != base[i]] == [0]  # init_storage replaced
    op = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)(table[16])
    w = W()
    assert op(W.onx, w, 0) == "[x()]"
    assert op(W.onx, w, 1) == "x()"


# ---------------------------------------------------------------------------
# Pickling, garbage collection




@pytest.mark.parametrize("where", ["eventhandler", "eventargs"])
def test_cycles_are_collected(where):
    Canary.died = 0
    gc.collect()
    for _ in range(3):
        canary = Canary()
        if where == "eventhandler":
            canary.attr = _GenericEventAttribute(True, canary)
        else:
            canary.attr = _GenericEventAttribute(True, eventargs={"c": canary})
        del canary
    gc.collect()
    assert Canary.died == 3


def test_cleared_attribute_renders_nothing():
    class W(EventDispatcher):
        onx = _GenericEventAttribute(True, Recording(), eventargs={"a": 1})

    w = W()
    collector_clear(W.onx)
    assert W.onx.attrvalue(w) == ""  # the handler is gone
    W()


def test_no_leaks(no_leak):
    no_leak(lambda: _GenericEventAttribute(True, handler, True, {"a": 1}, 7, False, attrname="onx", y=1))
    no_leak(Button)
    no_leak(lambda: Button.onkeydown.attrname)
