"""Adding and counting keywords, and the lower-casing of keys and texts."""

import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from termsweep import KeywordProcessor
from models import M
from support import matches


def listed(kp):
    return kp.get_all_keywords()


# --- adding and counting --------------------------------------------------------------


@pytest.mark.parametrize(
    "case_sensitive, calls, expected",
    [
        (False, [("Apple",), ("APPLE",)], {"apple": "apple"}),
        (False, [("Apple", "Apple Inc"), ("aPPle", "Last")], {"apple": "Last"}),
        (True, [("Apple",), ("apple",)], {"Apple": "Apple", "apple": "apple"}),
        (True, [("Apple", "X"), ("Apple",)], {"Apple": "Apple"}),
        (False, [("Apple", "Apple Inc")], {"apple": "Apple Inc"}),
        (False, [("new",), ("new york",)], {"new": "new", "new york": "new york"}),
        (False, [("new york",), ("new",)], {"new": "new", "new york": "new york"}),
        (False, [("",)], {"": ""}),
        (False, [("",), ("",)], {"": ""}),
        (False, [("", "Nothing")], {"": "Nothing"}),
        (False, [("x", "")], {"x": ""}),
        (False, [("Straße",)], {"straße": "straße"}),
        (False, [("ẞ",)], {"ß": "ß"}),
        (False, [("İ",)], {"i\u0307": "i\u0307"}),
        (False, [("ΟΔΟΣ",)], {"οδος": "οδος"}),
        (False, [("ΣΑΣ ΣΑΣ",)], {"σας σας": "σας σας"}),
        (False, [("\u212aelvin", "K")], {"kelvin": "K"}),
        (True, [("ΟΔΟΣ",), ("İ",)], {"ΟΔΟΣ": "ΟΔΟΣ", "İ": "İ"}),
        (False, [("Café", "CAFÉ")], {"café": "CAFÉ"}),
        (False, [("😀 Smile",)], {"😀 smile": "😀 smile"}),
    ],
)
def test_add_keyword_stores_folded_key_and_clean_name(case_sensitive, calls, expected):
    kp = KeywordProcessor(case_sensitive=case_sensitive)
    for call in calls:
        assert kp.add_keyword(*call) is None
    assert listed(kp) == expected
    assert len(kp) == len(expected)
    assert repr(kp) == f"KeywordProcessor(num_keywords={len(expected)})"


def test_final_sigma_key_is_matched_only_by_final_sigma():
    kp = KeywordProcessor()
    kp.add_keyword("ΟΔΟΣ")
    key = next(iter(listed(kp)))
    assert key.endswith("\u03c2") and len(key.encode()) == 8
    assert matches(kp, "στην ΟΔΟΣ") == [M("οδος", 9, 17)]
    assert matches(kp, "οδοσ") == []


def test_dotted_capital_i_key_has_three_bytes():
    kp = KeywordProcessor()
    kp.add_keyword("İ")
    (key,) = listed(kp)
    assert key.encode() == b"i\xcc\x87"
    assert matches(kp, "İ") == [M("i\u0307", 0, 3)]
    assert matches(kp, "i\u0307") == [M("i\u0307", 0, 3)]
    assert matches(kp, "i") == []


def test_prefix_keyword_keeps_its_clean_name():
    kp = KeywordProcessor()
    kp.add_keyword("new", "N")
    kp.add_keyword("new york", "NY")
    assert len(kp) == 2
    assert matches(kp, "new") == [M("N", 0, 3)]
    assert matches(kp, "new york") == [M("NY", 0, 8)]


def test_clean_names_are_never_folded():
    kp = KeywordProcessor()
    kp.add_keyword("σ", "ΣΙΓΜΑ İ")
    assert matches(kp, "Σ") == [M("ΣΙΓΜΑ İ", 0, 2)]
    assert kp.replace_keywords("x Σ y") == "x ΣΙΓΜΑ İ y"


def test_empty_clean_name_is_reported_as_empty_keyword():
    kp = KeywordProcessor()
    kp.add_keyword("x", "")
    assert len(kp) == 1
    assert matches(kp, "a x b") == [M("", 2, 3)]


def test_count_tracks_distinct_keys():
    kp = KeywordProcessor()
    words = ["a", "ab", "abc", "b", "", "A", "AB", "é", "É", "e"]
    for w in words:
        kp.add_keyword(w)
    assert len(kp) == len({w.lower() for w in words})


# --- lower-casing -----------------------------------------------------------------------

ALL_CODE_POINTS = [c for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF]
CHUNK = 4096
PLANES = range(17)


def folded_by_processor(s):
    kp = KeywordProcessor()
    kp.add_keyword(s)
    return list(listed(kp))


@pytest.mark.parametrize("plane", PLANES)
def test_lowercasing_matches_python_for_every_code_point(plane):
    """Each character is framed by NUL, which is neither cased nor
    case-ignorable, so every character (sigma included) lowers as if alone."""
    points = [c for c in ALL_CODE_POINTS if c >> 16 == plane]
    wrong = []
    for i in range(0, len(points), CHUNK):
        chars = [chr(c) for c in points[i : i + CHUNK]]
        joined = "\x00".join(chars)
        got = folded_by_processor(joined)
        if got != [joined.lower()]:
            assert len(got) == 1
            parts = got[0].split("\x00")
            wanted = [ch.lower() for ch in chars]
            if len(parts) != len(wanted):
                wrong.append(f"chunk at U+{points[i]:04X}: pieces differ in number")
                continue
            wrong += [
                f"U+{ord(ch):04X}: {part!r} != {want!r}"
                for ch, part, want in zip(chars, parts, wanted)
                if part != want
            ]
    assert not wrong, f"{len(wrong)} code points fold differently, e.g. {wrong[:20]}"


