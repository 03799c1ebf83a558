"""Every public callable of the package has a signature that inspect can read,
and a method's signature starts with its instance."""

import importlib
import inspect
import pkgutil

import pytest

MODULES = (
    "ruvo",
    "ruvo.core._attributes",
    "ruvo.core._event",
    "ruvo.core._framework",
    "ruvo.core.properties",
    "ruvo.core.thinref",
    "ruvo.core.utils",
    "ruvo.demo",
    "ruvo.uix._html",
)


def public_callables():
    seen = set()
    for modname in MODULES:
        module = importlib.import_module(modname)
        for name, obj in vars(module).items():
            if (name.startswith("__") or not callable(obj) or id(obj) in seen
                    or not getattr(obj, "__module__", "").startswith("ruvo")):
                continue
            seen.add(id(obj))
            yield f"{modname}.{name}", obj, None
            if isinstance(obj, type):
                for attr, member in vars(obj).items():
                    if attr.startswith("_") or not callable(member):
                        continue
                    yield f"{modname}.{name}.{attr}", getattr(obj, attr), obj


CALLABLES = list(public_callables())


@pytest.mark.parametrize("name, obj, owner", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_signature(name, obj, owner):
    sig = inspect.signature(obj)
    if owner is not None and not isinstance(inspect.getattr_static(owner, name.rsplit(".", 1)[1]),
                                            (staticmethod, classmethod)):
        first = next(iter(sig.parameters.values()), None)
        assert first is not None and first.kind in (first.POSITIONAL_ONLY, first.POSITIONAL_OR_KEYWORD), sig
        assert first.name == "self", sig


@pytest.mark.parametrize("name, expected", [
    ("ruvo.core.thinref:ThinRef", "(obj, destructor=None)"),
    ("ruvo.core._event:EventDispatcher.bind", "(self, /, **kwargs)"),
    ("ruvo.core._attributes:_Attribute",
     "(defaultvalue='', *, attrtype='', attrname='', sync=0, options=(), values=(), **kw)"),
    ("ruvo.core._attributes:_GenericEventAttribute",
     "(defaultvalue=False, eventhandler=None, prevent_default=False, eventargs=None, eventjs='', dispatch=True, "
     "*, attrtype='', attrname='', sync=0, **kw)"),
])
def test_signature_text(name, expected):
    assert str(inspect.signature(pkgutil.resolve_name(name))) == expected


def test_the_signatures_leave_the_docstrings_alone():
    from ruvo.core._attributes import _Attribute, _GenericEventAttribute
    from ruvo.core.thinref import ThinRef

    assert ThinRef.__doc__ == "Replacement for weakref.proxy to support comparisons\n    "
    assert _Attribute.__doc__.startswith("General Html attribute class with a string value.\n")
    assert _GenericEventAttribute.__doc__.startswith("An event attribute class like `onclick`")
