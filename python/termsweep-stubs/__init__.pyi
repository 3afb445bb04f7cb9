"""Fast keyword extraction and replacement.

Offsets. Every ``start`` and ``end`` the module reports is a byte offset into
the UTF-8 encoding of the scanned text, ``end`` exclusive. On a
case-insensitive processor (the default) the scanned text is the text after
full Unicode lower-casing (``str.lower()``), which can change byte lengths:
``"İ"`` (2 bytes) lowers to 3 bytes, the Kelvin sign (3 bytes) to 1. For
ASCII text a byte offset equals a string index; for anything else,
``termsweep_cli.string_spans`` maps matches back to string indices.

Similarity. Exact matches score 1.0. A fuzzy match (a threshold below 1)
scores ``1 - edits / max(len(clean name in bytes), bytes consumed)``, where
edits are byte insertions, deletions and substitutions, rounded to two
decimals and stored as a 32-bit float (0.85 reads back as
0.8500000238418579).

Internal failures. A broken internal rule, such as a threshold outside 0 to 1
or a malformed pickled state, raises ``PanicException`` from module
``pyo3_runtime``. It derives from ``BaseException``, not ``Exception``, so
``except Exception`` lets it pass, and it is not an attribute of this module
(its type is created on the first failure). Catch it explicitly::

    try:
        kp.extract_keywords(text, threshold)
    except BaseException as exc:
        if type(exc).__module__ != "pyo3_runtime":
            raise
        ...  # str(exc) is the failure message

A report of each such failure is also written to standard error.
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

__all__ = ["KeywordProcessor", "PyKeywordMatch"]

_Threshold = SupportsFloat | SupportsIndex | None

@final
class KeywordProcessor:
    """A keyword set stored in a byte trie, with its matching options.

    Cannot be subclassed. Instances compare and hash by identity, pickle
    (protocols 2 to 5) and copy; a pickled processor takes at least
    139,283 bytes, whatever the number of keywords.
    """

    def __new__(cls, case_sensitive: bool | None = False, allow_overlaps: bool | None = False) -> KeywordProcessor:
        """An empty processor.

        ``case_sensitive``: when false (or None), keywords and texts are
        lower-cased before matching. ``allow_overlaps``: when true, matches
        need no word boundaries and are also found inside words; matches
        never overlap either way. Both are fixed for the processor's life.
        Word characters start as ``a-z``, ``A-Z``, ``0-9`` and ``_``.

        Raises ``TypeError`` for anything but ``True``, ``False``, ``None``
        or a numpy boolean (the integers 0 and 1 are refused).
        """

    def __len__(self) -> int:
        """The number of keywords (an empty processor is false)."""

    def add_keyword(self, keyword: str, clean_name: str | None = None) -> None:
        """File ``keyword``; its matches report ``clean_name``.

        Without a clean name the keyword's stored (lower-cased, unless
        case-sensitive) form is reported. Adding a keyword again replaces its
        clean name. The empty keyword is stored but never found by exact
        matching.

        Raises ``TypeError`` when an argument is not a ``str``, and
        ``UnicodeEncodeError`` for a string holding lone surrogates.
        """

    def remove_keyword(self, keyword: str) -> bool:
        """Remove ``keyword`` (lower-cased first, unless case-sensitive).

        Returns whether it was stored. Other keywords, including those that
        share a prefix with it, are unaffected. Raises ``TypeError`` when
        ``keyword`` is not a ``str``.
        """

    def extract_keywords(self, text: str, threshold: _Threshold = None) -> list[PyKeywordMatch]:
        """The keyword occurrences in ``text``, in text order.

        Each match carries the keyword's clean name, its similarity and its
        ``start``/``end`` as byte offsets into the UTF-8 form of the scanned
        (lower-cased, unless case-sensitive) text.

        ``threshold`` None or 1 (rounded as a 32-bit float) selects exact
        matching: the longest keyword starting at each position, which must
        start after and end before a non-word character (unless the
        processor allows overlaps). A threshold below 1 runs a byte-wise
        edit search at every position and keeps the most similar keyword,
        scored ``1 - edits / max(len(clean name in bytes), bytes consumed)``
        rounded to two decimals; fuzzy bounds may fall inside a multi-byte
        character. A single leading whitespace byte is left out of a match.

        Raises ``TypeError`` for a ``text`` that is not a ``str`` or a
        ``threshold`` that does not convert to float, and
        ``pyo3_runtime.PanicException`` ("Threshold must be between 0 and 1")
        for a threshold outside 0 to 1 or NaN, even for an empty text.
        """

    def parallel_extract_keywords_from_texts(
        self, texts: Sequence[str], threshold: _Threshold = None
    ) -> list[list[PyKeywordMatch]]:
        """``extract_keywords`` of every text, one list per text, in input order.

        The texts are spread over the module's worker threads (sized from
        ``RAYON_NUM_THREADS``, else ``RAYON_RS_NUM_CPUS``, else the CPUs
        available, read once); the calling thread waits holding the GIL, so a
        Ctrl-C takes effect after the call returns. Offsets are bytes of each
        scanned text, as for ``extract_keywords``.

        Raises ``TypeError`` for a ``str`` as ``texts`` (a string is not a
        batch), an object that is not a sequence (a generator, a set), an
        item that is not a ``str``, or a bad ``threshold``;
        ``pyo3_runtime.PanicException`` ("Threshold must be between 0 and 1")
        for a threshold outside 0 to 1 when there is at least one text.
        """

    def replace_keywords(self, text: str, threshold: _Threshold = None) -> str:
        """``text`` with every match of ``extract_keywords`` replaced by its clean name.

        Bounds are mapped back to the text as written: a bound inside a
        character (a fuzzy bound inside a multi-byte character, or a
        character whose lower-cased form has another byte length) widens
        the span to whole characters. Everything outside the matches is
        copied unchanged, in its original case.

        Raises as ``extract_keywords`` does.
        """

    def parallel_replace_keywords_from_texts(self, texts: Sequence[str], threshold: _Threshold = None) -> list[str]:
        """``replace_keywords`` of every text, in input order.

        Runs on the worker threads like
        ``parallel_extract_keywords_from_texts`` and raises as it does.
        """

    def get_all_keywords(self) -> dict[str, str]:
        """``{keyword: clean name}`` for every keyword, keywords in their stored (lower-cased) form."""

    def set_non_word_boundaries(self, boundaries: Sequence[str]) -> None:
        """Make the word characters exactly ``boundaries``, each a one-character ``str``.

        Matching tests single bytes of the scanned text, so only characters
        below U+0100 change what is found. On failure the set is unchanged.

        Raises ``TypeError`` for a ``str`` as ``boundaries``, a
        non-sequence (such as a ``set``) or an item that is not a ``str``,
        and ``ValueError`` ("expected a string of length 1") for an item of
        another length.
        """

    def add_non_word_boundary(self, boundary: str) -> None:
        """Add one character to the word characters (for example ``"-"``).

        Raises ``TypeError`` when ``boundary`` is not a ``str`` and
        ``ValueError`` ("expected a string of length 1") when it is not one
        character long.
        """

    def __getstate__(self) -> bytes:
        """The whole processor as bytes (at least 139,283 of them), for pickling."""

    def __setstate__(self, state: bytes) -> None:
        """Replace the whole processor (keywords, word characters, flags) by ``state``.

        Raises ``TypeError`` when ``state`` is not ``bytes`` and
        ``pyo3_runtime.PanicException`` for malformed bytes, leaving the
        processor unchanged.
        """

@final
class PyKeywordMatch:
    """One keyword occurrence: clean name, similarity and byte offsets.

    Holds its own copies of the four values; built by the extraction
    methods, or by hand. Printed as ``KeywordMatch(keyword='...',
    similarity=1.00, start=0, end=6)``. Compares and hashes by identity;
    pickles and copies.
    """

    def __new__(
        cls, keyword: str, similarity: SupportsFloat | SupportsIndex, start: SupportsIndex, end: SupportsIndex
    ) -> PyKeywordMatch:
        """A match holding the four values, unvalidated.

        ``similarity`` is stored as the nearest 32-bit float; ``start`` and
        ``end`` as unsigned 64-bit integers. Raises ``TypeError`` for values
        of the wrong type and ``OverflowError`` for negative offsets or
        offsets of 2**64 or more.
        """

    @property
    def keyword(self) -> str:
        """The clean name of the matched keyword."""

    @keyword.setter
    def keyword(self, value: str) -> None: ...
    @property
    def similarity(self) -> float:
        """1.0 for exact matches; else ``1 - edits / max(len(clean name in bytes), bytes consumed)``, two decimals, as a 32-bit float."""

    @similarity.setter
    def similarity(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def start(self) -> int:
        """Byte offset of the match's first byte in the UTF-8 form of the scanned (lower-cased) text."""

    @start.setter
    def start(self, value: SupportsIndex) -> None: ...
    @property
    def end(self) -> int:
        """Byte offset just past the match in the UTF-8 form of the scanned (lower-cased) text."""

    @end.setter
    def end(self, value: SupportsIndex) -> None: ...
    def __getstate__(self) -> bytes:
        """The match as bytes (28 plus the keyword's UTF-8 length), for pickling."""

    def __setstate__(self, state: bytes) -> None:
        """Replace all four values by ``state``.

        Raises ``TypeError`` when ``state`` is not ``bytes`` and
        ``pyo3_runtime.PanicException`` for malformed bytes.
        """

    def __getnewargs__(self) -> tuple[str, float, int, int]:
        """``(keyword, similarity, start, end)``, the constructor arguments for unpickling."""
