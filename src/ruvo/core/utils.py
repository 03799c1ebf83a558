"""Small helpers shared by the package."""

from ruvo.core._framework import get_color_from_hex_255

__all__ = ("get_color_from_hex_255",)
