"""Matches as JSON Lines with string indices."""

from __future__ import annotations

import json
import math
from collections.abc import Sequence
from json.encoder import encode_basestring  # a JSON string literal, non-ASCII kept

from termsweep import PyKeywordMatch

from .offsets import string_spans
from .texts import Chunk


def json_lines(
    source: str, chunk: Chunk, matches: Sequence[Sequence[PyKeywordMatch]], case_sensitive: bool = False
) -> bytes:
    """UTF-8 JSON Lines, one object per match, given a chunk's batch extraction result.

    Keys, in this order: `path` (`source`), `line` (1-based), `start` and
    `end` (string indices into the line as read), `match` (`line[start:end]`),
    `keyword` (the clean name) and `similarity` (two decimals).
    """
    path = encode_basestring(source)
    out = []
    for number, (text, found) in enumerate(zip(chunk.texts, matches, strict=True), chunk.first_line):
        if not found:
            continue
        spans = string_spans(text, ((m.start, m.end) for m in found), case_sensitive)
        for match, (start, end) in zip(found, spans):
            # Formatted by hand: json.dumps per match would cost several
            # times the matching itself.
            out.append(
                f'{{"path": {path}, "line": {number}, "start": {start}, "end": {end}, '
                f'"match": {encode_basestring(text[start:end])}, "keyword": {encode_basestring(match.keyword)}, '
                f'"similarity": {_json_number(round(match.similarity, 2))}}}\n'
            )
    return "".join(out).encode("utf-8")


def _json_number(value: float) -> str:
    # Matches from the module are always finite; hand-made ones may not be.
    return repr(value) if math.isfinite(value) else json.dumps(value)
