"""Shared helpers and hypothesis strategies for the Python test-suite."""

from __future__ import annotations

import contextlib
import signal

import pytest
from hypothesis import strategies as st

import termsweep
from models import M, ModelProcessor

THRESHOLD_MESSAGE = "Threshold must be between 0 and 1"


def answer_sigint() -> None:
    """For subprocess preexec_fn: a runner that starts the tests in the
    background leaves SIGINT ignored, and an interpreter started that way never
    raises KeyboardInterrupt. Restoring the default lets the child's Python
    install its own handler."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def is_panic(exc: BaseException) -> bool:
    t = type(exc)
    return t.__module__ == "pyo3_runtime" and t.__name__ == "PanicException"


@contextlib.contextmanager
def raises_panic(message: str | None = None):
    """Expect an internal failure surfacing as pyo3_runtime.PanicException."""
    with pytest.raises(BaseException) as info:
        yield info
    exc = info.value
    assert is_panic(exc), f"expected PanicException, got {type(exc).__module__}.{type(exc).__qualname__}: {exc}"
    assert not isinstance(exc, Exception)
    if message is not None:
        assert str(exc) == message


def matches(kp, text, threshold=None):
    return [M.of(m) for m in kp.extract_keywords(text, threshold)]


def processor(*keywords, **flags):
    """A processor holding `keywords`: strings, or (keyword, clean name) pairs."""
    kp = termsweep.KeywordProcessor(**flags)
    for entry in keywords:
        kp.add_keyword(*(entry if isinstance(entry, tuple) else (entry,)))
    return kp


def build(keywords=(), case_sensitive=False, allow_overlaps=False, boundaries=None, extra_boundaries=()):
    """A processor and its reference model with the same configuration."""
    kp = termsweep.KeywordProcessor(case_sensitive, allow_overlaps)
    model = ModelProcessor(case_sensitive, allow_overlaps)
    for entry in keywords:
        keyword, clean = entry if isinstance(entry, tuple) else (entry, None)
        kp.add_keyword(keyword, clean)
        model.add_keyword(keyword, clean)
    if boundaries is not None:
        kp.set_non_word_boundaries(list(boundaries))
        model.set_non_word_boundaries(boundaries)
    for ch in extra_boundaries:
        kp.add_non_word_boundary(ch)
        model.add_non_word_boundary(ch)
    return kp, model


# --- strategies --------------------------------------------------------------

# Characters that exercise folding (length-changing and context-dependent ones
# included), whitespace trimming, word/non-word bytes and multi-byte UTF-8.
KEYWORD_CHARS = [
    "a", "b", "c", "k", "A", "B", "1", "_", "-", ".", " ", "\t",
    "é", "É", "ñ", "ß", "ẞ", "İ", "\u0307", "Σ", "σ", "ς", "\u212a", "😀",
]
BOUNDARY_CHARS = [
    "a", "b", "k", "A", "_", "-", " ", "\t", ".",
    "é", "\u00a9", "\u00c3", "\u00c4", "\u00b0", "\u00e9", "\u00f0", "😀", "\u0307",
]
CLEAN_CHARS = ["x", "y", "Z", " ", "é", "'", "😀"]

keyword_text = st.text(alphabet=KEYWORD_CHARS, max_size=4)
clean_names = st.none() | st.text(alphabet=CLEAN_CHARS, max_size=5)
keyword_entries = st.lists(st.tuples(keyword_text, clean_names), max_size=6)
boundary_sets = st.none() | st.lists(st.sampled_from(BOUNDARY_CHARS), max_size=6)
flags = st.booleans()


@st.composite
def texts_around(draw, keywords, chars=KEYWORD_CHARS, max_pieces=10):
    """A text made of keyword occurrences (in any case) and loose characters."""
    pieces = [st.sampled_from(chars)]
    words = [k for k in keywords if k]
    if words:
        word = st.sampled_from(words)
        pieces.append(word)
        pieces.append(word.map(str.upper))
    parts = draw(st.lists(st.one_of(*pieces), max_size=max_pieces))
    return "".join(parts)
