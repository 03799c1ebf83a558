"""The failure path that every native function shares: a failing function,
whatever its kind (module function, method with parameters, without
parameters, with one argument, with *args, a slot), adds exactly one
traceback entry that names it by its full dotted name and by the source
file that declares it."""

import pathlib
import pickle
import traceback

import pytest

from ruvo.core import _attributes, thinref
from ruvo.core.properties import NumericProperty
from ruvo.uix import _html

SOURCE = pathlib.Path(__file__).resolve().parents[1] / "src"


class Unformattable:
    def __format__(self, spec):
        raise ValueError("no text")


def unpickle_wrong_checksum():
    thinref.__pyx_unpickle_ThinRef(thinref.ThinRef, 1, None)


CASES = [
    # (call, exception, dotted name)
    (lambda: _html.join_style(), TypeError, "ruvo.uix._html.join_style"),
    (lambda: _html.join_style({"color": Unformattable()}), ValueError, "ruvo.uix._html.join_style"),
    (lambda: _html.render_default_html("div", None, None, None, None, 5), TypeError,
     "ruvo.uix._html.render_default_html"),
    (lambda: thinref.ThinRef(pickle).__getattr__(), TypeError, "ruvo.core.thinref.ThinRef.__getattr__"),
    (lambda: thinref.ThinRef(pickle).__dir__(1), TypeError, "ruvo.core.thinref.ThinRef.__dir__"),
    (unpickle_wrong_checksum, pickle.PickleError, "ruvo.core.thinref.__pyx_unpickle_ThinRef"),
    (lambda: _attributes._Attribute().__reduce__(), TypeError, "ruvo.core._attributes._Attribute.__reduce__"),
    (lambda: _attributes._Attribute().__setstate__(()), TypeError, "ruvo.core._attributes._Attribute.__setstate__"),
    (lambda: _attributes._Attribute(attrtype=1), TypeError, "ruvo.core._attributes._Attribute.__init__"),
    (lambda: _attributes._Attribute().attrvalue(), TypeError, "ruvo.core._attributes._Attribute.attrvalue"),
    (lambda: NumericProperty(0).fbind(), TypeError, "ruvo.core._framework.Property.fbind"),
]


@pytest.mark.parametrize("call, exc, name", CASES, ids=[c[2].rsplit(".", 2)[-2] + "." + c[2].rsplit(".", 1)[-1]
                                                       for c in CASES])
def test_one_entry_naming_the_declaring_source(call, exc, name):
    with pytest.raises(exc) as info:
        call()
    found = [f for f in traceback.extract_tb(info.tb) if f.name == name]
    assert len(found) == 1, [f.name for f in traceback.extract_tb(info.tb)]
    entry = found[0]
    assert entry.filename.startswith("/".join(name.split(".")[:3]))
    source = SOURCE / entry.filename
    assert source.is_file(), entry.filename
    assert 0 < entry.lineno <= len(source.read_text().splitlines())
