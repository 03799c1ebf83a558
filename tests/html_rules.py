"""What the renderers' output is checked against: HTML's own rules."""

# HTML's boolean attributes: only these are written as a bare name when the
# value repeats the key (in any case); any other attribute keeps its value.
BOOLEAN_ATTRIBUTES = frozenset({
    "allowfullscreen", "async", "autofocus", "autoplay", "checked", "controls", "default", "defer", "disabled",
    "formnovalidate", "hidden", "inert", "ismap", "itemscope", "loop", "multiple", "muted", "nomodule",
    "novalidate", "open", "playsinline", "readonly", "required", "reversed", "selected",
})


def is_bare(key, value):
    """True when join_attributes writes the entry as the bare key."""
    return isinstance(key, str) and key.lower() in BOOLEAN_ATTRIBUTES and key == value
