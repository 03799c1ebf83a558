"""An object that counts its own collection, for tests of reference cycles."""


class Canary:
    """Counts deaths in ``Canary.died`` (reset it before use); callable, so
    that it can also stand in as an event handler."""

    died = 0

    def __del__(self):
        Canary.died += 1

    def __call__(self, *args, **kwargs):
        return ""
