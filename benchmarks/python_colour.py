"""The hexadecimal colour parser written in plain Python: the plain-Python
peer's own parser in the benchmarks, and the definition that the tests hold
the native parser to."""

_HEX_DIGITS = frozenset("0123456789abcdefABCDEF")


def py_get_color_from_hex_255(text):
    if not isinstance(text, str):
        raise ValueError(f"invalid hex colour {text!r}: expected a str")
    digits = text[1:] if text.startswith("#") else text
    if len(digits) not in (3, 4, 6, 8) or not _HEX_DIGITS.issuperset(digits):
        raise ValueError(f"invalid hex colour {text!r}: expected #rgb, #rgba, #rrggbb or #rrggbbaa")
    if len(digits) <= 4:
        digits = "".join(c * 2 for c in digits)
    values = [int(digits[i : i + 2], 16) for i in range(0, len(digits), 2)]
    if len(values) == 4:
        values[3] = values[3] / 255
    return values
