"""The demo page built from ruvo widgets, as a file or live in a browser.

    python -m ruvo.demo [OUTPUT.html]
    python -m ruvo.demo --serve [--host 127.0.0.1] [--port 8765]

Declares a few widget classes that use every attribute descriptor and builds a
page of them: a counter button, a slider that moves a box, a checkbox that
hides a note, a text input echoed into a heading, a form and boxes with
margins, padding and colours. Every element is rendered through the
descriptors' ``attrvalue``, the join helpers and ``render_default_html``.

Without ``--serve`` the page is written as one HTML document to OUTPUT.html
(standard output when it is omitted or "-"), with a report of where it went and
how long rendering took. With ``--serve`` it is served live: each page load
gets its own widget tree, the browser's events reach the widgets and their
property changes come back as patches of the DOM.
"""

from __future__ import annotations

import argparse
import logging
import math
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
from ruvo.core.properties import NumericProperty
from ruvo.live import client_script
from ruvo.uix._html import join_attributes, join_cls, join_style, render_default_html  # noqa: F401
from ruvo.uix.element import ATTRIBUTE_TYPES, Element, client_handler  # noqa: F401


class Block(Element):
    """The demo's elements: the presentation every one of them may take."""

    title = _Attribute("", attrtype="element")
    hidden = _BooleanAttribute(False, attrtype="element", sync=True)
    margin = _VariableListAttribute(None, attrtype="style", options=["auto", "inherit"])
    padding = _VariableListAttribute(None, attrtype="style")
    color = _ColorAttribute(None, attrtype="style", format="css")
    background_color = _ColorAttribute(None, attrtype="style", format="css")
    font_size = _NumericAttribute(None, attrtype="style", units="px", options=["inherit"])
    font_family = _ListAttribute(None, attrtype="style")
    width = _NumericAttribute(None, attrtype="style", units="px")


class Box(Block):
    default_cls = ("box",)
    variant = _Attribute("plain", attrtype="class", options=["plain", "card", "warning"])
    active = _BooleanAttribute(False, attrtype="class")
    tone = _Attribute("", attrtype="class")


class Heading(Block):
    tagname = "h1"


class Subheading(Block):
    tagname = "h2"


class Paragraph(Block):
    tagname = "p"


class Label(Block):
    tagname = "label"
    for_ = _Attribute("", attrtype="element", attrname="for")


class Form(Block):
    tagname = "form"
    default_cls = ("form",)
    novalidate = _BooleanAttribute(False, attrtype="element")


class Input(Block):
    tagname = "input"
    name = _Attribute("", attrtype="element")
    type = _Attribute("text", attrtype="element", options=["text", "number", "range", "email", "checkbox"])
    value = _Attribute("", attrtype="element")
    placeholder = _Attribute("", attrtype="element")
    maxlength = _NumericAttribute(None, attrtype="element")
    checked = _BooleanAttribute(False, attrtype="element")
    disabled = _BooleanAttribute(False, attrtype="element")
    read_only = _BooleanAttribute(False, attrtype="element", attrname="readonly")
    aria_invalid = _LogicalAttribute(None, attrtype="element")
    oninput = _GenericEventAttribute(False, client_handler, attrtype="element")
    onchange = _GenericEventAttribute(False, client_handler, attrtype="element")


class Slider(Input):
    level = _BoundedNumericAttribute(50, attrtype="element", attrname="value", min=0, max=100)


class Button(Block):
    tagname = "button"
    default_cls = ("button",)
    onclick = _GenericEventAttribute(False, client_handler, attrtype="element")
    aria_pressed = _LogicalAttribute(None, attrtype="element", sync=True)
    primary = _BooleanAttribute(False, attrtype="class")
    parity = _Attribute("", attrtype="class")


class Counter(Button):
    """A button that counts its clicks: its label, colour and class follow the count."""

    count = NumericProperty(0)
    colours = ("#2f6fdf", "#1f9d73", "#c2571a", "#8a4fd0")

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.bind(on_click=self.clicked, count=self.show)

    @staticmethod
    def clicked(widget, value=None):
        widget.count += 1

    @staticmethod
    def show(widget, count):
        widget.text = f"Clicked {count} time{'' if count == 1 else 's'}"
        widget.background_color = Counter.colours[count % len(Counter.colours)]
        widget.parity = "odd" if count % 2 else "even"
        widget.aria_pressed = bool(count % 2)


