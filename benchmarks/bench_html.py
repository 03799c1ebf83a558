"""Timings of ruvo.uix._html against its peers, measured in one run and
printed as ratios: the Tornado template it replaces, the same joins written
in plain Python, and the floor of a bare built-in call (len of a short tuple).

    .venv/bin/python benchmarks/bench_html.py [--quick]
"""

import os
import sys
from html import escape

from tornado.template import Template

from ruvo.uix._html import DEFAULT_HTML_TPL, join_attributes, join_cls, join_style, render_default_html


sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _timing import FLOOR, Figure, best_times, header  # noqa: E402

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


STYLE = {"color": "red", "width": "10px", "height": "2em", "z-index": 3, "margin": 0,
         "font-family": '"Helvetica Neue", sans-serif', "opacity": 0.5}
DEFAULT_CLS = ["ruvo-widget", "ruvo-button"]
CLS = {"state": "active", "size": "large", "hidden": "", "theme": "dark", "extra": None}
ATTRS = {"title": 'Say "hello" & <goodbye>', "hidden": "hidden", "tabindex": 0, "data-id": 42,
         "role": "button", "aria-label": "Tom's button", "disabled": "", "onclick": "send('x', 1)"}


class Obj:
    def __init__(self, tagname, tagid, cls, style, attributes, content):
        self.tagname, self.tagid, self.cls = tagname, tagid, cls
        self.style, self.attributes, self.content = style, attributes, content


ELEMENT = ("button", "w140234", join_cls(DEFAULT_CLS, CLS), join_style(STYLE), join_attributes(ATTRS),
           "<span>Press me</span>")
# A plain element: short texts, nothing to escape.
SMALL = ("div", "w140235", "ruvo-label", "width: 10px", "", "Hello")


def measure(quick=False):
    """The module's figures, each against its peer measured in the same run."""
    template = Template(DEFAULT_HTML_TPL)
    obj = Obj(*ELEMENT)
    small = Obj(*SMALL)
    assert template.generate(obj=obj).decode() == render_default_html(*ELEMENT)
    assert template.generate(obj=small).decode() == render_default_html(*SMALL)
    assert py_join_style(STYLE) == join_style(STYLE)
    assert py_join_cls(DEFAULT_CLS, CLS) == join_cls(DEFAULT_CLS, CLS)
    assert py_join_attributes(ATTRS) == join_attributes(ATTRS)

    # Statements run by timeit in one namespace: no wrapper call is timed.
    namespace = dict(globals(), template=template, obj=obj, small=small, short=(1, 2))
    ns = best_times({
        "floor": FLOOR,
        "render": "render_default_html(*ELEMENT)",
        "tornado": "template.generate(obj=obj)",
        "render small": "render_default_html(*SMALL)",
        "tornado small": "template.generate(obj=small)",
        "join_style": "join_style(STYLE)",
        "py join_style": "py_join_style(STYLE)",
        "join_cls": "join_cls(DEFAULT_CLS, CLS)",
        "py join_cls": "py_join_cls(DEFAULT_CLS, CLS)",
        "join_attributes": "join_attributes(ATTRS)",
        "py join_attributes": "py_join_attributes(ATTRS)",
    }, namespace, quick)
    floor = ns["floor"]
    return [
        Figure("render_default_html", ns["render"], "Tornado template", ns["tornado"], "faster", 40),
        Figure("render_default_html", ns["render"], "floor len(short tuple)", floor, "within", 6),
        Figure("render_default_html, plain element", ns["render small"], "Tornado template", ns["tornado small"],
               "faster", 40),
        Figure("render_default_html, plain element", ns["render small"], "floor len(short tuple)", floor, "within", 6),
        Figure("join_style", ns["join_style"], "plain Python", ns["py join_style"], "faster", 4),
        Figure("join_cls", ns["join_cls"], "plain Python", ns["py join_cls"], "faster", 4),
        Figure("join_attributes", ns["join_attributes"], "plain Python", ns["py join_attributes"], "faster", 4),
    ]


def main():
    print(header())
    for figure in measure("--quick" in sys.argv):
        print(figure.row())


if __name__ == "__main__":
    main()
