"""The live page on Tornado: an HTTP handler renders a page with a fresh
widget tree (one session per page load), and one WebSocket per page carries
its client events in and its patches out.

Hostile traffic is refused: messages that are not JSON, lack fields, name
unknown widgets or events get an error message; oversized messages, floods
and foreign origins close the connection or refuse it. Each refusal is logged
on the ``ruvo.live`` logger, and touches no other session.
"""

from __future__ import annotations

import asyncio
import dataclasses
import html
import json
import logging
import secrets
import signal
import time
from typing import Callable

import tornado.httpserver
import tornado.ioloop
import tornado.netutil
import tornado.web
import tornado.websocket

from ruvo.live import client_script
from ruvo.live.session import Session, log

# Close codes of the application's own range (4000-4999): the client reloads
# the page after UNKNOWN_SESSION, and reconnects after the others.
UNKNOWN_SESSION = 4404
REPLACED = 4409
POLICY = 1008  # a flood of events
TOO_BIG = 1009  # an oversized message


@dataclasses.dataclass(frozen=True)
class Limits:
    """What one client may send and how many pages the server keeps."""

    max_message: int = 4096  # characters of one message
    rate: float = 1000.0  # events per second, sustained
    burst: int = 2000  # events at once
    max_sessions: int = 1000  # pages kept at the same time
    session_ttl: float = 60.0  # seconds a page without a connection is kept


class Bucket:
    """A token bucket: ``take`` fails once more than ``burst`` events came
    faster than ``rate`` per second."""

    def __init__(self, rate: float, burst: int):
        self.rate, self.burst = rate, burst
        self.tokens, self.stamp = float(burst), time.monotonic()

    def take(self) -> bool:
        now = time.monotonic()
        self.tokens = min(self.burst, self.tokens + (now - self.stamp) * self.rate)
        self.stamp = now
        if self.tokens < 1:
            return False
        self.tokens -= 1
        return True


class Registry:
    """The live sessions by token, with the time each lost its connection."""

    def __init__(self, limits: Limits):
        self.limits = limits
        self.sessions: dict[str, Session] = {}
        self.idle_since: dict[str, float] = {}
        self.sockets: dict[str, "SessionSocket"] = {}
        self.seen: set[str] = set()  # pages that had a connection

    def create(self, root) -> str | None:
        self.expire()
        if len(self.sessions) >= self.limits.max_sessions:
            return None
        token = secrets.token_urlsafe(18)
        self.sessions[token] = Session(root)
        self.idle_since[token] = time.monotonic()
        return token

    def drop(self, token: str) -> None:
        session = self.sessions.pop(token, None)
        self.idle_since.pop(token, None)
        self.sockets.pop(token, None)
        self.seen.discard(token)
        if session is not None:
            session.close()

    def expire(self) -> None:
        limit = time.monotonic() - self.limits.session_ttl
        for token in [t for t, since in self.idle_since.items() if since < limit]:
            self.drop(token)


class PageHandler(tornado.web.RequestHandler):
    def get(self):
        app = self.application
        root = app.build()
        token = app.registry.create(root)
        if token is None:
            log.warning("page refused to %s: %d sessions open", self.request.remote_ip, app.limits.max_sessions)
            raise tornado.web.HTTPError(503, reason="Too many open pages; try again later")
        head = (f'<meta name="ruvo-session" content="{html.escape(token)}">\n'
                '<script src="/ruvo.js" defer></script>')
        self.set_header("Cache-Control", "no-store")
        self.set_header("X-Content-Type-Options", "nosniff")
        self.write(app.document(root, head))


class ScriptHandler(tornado.web.RequestHandler):
    def get(self):
        self.set_header("Content-Type", "text/javascript; charset=utf-8")
        self.set_header("X-Content-Type-Options", "nosniff")
        self.write(self.application.script)


