"""The live page on Tornado: an HTTP handler renders a page with a fresh
widget tree (one session per page load), and one WebSocket per page carries
its client events in and its patches out.

Hostile traffic is refused: messages that are not JSON, lack fields, name
unknown widgets or events or are too long get an error message; floods, clients
that stop reading, foreign hosts and origins close the connection or refuse it.
Pages and connections are capped in all and per client address, and requests
that never finish time out. Each refusal is logged on the ``ruvo.live`` logger,
and touches no other session.
"""

from __future__ import annotations

import asyncio
import dataclasses
import functools
import html
import ipaddress
import json
import resource
import secrets
import signal
import socket
import time
import urllib.parse
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
TOO_BIG = 1009  # a message beyond what Tornado reads at all (Tornado closes)


@dataclasses.dataclass(frozen=True)
class Limits:
    """What one client may send and how many pages the server keeps."""

    max_message: int = 4096  # characters of one message
    rate: float = 1000.0  # events per second, sustained
    burst: int = 2000  # events at once
    max_sessions: int = 1000  # pages kept at the same time
    max_client_sessions: int = 50  # of them loaded from one address
    session_ttl: float = 60.0  # seconds a page that lost its connection is kept
    connect_ttl: float = 15.0  # seconds a page that never connected is kept
    max_unread: int = 1 << 20  # characters of patches a client may leave unread
    max_connections: int = 1000  # open connections (kept below the descriptor limit too)
    max_client_connections: int = 50  # of them from one address
    request_timeout: float = 10.0  # seconds for a request's headers or body, or between requests


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
    """The live sessions by token (oldest first), with the time each lost its
    connection, the address that loaded it and its rate bucket, which outlives
    connections so that reconnecting refills nothing."""

    def __init__(self, limits: Limits):
        self.limits = limits
        self.sessions: dict[str, Session] = {}
        self.idle_since: dict[str, float] = {}
        self.sockets: dict[str, "SessionSocket"] = {}
        self.seen: set[str] = set()  # pages that had a connection
        self.clients: dict[str, str] = {}
        self.buckets: dict[str, Bucket] = {}

    def make_room(self, client: str) -> tuple[int, str] | None:
        """Makes room for a page loaded from ``client``: at a cap the oldest page
        that never connected makes way. The HTTP status and reason of a refusal
        when every page in the way is connected or was, else None."""
        self.expire()
        limits = self.limits
        for tokens, cap, refusal in (
                ([t for t, c in self.clients.items() if c == client], limits.max_client_sessions,
                 (429, "Too many open pages from your address; close some")),
                (self.sessions, limits.max_sessions, (503, "Too many open pages; try again later"))):
            if len(tokens) >= cap:
                victim = next((t for t in tokens if t not in self.seen and t not in self.sockets), None)
                if victim is None:
                    return refusal
                self.drop(victim)
        return None

    def create(self, client: str, root) -> str:
        token = secrets.token_urlsafe(18)
        self.sessions[token] = Session(root)
        self.idle_since[token] = time.monotonic()
        self.clients[token] = client
        self.buckets[token] = Bucket(self.limits.rate, self.limits.burst)
        return token

    def drop(self, token: str) -> None:
        session = self.sessions.pop(token, None)
        for table in (self.idle_since, self.sockets, self.clients, self.buckets):
            table.pop(token, None)
        self.seen.discard(token)
        if session is not None:
            session.close()

    def expire(self) -> None:
        now = time.monotonic()
        for token in [t for t, since in self.idle_since.items()
                      if now - since > (self.limits.session_ttl if t in self.seen else self.limits.connect_ttl)]:
            self.drop(token)


class Guarded(tornado.web.RequestHandler):
    """Answers only requests for a host name this server was bound to: a page
    on another name that resolves here (DNS rebinding) gets nothing."""

    def prepare(self):
        if not self.application.serves(self.request.host_name):
            log.warning("request refused from %s: host %r is not this server's",
                        self.request.remote_ip, self.request.host)
            raise tornado.web.HTTPError(403, reason="Unknown host")


