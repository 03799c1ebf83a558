"""The live page's WebSocket protocol without a browser: events reach only the
widgets of their own page, patches come back, and hostile input is refused,
logged and harms no other page."""

import asyncio
import json
import logging
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

pytest.importorskip("tornado")

from tornado.httpclient import HTTPClientError, HTTPRequest  # noqa: E402
from tornado.websocket import websocket_connect  # noqa: E402

from liveserver import LiveServer, frame  # noqa: E402
from ruvo import demo  # noqa: E402
from ruvo.live.server import Limits  # noqa: E402


@pytest.fixture(scope="module")
def server():
    with LiveServer() as s:
        yield s


def click(button):
    return json.dumps({"id": button.tagid, "event": "on_click"})


async def receive(ws):
    text = await ws.read_message()
    return None if text is None else json.loads(text)


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


def test_click_patches_label_colour_class_and_attribute(server):
    token = server.open_page()
    button = server.widget(token, demo.Counter)

    async def go():
        ws = await websocket_connect(server.ws_url(token))
        await ws.write_message(click(button))
        return await receive(ws)

    patches = {p["op"] + ":" + str(p.get("name")): p for p in run(go())["patches"]}
    assert patches["html:None"]["html"] == "Clicked 1 time"
    assert patches["style:background-color"]["value"] == "rgb(31, 157, 115)"
    assert patches["class:None"] == {"op": "class", "id": button.tagid, "add": ["odd"], "remove": []}
    assert patches["attr:aria-pressed"]["value"] == "true"
    assert server.call(lambda: button.count) == 1


BAD = [
    ("not json", "the message is not JSON"),
    ("[1, 2]", "must be a JSON object"),
    ('{"event": "on_click"}', 'needs the text fields "id" and "event"'),
    ('{"id": "BUTTON", "event": 5}', 'needs the text fields "id" and "event"'),
    ('{"id": "BUTTON", "event": "on_click", "value": [1]}', '"value" must be'),
    ('{"id": "w0", "event": "on_click"}', "no widget 'w0' on this page"),
    ('{"id": "BUTTON", "event": "on_hover"}', "has no client event 'on_hover'"),
    ('{"id": "BUTTON", "event": "on_change"}', "has no client event 'on_change'"),
    ('{"id": "LOCKED", "event": "on_input"}', "has no client event 'on_input'"),   # declared, switched off
    (b"\x00binary", "binary messages are not accepted"),
    ('{"id": ' + "[" * 1500 + "]" * 1500 + ', "event": "on_click"}', "nested too deeply"),
    ("x" * 5000, "message too long: 5000 characters, at most 4096"),   # a long paste: the page stays
]


@pytest.mark.parametrize("message, error", BAD, ids=[e for _, e in BAD])
def test_bad_message_is_refused_and_the_page_goes_on(server, caplog, message, error):
    token = server.open_page()
    button = server.widget(token, demo.Counter)
    if isinstance(message, str):
        message = message.replace("BUTTON", button.tagid).replace("LOCKED", server.widget(token, demo.Input, 2).tagid)

    async def go():
        ws = await websocket_connect(server.ws_url(token))
        await ws.write_message(message, binary=isinstance(message, bytes))
        refused = await receive(ws)
        await ws.write_message(click(button))
        return refused, await receive(ws)

    with caplog.at_level(logging.WARNING, "ruvo.live"):
        refused, after = run(go())
    assert refused["type"] == "error" and error in refused["error"]
    assert any(error in r.getMessage() for r in caplog.records)
    assert after["type"] == "patch" and server.call(lambda: button.count) == 1


