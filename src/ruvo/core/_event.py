"""Event dispatching: :class:`EventDispatcher` owns the storages of its class's
properties and the handlers of its events."""

from ruvo.core._framework import (
    BoundCallback,
    EventDispatcher,
    EventObservers,
    Observable,
    ObjectWithUid,
)

__all__ = ("ObjectWithUid", "Observable", "EventDispatcher", "BoundCallback", "EventObservers")
