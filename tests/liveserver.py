"""The live demo server on a free port, running in a thread of the test process
so that tests can look at a page's widget tree while its client talks to it."""

import asyncio
import re
import threading
import urllib.request

from ruvo import demo
from ruvo.live.server import LiveApplication, Limits


class LiveServer:
    def __init__(self, limits=Limits()):
        self.limits = limits
        self._ready = threading.Event()
        self._thread = threading.Thread(target=asyncio.run, args=(self._main(),), daemon=True)

    async def _main(self):
        self.loop = asyncio.get_running_loop()
        self.app = LiveApplication(demo.build_page, demo.render_document, self.limits)
        server, port = self.app.listen_on("127.0.0.1", 0)
        self.url = f"http://127.0.0.1:{port}/"
        self._stop = asyncio.Event()
        self._ready.set()
        await self._stop.wait()
        self.app.stop(server)
        await server.close_all_connections()

    def __enter__(self):
        self._thread.start()
        assert self._ready.wait(30), "the server did not start"
        return self

    def __exit__(self, *exc):
        self.loop.call_soon_threadsafe(self._stop.set)
        self._thread.join(30)

    def call(self, fn, *args):
        """fn(*args) run on the server's loop, where the widgets live."""
        async def run():
            return fn(*args)
        return asyncio.run_coroutine_threadsafe(run(), self.loop).result(30)

    def open_page(self):
        """Loads a page; returns its session token."""
        with urllib.request.urlopen(self.url, timeout=30) as response:
            page = response.read().decode()
        return re.search(r'<meta name="ruvo-session" content="([^"]+)">', page).group(1)

    def root(self, token):
        return self.call(lambda: self.app.registry.sessions[token].root)

    def widget(self, token, cls, index=0):
        """The index-th widget of class cls on the page."""
        return [w for w in self.root(token).walk() if type(w) is cls][index]

    def ws_url(self, token):
        return self.url.replace("http", "ws", 1) + "ws?session=" + token
