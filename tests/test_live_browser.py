"""The live page in headless Chromium driven through Selenium: clicks, the
slider, the checkbox and typed text reach the widgets, and their changes come
back into the live DOM, which then equals a fresh render of the page."""

import os
import shutil
import statistics

import pytest

webdriver = pytest.importorskip("selenium.webdriver")

from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

from liveserver import LiveServer  # noqa: E402
from ruvo import demo  # noqa: E402

PROBE = "window.__injected=(window.__injected||0)+1"
HOSTILE = f"<script>{PROBE}</script><img src=x onerror=\"{PROBE}\"> 'quotes' & \"more\" &amp;"

# Each element under a root as the browser holds it: tag, attributes (a form
# control's value and checked flag as shown, the style as parsed entries,
# classes as a set) and its own text.
SNAPSHOT = """
function snapshot(root) {
  return [root].concat(Array.from(root.querySelectorAll('*'))).map(function (el) {
    var attrs = {};
    for (var i = 0; i < el.attributes.length; i++) {
      var a = el.attributes[i];
      if (['style', 'class', 'value', 'checked'].indexOf(a.name) < 0) attrs[a.name] = a.value;
    }
    var style = {};
    for (var j = 0; j < el.style.length; j++) style[el.style[j]] = el.style.getPropertyValue(el.style[j]);
    var text = '';
    el.childNodes.forEach(function (n) { if (n.nodeType === 3) text += n.data; });
    return {tag: el.tagName, attrs: attrs, style: style, classes: Array.from(el.classList).sort(), text: text,
            value: el.tagName === 'INPUT' ? [el.value, el.checked] : null};
  });
}
"""


def find(names, why):
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    pytest.skip(f"no {why} on this machine (scripts/test installs Debian's chromium and chromium-driver)")


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    binary = find(("chromium", "chromium-browser"), "Chromium")
    driver_path = find(("chromedriver",), "chromedriver")
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--user-data-dir=" + str(tmp_path_factory.mktemp("profile"))):
        options.add_argument(arg)
    # The browser runs without the sanitizer runtime that a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS")}
    driver = webdriver.Chrome(service=Service(driver_path, env=env), options=options)
    driver.set_script_timeout(120)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def server():
    with LiveServer() as s:
        yield s


def until(driver, condition, what):
    return WebDriverWait(driver, 20).until(lambda d: condition(), message=what)


def open_live(browser, server):
    browser.get(server.url)
    until(browser, lambda: browser.execute_script("return window.ruvo && window.ruvo.state") == "open", "connected")
    return browser.find_element(By.CSS_SELECTOR, 'meta[name="ruvo-session"]').get_attribute("content")


def element(browser, widget):
    return browser.find_element(By.ID, widget.tagid)


def style(browser, el, name):
    """A style entry of the element's own style attribute."""
    return browser.execute_script("return arguments[0].style.getPropertyValue(arguments[1])", el, name)


def test_live_loop_in_browser(browser, server):
    token = open_live(browser, server)
    counter, slider = server.widget(token, demo.Counter), server.widget(token, demo.Slider)
    switch, name = server.widget(token, demo.Input, 0), server.widget(token, demo.Input, 1)
    button, bar = element(browser, counter), element(browser, slider.parent.children[2])
    note = element(browser, switch.parent.parent.children[2])
    greeting = element(browser, name.parent.parent.children[1])

    # The counter: label, background colour, class and attribute follow each click.
    for n, parity, pressed in ((1, "odd", "true"), (2, "even", "false")):
        button.click()
        until(browser, lambda: button.text == f"Clicked {n} time{'s' if n > 1 else ''}", f"label after click {n}")
        assert parity in button.get_attribute("class").split()
        assert button.get_attribute("aria-pressed") == pressed
        assert style(browser, button, "background-color") == server.call(demo.Counter.background_color.attrvalue,
                                                                        counter)

    # The slider: the box's width and margin follow its value.
    element(browser, slider).send_keys(Keys.END)
    until(browser, lambda: style(browser, bar, "width") == "240px", "box width after the slider")
    assert style(browser, bar, "margin") == "8px 0px 0px 100px"

    # The checkbox hides the note and shows it again.
    checkbox = element(browser, switch)
    checkbox.click()
    until(browser, lambda: not note.is_displayed(), "note hidden")
    checkbox.click()
    until(browser, lambda: note.is_displayed(), "note shown")

    # A paste beyond what one message may carry is cut by the client, and the page goes on.
    field = element(browser, name)
    assert field.get_attribute("maxlength") == "1000"
    browser.execute_script("arguments[0].value = 'x'.repeat(5000); arguments[0].dispatchEvent(new Event('input'))",
                           field)
    until(browser, lambda: greeting.get_attribute("textContent") == f"Hello, {'x' * 200}!", "echoed paste")
    assert 4000 < len(server.call(lambda: name.value)) < 4096
    browser.execute_script("arguments[0].value = ''", field)

    # Typed hostile text comes back as text; nothing of it runs.
    field.send_keys(HOSTILE)
    until(browser, lambda: greeting.get_attribute("textContent") == f"Hello, {HOSTILE}!", "echoed text")
    assert browser.execute_script("return arguments[0].children.length", greeting) == 0
    assert browser.execute_script("return window.__injected || 0") == 0
    assert browser.execute_script("return window.ruvo.errors") == []

    # The patched DOM equals a fresh render of the page's widget tree.
    root = server.root(token)
    fresh = server.call(root.render)
    live, rendered = browser.execute_script(
        SNAPSHOT + "var t = document.createElement('template'); t.innerHTML = arguments[1];"
        "return [snapshot(document.getElementById(arguments[0])), snapshot(t.content.firstElementChild)];",
        root.tagid, fresh)
    assert live == rendered

    # A reload is a fresh page with a fresh session.
    browser.refresh()
    assert open_live(browser, server) != token
    assert browser.find_element(By.CSS_SELECTOR, "button.button").text == "Click me"
    assert "Hello, stranger!" in browser.page_source


def test_click_to_patched_dom_time(browser, server, figure):
    open_live(browser, server)
    times = browser.execute_async_script("""
        var done = arguments[arguments.length - 1];
        var button = document.querySelector('button.button'), times = [], start = 0;
        var observer = new MutationObserver(function () {
          if (!/^Clicked/.test(button.textContent)) return;
          times.push(performance.now() - start);
          if (times.length === 100) { observer.disconnect(); done(times); } else next();
        });
        observer.observe(button, {childList: true});
        function next() { setTimeout(function () { start = performance.now(); button.click(); }, 0); }
        next();
    """)
    assert len(times) == 100
    figure("click to patched DOM in Chromium, median of 100 clicks", statistics.median(times), "ms")
