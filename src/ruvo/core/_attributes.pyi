"""HTML attribute descriptors: properties that render their value as an HTML
attribute, a CSS style entry or a CSS class."""

from typing import Any, Callable, Iterable, NoReturn

from typing_extensions import disjoint_base

from ruvo.core._event import EventDispatcher
from ruvo.core.properties import CSS_LENGTH_UNITS as CSS_LENGTH_UNITS
from ruvo.core.properties import ObservableList as ObservableList
from ruvo.core.properties import (
    BooleanProperty,
    BoundedNumericProperty,
    ListProperty,
    NumericProperty,
    Property,
    VariableListProperty,
)

from ruvo.core.utils import get_color_from_hex_255 as get_color_from_hex_255

__all__ = (
    "_Attribute",
    "_NumericAttribute",
    "_BoundedNumericAttribute",
    "_BooleanAttribute",
    "_VariableListAttribute",
    "_ColorAttribute",
    "_GenericEventAttribute",
)
__test__: dict[str, Any]

@disjoint_base
class _Attribute(Property[str, str]):
    """General Html attribute class with a string value."""

    def __init__(
        self,
        defaultvalue: str | None = "",
        *,
        attrtype: str | None = "",
        attrname: str | None = "",
        sync: int = 0,
        options: Iterable[Any] = ...,
        values: Iterable[Any] = ...,
        **kwargs: Any,
    ) -> None: ...
    @property
    def attrname(self) -> str: ...
    @property
    def attrtype(self) -> str | None: ...
    @property
    def sync(self) -> int: ...
    @property
    def options(self) -> list[Any] | None: ...
    @property
    def values(self) -> dict[Any, Any] | None: ...
    def attrvalue(self, obj: EventDispatcher | None) -> Any: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

@disjoint_base
class _NumericAttribute(NumericProperty):
    """Html attribute class with a numeric value."""

    def __init__(
        self,
        defaultvalue: Any = 0,
        units: str | None = None,
        *,
        attrtype: str | None = "",
        attrname: str | None = "",
        sync: int = 0,
        options: Iterable[Any] = ...,
        **kwargs: Any,
    ) -> None: ...
    @property
    def attrname(self) -> str: ...
    @property
    def attrtype(self) -> str | None: ...
    @property
    def sync(self) -> int: ...
    @property
    def options(self) -> list[Any] | None: ...
    def attrvalue(self, obj: EventDispatcher | None) -> Any: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

@disjoint_base
class _BoundedNumericAttribute(BoundedNumericProperty):
    """Html attribute class with a bounded numeric value."""

    def __init__(
        self,
        defaultvalue: Any = 0,
        min: float | None = None,
        max: float | None = None,
        *,
        attrtype: str | None = "",
        attrname: str | None = "",
        sync: int = 0,
        options: Iterable[Any] = ...,
        **kwargs: Any,
    ) -> None: ...
    @property
    def attrname(self) -> str: ...
    @property
    def attrtype(self) -> str | None: ...
    @property
    def sync(self) -> int: ...
    @property
    def options(self) -> list[Any] | None: ...
    def attrvalue(self, obj: EventDispatcher | None) -> Any: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

@disjoint_base
class _BooleanAttribute(BooleanProperty):
    """Boolean Html attribute class which returns `attrname` as the
    return value when its true and empty string when its false."""

    def __init__(
        self,
        defaultvalue: Any = False,
        *,
        attrtype: str | None = "",
        attrname: str | None = "",
        sync: int = 0,
        **kwargs: Any,
    ) -> None: ...
    @property
    def attrname(self) -> str: ...
    @property
    def attrtype(self) -> str | None: ...
    @property
    def sync(self) -> int: ...
    def attrvalue(self, obj: EventDispatcher | None) -> str: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

@disjoint_base
class _LogicalAttribute(BooleanProperty):
    """Logical html attribute class which returns 'true' or 'false' as string
    type and empty string when it is None."""

    def __init__(
        self,
        defaultvalue: Any = False,
        *,
        attrtype: str | None = "",
        attrname: str | None = "",
        sync: int = 0,
        **kwargs: Any,
    ) -> None: ...
    @property
    def attrname(self) -> str: ...
    @property
    def attrtype(self) -> str | None: ...
    @property
    def sync(self) -> int: ...
    def attrvalue(self, obj: EventDispatcher | None) -> str: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

@disjoint_base
class _ListAttribute(ListProperty):
    """List html attribute class which returns comma separated list of values as strings."""

    def __init__(
        self,
        defaultvalue: Iterable[Any] | None = None,
        *,
        attrtype: str | None = "",
        attrname: str | None = "",
        sync: int = 0,
        length: Any = None,
        **kwargs: Any,
    ) -> None: ...
    @property
    def attrname(self) -> str: ...
    @property
    def attrtype(self) -> str | None: ...
    @property
    def sync(self) -> int: ...
    def attrvalue(self, obj: EventDispatcher | None) -> str: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

@disjoint_base
class _VariableListAttribute(VariableListProperty):
    """A ListAttribute that allows you to work with a variable number of
    list items and to expand them to the desired list size."""

    def __init__(
        self,
        defaultvalue: Any = None,
        length: int = 4,
        *,
        attrtype: str | None = "",
        attrname: str | None = "",
        sync: int = 0,
        options: Iterable[Any] = ...,
        **kwargs: Any,
    ) -> None: ...
    @property
    def attrname(self) -> str: ...
    @property
    def attrtype(self) -> str | None: ...
    @property
    def sync(self) -> int: ...
    @property
    def options(self) -> list[Any] | None: ...
    def attrvalue(self, obj: EventDispatcher | None) -> str: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

@disjoint_base
class _ColorAttribute(Property[list[float] | str, str | Iterable[float]]):
    """A ListAttribute with 3 or 4 elements with RGB or RGBA color values."""

    def __init__(
        self,
        defaultvalue: Any = None,
        *,
        attrtype: str | None = "",
        attrname: str | None = "",
        sync: int = 0,
        format: str | None = "",
        options: Iterable[Any] = ...,
        **kwargs: Any,
    ) -> None: ...
    @property
    def attrname(self) -> str: ...
    @property
    def attrtype(self) -> str | None: ...
    @property
    def sync(self) -> int: ...
    def attrvalue(self, obj: EventDispatcher | None) -> Any: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

@disjoint_base
class _GenericEventAttribute(BooleanProperty):
    """An event attribute class like `onclick` for the button input element."""

    def __init__(
        self,
        defaultvalue: Any = False,
        eventhandler: str | Callable[..., Any] | None = None,
        prevent_default: Any = False,
        eventargs: Any = None,
        eventjs: Any = "",
        dispatch: Any = True,
        *,
        attrtype: str | None = "",
        attrname: str | None = "",
        sync: int = 0,
        **kwargs: Any,
    ) -> None: ...
    @property
    def attrname(self) -> str: ...
    @property
    def attrtype(self) -> str | None: ...
    @property
    def sync(self) -> int: ...
    def attrvalue(self, obj: EventDispatcher | None) -> Any: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...