class PageHandler(Guarded):
    def get(self):
        app, client, headers = self.application, self.request.remote_ip, self.request.headers
        # Another site may link here, but not load pages in the background (an
        # image, a frame, a script) to fill the server with sessions.
        if headers.get("Sec-Fetch-Site") == "cross-site" and (
                headers.get("Sec-Fetch-Mode"), headers.get("Sec-Fetch-Dest")) != ("navigate", "document"):
            log.warning("page refused to %s: a cross-site load (%s)", client, headers.get("Sec-Fetch-Dest"))
            raise tornado.web.HTTPError(403, reason="Cross-site page loads are refused")
        refusal = app.registry.make_room(client)
        if refusal is not None:
            log.warning("page refused to %s: %s", client, refusal[1])
            raise tornado.web.HTTPError(refusal[0], reason=refusal[1])
        root = app.build()
        token = app.registry.create(client, root)
        head = (f'<meta name="ruvo-session" content="{html.escape(token)}">\n'
                f'<meta name="ruvo-max-message" content="{app.limits.max_message}">\n'
                '<script src="/ruvo.js" defer></script>')
        self.set_header("Cache-Control", "no-store")
        self.set_header("X-Content-Type-Options", "nosniff")
        self.write(app.document(root, head))


class ScriptHandler(Guarded):
    def get(self):
        self.set_header("Content-Type", "text/javascript; charset=utf-8")
        self.set_header("X-Content-Type-Options", "nosniff")
        self.write(self.application.script)


class Protocol(tornado.websocket.WebSocketProtocol13):
    """Tornado's protocol, noting whether the client sent a close frame: Tornado
    leaves close_code None both for a close frame without a status and for a
    connection that dropped."""

    close_received = False

    def _handle_message(self, opcode, data):
        if opcode == 0x8:
            self.close_received = True
        return super()._handle_message(opcode, data)


class SessionSocket(Guarded, tornado.websocket.WebSocketHandler):
    """One page's connection: its messages go to its session only."""

    application: "LiveApplication"
    token: str | None = None
    session: Session | None = None
    closed_cleanly = False
    unread = 0  # characters written and not yet taken by the network

    def get_websocket_protocol(self):
        protocol = super().get_websocket_protocol()
        return protocol and Protocol(self, False, protocol.params)

    def check_origin(self, origin):
        # The host was checked in prepare; the origin must name it, with this connection's scheme.
        if urllib.parse.urlsplit(origin).scheme == self.request.protocol and super().check_origin(origin):
            return True
        if origin in self.application.origins:
            return True
        log.warning("connection refused to %s: origin %r is not this server's", self.request.remote_ip, origin)
        return False

    def where(self) -> str:
        return f"{self.request.remote_ip} (page {self.token[:6] if self.token else '-'})"

    def refuse(self, text: str, code: int | None = None) -> None:
        log.warning("refused from %s: %s", self.where(), text)
        self.send(json.dumps({"type": "error", "error": text}))
        if code is not None:
            self.close(code, text[:120])

    def send(self, text: str) -> None:
        """Writes a message; cuts the connection of a client that leaves more
        than ``max_unread`` characters unread, as its patches would pile up here."""
        try:
            written = self.write_message(text)
        except tornado.websocket.WebSocketClosedError:
            return
        self.unread += len(text)
        written.add_done_callback(functools.partial(self.taken, len(text)))
        limit = self.application.limits.max_unread
        stream = self.ws_connection and self.ws_connection.stream
        if self.unread > limit and stream is not None and self.session is not None:
            log.warning("connection from %s cut: more than %d characters left unread", self.where(), limit)
            self.session = None
            # A close frame would queue behind what the client does not read.
            stream.close()

    def taken(self, size: int, written) -> None:
        self.unread -= size
        # A write fails when the connection is gone, which on_close reports.
        if not written.cancelled():
            written.exception()

    def open(self):
        registry = self.application.registry
        self.token = self.get_query_argument("session", None)
        self.session = registry.sessions.get(self.token)
        if self.session is None:
            self.token = None
            self.refuse("unknown or expired page; reload it", UNKNOWN_SESSION)
            return
        self.bucket = registry.buckets[self.token]
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
            # Long text typed or pasted into a field: the message goes, the page stays.
            self.refuse(f"message too long: {len(message)} characters, at most {limits.max_message}")
            return
        patches, error = self.session.handle(message)
        if patches:
            self.send_patches(patches)
        if error is not None:
            self.refuse(error)

    def send_patches(self, patches) -> None:
        self.send(json.dumps({"type": "patch", "patches": patches}, separators=(",", ":")))

    def on_ws_connection_close(self, close_code=None, close_reason=None):
        self.closed_cleanly = getattr(self.ws_connection, "close_received", False)
        super().on_ws_connection_close(close_code, close_reason)

    def on_close(self):
        registry = self.application.registry
        if self.closed_cleanly:
            log.info("connection from %s closed (status %s)", self.where(), self.close_code or "none")
        elif self.session is not None:
            # Tornado ends a connection by itself on a message beyond its
            # limit and on unanswered pings; a network drop looks the same.
            log.warning("connection from %s ended without a closing handshake "
                        "(dropped, a message too big to read, or no answer to pings)", self.where())
        if self.token is not None and registry.sockets.get(self.token) is self:
            del registry.sockets[self.token]
            if self.token in registry.sessions:
                registry.idle_since[self.token] = time.monotonic()


