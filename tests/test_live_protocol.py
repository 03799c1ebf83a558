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

from liveserver import LiveServer  # noqa: E402
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
    (5000, Limits(), 1009, "message too long: 5000 characters, at most 4096", None),
    # Beyond what Tornado reads at all: it closes the connection, the page stays.
    (200_000, Limits(), 1009, None, "without a closing handshake"),
    (60, Limits(burst=50, rate=1), 1008, "too many events", None),   # a flood: 60 events at once
], ids=["oversized", "huge", "flood"])
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


@pytest.mark.parametrize("origin, session, refused", [
    ("http://evil.example", "page", "403"),
    ("null", "page", "403"),
    ("http://127.0.0.1:PORT", "unknown", 4404),
    (None, "page", None),
])
def test_origin_and_session_are_checked(server, caplog, origin, session, refused):
    token = server.open_page() if session == "page" else "no-such-page"
    headers = {"Origin": origin.replace("PORT", server.url.split(":")[2].strip("/"))} if origin else {}

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
            assert any("origin" in r.getMessage() for r in caplog.records)
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
