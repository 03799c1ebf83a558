"""Timings of ruvo.uix._html against its peers, measured in one run and
printed as ratios: the Tornado template it replaces, the same joins written
in plain Python, and the floor of a bare built-in call (len of a short tuple).

    PYTHONPATH=src python benchmarks/bench_html.py [--quick]
"""

import sys
import timeit
from html import escape

from tornado.template import Template

from ruvo.uix._html import DEFAULT_HTML_TPL, join_attributes, join_cls, join_style, render_default_html

QUICK = "--quick" in sys.argv
REPEAT = 3 if QUICK else 15


def calibrate(timer, target=0.02 if QUICK else 0.05):
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= target:
            return number
        number *= 2 if t > target / 10 else 10


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


def main():
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
    cases = {
        "floor len(short tuple)": "len(short)",
        "render_default_html": "render_default_html(*ELEMENT)",
        "tornado generate": "template.generate(obj=obj)",
        "render_default_html small": "render_default_html(*SMALL)",
        "tornado generate small": "template.generate(obj=small)",
        "join_style": "join_style(STYLE)",
        "python join_style": "py_join_style(STYLE)",
        "join_cls": "join_cls(DEFAULT_CLS, CLS)",
        "python join_cls": "py_join_cls(DEFAULT_CLS, CLS)",
        "join_attributes": "join_attributes(ATTRS)",
        "python join_attributes": "py_join_attributes(ATTRS)",
    }
    cases = {name: timeit.Timer(stmt, globals=namespace) for name, stmt in cases.items()}
    # Rounds over all cases, keeping each case's best: a change of machine
    # load during the run then affects every case alike.
    numbers = {name: calibrate(timer) for name, timer in cases.items()}
    ns = {name: float("inf") for name in cases}
    for _ in range(REPEAT):
        for name, timer in cases.items():
            t = timer.timeit(numbers[name]) / numbers[name] * 1e9
            ns[name] = min(ns[name], t)
    for name in cases:
        print(f"{name:26s} {ns[name]:9.1f} ns")

    floor = ns["floor len(short tuple)"]
    print()
    rows = [
        ("render_default_html vs tornado", ns["tornado generate"] / ns["render_default_html"], "x faster", ">= 40"),
        ("render_default_html vs floor", ns["render_default_html"] / floor, "x floor", "<= 6"),
        ("small element vs tornado", ns["tornado generate small"] / ns["render_default_html small"], "x faster",
         ">= 40"),
        ("small element vs floor", ns["render_default_html small"] / floor, "x floor", "<= 6"),
        ("join_style vs python", ns["python join_style"] / ns["join_style"], "x faster", ">= 4"),
        ("join_cls vs python", ns["python join_cls"] / ns["join_cls"], "x faster", ">= 4"),
        ("join_attributes vs python", ns["python join_attributes"] / ns["join_attributes"], "x faster", ">= 4"),
        ("join_style vs floor", ns["join_style"] / floor, "x floor", ""),
        ("join_cls vs floor", ns["join_cls"] / floor, "x floor", ""),
        ("join_attributes vs floor", ns["join_attributes"] / floor, "x floor", ""),
    ]
    for label, ratio, unit, target in rows:
        print(f"{label:30s} {ratio:7.1f} {unit:9s} {('target ' + target) if target else ''}")


if __name__ == "__main__":
    main()
