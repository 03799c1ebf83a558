"""The element widget: a widget rendered as one HTML element with its children.

Every attribute descriptor declared on an element class is rendered through its
``attrvalue`` and filed by its ``attrtype`` (style entry, class or element
attribute); the containers go through the join helpers and
``render_default_html``. The live page (:mod:`ruvo.live`) builds its patches from
the same methods, so a patched element always equals a fresh render.
"""

from __future__ import annotations

import html

from ruvo.core import _attributes
from ruvo.core._event import EventDispatcher
from ruvo.core.properties import StringProperty
from ruvo.core.thinref import ThinRef
from ruvo.uix._html import join_attributes, join_cls, join_style, render_default_html

__all__ = ("ATTRIBUTE_TYPES", "Element", "client_handler")

# The nine attribute descriptor classes; isinstance also takes their subclasses.
ATTRIBUTE_TYPES = tuple(getattr(_attributes, name) for name in (
    "_Attribute", "_NumericAttribute", "_BoundedNumericAttribute", "_BooleanAttribute", "_LogicalAttribute",
    "_ListAttribute", "_VariableListAttribute", "_ColorAttribute", "_GenericEventAttribute"))


def client_handler(widget, event, prevent_default=False, event_args=None, event_js="", dispatch=True):
    """Handler code for a client event: the browser client sends the event back."""
    code = f"ruvo.send(this, '{event}')"
    if prevent_default:
        code = "event.preventDefault(); " + code
    return code


class Element(EventDispatcher):
    """A widget rendered as one HTML element with its children. ``text`` is the
    element's own text, rendered escaped before the children."""

    tagname = "div"
    default_cls: tuple = ()

    text = StringProperty("")

    def __init__(self, *children, **kwargs):
        super().__init__(**kwargs)
        self.parent = None
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

    def class_text(self) -> str:
        """The class attribute's text: the default classes, then the class descriptors' values."""
        classes = {d.attrname: d.attrvalue(self) for d in type(self).descriptors() if d.attrtype == "class"}
        return join_cls(self.default_cls, classes)

    def content(self) -> str:
        """The element's rendered content: its text, escaped, then its children."""
        return html.escape(self.text) + "".join(child.render() for child in self.children)

    def render(self) -> str:
        style, classes, attributes = self.containers()
        return render_default_html(
            self.tagname,
            self.tagid,
            join_cls(self.default_cls, classes),
            join_style(style),
            join_attributes(attributes),
            self.content(),
        )

    def walk(self):
        yield self
        for child in self.children:
            yield from child.walk()
