"""Renders a small demo page with ruvo's native HTML helpers.

    python -m ruvo.demo [OUTPUT.html]

Writes one complete HTML document to OUTPUT.html (standard output when no
file is given) and reports where it went and how long rendering took.
"""

from __future__ import annotations

import sys
import time

from ruvo.uix._html import join_attributes, join_cls, join_style, render_default_html


class Element:
    """A minimal element: a tag with an id, classes, styles, attributes and children."""

    _next_id = 0

    def __init__(self, tagname, *children, cls=(), style=None, attributes=None, text=""):
        Element._next_id += 1
        self.tagname = tagname
        self.tagid = f"e{Element._next_id}"
        self.default_cls = list(cls)
        self.cls_container = {}
        self.style = dict(style or {})
        self.attributes = dict(attributes or {})
        self.children = list(children)
        self.text = text

    def render(self) -> str:
        content = self.text + "".join(child.render() for child in self.children)
        return render_default_html(
            self.tagname,
            self.tagid,
            join_cls(self.default_cls, self.cls_container),
            join_style(self.style),
            join_attributes(self.attributes),
            content,
        )

    def count(self) -> int:
        return 1 + sum(child.count() for child in self.children)


def build_page() -> Element:
    form = Element(
        "form",
        Element("label", text="Name", attributes={"for": "name"}),
        Element("input", attributes={"name": "name", "type": "text", "placeholder": 'e.g. "Ada" & co'}),
        Element("input", attributes={"name": "locked", "type": "text", "disabled": "disabled"}),
        Element("button", text="Send", attributes={"type": "submit", "onclick": "return send(this)"}),
        cls=["card", "form"],
        style={"margin": "10px 20px", "padding": "4px", "background-color": "rgb(240, 240, 255)"},
    )
    header = Element("h1", text="ruvo demo", style={"font-size": "24.0px", "color": "rgb(20, 40, 80)"})
    return Element("main", header, form, cls=["page"], style={"display": "block"})


def render_document(root: Element) -> str:
    body = root.render()
    return (
        "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>ruvo demo</title>\n</head>\n<body>\n" + body + "\n</body>\n</html>\n"
    )


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    root = build_page()
    start = time.perf_counter()
    document = render_document(root)
    elapsed = time.perf_counter() - start
    if argv:
        with open(argv[0], "w", encoding="utf-8") as f:
            f.write(document)
        where = argv[0]
    else:
        sys.stdout.write(document)
        where = "standard output"
    print(
        f"demo page written to {where}: {root.count()} elements rendered in {elapsed * 1e6:.1f} us",
        file=sys.stderr,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
