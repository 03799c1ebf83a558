import builtins
import ctypes
import gc
import html
import inspect
import itertools
import traceback
import weakref

import pytest

from ruvo.uix import _html as h
from ruvo.uix._html import join_attributes, join_cls, join_style, render_default_html

FUNCTIONS = {
    "join_style": ("style_container",),
    "join_cls": ("default_cls", "cls_container"),
    "join_attributes": ("attr_container",),
    "render_default_html": ("tagname", "tagid", "cls", "style", "attributes", "content"),
}

TEMPLATE = (
    '<{{obj.tagname}} id="{{obj.tagid}}" {% if obj.cls %} class="{{obj.cls}}" {% end %}'
    '{% if obj.style %} style="{{obj.style}}" {% end %} {% raw obj.attributes %} >'
    "{%raw obj.content%}</{{obj.tagname}}>"
)


def raised(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return info


def message(fn, *args, **kwargs):
    info = raised(fn, *args, **kwargs)
    return type(info.value), str(info.value)


def vectorcall_with_keywords(func, args, kwnames, kwvalues):
    """Calls ``func`` through the fast calling convention with keyword names
    that the interpreter's own call syntax would refuse (non-strings)."""
    call = ctypes.pythonapi.PyObject_VectorcallMethod
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    holder = type("Holder", (), {})()
    holder.f = func  # a plain attribute: looked up as bound-less callable
    items = [holder, *args, *kwvalues]
    array = (ctypes.py_object * len(items))(*items)
    return call("f", ctypes.cast(array, ctypes.c_void_p), 1 + len(args), tuple(kwnames))


# ---------------------------------------------------------------------------
# Module namespace and introspection


def test_module_namespace():
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}
    own = {"html_escape", "__all__", "DEFAULT_HTML_TPL", "join_style", "join_cls", "join_attributes",
           "render_default_html", "__test__"}
    assert set(vars(h)) - standard == own
    assert h.__all__ == ("DEFAULT_HTML_TPL", "join_style", "join_cls", "join_attributes", "render_default_html")
    assert type(h.__all__) is tuple
    assert h.html_escape is html.escape
    assert h.__test__ == {} and type(h.__test__) is dict
    assert h.__doc__ == (
        "Fast HTML attribute joiners and the default element template renderer.\n"
        "\n"
        "The default ``html_tpl`` on :class:`~ruvo.uix.element.Element` is a small\n"
        "Tornado template whose *run* cost dominates tree serialization. This module\n"
        "reproduces that template's output (including its whitespace) without Tornado.\n"
        "Custom ``html_tpl`` values still go through Tornado.\n"
    )


def test_template_text():
    assert h.DEFAULT_HTML_TPL == TEMPLATE
    assert type(h.DEFAULT_HTML_TPL) is str
    assert len(h.DEFAULT_HTML_TPL) == 196
    assert "\n" not in h.DEFAULT_HTML_TPL


