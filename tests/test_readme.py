"""The README's examples run, and print what their comments say."""

import contextlib
import io
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S) if README.exists() else []


@pytest.mark.parametrize("code", BLOCKS, ids=[f"example{i}" for i in range(len(BLOCKS))])
def test_readme_example(code):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README.md", "exec"), {"__name__": "readme"})
    printed = out.getvalue().splitlines()
    # Lines with a print(...) or an assignment followed by "# text" promise that text.
    promised = [m.group(1).strip() for m in re.finditer(r"^(?:print|s\.|b\.).*?#\s*(.+)$", code, re.M)
                if "->" in m.group(1) or m.group(0).startswith("print")]
    for text in promised:
        assert any(text in line for line in printed), (text, printed)
