"""Renders a small demo page built from ruvo widgets.

    python -m ruvo.demo [OUTPUT.html]

Declares a few widget classes that use every attribute descriptor, builds a
page (a form with inputs, a button with a client event, boxes with margins,
padding and colours), renders every element through the descriptors'
``attrvalue``, the join helpers and ``render_default_html``, and writes one
complete HTML document to OUTPUT.html (standard output when no file is
given). Reports where the page went and how long rendering took.
"""

from __future__ import annotations

import html
import sys
import time

from ruvo.core._attributes import (
    _Attribute,
    _BooleanAttribute,
    _BoundedNumericAttribute,
    _ColorAttribute,
    _GenericEventAttribute,
    _ListAttribute,
    _LogicalAttribute,
    _NumericAttribute,
    _VariableListAttribute,
)
from ruvo.core._event import EventDispatcher
from ruvo.core.thinref import ThinRef
from ruvo.uix._html import join_attributes, join_cls, join_style, render_default_html

ATTRIBUTE_TYPES = (
    _Attribute,
    _BooleanAttribute,
    _BoundedNumericAttribute,
    _ColorAttribute,
    _GenericEventAttribute,
    _ListAttribute,
    _LogicalAttribute,
    _NumericAttribute,
    _VariableListAttribute,
)


def client_handler(widget, event, prevent_default=False, event_args=None, event_js="", dispatch=True):
    """Handler code for a client event: the browser client sends the event back."""
    code = f"ruvo.send(this, '{event}')"
    if prevent_default:
        code = "event.preventDefault(); " + code
    return code


class Element(EventDispatcher):
    """A widget rendered as one HTML element with its children."""

    tagname = "div"
    default_cls: tuple = ()

    title = _Attribute("", attrtype="element")
    hidden = _BooleanAttribute(False, attrtype="element")
    margin = _VariableListAttribute(None, attrtype="style", options=["auto", "inherit"])
    padding = _VariableListAttribute(None, attrtype="style")
    color = _ColorAttribute(None, attrtype="style", format="css")
    background_color = _ColorAttribute(None, attrtype="style", format="css")
    font_size = _NumericAttribute(None, attrtype="style", units="px", options=["inherit"])
    font_family = _ListAttribute(None, attrtype="style")

    def __init__(self, *children, text="", **kwargs):
        super().__init__(**kwargs)
        self.parent = None
        self.text = text
        self.children = []
        for child in children:
            self.add(child)

    @property
    def tagid(self) -> str:
        return f"w{self.uid}"

    def add(self, child: "Element") -> "Element":
        # A child refers to its parent without keeping it alive.
        child.parent = ThinRef(self)
        self.children.append(child)
        return child

    @classmethod
    def descriptors(cls):
        """The attribute descriptors of the class and its bases, found once per class."""
        found = cls.__dict__.get("_descriptors")
        if found is None:
            seen = {}
            for klass in reversed(cls.__mro__):
                for name, value in vars(klass).items():
                    if isinstance(value, ATTRIBUTE_TYPES):
                        seen[name] = value
            found = tuple(seen.values())
            cls._descriptors = found
        return found

    def containers(self):
        """The element's style dict, class container and attribute dict, filed
        by each descriptor's attrtype under its resolved attribute name."""
        style, classes, attributes = {}, {}, {}
        for descriptor in type(self).descriptors():
            target = {"style": style, "class": classes}.get(descriptor.attrtype, attributes)
            target[descriptor.attrname] = descriptor.attrvalue(self)
        return style, classes, attributes

    def render(self) -> str:
        style, classes, attributes = self.containers()
        content = html.escape(self.text) + "".join(child.render() for child in self.children)
        return render_default_html(
            self.tagname,
            self.tagid,
            join_cls(self.default_cls, classes),
            join_style(style),
            join_attributes(attributes),
            content,
        )

    def walk(self):
        yield self
        for child in self.children:
            yield from child.walk()


