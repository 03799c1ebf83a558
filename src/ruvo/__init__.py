"""ruvo builds web user interfaces from Python objects.

A widget is an :class:`~ruvo.core._event.EventDispatcher` whose attribute
descriptors (:mod:`ruvo.core._attributes`) mirror its properties as the HTML
attributes, CSS style entries and classes of an element in the browser;
:mod:`ruvo.uix._html` turns them into HTML text, and
:class:`~ruvo.core.thinref.ThinRef` lets objects refer to one another without
keeping each other alive.
"""

__all__ = ("__version__",)

__version__: str


def __getattr__(name: str) -> str:
    # The version is read from the installed metadata on first use, so that
    # importing the package does not import importlib.metadata.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import metadata

    try:
        version = metadata.version("ruvo")
    except metadata.PackageNotFoundError:  # a source tree that was never installed
        version = "0+unknown"
    globals()["__version__"] = version
    return version
