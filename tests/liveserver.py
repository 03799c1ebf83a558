"""The live demo server on a free port, running in a thread of the test process
so that tests can look at a page's widget tree while its client talks to it."""

import asyncio
import base64
import os
import re
import socket
import threading
import time
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

    def until(self, condition, timeout=30):
        """Waits until condition() holds, a round trip through the server's loop at a time."""
        deadline = time.monotonic() + timeout
        while not condition():
            assert time.monotonic() < deadline, "timed out"
            self.call(lambda: None)

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

    def raw_socket(self, token, rcvbuf=None):
        """A page's WebSocket as a plain socket past the handshake, for clients
        that misbehave below the protocol (never read, drop without closing)."""
        sock = socket.socket()
        if rcvbuf:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        sock.settimeout(30)
        sock.connect(("127.0.0.1", int(self.url.split(":")[2].strip("/"))))
        key = base64.b64encode(os.urandom(16)).decode()
        sock.sendall(f"GET /ws?session={token} HTTP/1.1\r\nHost: {self.url[7:-1]}\r\nUpgrade: websocket\r\n"
                     f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            head += sock.recv(1)
        assert b" 101 " in head.split(b"\r\n")[0], head
        return sock


def frame(text):
    """A masked text frame of a client, as raw bytes."""
    payload, mask = text.encode(), os.urandom(4)
    n = len(payload)
    head = bytes([0x81]) + (bytes([0x80 | n]) if n < 126 else bytes([0x80 | 126]) + n.to_bytes(2, "big"))
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
