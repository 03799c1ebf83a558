"""The README's examples run and print what their comments say; its commands work."""

import contextlib
import io
import os
import pathlib
import re
import shlex
import subprocess
import sys

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


ROOT = README.parent
COMMANDS = [line.split("#", 1)[0].strip()
            for block in re.findall(r"```sh\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
            for line in block.splitlines() if line.split("#", 1)[0].strip()] if README.exists() else []


@pytest.mark.skipif(bool(os.environ.get("RUVO_SANITIZED")), reason="runs the benchmarks and the demo: slow there")
@pytest.mark.parametrize("command", COMMANDS)
def test_readme_command(command, tmp_path):
    """Each shell command of the README names files that exist; the demo and the
    quick benchmark run as written against the installed package. The set-up
    scripts themselves are what runs this suite, so they are not run again."""
    words = shlex.split(command)
    env = dict(os.environ)
    while "=" in words[0]:
        key, _, value = words.pop(0).partition("=")
        env[key] = value
    program, args = words[0], words[1:]
    assert (ROOT / program).is_file() and os.access(ROOT / program, os.X_OK), program
    for arg in args:
        if "/" in arg and not arg.startswith("-"):
            assert (ROOT / arg).exists(), arg
    if program == "scripts/demo" and "--serve" in args:
        return  # the live page is started and stopped by test_live_protocol
    if program == "scripts/demo":
        cmd = [sys.executable, "-m", "ruvo.demo", str(tmp_path / args[0])]
    elif program == ".venv/bin/python":
        # The benchmarks run in their quick form; a command whose quick form is
        # also listed is covered by that one.
        if "--quick" not in args and f"{command} --quick" in COMMANDS:
            return
        cmd = [sys.executable, *args] + ([] if "--quick" in args else ["--quick"])
    else:
        return
    proc = subprocess.run(cmd, cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    if program == "scripts/demo":
        assert (tmp_path / args[0]).read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
