"""From the module's byte offsets to string indices."""

from __future__ import annotations

from bisect import bisect_left, bisect_right
from collections.abc import Iterable
from itertools import accumulate


def _lowered_utf8_length(char: str) -> int:
    # Lower-casing maps each character on its own, except that capital sigma
    # picks its final or non-final form from its neighbours; both forms take
    # two bytes, so per-character lengths add up to the lowered text's.
    return len(char.lower().encode("utf-8"))


def _utf8_length(char: str) -> int:
    return len(char.encode("utf-8"))


def string_spans(
    text: str, byte_spans: Iterable[tuple[int, int]], case_sensitive: bool = False
) -> list[tuple[int, int]]:
    """Map match bounds reported for `text` to indices into `text` itself.

    `byte_spans` are (start, end) byte offsets into the UTF-8 form of the
    scanned text: `text.lower()` on a case-insensitive processor, `text`
    otherwise. A bound inside a character (a fuzzy bound inside a multi-byte
    character, or inside the lowered form of a character such as 'İ', which
    lowers to three bytes) widens the span to that whole character, as
    `replace_keywords` does. Bounds past the end map to `len(text)`.
    """
    spans = list(byte_spans)
    if not spans:
        return []
    if text.isascii():
        n = len(text)
        return [(min(start, n), min(end, n)) for start, end in spans]
    length = _utf8_length if case_sensitive else _lowered_utf8_length
    # starts[i]: where character i begins in the scanned text; the last entry
    # is the scanned text's length.
    starts = list(accumulate(map(length, text), initial=0))
    last = len(text)
    return [(min(bisect_right(starts, start) - 1, last), min(bisect_left(starts, end), last)) for start, end in spans]