class Box(Element):
    default_cls = ("box",)
    variant = _Attribute("plain", attrtype="class", options=["plain", "card", "warning"])
    active = _BooleanAttribute(False, attrtype="class")
    tone = _Attribute("", attrtype="class")


class Heading(Element):
    tagname = "h1"


class Paragraph(Element):
    tagname = "p"


class Label(Element):
    tagname = "label"
    for_ = _Attribute("", attrtype="element", attrname="for")


class Form(Element):
    tagname = "form"
    default_cls = ("form",)
    novalidate = _BooleanAttribute(False, attrtype="element")


class Input(Element):
    tagname = "input"
    name = _Attribute("", attrtype="element")
    type = _Attribute("text", attrtype="element", options=["text", "number", "range", "email"])
    value = _Attribute("", attrtype="element")
    placeholder = _Attribute("", attrtype="element")
    disabled = _BooleanAttribute(False, attrtype="element")
    read_only = _BooleanAttribute(False, attrtype="element", attrname="readonly")
    aria_invalid = _LogicalAttribute(None, attrtype="element")


class Slider(Input):
    level = _BoundedNumericAttribute(50, attrtype="element", attrname="value", min=0, max=100)


class Button(Element):
    tagname = "button"
    default_cls = ("button",)
    onclick = _GenericEventAttribute(False, client_handler, attrtype="element")
    aria_pressed = _LogicalAttribute(None, attrtype="element")
    primary = _BooleanAttribute(False, attrtype="class")


def build_page(texts: dict | None = None) -> Element:
    """The demo page. ``texts`` replaces the user-visible texts (the browser
    test passes hostile ones)."""
    t = {
        "heading": "ruvo demo",
        "intro": "Widgets rendered by the native core.",
        "label": "Name",
        "placeholder": 'e.g. "Ada" & co',
        "value": "",
        "title": "Contact form",
        "button": "Send",
        "locked": "locked <value>",
        "tone": "calm",
        **(texts or {}),
    }
    page = Box(variant="card", tone=t["tone"], padding="16px", margin="auto", font_family=["Georgia", "serif"])
    page.add(Heading(text=t["heading"], font_size="24px", color="#142850"))
    page.add(Paragraph(text=t["intro"], color=(80, 80, 80), font_size="inherit"))
    form = page.add(Form(title=t["title"], novalidate=True, padding=["8px", "12px"], background_color="#f0f0ffcc"))
    form.add(Label(text=t["label"], for_="name"))
    form.add(Input(name="name", placeholder=t["placeholder"], value=t["value"], aria_invalid=False))
    form.add(Input(name="locked", value=t["locked"], disabled=True, read_only=True, title=t["title"]))
    form.add(Slider(name="volume", type="range", level=70))
    form.add(Button(text=t["button"], onclick=True, primary=True, aria_pressed=False, margin="4px 8px"))
    footer = page.add(Box(variant="warning", active=True, hidden=False, margin=["2px", "4px", "6px", "8px"]))
    footer.add(Paragraph(text="All values are escaped where they must be.", font_size=12.5))
    return page


def render_document(root: Element) -> str:
    body = root.render()
    return (
        "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>ruvo demo</title>\n</head>\n<body>\n" + body + "\n</body>\n</html>\n"
    )


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    root = build_page()
    count = sum(1 for _ in root.walk())
    start = time.perf_counter()
    document = render_document(root)
    elapsed = time.perf_counter() - start
    # The steady state: the page rendered again, best of a few rounds.
    rounds = []
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(20):
            root.render()
        rounds.append((time.perf_counter() - t0) / 20)
    steady = min(rounds)
    if argv:
        with open(argv[0], "w", encoding="utf-8") as f:
            f.write(document)
        where = argv[0]
    else:
        sys.stdout.write(document)
        where = "standard output"
    print(
        f"demo page written to {where}: {count} elements rendered in {elapsed * 1e6:.1f} us "
        f"(first render; again: {steady * 1e6:.1f} us, {steady * 1e6 / count:.2f} us per element)",
        file=sys.stderr,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
