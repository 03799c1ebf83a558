"""Hostile objects for hardening tests: values whose protocols raise, mutate
the container they sit in, or are merely of unusual types."""

import gc

from hypothesis import strategies as st


class Boom(Exception):
    pass


class Raiser:
    """Raises Boom from the protocol named at creation."""

    def __init__(self, where):
        self.where = where

    def _maybe(self, name):
        if self.where == name:
            raise Boom(name)

    def __eq__(self, other):
        self._maybe("eq")
        return self is other

    def __hash__(self):
        self._maybe("hash")
        return id(self) >> 4

    def __bool__(self):
        self._maybe("bool")
        return True

    def __str__(self):
        self._maybe("str")
        return "raiser"

    def __format__(self, spec):
        self._maybe("format")
        return "raiser"

    def __repr__(self):
        return f"Raiser({self.where!r})"


class Mutator:
    """Mutates a shared container (clears it, adds to it, collects garbage)
    whenever one of its protocols runs."""

    def __init__(self, target, action):
        self.target = target
        self.action = action

    def _act(self):
        t = self.target
        if self.action == "clear":
            t.clear()
        elif self.action == "grow" and isinstance(t, dict):
            t[object()] = "x"
        elif self.action == "grow" and isinstance(t, list):
            t.append(("k", "v"))
        elif self.action == "collect":
            gc.collect()

    def __bool__(self):
        self._act()
        return True

    def __format__(self, spec):
        self._act()
        return "m"

    def __str__(self):
        self._act()
        return "m"

    def __eq__(self, other):
        self._act()
        return False

    __hash__ = object.__hash__


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


class BadItems(dict):
    """A dict subclass whose items()/values() raise or return odd things."""

    def __init__(self, mode):
        super().__init__(a="b")
        self.mode = mode

    def items(self):
        if self.mode == "raise":
            raise Boom("items")
        if self.mode == "none":
            return None
        if self.mode == "gen":
            return (x for x in [("a", "b"), ("c",)])
        return [("a", "b", "c")]

    values = items


PROTOCOLS = ["eq", "hash", "bool", "str", "format"]

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(allow_nan=True),
    st.text(max_size=30),
    st.text(alphabet="<>&\"' x", max_size=12),
    st.binary(max_size=8),
    st.builds(StrSub, st.text(max_size=8)),
    st.sampled_from(PROTOCOLS).map(Raiser),
)

values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=4).map(ListSub),
        st.lists(inner, max_size=4).map(tuple),
        st.lists(inner, max_size=4).map(TupleSub),
        st.dictionaries(st.text(max_size=6), inner, max_size=4),
        st.dictionaries(st.text(max_size=6), inner, max_size=4).map(DictSub),
    ),
    max_leaves=10,
)
