"""Small helpers shared by the package."""

__all__ = ("get_color_from_hex_255",)

_HEX_DIGITS = frozenset("0123456789abcdefABCDEF")


def get_color_from_hex_255(text: str) -> list[int | float]:
    """Parse a hexadecimal colour into a new list of components.

    "#rgb", "#rgba", "#rrggbb" and "#rrggbbaa" (the "#" is optional, any case)
    give ``[r, g, b]`` with ints 0..255, or ``[r, g, b, a]`` with the alpha
    scaled to a float 0..1. Anything else raises ValueError naming the text.
    """
    if not isinstance(text, str):
        raise ValueError(f"invalid hex colour {text!r}: expected a str")
    digits = text[1:] if text.startswith("#") else text
    if len(digits) not in (3, 4, 6, 8) or not _HEX_DIGITS.issuperset(digits):
        raise ValueError(f"invalid hex colour {text!r}: expected #rgb, #rgba, #rrggbb or #rrggbbaa")
    if len(digits) <= 4:
        digits = "".join(c * 2 for c in digits)
    values: list[int | float] = [int(digits[i : i + 2], 16) for i in range(0, len(digits), 2)]
    if len(values) == 4:
        values[3] = values[3] / 255
    return values
