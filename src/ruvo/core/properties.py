"""Observable properties: declare them on an :class:`~ruvo.core._event.EventDispatcher`
subclass; each instance keeps its own value of each in a :class:`PropertyStorage`."""

from ruvo.core._framework import (
    CSS_LENGTH_UNITS,
    AliasProperty,
    BooleanProperty,
    BoundedNumericProperty,
    ColorProperty,
    DictProperty,
    ListProperty,
    NumericProperty,
    ObjectProperty,
    ObservableList,
    OptionProperty,
    Property,
    PropertyStorage,
    ReferenceListProperty,
    StringProperty,
    VariableListProperty,
)

__all__ = (
    "Property",
    "NumericProperty",
    "BoundedNumericProperty",
    "BooleanProperty",
    "ListProperty",
    "VariableListProperty",
    "StringProperty",
    "DictProperty",
    "ObjectProperty",
    "OptionProperty",
    "ReferenceListProperty",
    "AliasProperty",
    "ColorProperty",
    "PropertyStorage",
    "ObservableList",
    "CSS_LENGTH_UNITS",
)
