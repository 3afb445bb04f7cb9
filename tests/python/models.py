"""Pure-Python reference models of termsweep's matching engine.

These are deliberately simple and slow: the exact model tries every keyword at
every byte offset instead of walking a trie, the fuzzy model picks the best of
all candidates of the bounded edit search with 32-bit float arithmetic, and the
replacement models work on the caller's text with plain Python slicing.
They are only meant for small inputs in property tests.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

F32 = np.float32
WHITESPACE = frozenset(b"\t\n\r ")
DEFAULT_WORD_CHARS = frozenset(
    map(ord, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")
)


def f32(x) -> np.float32:
    return np.float32(x)


def round_similarity(sim: np.float32) -> np.float32:
    """Two decimals: x*100 in float32, nearest integer with halves away from
    zero, then /100 in float32."""
    scaled = float(f32(sim) * f32(100))
    whole = math.floor(abs(scaled))
    if abs(scaled) - whole >= 0.5:
        whole += 1
    whole = math.copysign(whole, scaled)
    return f32(whole) / f32(100)


@dataclass(frozen=True)
class M:
    """A match as the engine reports it (offsets into the folded UTF-8 text)."""

    keyword: str
    start: int
    end: int
    similarity: float = 1.0

    @classmethod
    def of(cls, match) -> "M":
        return cls(match.keyword, match.start, match.end, match.similarity)


@dataclass
class Node:
    clean: str | None = None
    children: dict[int, "Node"] = field(default_factory=dict)


class ModelProcessor:
    """Keyword set, flags and word characters, with reference operations."""

    def __init__(self, case_sensitive=False, allow_overlaps=False):
        self.case_sensitive = bool(case_sensitive)
        self.allow_overlaps = bool(allow_overlaps)
        self.words: set[int] = set(DEFAULT_WORD_CHARS)
        self.keywords: dict[str, str] = {}

    # -- state --------------------------------------------------------------
    def fold(self, s: str) -> str:
        return s if self.case_sensitive else s.lower()

    def add_keyword(self, keyword: str, clean_name: str | None = None) -> None:
        key = self.fold(keyword)
        self.keywords[key] = key if clean_name is None else clean_name

    def remove_keyword(self, keyword: str) -> bool:
        return self.keywords.pop(self.fold(keyword), None) is not None

    def set_non_word_boundaries(self, chars) -> None:
        self.words = {ord(c) for c in chars}

    def add_non_word_boundary(self, char: str) -> None:
        self.words.add(ord(char))

    def __len__(self) -> int:
        return len(self.keywords)

    def is_word_byte(self, b: int) -> bool:
        return b in self.words

    def trie(self) -> Node:
        root = Node()
        for key, clean in self.keywords.items():
            node = root
            for b in key.encode():
                node = node.children.setdefault(b, Node())
            node.clean = clean
        return root

    # -- extraction ---------------------------------------------------------
    def extract(self, text: str, threshold=None) -> list[M]:
        t = f32(1.0 if threshold is None else threshold)
        if not (f32(0) <= t <= f32(1)):
            raise ValueError("Threshold must be between 0 and 1")
        s = self.fold(text).encode()
        if t == f32(1):
            return self._extract_exact(s)
        return self._extract_fuzzy(s, t)

    def _start_blocked(self, s: bytes, p: int) -> bool:
        return p > 0 and not self.allow_overlaps and self.is_word_byte(s[p - 1])

    def _extract_exact(self, s: bytes) -> list[M]:
        keys = [(k.encode(), v) for k, v in self.keywords.items() if k]
        n = len(s)
        out = []
        p = 0
        while p < n:
            if self._start_blocked(s, p):
                p += 1
                continue
            best = None
            for kb, clean in keys:
                if s.startswith(kb, p) and (best is None or len(kb) > len(best[0])):
                    best = (kb, clean)
            if best is None:
                p += 1
                continue
            m = len(best[0])
            end = p + m
            if not (end == n or self.allow_overlaps or not self.is_word_byte(s[end])):
                p += 1
                continue
            start = p + 1 if s[p] in WHITESPACE else p
            out.append(M(best[1], start, end, 1.0))
            p = end
        return out

    def fuzzy_candidate(self, root: Node, s: bytes, p: int, t: np.float32):
        """The most similar keyword at p: (clean name, k, similarity) or None.

        Candidates are the keyword ends the bounded edit search reaches
        having consumed k >= 1 text bytes, scoring sim = 1 - e / max(L, k)
        with sim >= t and sim > 0. The answer has the highest score, and among
        equal scores it is the first in the search's order. That order has no
        simpler statement than the search itself, so it is generated plainly
        (every state, no memory of visited ones) by `_search_order`."""
        one = f32(1)
        found = []
        for node, k, e in self._search_order(root, s, p, t):
            if node.clean is not None and k > 0:
                sim = one - f32(e) / f32(max(len(node.clean.encode()), k))
                if sim >= t and sim > 0:
                    found.append((node.clean, k, sim))
        if not found:
            return None
        top = max(sim for _, _, sim in found)
        return next(c for c in found if c[2] == top)

    def _search_order(self, root: Node, s: bytes, p: int, t: np.float32):
        """The states (node, k consumed, e edits) in the order the search's
        last-in-first-out stack pops them: a state, then the subtrees of the
        states it pushes, the last pushed first. From (node, k, e) with text
        left it pushes the exact step, then, while 1 - e/(k+1) >= t, the text
        byte skipped, the byte substituted for each other child and each
        child's byte skipped, children in ascending key order."""
        r = len(s) - p
        stack = [(root, 0, 0)]
        while stack:
            node, k, e = stack.pop()
            yield node, k, e
            if k >= r:
                continue
            c = s[p + k]
            children = sorted(node.children.items())
            if c in node.children:
                stack.append((node.children[c], k + 1, e))
            if f32(1) - f32(e) / f32(k + 1) >= t:
                stack.append((node, k + 1, e + 1))
                stack += [(child, k + 1, e + 1) for key, child in children if key != c]
                stack += [(child, k, e + 1) for _, child in children]

    def _extract_fuzzy(self, s: bytes, t: np.float32) -> list[M]:
        root = self.trie()
        n = len(s)
        out = []
        p = 0
        while p < n:
            if self._start_blocked(s, p):
                p += 1
                continue
            cand = self.fuzzy_candidate(root, s, p, t)
            if cand is None:
                p += 1
                continue
            clean, k, sim = cand
            raw_end = p + k
            end = raw_end - 1 if s[raw_end - 1] in WHITESPACE else raw_end
            ok = (
                self.allow_overlaps
                or end == n
                or any(not self.is_word_byte(s[j]) for j in range(end, min(end + 3, n)))
            )
            if not ok:
                p += 1
                continue
            start = p + 1 if s[p] in WHITESPACE else p
            out.append(M(clean, start, end, float(round_similarity(sim))))
            p = raw_end
        return out

    # -- replacement --------------------------------------------------------
    def replace(self, text: str, threshold=None, matches=None) -> str:
        if matches is None:
            matches = self.extract(text, threshold)
        return replace_by_characters(text, matches, self.case_sensitive)


