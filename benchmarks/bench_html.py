"""Timings of ruvo.uix._html against its peers, measured in one run and
printed as ratios: the Tornado template it replaces, the same joins written
in plain Python, and the floor of a bare built-in call (len of a short tuple).
Two input sets: the usual element, and a heavy one where every field needs
escaping and the dictionaries hold six entries, floats and None.

    .venv/bin/python benchmarks/bench_html.py [--quick]
"""

import os
import sys
from html import escape

from tornado.template import Template

from ruvo.uix._html import DEFAULT_HTML_TPL, join_attributes, join_cls, join_style, render_default_html


sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _timing import FLOOR, FLOOR_NAME, Figure, best_times, print_figures  # noqa: E402

# Plain-Python joins: what the element class would do without the module.
def py_join_style(style_container):
    if not style_container:
        return ""
    return ";".join(["{0}: {1}".format(k, v) for k, v in style_container.items() if v])


def py_join_cls(default_cls, cls_container):
    parts = list(default_cls) if default_cls else []
    if cls_container:
        parts.extend([v for v in cls_container.values() if v])
    return " ".join(parts)


def py_join_attributes(attr_container):
    if not attr_container:
        return ""
    parts = []
    for k, v in attr_container.items():
        if not v:
            continue
        text = escape(v if type(v) is str else str(v), quote=True)
        parts.append(text if k == v else '{0}="{1}"'.format(k, text))
    return " ".join(parts)


class Inputs:
    """One element's containers and texts."""

    def __init__(self, tagname, tagid, default_cls, cls, style, attrs, content):
        self.tagname, self.tagid, self.content = tagname, tagid, content
        self.default_cls, self.cls, self.style, self.attrs = default_cls, cls, style, attrs
        self.element = (tagname, tagid, join_cls(default_cls, cls), join_style(style), join_attributes(attrs),
                        content)


USUAL = Inputs(
    "button", "w140234", ["ruvo-widget", "ruvo-button"],
    {"state": "active", "size": "large", "hidden": "", "theme": "dark", "extra": None},
    {"color": "red", "width": "10px", "height": "2em", "z-index": 3, "margin": 0,
     "font-family": '"Helvetica Neue", sans-serif', "opacity": 0.5},
    {"title": 'Say "hello" & <goodbye>', "hidden": "hidden", "tabindex": 0, "data-id": 42,
     "role": "button", "aria-label": "Tom's button", "disabled": "", "onclick": "send('x', 1)"},
    "<span>Press me</span>")
# Every field needs escaping; six-entry dictionaries with floats and None;
# three default classes and a three-entry class dictionary.
HEAVY = Inputs(
    "my-tag<x>", 'w"1&2', ["ruvo-widget", "ruvo-button", "ruvo<x>"],
    {"state": "a&b", "size": None, "theme": 'da"rk'},
    {"font-family": '"Helvetica Neue", sans-serif', "content": "'<&>'", "width": 10.5, "margin": None,
     "opacity": 0.25, "background": 'url("a&b.png")'},
    {"title": 'Say "hi" & <bye>', "data-x": 1.5, "data-n": None, "hidden": "hidden", "aria-label": "Tom's",
     "value": 0.25},
    "<b>Tom & Jerry</b>")
# A plain element: short texts, nothing to escape.
SMALL = ("div", "w140235", "ruvo-label", "width: 10px", "", "Hello")


class Obj:
    def __init__(self, tagname, tagid, cls, style, attributes, content):
        self.tagname, self.tagid, self.cls = tagname, tagid, cls
        self.style, self.attributes, self.content = style, attributes, content


def whole_native(e):
    return render_default_html(e.tagname, e.tagid, join_cls(e.default_cls, e.cls), join_style(e.style),
                               join_attributes(e.attrs), e.content)