@pytest.mark.parametrize("size, limits, code, error, logged", [
    # Beyond what Tornado reads at all: it closes the connection, the page stays.
    (200_000, Limits(), 1009, None, "without a closing handshake"),
    (60, Limits(burst=50, rate=1), 1008, "too many events", None),   # a flood: 60 events at once
], ids=["huge", "flood"])
def test_abuse_closes_only_its_own_connection(caplog, size, limits, code, error, logged):
    with LiveServer(limits) as server:
        bystander, token = server.open_page(), server.open_page()
        button = server.widget(token, demo.Counter)
        other = server.widget(bystander, demo.Counter)

        async def go():
            calm = await websocket_connect(server.ws_url(bystander))
            ws = await websocket_connect(server.ws_url(token))
            for message in [click(button)] * size if code == 1008 else ["x" * size]:
                await ws.write_message(message)
            replies = []
            while (reply := await receive(ws)) is not None:
                replies.append(reply)
            await calm.write_message(click(other))
            return replies, ws.close_code, await receive(calm)

        with caplog.at_level(logging.WARNING, "ruvo.live"):
            replies, close_code, calm_reply = run(go())
        assert close_code == code
        if error:
            assert replies[-1]["type"] == "error" and error in replies[-1]["error"]
        assert any((logged or error) in r.getMessage() for r in caplog.records)
        # The bystander's page is untouched and still served; the abuser's page is dropped.
        assert calm_reply["patches"][0]["html"] == "Clicked 1 time"
        assert server.call(lambda: (other.count, token in server.app.registry.sessions)) == (1, error is None)


def test_flood_is_counted_across_reconnections(caplog):
    with LiveServer(Limits(burst=50, rate=1)) as server:
        token = server.open_page()
        button = server.widget(token, demo.Counter)

        async def go():
            for answers in (30, 0):   # 30 events on each connection, 60 in all
                ws = await websocket_connect(server.ws_url(token))
                for _ in range(30):
                    await ws.write_message(click(button))
                replies = [await receive(ws) for _ in range(answers)]
            while (reply := await receive(ws)) is not None:
                replies.append(reply)
            return replies[-1], ws.close_code

        last, close_code = run(go())
    assert close_code == 1008 and "too many events" in last["error"]


@pytest.mark.parametrize("headers, session, refused", [
    ({"Origin": "http://evil.example"}, "page", "403"),
    ({"Origin": "null"}, "page", "403"),
    ({"Origin": "https://127.0.0.1:PORT"}, "page", "403"),
    ({"Origin": "ws://127.0.0.1:PORT"}, "page", "403"),
    ({"Host": "evil.example:PORT", "Origin": "http://evil.example:PORT"}, "page", "403"),   # a rebound name
    ({"Origin": "http://127.0.0.1:PORT"}, "unknown", 4404),
    ({"Host": "localhost:PORT", "Origin": "http://localhost:PORT"}, "page", None),
    ({}, "page", None),
])
def test_host_origin_and_session_are_checked(server, caplog, headers, session, refused):
    token = server.open_page() if session == "page" else "no-such-page"
    headers = {k: v.replace("PORT", server.url.split(":")[2].strip("/")) for k, v in headers.items()}

    async def go():
        ws = await websocket_connect(HTTPRequest(server.ws_url(token), headers=headers))
        first = await receive(ws)
        while await receive(ws) is not None:
            pass
        return first, ws.close_code

    with caplog.at_level(logging.WARNING, "ruvo.live"):
        if refused == "403":
            with pytest.raises(HTTPClientError, match="403"):
                run(go())
            assert any("is not this server's" in r.getMessage() for r in caplog.records)
            return
        if refused is None:
            # An allowed connection stays open: nothing arrives until it is used.
            with pytest.raises(asyncio.TimeoutError):
                asyncio.run(asyncio.wait_for(go(), 0.5))
            return
        first, close_code = run(go())
    assert close_code == refused and "unknown or expired page" in first["error"]


@pytest.mark.parametrize("cls, name, off, event, error", [
    (demo.Counter, "onclick", False, "on_click", "has no client event 'on_click'"),
    (demo.Input, "disabled", True, "on_change", "is disabled"),
])
def test_events_follow_their_widgets_current_state(server, cls, name, off, event, error):
    token = server.open_page()
    widget = server.widget(token, cls)
    message = json.dumps({"id": widget.tagid, "event": event, "value": False})

    async def go():
        ws = await websocket_connect(server.ws_url(token))
        server.call(setattr, widget, name, off)
        await ws.write_message(message)
        refused = await receive(ws)
        server.call(setattr, widget, name, not off)
        await ws.write_message(message)
        return refused, await receive(ws)

    refused, accepted = run(go())
    assert error in refused["error"] and accepted["type"] == "patch"


@pytest.mark.parametrize("text, level", [
    ("9" * 400, 100), ("-" + "9" * 400, 0), ("1e999", 100), ('"55.5"', 55.5), ('"x"', None), ("NaN", None),
])
def test_slider_numbers_are_clamped(text, level):
    assert demo.number(json.loads(text), 0, 100) == level


