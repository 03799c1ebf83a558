"""Arbitrary and hostile inputs for the HTML helpers: only Python exceptions
come out, and on ordinary containers the results equal plain-Python joins."""

import html

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from hostile import BadItems, Mutator, values
from html_rules import BOOLEAN_ATTRIBUTES, is_bare
from ruvo.uix import _html

FUNCS = [
    (_html.join_style, 1),
    (_html.join_cls, 2),
    (_html.join_attributes, 1),
    (_html.render_default_html, 6),
]

fast = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@fast
@given(st.data())
@pytest.mark.parametrize("func, arity", FUNCS, ids=lambda f: getattr(f, "__name__", ""))
def test_arbitrary_arguments_raise_only_python_errors(func, arity, data):
    args = [data.draw(values) for _ in range(arity)]
    try:
        result = func(*args)
    except Exception:
        return
    assert type(result) is str


# Plain-Python joins with the documented behaviour, as references.
def py_join_style(c):
    if not c:
        return ""
    return ";".join("{0}: {1}".format(k, v) for k, v in c.items() if v)


def py_join_cls(d, c):
    parts = list(d) if d else []
    if c:
        parts.extend(v for v in c.values() if v)
    return " ".join(parts)


def py_join_attributes(c):
    if not c:
        return ""
    parts = []
    for k, v in c.items():
        if not v:
            continue
        e = html.escape(v if type(v) is str else str(v), quote=True)
        parts.append(e if is_bare(k, v) else '{0}="{1}"'.format(k, e))
    return " ".join(parts)


keys = st.one_of(st.text(alphabet="abc-_<&\"'", min_size=1, max_size=6),
                 st.sampled_from(sorted(BOOLEAN_ATTRIBUTES)).map(str.upper), st.sampled_from(sorted(BOOLEAN_ATTRIBUTES)))
plain_values = st.one_of(st.none(), st.integers(-3, 3), st.floats(allow_nan=False), st.text(max_size=10),
                         st.text(alphabet="<>&\"'ab", max_size=6), st.booleans())
containers = st.dictionaries(keys, plain_values, max_size=8)


@fast
@given(containers)
def test_join_style_matches_plain_python(c):
    assert _html.join_style(c) == py_join_style(c)


@fast
@given(st.lists(st.text(max_size=5), max_size=4), st.dictionaries(keys, st.text(max_size=5), max_size=6))
def test_join_cls_matches_plain_python(d, c):
    assert _html.join_cls(d, c) == py_join_cls(d, c)


@fast
@given(containers)
def test_join_attributes_matches_plain_python(c):
    assert _html.join_attributes(c) == py_join_attributes(c)
    # Keys equal to their values render bare when they are boolean attributes.
    same = {k: k for k in c}
    assert _html.join_attributes(same) == py_join_attributes(same)


@pytest.mark.parametrize("key", ["open\x00", "open\x00x", "checked\x00", "ope", "opens", "oPeN", "ALLOWFULLSCREEN",
                                 "allowfullscreenx", "formnovalidatex", "a", "`pen", "{pen", "@PEN", "open\xe9",
                                 "\u20acopen", "reversedreversed"])
def test_bare_names_follow_the_html_rule(key):
    # the name table, looked up by first letter and length, against the set
    expected = key if is_bare(key, key) else f'{key}="{html.escape(key)}"'
    assert _html.join_attributes({key: key}) == expected


@pytest.mark.parametrize("action", ["clear", "grow", "collect"])
@pytest.mark.parametrize("func", [_html.join_style, _html.join_attributes,
                                  lambda c: _html.join_cls(None, c)])
def test_values_that_mutate_their_container(func, action):
    c = {}
    c.update(a=Mutator(c, action), b="x", d=Mutator(c, action))
    try:
        func(c)
    except RuntimeError as e:
        assert str(e) == "dictionary changed size during iteration"
    except TypeError:
        pass  # join_cls: a non-str part


@pytest.mark.parametrize("action", ["clear", "grow", "collect"])
def test_items_list_mutated_while_walked(action):
    items = []

    class M(dict):
        def items(self):
            return items

    items.extend([("a", Mutator(items, action)), ("b", "y")] * 3)
    out = _html.join_style(M())
    assert isinstance(out, str)


@pytest.mark.parametrize("mode", ["raise", "none", "gen", "triple"])
@pytest.mark.parametrize("func", [_html.join_style, _html.join_attributes,
                                  lambda c: _html.join_cls(None, c)])
def test_odd_items_results(func, mode):
    with pytest.raises(Exception):
        func(BadItems(mode))


def test_huge_inputs():
    big = "<&>" * 200_000
    out = _html.join_attributes({"v": big})
    assert out == 'v="' + "&lt;&amp;&gt;" * 200_000 + '"'
    assert _html.render_default_html("p", None, None, None, None, big) .endswith(big + "</p>")
    assert _html.join_style({str(i): i + 1 for i in range(10_000)}).count(";") == 9_999
