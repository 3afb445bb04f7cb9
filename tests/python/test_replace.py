"""Keyword replacement: splicing clean names into the caller's own text."""

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from termsweep import KeywordProcessor
from models import (
    M,
    SpliceError,
    has_zero_width_then_same_start,
    replace_by_characters,
    replace_in_place,
)
from support import (
    processor,
    THRESHOLD_MESSAGE,
    boundary_sets,
    build,
    flags,
    keyword_entries,
    matches,
    raises_panic,
    texts_around,
)



CASES = [
    # (keywords, flags, text, threshold, expected)
    ([], {}, "Nothing to see here.", None, "Nothing to see here."),
    (["absent"], {}, "Mixed CASE text, ünïcödé 😀", None, "Mixed CASE text, ünïcödé 😀"),
    (["x"], {}, "", None, ""),
    (["x"], {}, "", 0.5, ""),
    ([("Big Apple", "NYC")], {}, "I love BIG APPLE!", None, "I love NYC!"),
    (["Python"], {}, "PYTHON rocks", None, "python rocks"),
    ([("world", "Earth")], {}, "Hello WORLD, hello World.", None, "Hello Earth, hello Earth."),
    ([("foo", "")], {}, "a foo b", None, "a  b"),
    ([("a", "xxx"), ("b", "")], {}, "a b a", None, "xxx  xxx"),
    ([(" new", "N")], {}, "a, new", None, "a, N"),  # the leading space stays
    ([("cat", "dog")], {}, "concatenate cat", None, "concatenate dog"),
    ([("cat", "dog")], {"allow_overlaps": True}, "concatenate", None, "condogenate"),
    ([("new", "N"), ("new york", "NY")], {}, "new york, new", None, "NY, N"),
    ([("Apple", "Fruit")], {"case_sensitive": True}, "apple Apple", None, "apple Fruit"),
    ([("café", "coffee")], {}, "UN CAFÉ NOIR", None, "UN coffee NOIR"),
    ([("hello", "Hello")], {}, "say helo", 0.8, "say Hello"),
    ([("hello", "Hi")], {}, "say helo", 0.8, "say helo"),  # the short clean name lowers the score
    ([("abc", "ABC")], {}, "xx abd yy", 0.6, "xx ABCd yy"),
    # lower-casing that changes byte lengths before or inside a match
    ([("kelvin", "K-unit")], {}, "\u212aELVIN and kelvin", None, "K-unit and K-unit"),
    ([("x", "Y")], {}, "İ x", None, "İ Y"),
    ([("x", "Y")], {}, "İİ ẞ \u212a x İ", None, "İİ ẞ \u212a Y İ"),
    ([("straße", "street")], {}, "STRAẞE and STRASSE", None, "street and STRASSE"),
    ([("οδος", "road"), ("x", "Y")], {}, "ΟΔΟΣ x ΟΔΟΣ", None, "road Y road"),
    ([("i\u0307", "dot")], {}, "İ and i\u0307", None, "dot and dot"),
    # fuzzy bounds inside a character widen to the whole character
    ([("eclair", None)], {}, "éclair", 0.8, "eclair"),
    ([("aé", "X")], {"allow_overlaps": True}, "İÉ", 0.6, "X"),
    ([("éa", "X")], {}, "éẞ", 0.5, "X"),
    ([("aa", "X")], {}, "aéa", 0.5, "XX"),  # the second span is clipped
    ([("aa", "X")], {}, "Zz aéa zZ", 0.5, "Zz XX zZ"),
    # a zero-width span followed by one with the same start: both names, in order
    ([(" ", "A"), ("x", "B")], {"allow_overlaps": True}, " x", None, " AB"),
    ([(" ", "A"), ("x", "B")], {"allow_overlaps": True}, "  x", None, " A AB"),
    # a fuzzy match ending before it starts is left alone
    ([(" ", "S")], {}, " ", 0.5, " "),
    ([(" ", "S"), ("ab", "T")], {}, " ab ", 0.5, " T "),
]


