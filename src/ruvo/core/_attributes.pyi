"""HTML attribute descriptors: properties that render their value as an HTML
attribute, a CSS style entry or a CSS class."""

from typing import Any, Callable, Iterable, NoReturn

from ruvo.core._event import EventDispatcher
from ruvo.core.properties import CSS_LENGTH_UNITS as CSS_LENGTH_UNITS
from ruvo.core.properties import ObservableList as ObservableList
from ruvo.core.properties import Property

get_color_from_hex_255: Callable[[str], list]

__all__: tuple[str, ...]

class _Attribute(Property):
    """General Html attribute class with a string value."""

    def __init__(
        self,
        defaultvalue: Any = "",
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
