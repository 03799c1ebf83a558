"""The demo page, and one built from hostile texts, opened in headless
Chromium: the live DOM must hold exactly the elements, attributes, classes,
style entries and texts that the widgets declared, and nothing injected."""

import html
import json
import os
import shutil
import subprocess

import pytest
from html_rules import is_bare

demo = pytest.importorskip("ruvo.demo")

BROWSERS = ("chromium", "chromium-browser", "google-chrome")

# Serialises the live DOM of the body into a <pre> that --dump-dom prints.
REPORTER = """<script id="__reporter__">
(function () {
  var out = [];
  document.querySelectorAll('body *').forEach(function (el) {
    if (el.id === '__reporter__' || el.id === '__report__') return;
    var attrs = {};
    for (var i = 0; i < el.attributes.length; i++) attrs[el.attributes[i].name] = el.attributes[i].value;
    var style = {};
    for (var j = 0; j < el.style.length; j++) style[el.style[j]] = el.style.getPropertyValue(el.style[j]);
    var text = '';
    el.childNodes.forEach(function (n) { if (n.nodeType === 3) text += n.data; });
    out.push({tag: el.tagName.toLowerCase(), attrs: attrs, classes: Array.from(el.classList),
              style: style, text: text});
  });
  var pre = document.createElement('pre');
  pre.id = '__report__';
  pre.textContent = JSON.stringify({elements: out, injected: window.__injected || 0});
  document.body.appendChild(pre);
})();
</script>"""

PROBE = "window.__injected=(window.__injected||0)+1"
HOSTILE = {
    "heading": f'"><script>{PROBE}</script>',
    "intro": f"<img src=x onerror=\"{PROBE}\"> & <b>bold</b> &amp;",
    "label": "' onmouseover='" + PROBE,
    "placeholder": f'" autofocus onfocus="{PROBE}" x="',
    "value": f"'><script>{PROBE}</script><'",
    "title": f'a "quoted" & <tagged> \'title\' "><script>{PROBE}</script>',
    "button": "</button><script>" + PROBE + "</script>",
    "locked": '"&quot;&#x27;<>',
    "tone": f'x" onmouseover="{PROBE}',
}


def find_browser():
    for name in BROWSERS:
        path = shutil.which(name)
        if path:
            return path
    pytest.skip("no Chromium on this machine and none could be installed (.ci/run installs Debian's chromium)")


def browser_env(tmp_path):
    # The browser runs without the sanitizer runtime that a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS")}
    env["HOME"] = str(tmp_path)
    return env


def dom_report(document, tmp_path):
    page = tmp_path / "page.html"
    page.write_text(document.replace("</body>", REPORTER + "\n</body>"), encoding="utf-8")
    proc = subprocess.run(
        [find_browser(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
         "--user-data-dir=" + str(tmp_path / "profile"), "--dump-dom", page.as_uri()],
        capture_output=True, text=True, timeout=120, env=browser_env(tmp_path),
    )
    out = proc.stdout
    start = out.find('<pre id="__report__">')
    assert start >= 0, f"no report from the browser:\n{proc.stderr[-2000:]}"
    start += len('<pre id="__report__">')
    return json.loads(html.unescape(out[start:out.index("</pre>", start)]))


def expected_elements(root):
    """What every widget declared, as the DOM must show it."""
    elements = []
    for w in root.walk():
        style, classes, attributes = w.containers()
        cls_text = demo.join_cls(w.default_cls, classes)
        style_text = demo.join_style(style)
        attrs = {"id": w.tagid}
        if cls_text:
            attrs["class"] = cls_text
        if style_text:
            attrs["style"] = style_text
        for key, value in attributes.items():
            if value:
                text = value if type(value) is str else str(value)
                attrs[key] = "" if is_bare(key, value) else text
        elements.append({"tag": w.tagname, "attrs": attrs, "classes": cls_text.split(), "text": w.text})
    return elements


@pytest.mark.parametrize("texts", [None, HOSTILE], ids=["demo", "hostile"])
def test_page_in_browser(tmp_path, texts):
    root = demo.build_page(texts)
    report = dom_report(demo.render_document(root), tmp_path)
    assert report["injected"] == 0, "a script injected through a widget value ran"
    got = report["elements"]
    want = expected_elements(root)
    assert [e["tag"] for e in got] == [e["tag"] for e in want], "elements were added or lost"
    for g, w in zip(got, want):
        assert g["attrs"] == w["attrs"]
        assert g["classes"] == w["classes"]
        assert g["text"] == w["text"]
        if texts is None:
            # Every style entry of the demo is one the browser understands.
            declared = [entry.split(": ", 1)[0] for entry in w["attrs"].get("style", "").split(";") if entry]
            for prop in declared:
                assert any(p == prop or p.startswith(prop + "-") for p in g["style"]), (prop, g["style"])


def test_demo_writes_a_document(tmp_path, capsys):
    out = tmp_path / "demo.html"
    assert demo.main([str(out)]) == 0
    text = out.read_text(encoding="utf-8")
    assert text.startswith("<!DOCTYPE html>") and text.rstrip().endswith("</html>")
    assert "elements rendered in" in capsys.readouterr().err
