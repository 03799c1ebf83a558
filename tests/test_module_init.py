"""Import-time behaviour shared by every native module, each run in a fresh
interpreter."""

import textwrap
import importlib.machinery
import importlib.util

import pytest

MODULES = ["ruvo.uix._html", "ruvo.core.thinref", "ruvo.core._attributes"]

# Per module: code that makes the module's own import steps fail, the code
# that repairs it, and the error expected meanwhile.
BREAKERS = {
    "ruvo.uix._html": (
        "import html, types; real_html = sys.modules['html']; sys.modules['html'] = types.ModuleType('html')",
        "sys.modules['html'] = real_html",
        ImportError,
        "cannot import name escape",
    ),
    # Builtins named directly are resolved once at import.
    "ruvo.core.thinref": (
        "import builtins; real = builtins.reversed; del builtins.reversed",
        "builtins.reversed = real",
        NameError,
        "name 'reversed' is not defined",
    ),
    "ruvo.core._attributes": (
        "import builtins; real = builtins.zip; del builtins.zip",
        "builtins.zip = real",
        NameError,
        "name 'zip' is not defined",
    ),
}


def native_module(name):
    """Skips unless ``name`` is a built native module that imports."""
    try:
        spec = importlib.util.find_spec(name)
    except ImportError:
        spec = None
    if spec is None or not isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
        pytest.skip(f"{name} is not built")
    try:
        importlib.import_module(name)
    except ImportError as e:
        pytest.skip(f"{name} does not import yet: {e}")
    return name


@pytest.fixture(params=MODULES)
def module_name(request):
    return native_module(request.param)


def run(python_subprocess, name, code):
    short = name.rpartition(".")[2]
    prelude = f"import importlib, importlib.util, sys\nNAME = {name!r}\nSHORT = {short!r}\n"
    return python_subprocess(prelude + textwrap.dedent(code))


def test_created_once(python_subprocess, module_name):
    run(python_subprocess, module_name, """
        m = importlib.import_module(NAME)
        assert importlib.util.module_from_spec(m.__spec__) is m
        assert importlib.util.module_from_spec(m.__spec__) is m
        assert importlib.reload(m) is m
        assert sys.modules[NAME] is m
    """)


def test_import_attributes(python_subprocess, module_name):
    run(python_subprocess, module_name, """
        import builtins
        m = importlib.import_module(NAME)
        spec = m.__spec__
        assert m.__name__ == NAME
        assert m.__loader__ is spec.loader
        assert m.__file__ == spec.origin
        assert m.__package__ == spec.parent == NAME.rpartition(".")[0]
        assert not hasattr(m, "__path__")
        assert m.__builtins__ in (builtins, vars(builtins))
        assert type(m.__test__) is dict and m.__test__ == {}
        assert m.__test__ is not vars(m)
        assert isinstance(m.__doc__, str) and m.__doc__
    """)


def test_no_version_warning(python_subprocess, module_name):
    run(python_subprocess, module_name, """
        import warnings
        warnings.simplefilter("error")
        importlib.import_module(NAME)
    """)


def test_second_module_object_refused(python_subprocess, module_name):
    run(python_subprocess, module_name, """
        spec = importlib.util.find_spec(NAME)
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        spec.loader.exec_module(first)  # the same object again: nothing happens
        assert sys.modules[NAME] is first
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            assert str(e) == (f"Module '{SHORT}' has already been imported. "
                              "Re-initialisation is not supported."), e
        else:
            raise AssertionError("no error")
        assert sys.modules[NAME] is first
        assert importlib.util.module_from_spec(spec) is first
    """)


@pytest.mark.parametrize("name", MODULES + ["ruvo.core._framework"])
def test_definition_executed_on_a_foreign_module(python_subprocess, name):
    # the execution step knows its module without asking the module object
    run(python_subprocess, native_module(name), """
        import ctypes
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(importlib.import_module(NAME))
        try:
            api.PyModule_ExecDef(type(sys)("foreign"), definition)
        except RuntimeError as e:
            assert str(e) == f"Module '{SHORT}' has already been imported. Re-initialisation is not supported.", e
        else:
            raise AssertionError("no error")
    """)


def test_existing_sys_modules_entry_kept(python_subprocess, module_name):
    run(python_subprocess, module_name, """
        spec = importlib.util.find_spec(NAME)
        m = importlib.util.module_from_spec(spec)
        sentinel = object()
        sys.modules[NAME] = sentinel
        spec.loader.exec_module(m)
        assert sys.modules[NAME] is sentinel
        assert m.__test__ == {}
    """)


def test_failed_import_is_forgotten(python_subprocess, module_name):
    if module_name not in BREAKERS:
        pytest.skip(f"no way to break the import of {module_name}")
    breaker, repair, exc, msg = BREAKERS[module_name]
    run(python_subprocess, module_name, f"""
        import traceback
        {breaker}
        for attempt in range(2):
            try:
                importlib.import_module(NAME)
            except {exc.__name__} as e:
                assert str(e) == {msg!r}, e
                # the frames' names only: reading source lines may import
                # modules that need the missing builtin
                entries = [f.f_code.co_name for f, _ in traceback.walk_tb(e.__traceback__)]
                assert "init " + NAME in entries, entries
            else:
                raise AssertionError("no error")
            assert NAME not in sys.modules
        {repair}
        m = importlib.import_module(NAME)
        assert sys.modules[NAME] is m
        assert importlib.util.module_from_spec(m.__spec__) is m
    """)


def test_one_interpreter(python_subprocess, module_name):
    # Newer interpreters make isolated subinterpreters by default, which
    # refuse the module before it runs; a legacy one lets the module answer.
    run(python_subprocess, module_name, """
        message = ("Interpreter change detected - "
                   "this module can only be loaded into one interpreter per process.")
        script = f"import sys; sys.path[:] = {sys.path!r}; import {NAME}"
        importlib.import_module(NAME)
        try:
            import _interpreters
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                sys.exit(0)
            interp = interpreters.create(isolated=False)
            try:
                interpreters.run_string(interp, script)
            except interpreters.RunFailedError as e:
                assert str(e) == "<class 'ImportError'>: " + message, e
            else:
                raise AssertionError("no error")
            finally:
                interpreters.destroy(interp)
        else:
            interp = _interpreters.create("legacy")
            try:
                error = _interpreters.run_string(interp, script)
                assert error is not None, "no error"
                assert (error.type.__name__, error.msg) == ("ImportError", message), error
            finally:
                _interpreters.destroy(interp)
        # the first interpreter keeps its module
        assert importlib.import_module(NAME) is sys.modules[NAME]
    """)