class SpliceError(Exception):
    pass


def replace_in_place(text: str, matches) -> str:
    """Splice clean names into the caller's text at the reported byte offsets,
    from the last start to the first (stable for equal starts), checking that
    every bound is a character boundary. Raises SpliceError where that
    in-place algorithm gives up."""
    buf = bytearray(text.encode())
    order = sorted(range(len(matches)), key=lambda i: matches[i].start, reverse=True)
    for i in order:
        m = matches[i]
        for bound in (m.start, m.end):
            if not (bound == 0 or bound == len(buf) or (bound < len(buf) and not 0x80 <= buf[bound] <= 0xBF)):
                raise SpliceError("not a char boundary")
        if m.end < m.start:
            raise SpliceError("end before start")
        buf[m.start:m.end] = m.keyword.encode()
    return buf.decode()


def has_zero_width_then_same_start(matches) -> bool:
    return any(
        a.start == a.end and b.start == a.start for a, b in zip(matches, matches[1:])
    )


def folded_char_offsets(text: str, case_sensitive: bool):
    """For each character boundary i (0..len(text)) the byte offset of that
    boundary in the folded text and in the caller's text."""
    folded, original = [0], [0]
    for ch in text:
        if case_sensitive:
            width = len(ch.encode())
        elif ch == "\u03a3":
            width = 2  # sigma lowers to U+03C3 or U+03C2, both two bytes
        else:
            width = len(ch.lower().encode())
        folded.append(folded[-1] + width)
        original.append(original[-1] + len(ch.encode()))
    return folded, original


def map_start(bound: int, folded: list[int], original: list[int]) -> int:
    for i in range(len(folded) - 1, -1, -1):
        if folded[i] <= bound:
            return original[i]
    raise AssertionError("bound before the text")


def map_end(bound: int, folded: list[int], original: list[int]) -> int:
    for i, off in enumerate(folded):
        if off >= bound:
            return original[i]
    raise AssertionError("bound past the text")


def replace_by_characters(text: str, matches, case_sensitive: bool) -> str:
    """Replacement at character granularity in the caller's text."""
    folded, original = folded_char_offsets(text, case_sensitive)
    if not case_sensitive:
        assert folded[-1] == len(text.lower().encode())
    raw = text.encode()
    out = bytearray()
    done = 0  # caller byte offset up to which the output is final
    for m in matches:
        start = map_start(m.start, folded, original)
        end = map_end(m.end, folded, original)
        start = max(start, done)
        if end < start:
            continue
        out += raw[done:start]
        out += m.keyword.encode()
        done = end
    out += raw[done:]
    return out.decode()
