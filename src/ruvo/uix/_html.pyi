"""Fast HTML attribute joiners and the default element template renderer.

The default ``html_tpl`` on :class:`~ruvo.uix.element.Element` is a small
Tornado template whose *run* cost dominates tree serialization. This module
reproduces that template's output (including its whitespace) without Tornado.
Custom ``html_tpl`` values still go through Tornado.
"""

from typing import Any, Callable, Final, Iterable, Literal

__all__: tuple[
    Literal["DEFAULT_HTML_TPL"],
    Literal["join_style"],
    Literal["join_cls"],
    Literal["join_attributes"],
    Literal["render_default_html"],
]

html_escape: Callable[..., str | None]

DEFAULT_HTML_TPL: Final[str]

# The containers are mappings (an exact dict is walked directly; anything else
# through its items() or values() method), so they are typed loosely.

def join_style(style_container: Any) -> str:
    """Join ``style_container`` into a CSS style attribute value."""

def join_cls(default_cls: Iterable[str] | None, cls_container: Any) -> str:
    """Join default classes and ``cls_container`` values into a class string."""

def join_attributes(attr_container: Any) -> str:
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