@pytest.mark.parametrize("keywords, flags_, text, threshold, expected", CASES)
def test_replacement(keywords, flags_, text, threshold, expected):
    kp = processor(*keywords, **flags_)
    assert kp.replace_keywords(text, threshold) == expected


@pytest.mark.parametrize("keywords, flags_, text, threshold, expected", CASES)
def test_replacement_model_agrees_with_hand_worked_cases(keywords, flags_, text, threshold, expected):
    _, model = build(keywords, **flags_)
    assert model.replace(text, threshold) == expected


def test_degenerate_fuzzy_match_is_reported_but_not_replaced():
    kp = processor((" ", "S"))
    assert matches(kp, " ", 0.5) == [M("S", 1, 0, 1.0)]
    assert kp.replace_keywords(" ", 0.5) == " "


def test_replacement_returns_a_new_str_and_leaves_the_processor_alone():
    kp = processor(("a", "b"))
    text = "a a"
    out = kp.replace_keywords(text)
    assert out == "b b" and type(out) is str and text == "a a"
    assert kp.get_all_keywords() == {"a": "b"} and len(kp) == 1


@pytest.mark.parametrize("threshold", [None, 1, 1.0, 1.00000001, True])
def test_exact_thresholds(threshold):
    kp = processor(("app", "A"), ("apple", "B"))
    assert kp.replace_keywords("apple pie", threshold) == "B pie"


def test_fuzzy_threshold_changes_only_which_matches_are_found():
    kp = processor(("app", "A"), ("apple", "B"))
    assert kp.replace_keywords("apple pie", 0.9) == "Ale pie"
    assert kp.replace_keywords(text="apple pie", threshold=-0.0) == kp.replace_keywords("apple pie", 0.0)


@pytest.mark.parametrize("threshold", [1.5, float("nan"), -0.1, 2, float("inf")])
@pytest.mark.parametrize("text", ["a", ""])
def test_threshold_out_of_range(threshold, text):
    kp = processor("a")
    with raises_panic(THRESHOLD_MESSAGE):
        kp.replace_keywords(text, threshold)
    assert kp.replace_keywords("a b") == "a b"