def number(value, low, high):
    """A client's number, clamped to low..high; None when it is none."""
    try:
        n = float(value)
    except OverflowError:  # an integer beyond the floats: as far out as infinity
        n = math.inf if value > 0 else -math.inf
    except (TypeError, ValueError):
        return None
    if n != n:  # NaN
        return None
    return max(low, min(high, n))


def build_page(texts: dict | None = None) -> Element:
    """The demo page with its event handlers wired. ``texts`` replaces the
    user-visible texts (the browser tests pass hostile ones)."""
    t = {
        "heading": "ruvo demo",
        "intro": "Widgets rendered by the native core. Served live, every change below "
                 "travels from the browser to a Python widget and back.",
        "label": "Your name",
        "placeholder": 'e.g. "Ada" & co',
        "value": "",
        "title": "Contact form",
        "button": "Click me",
        "locked": "locked <value>",
        "tone": "calm",
        **(texts or {}),
    }
    page = Box(variant="card", tone=t["tone"], padding="24px", margin="auto", font_family=["Georgia", "serif"])
    page.add(Heading(text=t["heading"], font_size="28px", color="#142850"))
    page.add(Paragraph(text=t["intro"], color=(80, 80, 80), font_size="inherit", margin=["0px", "0px", "8px", "0px"]))
    grid = page.add(Box(tone="grid", margin=["16px", "0px", "16px", "0px"]))

    counter_card = grid.add(Box(variant="card", padding="16px"))
    counter_card.add(Subheading(text="Counter"))
    counter_card.add(Paragraph(text="Each click changes the label, colour and class."))
    counter_card.add(Counter(text=t["button"], onclick=True, primary=True, aria_pressed=False, margin="4px 8px",
                             padding="8px 16px"))

    slider_card = grid.add(Box(variant="card", padding="16px"))
    slider_card.add(Subheading(text="Slider"))
    slider = slider_card.add(Slider(name="volume", type="range", level=30, oninput=True, title="Box size"))
    bar = slider_card.add(Box(tone="bar", width=100, margin=["8px", "0px", "0px", "30px"], background_color="#1f9d73"))

    def slid(widget, value):
        level = number(value, 0, 100)
        if level is not None:
            widget.level = level
            bar.width = 40 + 2 * level
            bar.margin = ["8px", "0px", "0px", f"{level:g}px"]

    slider.bind(on_input=slid)

    toggle_card = grid.add(Box(variant="card", padding="16px"))
    toggle_card.add(Subheading(text="Toggle"))
    switch = Input(name="show", type="checkbox", checked=True, onchange=True)
    toggle_card.add(Label(switch, text="Show the note "))
    note = toggle_card.add(Box(variant="warning", active=True, text="Now you see me.", padding="8px"))

    def switched(widget, value):
        widget.checked = value is True
        note.hidden = not widget.checked

    switch.bind(on_change=switched)

    echo_card = grid.add(Box(variant="card", padding="16px"))
    echo_card.add(Subheading(text="Echo"))
    greeting = echo_card.add(Heading(text=f"Hello, {t['value'] or 'stranger'}!", font_size="20px"))
    form = echo_card.add(Form(title=t["title"], novalidate=True, padding=["8px", "12px"],
                              background_color="#f0f0ffcc"))
    name = Input(name="who", placeholder=t["placeholder"], value=t["value"], aria_invalid=False, oninput=True,
                 maxlength=1000, padding="6px 8px")
    form.add(Label(text=t["label"], for_=name.tagid))
    form.add(name)
    form.add(Input(name="locked", value=t["locked"], disabled=True, read_only=True, title=t["title"], padding="6px 8px"))

    def typed(widget, value):
        text = value if isinstance(value, str) else ""
        widget.value = text
        greeting.text = f"Hello, {text[:200] or 'stranger'}!"

    name.bind(on_input=typed)

    footer = page.add(Box(variant="warning", active=True, hidden=False, margin=["2px", "4px", "6px", "8px"],
                          padding=["8px", "12px"]))
    footer.add(Paragraph(text="All values are escaped where they must be.", font_size=12.5))
    return page