TRICKY = [
    "Σ", "σ", "ς", "'", ".", ":", "^", "`", "\u00ad", "\u0300", "\u0301", "\u0345", "\u036f",
    "A", "b", "Ω", "Ä", "İ", "I", "i", "\u212a", "\u1e9e", "ß", "\u0130", "\u01c5", "\u1f88",
    "😀", " ", "\u00a0", "-", "1", "\u2126", "\u10a0", "\U00010400", "\u0149",
]

tricky_strings = st.text(alphabet=st.sampled_from(TRICKY) | st.characters(blacklist_categories=("Cs",)), max_size=24)


@settings(max_examples=400)
@given(tricky_strings)
def test_lowercasing_matches_python_in_context(s):
    assert folded_by_processor(s) == [s.lower()]


@settings(max_examples=150)
@given(st.text(alphabet=st.sampled_from(TRICKY), min_size=1, max_size=12))
def test_texts_are_lowercased_like_keywords(s):
    """A keyword given in upper case is found in a text in any case form."""
    kp = KeywordProcessor(allow_overlaps=True)
    kp.add_keyword(s.upper(), "hit")
    expected_end = len(s.lower().encode())
    found = matches(kp, s)
    if s.upper().lower() == s.lower():
        assert found and found[0].keyword == "hit" and found[0].end == expected_end


@pytest.mark.parametrize(
    "word, text, expected",
    [
        ("kelvin", "\u212aELVIN", [M("kelvin", 0, 6)]),
        ("straße", "STRASSE STRAẞE", [M("straße", 8, 15)]),
        ("οδος", "ΟΔΟΣ", [M("οδος", 0, 8)]),  # the text's sigma is final
        ("οδοσ", "ΟΔΟΣ", []),
        ("οδοσ", "ΟΔΟΣ.", []),
        ("οδοσ", "ΟΔΟΣ\u0301a", [M("οδοσ", 0, 8)]),  # followed by a cased letter after a case-ignorable
        ("ος", "'ΟΣ", [M("ος", 1, 5)]),
        ("οδοσα", "ΟΔΟΣΑ", [M("οδοσα", 0, 10)]),
        ("x", "İ x", [M("x", 4, 5)]),
        ("é", "É", [M("é", 0, 2)]),
    ],
)
def test_text_folding(word, text, expected):
    kp = KeywordProcessor()
    kp.add_keyword(word)
    assert matches(kp, text) == expected


def test_final_sigma_keyword_matches_final_sigma_text():
    kp = KeywordProcessor()
    kp.add_keyword("ΟΔΟΣ")
    assert matches(kp, "ΟΔΟΣ") == [M("οδος", 0, 8)]
    assert matches(kp, "ΟΔΟΣ.") == [M("οδος", 0, 8)]


def test_case_sensitive_processor_folds_nothing():
    kp = KeywordProcessor(case_sensitive=True)
    kp.add_keyword("Python")
    kp.add_keyword("İ")
    assert matches(kp, "python PYTHON Python") == [M("Python", 14, 20)]
    assert matches(kp, "i\u0307 İ") == [M("İ", 4, 6)]


# --- very long keywords -------------------------------------------------------------


def test_megabyte_keyword_does_not_exhaust_the_stack():
    # Run in a child so that a crash is reported instead of ending the test run.
    script = textwrap.dedent(
        """
        import termsweep
        N = 1_000_000
        for word in ("a" * N, "É" * (N // 2)):
            kp = termsweep.KeywordProcessor()
            kp.add_keyword(word, "long")
            kp.add_keyword("short")
            folded = word.lower()
            assert len(folded.encode()) == N
            assert len(kp) == 2 and bool(kp)
            assert repr(kp) == "KeywordProcessor(num_keywords=2)"
            listing = kp.get_all_keywords()
            assert listing == {folded: "long", "short": "short"}, "listing"
            found = [(m.keyword, m.start, m.end) for m in kp.extract_keywords(word + " short")]
            assert found == [("long", 0, N), ("short", N + 1, N + 6)], found
            assert kp.replace_keywords(word + " short") == "long short"
            assert kp.remove_keyword(word) is True
            assert kp.remove_keyword(word) is False
            assert kp.get_all_keywords() == {"short": "short"}
            kp.add_keyword(word)
            del kp  # dropping a deep trie
        print("ok")
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and done.stdout.strip() == "ok", (done.returncode, done.stderr[-2000:])


def test_lowercase_tables_are_reproducible():
    """The checked-in tables are what the generator makes from this Python."""
    import pathlib
    import subprocess
    import sys
    import unicodedata

    generator = pathlib.Path(__file__).resolve().parents[2] / "tools" / "gen_lowercase_tables.py"
    if unicodedata.unidata_version != "14.0.0":
        pytest.skip("the tables are generated from Unicode 14.0.0")
    done = subprocess.run([sys.executable, str(generator), "--check"], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