DOCS = {
    "join_style": "Join ``style_container`` into a CSS style attribute value.",
    "join_cls": "Join default classes and ``cls_container`` values into a class string.",
    "join_attributes": "Join ``attr_container`` into an HTML attribute string.",
    "render_default_html": "Render the default Element ``html_tpl`` without Tornado.\n\n"
    "    Whitespace matches ``tornado.template.Template.generate`` for\n"
    "    :data:`DEFAULT_HTML_TPL` so markup stays byte-compatible with the\n"
    "    previous renderer.\n"
    "    ",
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_introspection(name):
    fn = getattr(h, name)
    params = FUNCTIONS[name]
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "ruvo.uix._html"
    assert fn.__doc__ == DOCS[name]
    code = fn.__code__
    assert code.co_argcount == len(params)
    assert code.co_kwonlyargcount == 0
    assert code.co_name == name
    assert fn.__defaults__ is None and fn.__kwdefaults__ is None
    if name == "render_default_html":
        assert code.co_varnames == params + ("tag", "eid", "s_cls", "s_style", "s_attrs", "s_content", "parts")
    else:
        assert code.co_varnames[: len(params)] == params
    sig = inspect.signature(fn)
    assert tuple(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in sig.parameters.values())


# ---------------------------------------------------------------------------
# Argument errors


def count_msg(name, given):
    n = len(FUNCTIONS[name])
    return f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({given} given)"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_positional_counts(name):
    fn = getattr(h, name)
    n = len(FUNCTIONS[name])
    for given in (0, n - 1, n + 1):
        if given < 0 or given == n:
            continue
        assert message(fn, *[None] * given) == (TypeError, count_msg(name, given))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_keywords(name):
    fn = getattr(h, name)
    params = FUNCTIONS[name]
    n = len(params)
    # every parameter as a keyword, in reverse order
    fn(**{p: None for p in reversed(params)})
    # the count reported is the position of the first missing parameter
    for missing in range(n):
        kwargs = {p: None for i, p in enumerate(params) if i != missing}
        assert message(fn, **kwargs) == (TypeError, count_msg(name, missing))
        if missing:
            assert message(fn, *[None] * missing, **{p: None for p in params[missing + 1:]}) == (
                TypeError, count_msg(name, missing))
    # an unexpected keyword is reported only once every parameter is given
    assert message(fn, **{p: None for p in params}, bogus=1) == (
        TypeError, f"{name}() got an unexpected keyword argument 'bogus'")
    assert message(fn, bogus=1) == (TypeError, count_msg(name, 0))
    assert message(fn, *[None] * n, **{params[0]: None}) == (
        TypeError, f"{name}() got multiple values for keyword argument '{params[0]}'")
    assert message(fn, *[None] * n, **{params[-1]: None}) == (
        TypeError, f"{name}() got multiple values for keyword argument '{params[-1]}'")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_non_string_keyword(name):
    fn = getattr(h, name)
    n = len(FUNCTIONS[name])
    info = raised(vectorcall_with_keywords, fn, [None] * n, [1], [None])
    assert info.type is TypeError
    assert str(info.value) == f"{name}() keywords must be strings"
    # the normal path works through the same caller
    assert type(vectorcall_with_keywords(fn, [None] * (n - 1), [FUNCTIONS[name][-1]], [None])) is str


# ---------------------------------------------------------------------------
# join_style


class Fmt:
    """A value with its own formatting and truth."""

    def __init__(self, text, truth=True, on_format=None, on_bool=None):
        self.text, self.truth, self.on_format, self.on_bool = text, truth, on_format, on_bool

    def __format__(self, spec):
        assert spec == ""
        if self.on_format:
            self.on_format()
        return self.text

    def __str__(self):
        return self.text

    def __bool__(self):
        if self.on_bool:
            self.on_bool()
        return self.truth


@pytest.mark.parametrize("container, expected", [
    (None, ""),
    ({}, ""),
    ({"a": None, "b": "", "c": 0, "d": False, "e": []}, ""),
    ({"color": "red"}, "color: red"),
    ({"color": "red", "width": "10px", "z-index": 0}, "color: red;width: 10px"),
    ({"z-index": 2, "opacity": 0.5, 1: True}, "z-index: 2;opacity: 0.5;1: True"),
    ({"a": Fmt("x"), "b": Fmt("y", truth=False)}, "a: x"),
    ({"content": '"<&>"'}, 'content: "<&>"'),
    ({"a": ["x"]}, "a: ['x']"),
])
def test_join_style(container, expected):
    result = join_style(container)
    assert result == expected and type(result) is str


@pytest.mark.parametrize("value", [0.1, 1e16, 1e-7, float("nan"), float("-inf"), 2**70, -3, True, 1.0])
def test_join_style_number_text(value):
    assert join_style({"a": value}) == "a: " + format(value, "")


def test_join_style_empty_result_is_shared_text():
    empty = str()  # the interpreter's one empty string
    assert join_style(None) is join_style({}) is empty


# ---------------------------------------------------------------------------
# join_cls


@pytest.mark.parametrize("default, container, expected", [
    (None, None, ""),
    ([], {"a": ""}, ""),
    ("ab", None, "a b"),
    (["a", ""], None, "a "),
    (("a", "b"), {"x": "c", "y": "", "z": None, "w": "a"}, "a b c a"),
    ([], {"x": "c", "y": "d"}, "c d"),
    (0, {"x": "c"}, "c"),
    (iter(["p", "q"]), {}, "p q"),
    ({"k1": 1, "k2": 2}.keys(), None, "k1 k2"),
])
def test_join_cls(default, container, expected):
    assert join_cls(default, container) == expected


def test_join_cls_copies_default_list():
    default = ["a"]
    assert join_cls(default, {"x": "b"}) == "a b"
    assert default == ["a"]


@pytest.mark.parametrize("default, container, msg", [
    (["a", 1], None, "sequence item 1: expected str instance, int found"),
    (None, {"x": "a", "y": 5}, "sequence item 1: expected str instance, int found"),
    (None, {"x": Fmt("a")}, "sequence item 0: expected str instance, Fmt found"),
    (5, None, "'int' object is not iterable"),
])
def test_join_cls_type_errors(default, container, msg):
    assert message(join_cls, default, container) == (TypeError, msg)


# ---------------------------------------------------------------------------
# join_attributes


@pytest.mark.parametrize("container, expected", [
    (None, ""),
    ({}, ""),
    ({"disabled": "disabled"}, "disabled"),
    ({"disabled": True}, 'disabled="True"'),
    ({"checked": True, "x": 0, "y": None, "z": ""}, 'checked="True"'),
    ({"width": 5}, 'width="5"'),
    ({"5": 5}, '5="5"'),
    ({"title": "a<b>&\"c'"}, 'title="a&lt;b&gt;&amp;&quot;c&#x27;"'),
    ({"<k'\"&>": "v"}, "<k'\"&>=\"v\""),
    ({"id": "main", "hidden": "hidden", "title": 'say "hi"', "tabindex": 0},
     'id="main" hidden title="say &quot;hi&quot;"'),
    ({'a"b': 'a"b'}, 'a"b="a&quot;b"'),
    # only HTML's boolean attributes, in any case, are written bare
    ({"name": "name", "value": "value"}, 'name="name" value="value"'),
    ({"HIDDEN": "HIDDEN", "Open": "Open", "inert": "INERT"}, 'HIDDEN Open inert="INERT"'),
    ({"t": "\u00e9<\u20ac>\U0001F600&"}, 't="\u00e9&lt;\u20ac&gt;\U0001F600&amp;"'),
    ({"s": Fmt("<x>")}, 's="&lt;x&gt;"'),
    ({1: 1}, '1="1"'),
])
def test_join_attributes(container, expected):
    assert join_attributes(container) == expected


class EqualsAll:
    def __eq__(self, other):
        return True

    def __str__(self):
        return "<v>"


class EqFails:
    def __eq__(self, other):
        raise KeyError("eq")

    def __str__(self):
        return "v"


def test_join_attributes_equality_uses_the_unconverted_value():
    assert join_attributes({"selected": EqualsAll()}) == "&lt;v&gt;"
    assert message(join_attributes, {"selected": EqFails()}) == (KeyError, "'eq'")
    # other keys are never compared
    assert join_attributes({"k": EqFails()}) == 'k="v"'


def test_join_attributes_step_order():
    calls = []

    class Value:
        def __bool__(self):
            calls.append("bool")
            return True

        def __str__(self):
            calls.append("str")
            return "v"

        def __eq__(self, other):
            calls.append("eq")
            return False

    def escape(text, quote):
        calls.append(("escape", text, quote))
        return text

    h.html_escape = escape
    try:
        assert join_attributes({"muted": Value()}) == 'muted="v"'
    finally:
        h.html_escape = html.escape
    assert calls == ["bool", "str", ("escape", "v", True), "eq"]


@pytest.fixture
def restore_escape():
    yield
    h.html_escape = html.escape
    if hasattr(builtins, "html_escape"):
        del builtins.html_escape


def test_html_escape_rebinding(restore_escape):
    assert join_attributes({"a": "<"}) == 'a="&lt;"'
    h.html_escape = lambda text, quote: text.upper()
    assert join_attributes({"a": "<b"}) == 'a="<B"'
    h.html_escape = lambda text, quote: None
    assert join_attributes({"a": "b"}) == 'a="None"'
    h.html_escape = html.escape
    assert join_attributes({"a": "<"}) == 'a="&lt;"'


def test_html_escape_replaced_is_released_and_never_stale(restore_escape):
    # Rebinding drops the old escape at once; when dropping it binds another,
    # that one is used from the next call on.
    class Escape:
        def __init__(self, mark, then=None):
            self.mark, self.then = mark, then

        def __call__(self, text, quote):
            return self.mark + text

        def __del__(self):
            if self.then:
                h.html_escape = self.then

    h.html_escape = Escape("A", then=Escape("C"))
    assert join_attributes({"a": "x"}) == 'a="Ax"'
    h.html_escape = Escape("B")
    assert h.html_escape.mark == "C"
    assert join_attributes({"a": "x"}) == 'a="Cx"'
    assert join_attributes({"a": "x"}) == 'a="Cx"'
    gone = Escape("D")
    h.html_escape = gone
    assert join_attributes({"a": "x"}) == 'a="Dx"'
    alive = weakref.ref(gone)
    del gone
    h.html_escape = html.escape
    assert alive() is None


class StrSub(str):
    pass


@pytest.mark.parametrize("result, type_name", [(5, "int"), (b"x", "bytes"), (StrSub("x"), "StrSub")])
def test_html_escape_result_type(restore_escape, result, type_name):
    h.html_escape = lambda text, quote: result
    assert message(join_attributes, {"a": "b"}) == (TypeError, f"Expected str, got {type_name}")
    assert join_attributes({"a": ""}) == ""  # false values never reach the escape


def test_html_escape_errors_propagate(restore_escape):
    def escape(text, quote):
        raise LookupError("escape failed")

    h.html_escape = escape
    assert message(join_attributes, {"a": "b"}) == (LookupError, "escape failed")


def test_html_escape_missing_global(restore_escape):
    del h.html_escape
    assert message(join_attributes, {"a": "b"}) == (NameError, "name 'html_escape' is not defined")
    assert join_attributes({"a": None}) == ""  # not looked up for a skipped entry
    builtins.html_escape = lambda text, quote: "[" + text + "]"
    assert join_attributes({"a": "b"}) == 'a="[b]"'


# ---------------------------------------------------------------------------
# Walking containers


class ItemsDict(dict):
    def items(self):
        return [("own", "items")]

    def values(self):
        return ["own-values"]


class Mapping:
    """Not a dict: items() and values() return what they were given."""

    def __init__(self, items):
        self._items = items

    def __bool__(self):
        return True

    def items(self):
        return self._items

    def values(self):
        return self._items


class IterList(list):
    def __iter__(self):
        return iter([("it", "er")])


def test_dict_subclass_uses_its_methods():
    d = ItemsDict(a="b")
    assert join_style(d) == "own: items"
    assert join_attributes(d) == 'own="items"'
    assert join_cls(None, d) == "own-values"


@pytest.mark.parametrize("items, style", [
    ([("a", "1"), ("b", "2")], "a: 1;b: 2"),
    ((("a", "1"), ("b", "2")), "a: 1;b: 2"),
    (iter([("a", "1")]), "a: 1"),
    ((p for p in [("a", "1"), ("b", "")]), "a: 1"),
    (IterList([("a", "1")]), "it: er"),  # not exactly a list: iterated
    ([["a", "1"], "bc", iter(["d", "2"])], "a: 1;b: c;d: 2"),
    ({"a": "1"}.items(), "a: 1"),
])
def test_items_results(items, style):
    assert join_style(Mapping(items)) == style


def test_cls_values_results():
    assert join_cls(["x"], Mapping(("a", "", "b"))) == "x a b"
    assert join_cls(None, Mapping(iter(["a", None, "c"]))) == "a c"


class TupleSub(tuple):
    def __iter__(self):
        raise AssertionError("a tuple is taken by its length")


@pytest.mark.parametrize("item, exc, msg", [
    ((), ValueError, "need more than 0 values to unpack"),
    (("a",), ValueError, "need more than 1 value to unpack"),
    (("a", "b", "c"), ValueError, "too many values to unpack (expected 2)"),
    (TupleSub(("a", "b", "c")), ValueError, "too many values to unpack (expected 2)"),
    (TupleSub(("a",)), ValueError, "need more than 1 value to unpack"),
    ([], ValueError, "need more than 0 values to unpack"),
    (["a"], ValueError, "need more than 1 value to unpack"),
    ("abc", ValueError, "too many values to unpack (expected 2)"),
    (range(5), ValueError, "too many values to unpack (expected 2)"),
    (None, TypeError, "'NoneType' object is not iterable"),
    (5, TypeError, "'int' object is not iterable"),
])
@pytest.mark.parametrize("fn", [join_style, join_attributes])
def test_unpacking_errors(fn, item, exc, msg):
    assert message(fn, Mapping([("ok", "1"), item])) == (exc, msg)


def test_tuple_subclass_pair():
    assert join_style(Mapping([TupleSub(("a", "b"))])) == "a: b"


def test_unpacking_iterator_errors_propagate():
    def pairs():
        yield "a"
        raise OSError("broken pair")

    assert message(join_style, Mapping([pairs()])) == (OSError, "broken pair")


@pytest.mark.parametrize("fn, exc, msg", [
    (join_style, AttributeError, "'list' object has no attribute 'items'"),
    (join_attributes, AttributeError, "'list' object has no attribute 'items'"),
    (lambda c: join_cls(None, c), AttributeError, "'list' object has no attribute 'values'"),
])
def test_container_without_method(fn, exc, msg):
    assert message(fn, [("a", "b")]) == (exc, msg)


def test_non_iterable_items_result():
    assert message(join_style, Mapping(5)) == (TypeError, "'int' object is not iterable")
    assert message(join_cls, None, Mapping(5)) == (TypeError, "'int' object is not iterable")


def test_list_result_length_is_reread():
    items = []
    items += [("a", Fmt("1", on_bool=lambda: items.append(("b", "2"))))]
    assert join_style(Mapping(items)) == "a: 1;b: 2"
    items = [("a", Fmt("1", on_bool=lambda: items.clear())), ("b", "2")]
    assert join_attributes(Mapping(items)) == 'a="1"'
    values = ["a", Fmt("b", on_bool=lambda: values.append("c"))]
    # the Fmt itself is appended: the join then refuses it
    with pytest.raises(TypeError):
        join_cls(None, Mapping(values))
    values = ["a", Fmt("", truth=False, on_bool=lambda: values.append("c"))]
    assert join_cls(None, Mapping(values)) == "a c"


def mutating_dict(hook, key="v", collect=False):
    d = {"a": "1"}

    def grow():
        d[object()] = "x"

    def shrink():
        d2.clear()
        if collect:
            gc.collect()

    d[key] = Fmt("2", **{hook: grow})
    d["z"] = "3"
    d2 = {"a": "1", key: Fmt("2", **{hook: shrink}), "z": "3"}
    return d, d2


@pytest.mark.parametrize("fn, hook", [
    (join_style, "on_format"),
    (join_style, "on_bool"),
    (join_attributes, "on_bool"),
    (lambda c: join_cls(None, c), "on_bool"),
])
def test_dict_changed_size(fn, hook):
    for d in mutating_dict(hook, collect=True):
        assert message(fn, d) == (RuntimeError, "dictionary changed size during iteration")


def test_dict_changed_size_at_last_entry():
    d = {}
    d["a"] = Fmt("1", on_format=lambda: d.__setitem__("b", "2"))
    assert message(join_style, d) == (RuntimeError, "dictionary changed size during iteration")


def test_dict_same_size_change_is_not_an_error():
    d = {"a": "1"}
    d["b"] = Fmt("2", on_format=lambda: d.__setitem__("a", "changed"))
    assert join_style(d) == "a: 1;b: 2"


@pytest.mark.parametrize("fn, method", [
    (join_style, "items"), (join_attributes, "items"), (lambda c: join_cls(None, c), "values")])
def test_container_errors_propagate(fn, method):
    class Broken(dict):
        pass

    def fail(self):
        raise ZeroDivisionError(method)

    setattr(Broken, method, fail)
    assert message(fn, Broken(a="b")) == (ZeroDivisionError, method)

    class BadTruth:
        def __bool__(self):
            raise OverflowError("truth")

    assert message(fn, BadTruth()) == (OverflowError, "truth")
    assert message(fn, {"a": BadTruth()}) == (OverflowError, "truth")


def test_join_cls_default_truth_error():
    class BadTruth:
        def __bool__(self):
            raise OverflowError("truth")

    assert message(join_cls, BadTruth(), None) == (OverflowError, "truth")


def test_format_errors_propagate():
    class BadFormat:
        def __format__(self, spec):
            return 5

    assert message(join_style, {"a": BadFormat()}) == (TypeError, "__format__ must return a str, not int")
    assert message(join_style, {BadFormat(): "a"}) == (TypeError, "__format__ must return a str, not int")

    class BadStr:
        def __str__(self):
            raise UnicodeError("str")

    assert message(join_attributes, {"a": BadStr()}) == (UnicodeError, "str")


# ---------------------------------------------------------------------------
# render_default_html


@pytest.mark.parametrize("args, expected", [
    (("div", "e1", "a b", "color: red", "hidden", "hi"),
     '<div id="e1"  class="a b"  style="color: red"  hidden >hi</div>'),
    (("div", "e1", "", "", "", "hi"), '<div id="e1"   >hi</div>'),
    ((None,) * 6, '< id=""   ></>'),
    ((None, None, "", "", "", ""), '< id=""   ></>'),
    (("", "x", None, None, None, None), '< id="x"   ></>'),
    (("p", "x", "c", None, None, None), '<p id="x"  class="c"   ></p>'),
    (("p", "x", None, None, "data-a=1", None), '<p id="x"  data-a=1 ></p>'),
    (("p", "x", None, "s", None, None), '<p id="x"  style="s"   ></p>'),
    (("p", "x", 0, [], False, ""), '<p id="x"   ></p>'),
    (("p", "x", "", "", "", "<b>&'\"</b>"), '<p id="x"   ><b>&\'"</b></p>'),
    (("p", "x", "", "", "a=\"<&>\"", ""), '<p id="x"  a="<&>" ></p>'),
    (("t<'", 'i"&', "c>", "s'", "", ""),
     "<t&lt;&#x27; id=\"i&quot;&amp;\"  class=\"c&gt;\"  style=\"s&#x27;\"   ></t&lt;&#x27;>"),
    (("\u20ac", "\U0001F600<", "\u00e9", "", "", "\U0001F600"),
     '<\u20ac id="\U0001F600&lt;"  class="\u00e9"   >\U0001F600</\u20ac>'),
])
def test_render(args, expected):
    assert render_default_html(*args) == expected
    names = FUNCTIONS["render_default_html"]
    assert render_default_html(**dict(zip(reversed(names), reversed(args)))) == expected


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize("args, exc, msg", [
    ((1, 2.0, None, None, None, None), TypeError, "Expected str, got int"),
    (("p", 2.0, True, None, None, None), TypeError, "Expected str, got float"),
    ((StrSub("p"), "x", None, None, None, None), TypeError, "Expected str, got StrSub"),
    (("p", StrSub("x"), None, None, None, None), TypeError, "Expected str, got StrSub"),
    (("p", "x", True, 5, None, None), TypeError, "Expected str, got bool"),
    (("p", "x", ["a"], None, None, None), TypeError, "Expected str, got list"),
    (("p", "x", Truth(False), Truth(True), None, None), TypeError, "Expected str, got Truth"),
    (("p", "x", Truth(KeyError("c")), Truth(True), None, None), KeyError, "'c'"),
    (("p", "x", "c", Truth(KeyError("s")), 1, 1), KeyError, "'s'"),
    (("p", "x", "c", "s", Truth(KeyError("a")), 1), KeyError, "'a'"),
    (("p", "x", "c", "s", 1, 1), TypeError, "Expected str, got int"),
    (("p", "x", "c", "s", StrSub("a"), None), TypeError, "Expected str, got StrSub"),
    (("p", "x", "c", "s", "a", 0), TypeError, "Expected str, got int"),
    (("p", "x", "c", "s", "a", StrSub("")), TypeError, "Expected str, got StrSub"),
    (("", 0, None, None, None, None), TypeError, "Expected str, got int"),
])
def test_render_normalisation_errors(args, exc, msg):
    assert message(render_default_html, *args) == (exc, msg)


def test_render_content_empty_and_none_agree():
    assert render_default_html("a", "b", "", "", "", "") == render_default_html("a", "b", None, None, None, None)


class Obj:
    def __init__(self, *fields):
        (self.tagname, self.tagid, self.cls, self.style, self.attributes, self.content) = fields


SPECIAL_TEXTS = ["&", "<", ">", '"', "'", "a&b<c>d\"e'f", "\u00e9&\u20ac<\U0001F600>'", "&amp;"]


@pytest.fixture(scope="module")
def template():
    tornado_template = pytest.importorskip("tornado.template")
    return tornado_template.Template(h.DEFAULT_HTML_TPL)


def test_matches_template(template):
    checked = 0
    for special in SPECIAL_TEXTS:
        # each field either empty (None or "") or a text holding the special characters
        for choice in itertools.product((0, 1, 2), repeat=6):
            if sum(c == 1 for c in choice) > 2 and special not in SPECIAL_TEXTS[:2]:
                continue
            fields = [None if c == 0 else "" if c == 1 else f"x{special}y{special}" for c in choice]
            expected = template.generate(obj=Obj(*["" if f is None else f for f in fields])).decode("utf-8")
            assert render_default_html(*fields) == expected, fields
            checked += 1
    for special in SPECIAL_TEXTS:
        fields = [special] * 6
        assert render_default_html(*fields) == template.generate(obj=Obj(*fields)).decode("utf-8")
    assert checked > 1000


# ---------------------------------------------------------------------------
# Tracebacks


@pytest.mark.parametrize("call, name", [
    (lambda: join_style(5), "join_style"),
    (lambda: join_style(), "join_style"),
    (lambda: join_cls(5, None), "join_cls"),
    (lambda: join_cls(None), "join_cls"),
    (lambda: join_attributes(Mapping([("a",)])), "join_attributes"),
    (lambda: join_attributes(x=1), "join_attributes"),
    (lambda: render_default_html(1, 2, 3, 4, 5, 6), "render_default_html"),
    (lambda: render_default_html(1), "render_default_html"),
])
def test_traceback_entry(call, name):
    info = raised(call)
    entry = traceback.extract_tb(info.tb)[-1]
    assert entry.name == "ruvo.uix._html." + name
    assert entry.filename == "ruvo/uix/_html.cpp"
    assert entry.lineno > 0


def test_traceback_keeps_the_raising_frame():
    class Bad:
        def __format__(self, spec):
            raise ValueError("deep")

    info = raised(join_style, {"a": Bad()})
    names = [e.name for e in traceback.extract_tb(info.tb)]
    assert names[-2:] == ["ruvo.uix._html.join_style", "__format__"]


# ---------------------------------------------------------------------------
# Reference leaks


STYLE = {"color": "red", "width": 10, "z": 0, "f": Fmt("x")}
ATTRS = {"id": "main", "hidden": "hidden", "title": 'a "b" <c>', "n": 5, "z": None}


@pytest.mark.parametrize("call", [
    lambda: join_style(STYLE),
    lambda: join_style(Mapping([("a", "b"), ["c", "d"]])),
    lambda: join_style(Mapping(iter([("a", "b")]))),
    lambda: join_style(None),
    lambda: join_cls(["a", "b"], {"x": "c", "y": ""}),
    lambda: join_cls("ab", Mapping(iter(["c"]))),
    lambda: join_attributes(ATTRS),
    lambda: join_attributes(Mapping([("a", "<b>"), ("c", "c")])),
    lambda: join_attributes(attr_container=ATTRS),
    lambda: render_default_html("div", "e<1>", "a b", "c: d", "x=1", "<b/>"),
    lambda: render_default_html(tagname="p", tagid=None, cls=0, style=None, attributes="", content=None),
])
def test_no_leak(no_leak, call):
    no_leak(call)


def test_no_leak_with_custom_escape(no_leak, restore_escape):
    h.html_escape = lambda text, quote: text + "!"
    no_leak(lambda: join_attributes(ATTRS))
    h.html_escape = lambda text, quote: 5
    no_leak(lambda: join_attributes(ATTRS), raises=TypeError)
    del h.html_escape
    no_leak(lambda: join_attributes(ATTRS), raises=NameError)


@pytest.mark.parametrize("call, exc", [
    (lambda: join_style(), TypeError),
    (lambda: join_style({}, bogus=1), TypeError),
    (lambda: join_style(5), AttributeError),
    (lambda: join_style(Mapping([("a", "b", "c")])), ValueError),
    (lambda: join_style(Mapping([("a", "b"), ["c"]])), ValueError),
    (lambda: join_style(Mapping([("a", "b"), None])), TypeError),
    (lambda: join_style(mutating_dict("on_format")[0]), RuntimeError),
    (lambda: join_style({"a": "b", "c": Truth(KeyError())}), KeyError),
    (lambda: join_cls(None), TypeError),
    (lambda: join_cls(["a", 1], {"b": "c"}), TypeError),
    (lambda: join_cls(5, None), TypeError),
    (lambda: join_cls(None, mutating_dict("on_bool")[1]), RuntimeError),
    (lambda: join_attributes(default_cls=1), TypeError),
    (lambda: join_attributes({"a": "b", "hidden": EqFails()}), KeyError),
    (lambda: join_attributes(Mapping(iter([("a", "b"), 5]))), TypeError),
    (lambda: render_default_html("a", "b", "c", "d", "e"), TypeError),
    (lambda: render_default_html("a", "b", "c", "d", "e", "f", cls=1), TypeError),
    (lambda: render_default_html("a", "b", "c", "d", "e", 0), TypeError),
    (lambda: render_default_html("a", "b", Truth(KeyError()), "d", "e", ""), KeyError),
])
def test_no_leak_on_errors(no_leak, call, exc):
    no_leak(call, raises=exc)


def test_no_leak_non_string_keyword(no_leak):
    no_leak(lambda: vectorcall_with_keywords(join_style, [None], [1], [None]), raises=TypeError)


# ---------------------------------------------------------------------------
# Binding html_escape at import


@pytest.mark.parametrize("setup, expected", [
    # html not imported yet: imported on demand
    ("sys.modules.pop('html', None)", "html.escape"),
    # html without escape: the html.escape entry of sys.modules is used
    ("import types; sys.modules['html'] = types.ModuleType('html'); sys.modules['html.escape'] = custom",
     "custom"),
    # an html module of one's own is taken from sys.modules as it is
    ("import types; sys.modules['html'] = types.ModuleType('html'); sys.modules['html'].escape = custom",
     "custom"),
])
def test_html_escape_binding(python_subprocess, setup, expected):
    python_subprocess(f"""
        import sys
        def custom(text, quote):
            return "<" + text + ">"
        {setup}
        from ruvo.uix import _html
        import html
        assert _html.html_escape is {expected}
        assert _html.join_attributes({{"a": "b"}}) == 'a="' + {expected}("b", quote=True) + '"'
    """)


def test_library_escape_with_replaced_code(python_subprocess):
    python_subprocess("""
        import html
        from ruvo.uix import _html
        assert _html.join_attributes({"a": "<"}) == 'a="&lt;"'
        saved = html.escape.__code__
        html.escape.__code__ = (lambda s, quote=True: s.upper()).__code__
        assert _html.join_attributes({"a": "<b"}) == 'a="<B"'
        html.escape.__code__ = saved
        assert _html.join_attributes({"a": "<"}) == 'a="&lt;"'
    """)


# ---------------------------------------------------------------------------
# Native escaping against html.escape: every replaced character at every
# position of texts long enough to be scanned in blocks, in each character width


@pytest.mark.parametrize("fill", ["a", "\u00e9", "\u20ac", "\U0001F600"])
def test_escaping_matches_library(fill):
    for length in (1, 15, 16, 17, 31, 33, 48):
        for special in "&<>\"'":
            for pos in range(length):
                text = fill * pos + special + fill * (length - pos - 1)
                assert join_attributes({"k": text}) == f'k="{html.escape(text)}"'
                assert render_default_html(text, None, None, None, None, None) == (
                    f'<{html.escape(text)} id=""   ></{html.escape(text)}>')
        dense = ("&<>\"'" + fill) * length
        assert join_attributes({"k": dense}) == f'k="{html.escape(dense)}"'
        mixed = "a" * length + "\U0001F600&"
        assert render_default_html("p", mixed, mixed, None, None, None) == (
            f'<p id="{html.escape(mixed)}"  class="{html.escape(mixed)}"   ></p>')


def test_join_results_are_exact_str():
    class S(str):
        pass

    for result in (join_cls([S("a")], None), join_cls([S("a"), "b"], None), join_style({S("a"): S("b")}),
                   join_attributes({S("a"): S("b")}), render_default_html("", "", "", "", "", "")):
        assert type(result) is str


def test_html_escape_none_for_a_bare_attribute(restore_escape, no_leak):
    h.html_escape = lambda text, quote: None
    assert message(join_attributes, {"a": "x", "open": "open", "loop": "loop"}) == (
        TypeError, "sequence item 1: expected str instance, NoneType found")
    # the join fails only after the walk: a later entry's error comes first
    assert message(join_attributes, {"open": "open", "loop": EqFails()}) == (KeyError, "'eq'")
    no_leak(lambda: join_attributes({"a": "x", "open": "open"}), raises=TypeError)


def test_stub_matches_module():
    import ast
    import pathlib

    stub = ast.parse(pathlib.Path(h.__file__).with_name("_html.pyi").read_text())
    functions = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    assert set(functions) == set(FUNCTIONS)
    for name, node in functions.items():
        assert tuple(a.arg for a in node.args.args) == FUNCTIONS[name]
        assert ast.get_docstring(node, clean=False) == DOCS[name]
    names = {t.id for node in stub.body if isinstance(node, (ast.AnnAssign, ast.Assign))
             for t in ([node.target] if isinstance(node, ast.AnnAssign) else node.targets)}
    assert set(h.__all__) <= names | set(functions)