class CappedHTTPServer(tornado.httpserver.HTTPServer):
    """Tornado's HTTP server with a cap on open connections, in all and per
    client address. At a cap the oldest connection still in HTTP (idle,
    half-sent or being answered) of the address, or of the address holding the
    most, makes way for the newcomer; open WebSockets make way for nothing."""

    def cap(self, max_open: int, max_client_open: int) -> "CappedHTTPServer":
        self.max_open, self.max_client_open = max_open, max_client_open
        self.open: dict[str, list] = {}  # client address -> its open streams, oldest first
        self.in_http: set = set()  # streams not (yet) taken over by a WebSocket
        return self

    def handle_stream(self, stream, address):
        client = address[0] if isinstance(address, tuple) else ""
        for key in list(self.open):
            self.open[key] = [s for s in self.open[key] if not s.closed()]
            if not self.open[key]:
                del self.open[key]
        mine = self.open.setdefault(client, [])
        full = len(mine) >= self.max_client_open and not self.evict(mine)
        if not full and sum(map(len, self.open.values())) >= self.max_open:
            full = not self.evict(max(self.open.values(), key=len))
        if full:
            log.warning("connection refused to %s: too many open connections", client)
            stream.close()
            return
        mine.append(stream)
        self.in_http.add(stream)
        super().handle_stream(stream, address)

    def evict(self, streams: list) -> bool:
        victim = next((s for s in streams if s in self.in_http), None)
        if victim is None:
            return False
        streams.remove(victim)
        victim.close()
        return True

    def on_close(self, server_conn):
        # The connection's HTTP is over: it closed or became a WebSocket.
        self.in_http.discard(server_conn.stream)
        super().on_close(server_conn)


class LiveApplication(tornado.web.Application):
    """Serves the pages that ``build`` makes, rendered into documents by
    ``document(root, head)`` (``head`` holds the client's tags)."""

    def __init__(self, build: Callable, document: Callable, limits: Limits = Limits(), origins=()):
        self.build, self.document, self.limits = build, document, limits
        self.origins = frozenset(origins)
        self.hosts: set[str] | None = None  # the host names served; None: any (not listening yet)
        self.any_address = False  # bound to every address: any address literal names this server
        self.registry = Registry(limits)
        self.script = client_script()
        super().__init__(
            [(r"/", PageHandler), (r"/ruvo\.js", ScriptHandler), (r"/ws", SessionSocket)],
            # Tornado closes a connection whose message exceeds this outright;
            # longer messages up to it get the error message above.
            websocket_max_message_size=max(limits.max_message * 16, 65536),
            websocket_ping_interval=20,
        )
        self._expiry = tornado.ioloop.PeriodicCallback(
            self.registry.expire, min(limits.session_ttl, limits.connect_ttl) * 250)

    def serves(self, host_name: str) -> bool:
        """Whether a request's host name (no port) names this server."""
        if self.hosts is None:
            return True
        name = host_name.strip("[]")
        if name in self.hosts:
            return True
        try:
            ipaddress.ip_address(name)
        except ValueError:
            return False
        return self.any_address

    def listen_on(self, host: str, port: int):
        """Starts serving on the loop that runs; returns the server and its port."""
        sockets = tornado.netutil.bind_sockets(port, host)
        self.hosts = {host.lower().strip("[]")}
        for sock in sockets:
            address = ipaddress.ip_address(sock.getsockname()[0].split("%")[0])
            self.hosts.add(str(address))
            if address.is_loopback or address.is_unspecified:
                self.hosts.add("localhost")
            if address.is_unspecified:
                self.any_address = True
                self.hosts.add(socket.gethostname().lower())
        limits = self.limits
        # Below the descriptor limit, with a margin for the listening sockets, logs and the like.
        descriptors = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
        total = limits.max_connections if descriptors == resource.RLIM_INFINITY else \
            max(1, min(limits.max_connections, descriptors - 32))
        server = CappedHTTPServer(self, idle_connection_timeout=limits.request_timeout,
                                  body_timeout=limits.request_timeout, max_body_size=65536)
        server.cap(total, limits.max_client_connections)
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
