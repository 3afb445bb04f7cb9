"""Keyword extraction, exact and fuzzy, against hand-worked cases and the
reference models."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from termsweep import KeywordProcessor, PyKeywordMatch
from models import M, ModelProcessor
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



# --- threshold -------------------------------------------------------------------------


@pytest.mark.parametrize("threshold", [1.5, -0.1, float("nan"), 2, float("inf"), -float("inf"), 1.0001, -1e-30])
@pytest.mark.parametrize("text", ["x", ""])
def test_threshold_out_of_range_is_an_internal_failure(threshold, text):
    kp = processor("x")
    with raises_panic(THRESHOLD_MESSAGE):
        kp.extract_keywords(text, threshold)
    with raises_panic(THRESHOLD_MESSAGE):
        kp.extract_keywords(text=text, threshold=threshold)


def test_threshold_check_runs_even_on_an_empty_processor():
    with raises_panic(THRESHOLD_MESSAGE):
        KeywordProcessor().extract_keywords("", threshold=2)


@pytest.mark.parametrize("threshold", [None, 1, 1.0, 1.0000000001, 1.00000001, 0.99999999, True])
def test_thresholds_that_select_exact_mode(threshold):
    kp = processor("app", "apple")
    # exact mode takes the longest keyword; fuzzy mode would report 'app'
    assert matches(kp, "apple pie", threshold) == [M("apple", 0, 5, 1.0)]


@pytest.mark.parametrize("threshold", [0, 0.0, -0.0, 1e-30, 0.5, 0.99999])
def test_thresholds_that_select_fuzzy_mode(threshold):
    kp = processor("ab")
    found = matches(kp, "ab", threshold)
    assert found == [M("ab", 0, 2, 1.0)]


@pytest.mark.parametrize("threshold", [0.9, 0.95, 0.99999994])  # the last is 1 - 2**-24 in 32 bits
def test_fuzzy_mode_scores_the_shorter_exact_keyword_first(threshold):
    kp = processor("app", "apple")
    assert matches(kp, "apple pie", threshold) == [M("app", 0, 3, 1.0)]


# --- exact mode ---------------------------------------------------------------------------

EXACT_CASES = [
    # (keywords, flags, text, expected)
    (["Python"], {}, "I like PYTHON.", [M("python", 7, 13)]),
    (["new", "new york"], {}, "new york", [M("new york", 0, 8)]),
    (["new", "new york"], {}, "new yorkshire", []),
    (["new", "new york"], {}, "new yorkshire new", [M("new", 14, 17)]),
    (["cat"], {}, "concatenate", []),
    (["cat"], {"allow_overlaps": True}, "concatenate", [M("cat", 3, 6)]),
    (["cat"], {}, "cat cat", [M("cat", 0, 3), M("cat", 4, 7)]),
    (["cat"], {}, "cat_cat cat1 cat", [M("cat", 13, 16)]),
    (["cat"], {}, "(cat)-cat.", [M("cat", 1, 4), M("cat", 6, 9)]),
    (["ab", "bc"], {"allow_overlaps": True}, "abc", [M("ab", 0, 2)]),
    (["ab", "bc"], {"allow_overlaps": True}, "xbc", [M("bc", 1, 3)]),
    (["café"], {}, "un café", [M("café", 3, 8)]),
    (["café"], {}, "UN CAFÉ!", [M("café", 3, 8)]),
    (["new"], {}, "ñnew", [M("new", 2, 5)]),
    (["new"], {}, "newñ", [M("new", 0, 3)]),
    ([""], {}, "anything at all", []),
    ([""], {"allow_overlaps": True}, "a", []),
    ([("", "EMPTY")], {}, " x ", []),
    ([" "], {}, "  ", [M(" ", 1, 1), M(" ", 2, 2)]),
    ([" "], {}, "a b", []),
    (["\t"], {"allow_overlaps": True}, "a\tb", [M("\t", 2, 2)]),
    ([" new"], {}, "a new", []),  # the byte before the space is a word byte
    ([" new"], {}, "a, new", [M(" new", 3, 6)]),
    (["new "], {}, "new x", []),
    (["new "], {}, "new , x", [M("new ", 0, 4)]),
    (["x", "x y", "x y z"], {}, "x y z x y x", [M("x y z", 0, 5), M("x y", 6, 9), M("x", 10, 11)]),
    ([("py", "Python"), ("js", "JavaScript")], {}, "py, js", [M("Python", 0, 2), M("JavaScript", 4, 6)]),
    ([("x", "")], {}, "x", [M("", 0, 1)]),
    (["Apple"], {"case_sensitive": True}, "apple Apple APPLE", [M("Apple", 6, 11)]),
    (["a"], {}, "a" * 5, []),
    (["a"], {"allow_overlaps": True}, "aaa", [M("a", 0, 1), M("a", 1, 2), M("a", 2, 3)]),
    (["aa"], {"allow_overlaps": True}, "aaa", [M("aa", 0, 2)]),
    (["😀"], {}, "a😀b 😀", [M("😀", 7, 11)]),
    (["😀"], {}, "-😀- 😀", [M("😀", 1, 5), M("😀", 7, 11)]),
    (["é"], {}, "éé", [M("é", 0, 2), M("é", 2, 4)]),
    (["1.5"], {}, "v1.5 1.5", [M("1.5", 5, 8)]),
    (["c++"], {}, "c++ and c+++", [M("c++", 0, 3), M("c++", 8, 11)]),
    ([], {}, "nothing here", []),
    (["x"], {}, "", []),
]


@pytest.mark.parametrize("keywords, flags_, text, expected", EXACT_CASES)
def test_exact_extraction(keywords, flags_, text, expected):
    kp = processor(*keywords, **flags_)
    assert matches(kp, text) == expected
    assert matches(kp, text, 1.0) == expected


@pytest.mark.parametrize("keywords, flags_, text, expected", EXACT_CASES)
def test_exact_reference_model_agrees_with_hand_worked_cases(keywords, flags_, text, expected):
    model = ModelProcessor(**flags_)
    for entry in keywords:
        model.add_keyword(*(entry if isinstance(entry, tuple) else (entry,)))
    assert model.extract(text) == expected


def test_result_is_a_fresh_list_of_match_objects():
    kp = processor("a")
    first = kp.extract_keywords("a a")
    assert type(first) is list and all(type(m) is PyKeywordMatch for m in first)
    first.clear()
    assert len(kp.extract_keywords("a a")) == 2
    assert kp.extract_keywords("b") == []


def test_exact_similarity_is_exactly_one():
    (m,) = processor("a").extract_keywords("a")
    assert m.similarity == 1.0 and type(m.similarity) is float


def test_removed_keyword_is_no_longer_found_but_its_prefix_is():
    kp = processor("new", "new york")
    assert kp.remove_keyword("new york")
    assert matches(kp, "new york") == [M("new", 0, 3)]


# --- fuzzy mode --------------------------------------------------------------------------

FUZZY_CASES = [
    # (keywords, flags, text, threshold, expected)
    (["app", "apple"], {}, "apple pie", 0.9, [M("app", 0, 3, 1.0)]),
    (["hello"], {}, "say helo", 0.8, [M("hello", 4, 8, 0.800000011920929)]),
    (["eclair"], {}, "éclair", 0.8, [M("eclair", 1, 7, 0.8299999833106995)]),
    (["abc"], {}, "xx abd yy", 0.6, [M("abc", 3, 5, 0.6700000166893005)]),
    (["hello"], {}, "hello", 0.5, [M("hello", 0, 5, 1.0)]),
    (["hello"], {}, "HELLO world", 0.9, [M("hello", 0, 5, 1.0)]),
    (["hello"], {}, "xhelo", 0.8, []),
    (["hello"], {"allow_overlaps": True}, "xhelo", 0.8, [M("hello", 1, 5, 0.800000011920929)]),
    ([""], {}, "abc", 0.5, []),
    # a candidate that consumed no text byte does not compete; the root's
    # clean name still scores when text bytes are skipped
    ([("", "something"), "cat"], {}, "cat", 0.5, [M("cat", 0, 3, 1.0)]),
    (
        [("", "something"), "cat"],
        {"allow_overlaps": True},
        "a cat",
        0.1,
        [M("something", 0, 1, 0.8899999856948853), M("something", 2, 1, 0.8899999856948853), M("cat", 2, 5, 1.0)],
    ),
    ([("a", "alpha")], {}, "b", 0.8, [M("alpha", 0, 1, 0.800000011920929)]),
    ([("a", "alpha")], {}, "a", 0.8, [M("alpha", 0, 1, 1.0)]),
    ([("a", "alpha")], {}, "b a", 0.8, [M("alpha", 0, 1, 0.800000011920929), M("alpha", 2, 3, 1.0)]),
    # leading whitespace moves the start, a trailing one the end
    ([" "], {}, " ", 0.5, [M(" ", 1, 0, 1.0)]),
    # at offset 0 the space is skipped as one edit (2 of 3 bytes right)
    (["ab"], {}, " ab", 0.5, [M("ab", 1, 3, 0.6700000166893005)]),
    (["ab"], {}, " ab", 0.7, [M("ab", 1, 3, 1.0)]),
    # the end check looks up to three bytes ahead
    (["hello"], {}, "hellxyz", 0.8, []),
    # equally good candidates: children are visited in ascending byte order,
    # all substitutions before all keyword-byte skips
    ([("b", "c0"), ("aa", "c1")], {}, "a", 0.5, [M("c1", 0, 1, 0.5)]),
    ([("cc", "c0"), ("a", "c1")], {}, "bc", 0.5, [M("c0", 0, 2, 0.5)]),
    ([("ba", "c0"), ("ca", "c1"), ("ca", "c2")], {}, " aca ", 0.5, [M("c2", 1, 2, 0.5)]),
]


@pytest.mark.parametrize("keywords, flags_, text, threshold, expected", FUZZY_CASES)
def test_fuzzy_extraction(keywords, flags_, text, threshold, expected):
    kp = processor(*keywords, **flags_)
    assert matches(kp, text, threshold) == expected


@pytest.mark.parametrize("keywords, flags_, text, threshold, expected", FUZZY_CASES)
def test_fuzzy_reference_model_agrees_with_hand_worked_cases(keywords, flags_, text, threshold, expected):
    model = ModelProcessor(**flags_)
    for entry in keywords:
        model.add_keyword(*(entry if isinstance(entry, tuple) else (entry,)))
    assert model.extract(text, threshold) == expected


# Candidates that consume no text byte (clean names longer than their keys)
# do not compete; before, the best of them hid every other keyword and was
# then refused.
ZERO_CONSUMPTION_CASES = [
    # (keywords, text, threshold, expected)
    (["python", ("", "x")], "say pythn now", 0.8, [M("python", 4, 9, 0.8299999833106995)]),
    ([("", "x"), "cat"], "cat", 0.5, [M("cat", 0, 3, 1.0)]),
    ([("", "x")], "abc", 0.0, []),  # skipping text bytes scores 1 - k/k = 0
    ([("", "x"), "ab"], "ab ba", 0.0, [M("ab", 0, 2, 1.0)]),
    # "p" standing in for "r" consumes a byte and scores 1 - 1/12 like the
    # skipped "r" did, more than "python" (1 - 1/6), so it still wins there
    # and is refused by the end check; at offset 0 it is accepted
    (["python", ("R", "R (language)")], "say pythn now", 0.8, [M("R (language)", 0, 1, 0.9200000166893005)]),
    ([("a", "alpha")], "b", 0.0, [M("alpha", 0, 1, 0.800000011920929)]),
]


@pytest.mark.parametrize("keywords, text, threshold, expected", ZERO_CONSUMPTION_CASES)
def test_fuzzy_candidates_must_consume_text(keywords, text, threshold, expected):
    assert matches(processor(*keywords), text, threshold) == expected


def test_fuzzy_similarity_is_rounded_float32():
    kp = processor("abcdefg")
    (m,) = kp.extract_keywords("abcdeg", 0.5)  # one edit out of seven: 0.857...
    assert m.similarity == float.fromhex("0x1.b851ecp-1")  # float32(0.86)
    assert repr(m) == "KeywordMatch(keyword='abcdefg', similarity=0.86, start=0, end=6)"


def test_fuzzy_similarity_uses_the_clean_name_length():
    kp = processor(("abcd", "X"))
    # one edit; the clean name is one byte long, so sim = 1 - 1/max(1, k)
    found = matches(kp, "abxd", 0.5)
    assert len(found) == 1 and found[0].similarity < 1.0


def test_fuzzy_zero_threshold_on_a_tiny_input():
    kp = processor("ab")
    model = ModelProcessor()
    model.add_keyword("ab")
    for text in ["", "a", "b", "ab", "ba", "x y", "abab", "a b"]:
        assert matches(kp, text, 0.0) == model.extract(text, 0.0)


# --- properties against the reference models ------------------------------------------


@settings(max_examples=400)
@given(
    entries=keyword_entries,
    case_sensitive=flags,
    allow_overlaps=flags,
    boundaries=boundary_sets,
    data=st.data(),
)
def test_exact_extraction_matches_model(entries, case_sensitive, allow_overlaps, boundaries, data):
    kp, model = build(entries, case_sensitive, allow_overlaps, boundaries)
    text = data.draw(texts_around([k for k, _ in entries]), label="text")
    assert matches(kp, text) == model.extract(text)


@settings(max_examples=150)
@given(
    entries=keyword_entries,
    case_sensitive=flags,
    allow_overlaps=flags,
    data=st.data(),
)
def test_exact_extraction_matches_model_on_arbitrary_text(entries, case_sensitive, allow_overlaps, data):
    kp, model = build(entries, case_sensitive, allow_overlaps)
    text = data.draw(st.text(max_size=20), label="text")
    try:
        text.encode()
    except UnicodeEncodeError:
        return
    assert matches(kp, text) == model.extract(text)


FUZZY_CHARS = ["a", "b", "c", " ", "é", "B"]
fuzzy_keywords = st.text(alphabet=FUZZY_CHARS, min_size=0, max_size=4)
# short clean names of equal length make ties between candidates common
fuzzy_clean = st.none() | st.sampled_from(["c0", "c1", "c2", "z", "wxyz"]) | st.text(alphabet="xyz", max_size=6)
THRESHOLDS = [0.5, 0.6, 0.66, 0.67, 0.7, 0.75, 0.8, 0.85, 0.9, 0.95]


@settings(max_examples=250)
@given(
    entries=st.lists(st.tuples(fuzzy_keywords, fuzzy_clean), max_size=3),
    case_sensitive=flags,
    allow_overlaps=flags,
    boundaries=st.none() | st.lists(st.sampled_from(["a", "b", " ", "\u00a9", "\u00c3"]), max_size=3),
    threshold=st.sampled_from(THRESHOLDS),
    data=st.data(),
)
def test_fuzzy_extraction_matches_model(entries, case_sensitive, allow_overlaps, boundaries, threshold, data):
    kp, model = build(entries, case_sensitive, allow_overlaps, boundaries)
    text = data.draw(texts_around([k for k, _ in entries], chars=FUZZY_CHARS, max_pieces=4), label="text")
    if len(text.encode()) > 10:
        text = text.encode()[:10].decode(errors="ignore")
    assert matches(kp, text, threshold) == model.extract(text, threshold)


@settings(max_examples=600)
@given(
    entries=st.lists(
        st.tuples(st.text(alphabet="abc", min_size=1, max_size=2), st.sampled_from(["c0", "c1", "c2", "c3"])),
        min_size=3,
        max_size=5,
    ),
    text=st.text(alphabet="abc ", min_size=1, max_size=3),
    threshold=st.sampled_from([0.5, 0.5, 0.5, 0.6, 0.67]),
)
def test_fuzzy_ties_are_broken_like_the_model(entries, text, threshold):
    kp, model = build(entries)
    assert matches(kp, text, threshold) == model.extract(text, threshold)


@settings(max_examples=60)
@given(
    entries=st.lists(st.tuples(st.text(alphabet="ab ", max_size=2), fuzzy_clean), max_size=2),
    text=st.text(alphabet="ab ", max_size=4),
    threshold=st.sampled_from([0.0, 0.1, 0.25, 0.3, 0.4]),
)
def test_fuzzy_extraction_matches_model_at_low_thresholds(entries, text, threshold):
    kp, model = build(entries)
    assert matches(kp, text, threshold) == model.extract(text, threshold)


@settings(max_examples=150)
@given(entries=keyword_entries, case_sensitive=flags, allow_overlaps=flags, data=st.data())
def test_extracted_matches_are_ordered_and_disjoint(entries, case_sensitive, allow_overlaps, data):
    kp, _ = build(entries, case_sensitive, allow_overlaps)
    text = data.draw(texts_around([k for k, _ in entries]), label="text")
    folded = (text if case_sensitive else text.lower()).encode()
    found = kp.extract_keywords(text)
    clean_names = set(kp.get_all_keywords().values())
    previous_end = 0
    for m in found:
        assert previous_end <= m.start <= m.end <= len(folded)
        assert m.keyword in clean_names and m.similarity == 1.0
        previous_end = m.end