def whole_python(e, template):
    obj = Obj(e.tagname, e.tagid, py_join_cls(e.default_cls, e.cls), py_join_style(e.style),
              py_join_attributes(e.attrs), e.content)
    return template.generate(obj=obj)


def measure(quick=False):
    """The module's figures, each against its peer measured in the same run."""
    template = Template(DEFAULT_HTML_TPL)
    namespace = dict(globals(), template=template, short=(1, 2), SMALL=SMALL, small=Obj(*SMALL))
    assert template.generate(obj=Obj(*SMALL)).decode() == render_default_html(*SMALL)
    statements = {"floor": FLOOR, "render small": "render_default_html(*SMALL)",
                  "tornado small": "template.generate(obj=small)"}
    for name, e in (("usual", USUAL), ("heavy", HEAVY)):
        assert template.generate(obj=Obj(*e.element)).decode() == render_default_html(*e.element)
        assert py_join_style(e.style) == join_style(e.style)
        assert py_join_cls(e.default_cls, e.cls) == join_cls(e.default_cls, e.cls)
        assert py_join_attributes(e.attrs) == join_attributes(e.attrs)
        assert whole_python(e, template).decode() == whole_native(e)
        # Each input is a global of the statements' namespace, as in the
        # peers' statements: no attribute load is timed.
        namespace.update({f"{name}_{field}": getattr(e, field) for field in
                          ("tagname", "tagid", "default_cls", "cls", "style", "attrs", "content", "element")})
        namespace[name] = e
        namespace[name + "_obj"] = Obj(*e.element)
        # Statements run by timeit in one namespace: no wrapper call is timed.
        statements.update({
            f"render {name}": f"render_default_html(*{name}_element)",
            f"tornado {name}": f"template.generate(obj={name}_obj)",
            f"join_style {name}": f"join_style({name}_style)",
            f"py join_style {name}": f"py_join_style({name}_style)",
            f"join_cls {name}": f"join_cls({name}_default_cls, {name}_cls)",
            f"py join_cls {name}": f"py_join_cls({name}_default_cls, {name}_cls)",
            f"join_attributes {name}": f"join_attributes({name}_attrs)",
            f"py join_attributes {name}": f"py_join_attributes({name}_attrs)",
            f"whole {name}": f"render_default_html({name}_tagname, {name}_tagid, "
                             f"join_cls({name}_default_cls, {name}_cls), join_style({name}_style), "
                             f"join_attributes({name}_attrs), {name}_content)",
            f"py whole {name}": f"whole_python({name}, template)",
        })
    ns = best_times(statements, namespace, quick)
    floor = ns["floor"]
    figures = [
        Figure("render_default_html, plain element", ns["render small"], "Tornado template", ns["tornado small"],
               "faster", 60, floor),
        Figure("render_default_html, plain element", ns["render small"], FLOOR_NAME, floor, "within", 3, floor),
    ]
    for name in ("usual", "heavy"):
        figures += [
            Figure(f"render_default_html, {name}", ns[f"render {name}"], "Tornado template",
                   ns[f"tornado {name}"], "faster", 60, floor),
            Figure(f"join_style, {name}", ns[f"join_style {name}"], "plain Python", ns[f"py join_style {name}"],
                   "faster", 6, floor),
            Figure(f"join_cls, {name}", ns[f"join_cls {name}"], "plain Python", ns[f"py join_cls {name}"],
                   "faster", 5, floor),
            Figure(f"join_attributes, {name}", ns[f"join_attributes {name}"], "plain Python",
                   ns[f"py join_attributes {name}"], "faster", 4, floor),
            Figure(f"whole element, {name}", ns[f"whole {name}"], FLOOR_NAME, floor, "within", 15, floor),
            Figure(f"whole element, {name}", ns[f"whole {name}"], "Python joins + Tornado", ns[f"py whole {name}"],
                   "faster", 0, floor),
        ]
    return figures


if __name__ == "__main__":
    print_figures(measure("--quick" in sys.argv))