@pytest.mark.parametrize("headers, status", [
    ({"Host": "evil.example:PORT"}, 403),
    ({"Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "no-cors", "Sec-Fetch-Dest": "image"}, 403),
    ({"Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "navigate", "Sec-Fetch-Dest": "document"}, 200),  # a link
    ({"Host": "localhost:PORT", "Sec-Fetch-Site": "same-origin"}, 200),
])
def test_page_loads_are_checked(server, monkeypatch, headers, status):
    built = []
    monkeypatch.setattr(server.app, "build", lambda: built.append(1) or demo.build_page())
    port = server.url.split(":")[2].strip("/")
    request = urllib.request.Request(server.url, headers={k: v.replace("PORT", port) for k, v in headers.items()})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            code = response.status
    except urllib.error.HTTPError as e:
        code = e.code
    assert (code, len(built)) == (status, status == 200)


@pytest.mark.parametrize("limits, status", [(Limits(max_sessions=3), 503), (Limits(max_client_sessions=3), 429)],
                         ids=["in all", "per client"])
def test_page_caps_make_unconnected_pages_give_way(limits, status):
    with LiveServer(limits) as server:
        tokens = [server.open_page() for _ in range(3)]

        async def go():
            held = [await websocket_connect(server.ws_url(tokens[1]))]
            tokens.extend(server.open_page() for _ in range(2))
            kept = server.call(lambda: list(server.app.registry.sessions))
            held += [await websocket_connect(server.ws_url(t)) for t in tokens[3:]]
            with pytest.raises(urllib.error.HTTPError) as refused:
                server.open_page()
            return kept, refused.value.code

        assert run(go()) == ([tokens[1], tokens[3], tokens[4]], status)


def test_client_that_stops_reading_is_cut_and_keeps_its_page(caplog):
    with LiveServer(Limits(rate=1e9, burst=10**9, max_unread=100_000)) as server:
        token = server.open_page()
        who = server.widget(token, demo.Input, 1)
        events = b"".join(frame(json.dumps({"id": who.tagid, "event": "on_input", "value": "&" * n})) for n in (99, 98))
        sock = server.raw_socket(token, rcvbuf=4096)
        with caplog.at_level(logging.WARNING):
            for _ in range(1000):   # each round adds about 20 KB of patches the client never reads
                if server.call(lambda: token not in server.app.registry.sockets):
                    break
                try:
                    sock.sendall(events * 20)
                except OSError:
                    pass
            sock.close()

            async def again():
                ws = await websocket_connect(server.ws_url(token))
                return await receive(ws)

            assert run(again())["patches"][0]["op"] == "replace"
        assert any("left unread" in r.getMessage() for r in caplog.records)
    assert not [r for r in caplog.records if r.name == "asyncio"]


@pytest.mark.parametrize("limits", [Limits(max_connections=3, request_timeout=0.5),
                                    Limits(max_client_connections=3, request_timeout=0.5)], ids=["in all", "per client"])
def test_half_open_requests_give_way_and_time_out(limits):
    def closed(sock):
        try:
            return sock.recv(1) == b""
        except ConnectionResetError:
            return True

    with LiveServer(limits) as server:
        port = int(server.url.split(":")[2].strip("/"))
        held = [socket.create_connection(("127.0.0.1", port), timeout=30) for _ in range(3)]
        for sock in held:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")   # and never the end of the headers
        try:
            server.open_page()   # the oldest half-open request makes way for it
            assert [closed(sock) for sock in held] == [True] * 3   # the first at once, the others on time-out
        finally:
            for sock in held:
                sock.close()


@pytest.mark.parametrize("clean", [True, False], ids=["close frame without status", "dropped"])
def test_only_a_dropped_connection_is_a_warning(server, caplog, clean):
    token = server.open_page()

    async def close_cleanly():
        ws = await websocket_connect(server.ws_url(token))
        ws.close()
        while await ws.read_message() is not None:
            pass

    with caplog.at_level(logging.INFO, "ruvo.live"):
        run(close_cleanly()) if clean else server.raw_socket(token).close()
        server.until(lambda: any(token[:6] in r.getMessage() for r in caplog.records))
    assert [r.levelname for r in caplog.records if token[:6] in r.getMessage()] == ["INFO" if clean else "WARNING"]


def test_pages_are_kept_apart(server):
    a, b = server.open_page(), server.open_page()
    button_a, button_b = server.widget(a, demo.Counter), server.widget(b, demo.Counter)

    async def go():
        ws_a = await websocket_connect(server.ws_url(a))
        ws_b = await websocket_connect(server.ws_url(b))
        for _ in range(3):
            await ws_a.write_message(click(button_a))
            await receive(ws_a)
        await ws_b.write_message(click(button_a))   # another page's widget
        return await receive(ws_b)

    refused = run(go())
    assert "no widget" in refused["error"]
    assert server.call(lambda: (button_a.count, button_b.count)) == (3, 0)


def test_burst_of_1000_events_loses_nothing(server, figure):
    token = server.open_page()
    button = server.widget(token, demo.Counter)

    async def go():
        ws = await websocket_connect(server.ws_url(token))
        start = time.perf_counter()
        for _ in range(1000):
            ws.write_message(click(button))
        labels = [(await receive(ws))["patches"][0]["html"] for _ in range(1000)]
        return labels, time.perf_counter() - start

    labels, elapsed = run(go())
    assert labels == [f"Clicked {n} time{'' if n == 1 else 's'}" for n in range(1, 1001)]
    assert server.call(lambda: button.count) == 1000
    figure("one page over its WebSocket (client in the same process): events per second", 1000 / elapsed, "events/s")

    def handle_alone():
        session, message = server.app.registry.sessions[token], click(button)
        start = time.perf_counter()
        for _ in range(1000):
            session.handle(message)
        return time.perf_counter() - start

    figure("one page's session handling clicks (parse, dispatch, patches): events per second",
           1000 / server.call(handle_alone), "events/s")


def test_reconnection_gets_a_fresh_render_of_the_same_page(server):
    token = server.open_page()
    button = server.widget(token, demo.Counter)

    async def go():
        ws = await websocket_connect(server.ws_url(token))
        await ws.write_message(click(button))
        await receive(ws)
        ws.close()
        again = await websocket_connect(server.ws_url(token))
        return await receive(again)

    (patch,) = run(go())["patches"]
    root = server.root(token)
    assert patch["op"] == "replace" and patch["html"] == server.call(root.render)
    assert "Clicked 1 time" in patch["html"]


def test_command_serves_until_interrupted():
    env = {k: v for k, v in os.environ.items() if k != "RUVO_GC_STRESS"}
    proc = subprocess.Popen([sys.executable, "-m", "ruvo.demo", "--serve", "--port", "0"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        line = proc.stdout.readline()
        assert line.startswith("serving the live demo page at http://127.0.0.1:"), line + proc.stderr.read()
        url = line.split()[6]
        import urllib.request
        with urllib.request.urlopen(url, timeout=30) as response:
            assert b'<meta name="ruvo-session"' in response.read()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 0 and out == "stopped\n", err
    assert "Traceback" not in err


@pytest.mark.parametrize("argv, message", [
    (["--bogus"], "unrecognized arguments: --bogus"),
    (["--serve", "out.html"], "give either OUTPUT or --serve"),
    (["--port", "9000"], "--host and --port need --serve"),
    (["--serve", "--port", "70000"], "--port must be 0 to 65535"),
    (["--serve", "--port", "BUSY"], "error: cannot serve on 127.0.0.1:BUSY: Address already in use"),
    (["--serve", "--host", "no-such-host.invalid", "--port", "0"], "error: cannot serve on no-such-host.invalid:0"),
    (["/no-such-dir/page.html"], "error: cannot write /no-such-dir/page.html: No such file or directory"),
])
def test_command_refuses_bad_arguments(capsys, argv, message):
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = str(busy.getsockname()[1])
        with pytest.raises(SystemExit) as exit_:
            demo.main([a.replace("BUSY", port) for a in argv])
    assert exit_.value.code == 2 and message.replace("BUSY", port) in capsys.readouterr().err


def test_dash_writes_to_standard_output(capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert demo.main(["-"]) == 0
    out, err = capsys.readouterr()
    assert out.startswith("<!DOCTYPE html>") and "standard output" in err and not list(tmp_path.iterdir())