STYLE = """
body { margin: 0; padding: 32px 16px; background: #eef1f6; color: #1d2433;
       font: 16px/1.5 system-ui, -apple-system, "Segoe UI", sans-serif; }
[hidden] { display: none !important; }
.box.card { background: #fff; border-radius: 12px; box-shadow: 0 1px 3px rgba(20, 40, 80, .12); }
body > .box { max-width: 860px; }
h1, h2 { margin: 0 0 8px; line-height: 1.2; }
h2 { font-size: 15px; text-transform: uppercase; letter-spacing: .06em; color: #5a6478; }
.box.grid { display: grid; grid-template-columns: repeat(auto-fit, minmax(240px, 1fr)); gap: 16px; margin: 16px 0; }
.box.grid > .card { border: 1px solid #dde3ee; box-shadow: none; }
.box.bar { height: 24px; border-radius: 6px; transition: width .1s, margin .1s; }
.box.warning { background: #fff6dd; border-left: 4px solid #e0a800; border-radius: 6px; padding: 8px 12px; }
.button { font: inherit; color: #fff; background: #2f6fdf; border: 0; border-radius: 8px; padding: 8px 16px;
          cursor: pointer; transition: background-color .15s; }
.button.odd { box-shadow: 0 0 0 3px #ffd54a; }
.form { display: grid; gap: 6px; border-radius: 8px; }
input[type=text], input:not([type]) { font: inherit; padding: 6px 8px; border: 1px solid #b9c2d3; border-radius: 6px; }
input[type=range] { width: 100%; }
label { font-size: 14px; color: #3b4558; }
#ruvo-status { position: fixed; right: 12px; bottom: 12px; padding: 4px 10px; border-radius: 12px;
               font-size: 12px; background: #dde3ee; color: #3b4558; }
#ruvo-status[data-state=open] { background: #d5f2e3; color: #14663f; }
#ruvo-status[data-state=error] { background: #fbe0dd; color: #8a1f11; }
"""


def render_document(root: Element, head: str | None = None) -> str:
    """The page as one HTML document. ``head`` holds the client's tags; by
    default the client is inlined, and then only warns that no server is there."""
    if head is None:
        head = "<script>\n" + client_script() + "</script>"
    return (
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>ruvo demo</title>\n<link rel=\"icon\" href=\"data:,\">\n<style>" + STYLE + "</style>\n" + head + "\n</head>\n<body>\n"
        + root.render() + "\n</body>\n</html>\n"
    )


def write_page(output: str | None) -> None:
    root = build_page()
    count = sum(1 for _ in root.walk())
    head = "<script>\n" + client_script() + "</script>"
    start = time.perf_counter()
    document = render_document(root, head)
    elapsed = time.perf_counter() - start
    # The steady state: the page rendered again, best of a few rounds.
    rounds = []
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(20):
            root.render()
        rounds.append((time.perf_counter() - t0) / 20)
    steady = min(rounds)
    if output and output != "-":
        try:
            with open(output, "w", encoding="utf-8") as f:
                f.write(document)
        except OSError as e:
            fail(f"cannot write {output}: {e.strerror or e}")
        where = output
    else:
        sys.stdout.write(document)
        where = "standard output"
    print(
        f"demo page written to {where}: {count} elements rendered in {elapsed * 1e6:.1f} us "
        f"(first render; again: {steady * 1e6:.1f} us, {steady * 1e6 / count:.2f} us per element)",
        file=sys.stderr,
    )


def fail(message: str):
    """Ends the command with a one-line error and status 2, as for bad arguments."""
    print(f"python -m ruvo.demo: error: {message}", file=sys.stderr)
    raise SystemExit(2)


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python -m ruvo.demo",
        description="Render the ruvo demo page into a file, or serve it live in the browser.",
    )
    parser.add_argument("output", nargs="?", help="file to write the page to ('-' or none: standard output)")
    parser.add_argument("--serve", action="store_true", help="serve the page live instead of writing it")
    parser.add_argument("--host", help="address to serve on, with --serve (default: 127.0.0.1)")
    parser.add_argument("--port", type=int, help="port to serve on, with --serve (default: 8765; 0: any free port)")
    args = parser.parse_args(argv)
    if args.serve and args.output:
        parser.error("--serve writes no file: give either OUTPUT or --serve")
    if not args.serve and (args.host is not None or args.port is not None):
        parser.error("--host and --port need --serve")
    if args.port is not None and not 0 <= args.port <= 65535:
        parser.error(f"--port must be 0 to 65535, not {args.port}")
    return args


def main(argv=None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if not args.serve:
        write_page(args.output)
        return 0
    from ruvo.live.server import serve

    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")

    def ready(url):
        print(f"serving the live demo page at {url} (Ctrl-C stops)", flush=True)

    host, port = args.host or "127.0.0.1", 8765 if args.port is None else args.port
    try:
        serve(build_page, render_document, host, port, ready)
    except OSError as e:  # the address is taken, not this machine's, or does not resolve
        fail(f"cannot serve on {host}:{port}: {e.strerror or e}")
    print("stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
