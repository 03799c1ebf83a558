import os
import signal
import subprocess
import sys
import textwrap

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from leakcheck import assert_no_leak  # noqa: E402

SANITIZED = bool(os.environ.get("RUVO_SANITIZED"))


def pytest_configure(config):
    # RUVO_GC_STRESS=1: the collector runs at its lowest threshold for the
    # whole run, so collections happen inside every native call that allocates.
    if os.environ.get("RUVO_GC_STRESS"):
        import gc

        gc.set_threshold(1, 1, 1)


@pytest.fixture
def no_leak():
    """The leak check, as a fixture: no_leak(fn, raises=None)."""
    return assert_no_leak


def run_python(code, check=True, env=None):
    """Runs ``code`` in a fresh interpreter (the same environment, updated
    with ``env``); returns the completed process with text output."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, **env} if env else None,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.fixture
def python_subprocess():
    return run_python


@pytest.fixture
def crash_free():
    """Runs a snippet in a fresh interpreter and returns its standard output;
    fails, naming the signal, when the interpreter dies of one (a crash is
    then one failed test, not a lost run), or when it exits non-zero. Outside
    the sanitizer run the interpreter's debug allocator makes a use of freed
    memory crash at once."""
    env = None if SANITIZED else {"PYTHONMALLOC": "debug"}

    def run(code):
        proc = run_python(code, check=False, env=env)
        if proc.returncode < 0:
            name = signal.Signals(-proc.returncode).name
            pytest.fail(f"the interpreter died of {name}:\n{proc.stderr[-4000:]}", pytrace=False)
        if proc.returncode:
            pytest.fail(f"exit status {proc.returncode}:\n{proc.stderr[-4000:]}", pytrace=False)
        return proc.stdout

    return run


# Figures measured by tests (name, value, unit), printed in the run's summary.
FIGURES = []


@pytest.fixture
def figure():
    return lambda name, value, unit: FIGURES.append((name, value, unit))


def pytest_terminal_summary(terminalreporter):
    for name, value, unit in FIGURES:
        terminalreporter.write_line(f"{name}: {value:.3g} {unit}")