@pytest.mark.parametrize(
    "args, message",
    [
        ((5,), "argument 'text': 'int' object cannot be converted to 'PyString'"),
        ((None,), "argument 'text': 'NoneType' object cannot be converted to 'PyString'"),
        ((b"a",), "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
        (("a", "0.5"), "argument 'threshold': must be real number, not str"),
        (("a", [1.0]), "argument 'threshold': must be real number, not list"),
    ],
)
def test_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        processor("a").replace_keywords(*args)
    assert str(info.value) == message


def test_string_threshold_is_refused_before_the_range_check():
    with pytest.raises(TypeError):
        processor("a").replace_keywords("", "2.0")


def test_lone_surrogate_text_raises_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        processor("a").replace_keywords("a \ud800")


# --- properties ----------------------------------------------------------------------

# Characters whose lower-case form has the same UTF-8 length as the character.
SAME_WIDTH_CHARS = ["a", "b", "c", "k", "A", "B", "1", "_", "-", ".", " ", "\t", "é", "É", "ñ", "Ñ", "ß", "σ", "ς", "😀", "\u0307"]
# Characters that change width, lower by context, or are long.
ANY_WIDTH_CHARS = SAME_WIDTH_CHARS + ["İ", "\u212a", "ẞ", "Σ", "\u2126", "Ω", "\u1e9e", "\u0130", "\u01c5", "\u1f88"]
same_width_keywords = st.lists(
    st.tuples(st.text(alphabet=SAME_WIDTH_CHARS, max_size=4), st.none() | st.text(alphabet="xyZ é😀", max_size=4)),
    max_size=6,
)
any_keywords = st.lists(
    st.tuples(st.text(alphabet=ANY_WIDTH_CHARS, max_size=4), st.none() | st.text(alphabet="xyZ é😀", max_size=4)),
    max_size=6,
)


@settings(max_examples=300)
@given(entries=same_width_keywords, case_sensitive=flags, allow_overlaps=flags, boundaries=boundary_sets, data=st.data())
def test_exact_replacement_splices_at_the_reported_offsets(entries, case_sensitive, allow_overlaps, boundaries, data):
    """Where lower-casing keeps every character's width, the offsets that
    extraction reports can be applied to the caller's text directly."""
    kp, _ = build(entries, case_sensitive, allow_overlaps, boundaries)
    text = data.draw(texts_around([k for k, _ in entries], chars=SAME_WIDTH_CHARS), label="text")
    found = matches(kp, text)
    assume(not has_zero_width_then_same_start(found))
    assert kp.replace_keywords(text) == replace_in_place(text, found)


@settings(max_examples=150)
@given(
    entries=st.lists(st.tuples(st.text(alphabet="abc ", max_size=4), st.none() | st.text(alphabet="XYZ", max_size=3)), max_size=3),
    allow_overlaps=flags,
    threshold=st.sampled_from([0.5, 0.6, 0.67, 0.75, 0.8, 0.9]),
    text=st.text(alphabet="abcABC -", max_size=10),
)
def test_fuzzy_replacement_on_ascii_splices_at_the_reported_offsets(entries, allow_overlaps, threshold, text):
    kp, _ = build(entries, False, allow_overlaps)
    found = matches(kp, text, threshold)
    try:
        expected = replace_in_place(text, found)
    except SpliceError:
        assume(False)
    assume(not has_zero_width_then_same_start(found))
    assert kp.replace_keywords(text, threshold) == expected


@settings(max_examples=300)
@given(
    entries=any_keywords,
    case_sensitive=flags,
    allow_overlaps=flags,
    boundaries=boundary_sets,
    threshold=st.none() | st.sampled_from([0.5, 0.6, 0.67, 0.75, 0.8, 0.9]),
    data=st.data(),
)
def test_replacement_maps_spans_to_whole_characters(entries, case_sensitive, allow_overlaps, boundaries, threshold, data):
    kp, _ = build(entries, case_sensitive, allow_overlaps, boundaries)
    text = data.draw(texts_around([k for k, _ in entries], chars=ANY_WIDTH_CHARS, max_pieces=6), label="text")
    if threshold is not None and len(text.encode()) > 14:
        text = text[:5]
    found = matches(kp, text, threshold)
    assert kp.replace_keywords(text, threshold) == replace_by_characters(text, found, case_sensitive)


@settings(max_examples=100)
@given(
    entries=any_keywords,
    case_sensitive=flags,
    text=st.text(st.characters(blacklist_categories=("Cs",)), max_size=16),
)
def test_replacement_on_arbitrary_text_is_character_aligned(entries, case_sensitive, text):
    kp, _ = build(entries, case_sensitive)
    found = matches(kp, text)
    out = kp.replace_keywords(text)
    assert out == replace_by_characters(text, found, case_sensitive)
    if not found:
        assert out == text


@settings(max_examples=100)
@given(
    entries=st.lists(st.tuples(st.text(alphabet="aé İ", min_size=1, max_size=3), st.sampled_from(["X", "", "YY"])), min_size=1, max_size=3),
    allow_overlaps=flags,
    threshold=st.sampled_from([0.5, 0.6, 0.67, 0.75]),
    text=st.text(alphabet=["a", "é", "É", "İ", "ẞ", "\u212a", " ", "Σ"], max_size=6),
)
def test_fuzzy_replacement_never_fails_on_multibyte_text(entries, allow_overlaps, threshold, text):
    kp, model = build(entries, False, allow_overlaps)
    out = kp.replace_keywords(text, threshold)
    assert out == model.replace(text, threshold)