class SessionSocket(tornado.websocket.WebSocketHandler):
    """One page's connection: its messages go to its session only."""

    token: str | None = None

    def check_origin(self, origin):
        if super().check_origin(origin) or origin in self.application.origins:
            return True
        log.warning("connection refused to %s: origin %r is not this server's", self.request.remote_ip, origin)
        return False

    def where(self) -> str:
        return f"{self.request.remote_ip} (page {self.token[:6] if self.token else '-'})"

    def refuse(self, text: str, code: int | None = None) -> None:
        log.warning("refused from %s: %s", self.where(), text)
        self.write_message(json.dumps({"type": "error", "error": text}))
        if code is not None:
            self.close(code, text[:120])

    def open(self):
        registry = self.application.registry
        self.token = self.get_query_argument("session", None)
        self.session = registry.sessions.get(self.token)
        if self.session is None:
            self.token = None
            self.refuse("unknown or expired page; reload it", UNKNOWN_SESSION)
            return
        limits = self.application.limits
        self.bucket = Bucket(limits.rate, limits.burst)
        previous = registry.sockets.get(self.token)
        if previous is not None:
            previous.supersede()
        registry.sockets[self.token] = self
        registry.idle_since.pop(self.token, None)
        # A page that was connected before may have missed patches: it gets a fresh render.
        if self.token in registry.seen:
            self.send_patches(self.session.reset())
        registry.seen.add(self.token)

    def supersede(self) -> None:
        self.session = None
        self.close(REPLACED, "the page connected again")

    def on_message(self, message):
        if self.session is None:
            return
        limits = self.application.limits
        if not self.bucket.take():
            self.refuse(f"too many events: more than {limits.burst} at once or {limits.rate:g} per second", POLICY)
            self.application.registry.drop(self.token)
            self.session = None
            return
        if len(message) > limits.max_message:
            self.refuse(f"message too long: {len(message)} characters, at most {limits.max_message}", TOO_BIG)
            self.application.registry.drop(self.token)
            self.session = None
            return
        patches, error = self.session.handle(message)
        if patches:
            self.send_patches(patches)
        if error is not None:
            self.refuse(error)

    def send_patches(self, patches) -> None:
        self.write_message(json.dumps({"type": "patch", "patches": patches}, separators=(",", ":")))

    def on_close(self):
        registry = self.application.registry
        if self.session is not None and self.close_code is None:
            # Tornado ends a connection by itself on a message beyond its
            # limit and on unanswered pings; a network drop looks the same.
            log.warning("connection from %s ended without a closing handshake "
                        "(dropped, a message too big to read, or no answer to pings)", self.where())
        if self.token is not None and registry.sockets.get(self.token) is self:
            del registry.sockets[self.token]
            if self.token in registry.sessions:
                registry.idle_since[self.token] = time.monotonic()


class LiveApplication(tornado.web.Application):
    """Serves the pages that ``build`` makes, rendered into documents by
    ``document(root, head)`` (``head`` holds the client's tags)."""

    def __init__(self, build: Callable, document: Callable, limits: Limits = Limits(), origins=()):
        self.build, self.document, self.limits = build, document, limits
        self.origins = frozenset(origins)
        self.registry = Registry(limits)
        self.script = client_script()
        super().__init__(
            [(r"/", PageHandler), (r"/ruvo\.js", ScriptHandler), (r"/ws", SessionSocket)],
            # Tornado closes a connection whose message exceeds this outright;
            # longer messages up to it get the error message above.
            websocket_max_message_size=max(limits.max_message * 16, 65536),
            websocket_ping_interval=20,
        )
        self._expiry = tornado.ioloop.PeriodicCallback(self.registry.expire, limits.session_ttl * 250)

    def listen_on(self, host: str, port: int):
        """Starts serving on the loop that runs; returns the server and its port."""
        sockets = tornado.netutil.bind_sockets(port, host)
        server = tornado.httpserver.HTTPServer(self)
        server.add_sockets(sockets)
        self._expiry.start()
        return server, sockets[0].getsockname()[1]

    def stop(self, server) -> None:
        self._expiry.stop()
        server.stop()
        for socket in list(self.registry.sockets.values()):
            socket.close(1001, "server stopping")
        for token in list(self.registry.sessions):
            self.registry.drop(token)


def url_of(host: str, port: int) -> str:
    return f"http://[{host}]:{port}/" if ":" in host else f"http://{host}:{port}/"


async def _serve(app: LiveApplication, host: str, port: int, ready: Callable[[str], None]) -> None:
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stop.set)
    server, port = app.listen_on(host, port)
    ready(url_of(host, port))
    try:
        await stop.wait()
    finally:
        app.stop(server)
        await server.close_all_connections()


def serve(build: Callable, document: Callable, host: str = "127.0.0.1", port: int = 8765,
          ready: Callable[[str], None] = print, limits: Limits = Limits()) -> None:
    """Serves the live page until SIGINT (Ctrl-C) or SIGTERM; ``ready`` gets its URL."""
    asyncio.run(_serve(LiveApplication(build, document, limits), host, port, ready))
