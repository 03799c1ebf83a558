"""The live page: widgets on the server, their elements in a browser, client
events and property changes flowing both ways over one WebSocket per page.

:mod:`ruvo.live.session` holds a page's widget tree and turns property changes
into patches; :mod:`ruvo.live.server` serves pages and sessions on Tornado;
``ruvo.js`` is the browser client.
"""

import importlib.resources


def client_script() -> str:
    """The browser client's source, shipped beside this package."""
    return importlib.resources.files(__name__).joinpath("ruvo.js").read_text(encoding="utf-8")
