"""One live page's state on the server: its widget tree, the client events it
accepts and the patches that bring the browser's DOM up to date.

No network code lives here: :mod:`ruvo.live.server` hands every message of one
connection to :meth:`Session.handle` and sends back what it returns.
"""

from __future__ import annotations

import json
import logging
import weakref

from ruvo.core._attributes import _GenericEventAttribute
from ruvo.uix._html import join_attributes

log = logging.getLogger("ruvo.live")

# Values a client event may carry: what an input element reports.
VALUE_TYPES = (str, bool, int, float)


class ProtocolError(Exception):
    """A message refused; the text is sent to the client as it is."""


# Per element class: the names of the event attributes that switch each client
# event on, and of the attributes that disable the element.
_switches: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()


def _event_switches(cls):
    found = _switches.get(cls)
    if found is None:
        events, disabling = {}, []
        for descriptor in cls.descriptors():
            if isinstance(descriptor, _GenericEventAttribute):
                # onclick declares on_click: "on_" and the attribute name from its third character.
                events.setdefault("on_" + descriptor.attrname[2:], []).append(descriptor.name)
            elif descriptor.attrtype == "element" and descriptor.attrname == "disabled":
                disabling.append(descriptor.name)
        found = _switches[cls] = ({k: tuple(v) for k, v in events.items()}, tuple(disabling))
    return found


def _shown(text: str, limit: int = 40) -> str:
    """Client text quoted for an error message, cut to a readable length."""
    return repr(text if len(text) <= limit else text[:limit] + "...")


class Session:
    """The widget tree of one page and the changes not yet sent to its client.

    Every attribute descriptor and the ``text`` of every element are observed
    through ``fbind``; a change marks the element's patch as due, and
    :meth:`flush` renders the due patches from the current values with the
    same descriptors and methods that render the page, so the patched DOM
    equals a fresh render. Element attributes whose descriptor is not ``sync``
    are not sent live; the next full render carries them.
    """

    def __init__(self, root):
        self.root = root
        self.widgets = {w.tagid: w for w in root.walk()}
        self._due = {}  # (tagid, kind, name) -> (widget, descriptor), in order of change
        self._classes = {}  # tagid -> the class names the client has
        self._bindings = []
        for widget in self.widgets.values():
            self._classes[widget.tagid] = widget.class_text().split()
            for descriptor in type(widget).descriptors():
                if descriptor.attrtype in ("style", "class") or descriptor.sync:
                    uid = widget.fbind(descriptor.name, self._changed, descriptor)
                    self._bindings.append((widget, descriptor.name, uid))
            uid = widget.fbind("text", self._changed, None)
            self._bindings.append((widget, "text", uid))

    def close(self) -> None:
        """Stops observing the tree, so the session holds no widget alive."""
        for widget, name, uid in self._bindings:
            widget.unbind_uid(name, uid)
        self._bindings.clear()
        self._due.clear()
        self.widgets = {}

    def _changed(self, descriptor, widget, value) -> None:
        if descriptor is None:
            key = (widget.tagid, "html", None)
        elif descriptor.attrtype == "class":
            key = (widget.tagid, "class", None)
        else:
            key = (widget.tagid, descriptor.attrtype, descriptor.attrname)
        self._due[key] = (widget, descriptor)

    def flush(self) -> list:
        """The patches for every change since the last flush."""
        patches = []
        due, self._due = self._due, {}
        for (tagid, kind, name), (widget, descriptor) in due.items():
            if kind == "html":
                patches.append({"op": "html", "id": tagid, "html": widget.content()})
            elif kind == "class":
                new = widget.class_text().split()
                old = self._classes[tagid]
                self._classes[tagid] = new
                add = [c for c in new if c not in old]
                remove = [c for c in old if c not in new]
                if add or remove:
                    patches.append({"op": "class", "id": tagid, "add": add, "remove": remove})
            elif kind == "style":
                value = descriptor.attrvalue(widget)
                # As join_style writes an entry: false values are left out.
                text = format(value, "") if value else None
                patches.append({"op": "style", "id": tagid, "name": name, "value": text})
            else:
                value = descriptor.attrvalue(widget)
                # As join_attributes writes the entry: false values are left
                # out; an entry it writes as a bare name has the empty value.
                if not value:
                    text = None
                elif value == name and join_attributes({name: value}) == name:
                    text = ""
                else:
                    text = value if type(value) is str else str(value)
                patches.append({"op": "attr", "id": tagid, "name": name, "value": text})
        return patches

    def reset(self) -> list:
        """A patch that replaces the whole tree with a fresh render (after a reconnection)."""
        self._due.clear()
        for widget in self.widgets.values():
            self._classes[widget.tagid] = widget.class_text().split()
        return [{"op": "replace", "id": self.root.tagid, "html": self.root.render()}]

    def parse(self, raw):
        """The widget, event name and value of one client message; ProtocolError
        for anything else."""
        if not isinstance(raw, str):
            raise ProtocolError("binary messages are not accepted")
        try:
            message = json.loads(raw)
        except ValueError:
            raise ProtocolError("the message is not JSON") from None
        except RecursionError:
            # The decoder recurses per level: a short message can nest deeper than the stack allows.
            raise ProtocolError("the message is not JSON: it is nested too deeply") from None
        if not isinstance(message, dict):
            raise ProtocolError("the message must be a JSON object")
        tagid, event, value = message.get("id"), message.get("event"), message.get("value")
        if not isinstance(tagid, str) or not isinstance(event, str):
            raise ProtocolError('the message needs the text fields "id" and "event"')
        if value is not None and not isinstance(value, VALUE_TYPES):
            raise ProtocolError('"value" must be text, a number, a boolean or null')
        widget = self.widgets.get(tagid)
        if widget is None:
            raise ProtocolError(f"no widget {_shown(tagid)} on this page")
        # A declared event counts only while its attribute is on, as only then
        # does the element carry a handler; a disabled element sends no events.
        events, disabling = _event_switches(type(widget))
        switches = events.get(event)
        if event not in widget.client_events() or (switches and not any(getattr(widget, n) for n in switches)):
            raise ProtocolError(f"widget {_shown(tagid)} has no client event {_shown(event)}")
        if any(getattr(widget, n) for n in disabling):
            raise ProtocolError(f"widget {_shown(tagid)} is disabled")
        return widget, event, value

    def handle(self, raw):
        """Dispatches one client message to its widget. Returns the patches its
        handlers caused and an error text (None when all went well)."""
        try:
            widget, event, value = self.parse(raw)
        except ProtocolError as e:
            return [], str(e)
        error = None
        try:
            widget.dispatch(event, value)
        except Exception:
            # A handler's failure is the application's, not the client's: it is
            # logged in full, and what did change is still sent.
            log.exception("handler of %s on %s failed", event, widget.tagid)
            error = f"the server could not handle {event} on {widget.tagid}"
        return self.flush(), error
