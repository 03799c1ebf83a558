"""HTML text for one element: the style, class and attribute joiners, and
``render_default_html``, which writes a whole element with exactly the layout
of the ``DEFAULT_HTML_TPL`` template, without running a template engine.
Elements with a template of their own render through that template instead.
"""

from typing import Any, Callable, Final, Iterable, Protocol

__all__ = ("DEFAULT_HTML_TPL", "join_style", "join_cls", "join_attributes", "render_default_html")
__test__: dict[str, Any]

# Looked up at each call, so rebinding it changes how attribute values are escaped.
html_escape: Callable[..., str | None]

DEFAULT_HTML_TPL: Final[str]

# The containers are mappings: an exact dict is walked directly, anything else
# through its items() (values() for the class container).
class _HasItems(Protocol):
    def items(self) -> Iterable[tuple[Any, Any]]: ...

class _HasValues(Protocol):
    def values(self) -> Iterable[Any]: ...

def join_style(style_container: _HasItems | None) -> str:
    """Join ``style_container`` into a CSS style attribute value."""

def join_cls(default_cls: Iterable[Any] | None, cls_container: _HasValues | None) -> str:
    """Join default classes and ``cls_container`` values into a class string."""

def join_attributes(attr_container: _HasItems | None) -> str:
    """Join ``attr_container`` into an HTML attribute string."""

def render_default_html(
    tagname: str | None,
    tagid: str | None,
    cls: str | None,
    style: str | None,
    attributes: str | None,
    content: str | None,
) -> str:
    """Render the default Element ``html_tpl`` without Tornado.

    Whitespace matches ``tornado.template.Template.generate`` for
    :data:`DEFAULT_HTML_TPL` so markup stays byte-compatible with the
    previous renderer.
    """
