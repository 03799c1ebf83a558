"""The type stubs agree with the built modules (mypy's stubtest), and the
README's examples type-check strictly against them."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
pytestmark = pytest.mark.skipif(
    bool(os.environ.get("RUVO_SANITIZED") or os.environ.get("RUVO_GC_STRESS")),
    reason="a static check: one plain run is enough",
)

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def run(tmp_path, *args):
    # Run outside the source tree, so that the installed package and its stubs are checked.
    proc = subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_stubtest(tmp_path):
    run(tmp_path, "mypy.stubtest", "--concise", "ruvo")


def test_readme_examples_type_check(tmp_path):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert blocks
    for i, code in enumerate(blocks):
        (tmp_path / f"readme_example{i}.py").write_text(code, encoding="utf-8")
    run(tmp_path, "mypy", "--strict", *(f"readme_example{i}.py" for i in range(len(blocks))))


def test_stubs_catch_misuse(tmp_path):
    (tmp_path / "misuse.py").write_text(
        "from ruvo.core._attributes import _Attribute, _NumericAttribute\n"
        "from ruvo.core._event import EventDispatcher\n"
        "from ruvo.uix._html import join_style\n"
        "class Button(EventDispatcher):\n"
        "    title = _Attribute('')\n"
        "    font_size = _NumericAttribute(12)\n"
        "b = Button()\n"
        "reveal_type(b.title)\n"
        "reveal_type(b.font_size)\n"
        "reveal_type(Button.font_size)\n"
        "join_style(42)\n",
        encoding="utf-8",
    )
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "misuse.py"], cwd=tmp_path,
                          capture_output=True, text=True)
    out = proc.stdout
    assert 'Revealed type is "str"' in out, out
    assert 'Revealed type is "float"' in out, out
    assert 'Revealed type is "ruvo.core._attributes._NumericAttribute"' in out, out
    assert 'Argument 1 to "join_style" has incompatible type "int"' in out, out
