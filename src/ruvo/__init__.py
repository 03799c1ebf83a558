"""ruvo builds web user interfaces from Python objects.

A widget is an :class:`~ruvo.core._event.EventDispatcher` whose attribute
descriptors (:mod:`ruvo.core._attributes`) mirror its properties as the HTML
attributes, CSS style entries and classes of an element in the browser;
:mod:`ruvo.uix._html` turns them into HTML text, and
:class:`~ruvo.core.thinref.ThinRef` lets objects refer to one another without
keeping each other alive.
"""

from importlib import metadata as _metadata

try:
    __version__ = _metadata.version("ruvo")
except _metadata.PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ("__version__",)
