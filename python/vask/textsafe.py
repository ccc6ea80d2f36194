"""Text that is safe to print on a terminal.

Traces carry text the traced program made: values, function and file names,
thread names, trace names.  Written to a terminal as it is, such text can move
the cursor, rewrite earlier lines, set the window title or run terminal
commands (ESC and OSC sequences), hide itself (CR, bidi overrides) or forge
lines of vask's own output (a newline).  :func:`terminal_safe` writes every
such character as a Python-style escape instead: ``\\x1b``, ``\\r``, ``\\n``,
``\\u202e``, ``\\udce9`` (a lone surrogate, which a UTF-8 terminal cannot take).
"""

from __future__ import annotations

import re

__all__ = ["terminal_safe"]

# C0 controls, DEL and C1 controls; the bidi embeddings, overrides, isolates
# and marks; line and paragraph separators; lone surrogates.
_UNSAFE = re.compile(
    "[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069\ud800-\udfff]"
)


def _escape(match: re.Match[str]) -> str:
    char = match.group()
    code = ord(char)
    if char in "\n\r\t":
        return {"\n": "\\n", "\r": "\\r", "\t": "\\t"}[char]
    return f"\\x{code:02x}" if code <= 0xFF else f"\\u{code:04x}"


def terminal_safe(text: str, limit: int = 0) -> str:
    """``text`` with every character that could act on a terminal written as an escape.

    With ``limit`` > 0 the result is cut to ``limit`` characters and ends in "…"
    when it was longer.
    """
    if limit > 0 and len(text) > limit:
        text = text[: max(limit - 1, 0)]
        return _UNSAFE.sub(_escape, text)[: max(limit - 1, 0)] + "…"
    return _UNSAFE.sub(_escape, text)
