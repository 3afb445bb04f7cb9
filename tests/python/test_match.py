"""PyKeywordMatch: construction, attributes, printed form, identity semantics."""

import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from termsweep import KeywordProcessor, PyKeywordMatch


def assert_error(info, error, message):
    """The exception is exactly `error`; its text is `message`, or begins with
    it when `message` ends in ": ", or is not checked when `message` is None."""
    assert type(info.value) is error
    if message is not None:
        if message.endswith(": "):
            assert str(info.value).startswith(message)
        else:
            assert str(info.value) == message


def as_f32(x: float) -> float:
    with np.errstate(over="ignore"):
        return float(np.float32(x))


def expected_similarity_text(value: float) -> str:
    """Two decimals from the exact binary value, ties to even, no exponent."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return format(value, ".2f")


F32_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
F32_MIN_SUBNORMAL = struct.unpack("<f", b"\x01\x00\x00\x00")[0]


# --- constructor -------------------------------------------------------------------


def test_fields_by_position_and_by_name():
    a = PyKeywordMatch("new york", 1.0, 0, 8)
    b = PyKeywordMatch(end=8, start=0, similarity=1.0, keyword="new york")
    for m in (a, b):
        assert (m.keyword, m.similarity, m.start, m.end) == ("new york", 1.0, 0, 8)
        assert type(m.keyword) is str and type(m.similarity) is float
        assert type(m.start) is int and type(m.end) is int


class Text(str):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize(
    "args, expected",
    [
        (("", 0.0, 0, 0), ("", 0.0, 0, 0)),
        ((Text("käse 😀"), 0.5, 3, 1), ("käse 😀", 0.5, 3, 1)),
        (("k", 1, True, False), ("k", 1.0, 1, 0)),
        (("k", 0.85, 0, 0), ("k", 0.8500000238418579, 0, 0)),
        (("k", Floaty(), Index(7), Index(9)), ("k", 0.25, 7, 9)),
        (("k", Index(1), 0, 0), ("k", 1.0, 0, 0)),
        (("k", np.float64(0.1), np.int64(5), np.uint64(2**64 - 1)), ("k", as_f32(0.1), 5, 2**64 - 1)),
        (("k", -2.5, 2**64 - 1, 0), ("k", -2.5, 2**64 - 1, 0)),
        (("k", 1e39, 0, 0), ("k", math.inf, 0, 0)),
        (("k", -1e39, 0, 0), ("k", -math.inf, 0, 0)),
        (("k", 1e-50, 0, 0), ("k", 0.0, 0, 0)),
        (("k", 1 + 2**-24, 0, 0), ("k", 1.0, 0, 0)),  # halfway: to even
        (("k", 1 + 3 * 2**-24, 0, 0), ("k", 1 + 2**-22, 0, 0)),  # halfway: to even
    ],
)
def test_constructor_conversions(args, expected):
    m = PyKeywordMatch(*args)
    assert (m.keyword, m.similarity, m.start, m.end) == expected


def test_nan_similarity_is_kept():
    assert math.isnan(PyKeywordMatch("k", float("nan"), 0, 0).similarity)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((None, 1.0, 0, 0), TypeError, "argument 'keyword': 'NoneType' object cannot be converted to 'PyString'"),
        ((b"k", 1.0, 0, 0), TypeError, "argument 'keyword': 'bytes' object cannot be converted to 'PyString'"),
        (("k", "0.5", 0, 0), TypeError, "argument 'similarity': must be real number, not str"),
        (("k", None, 0, 0), TypeError, "argument 'similarity': must be real number, not NoneType"),
        (("k", 10**400, 0, 0), OverflowError, None),
        (("k", 1.0, -1, 0), OverflowError, None),
        (("k", 1.0, 2**64, 0), OverflowError, None),
        (("k", 1.0, 0, -1), OverflowError, None),
        (("k", 1.0, 0, 2**64), OverflowError, None),
        (("k", 1.0, 1.5, 0), TypeError, "argument 'start': "),
        (("k", 1.0, "3", 0), TypeError, "argument 'start': "),
        (("k", 1.0, 0, 2.0), TypeError, "argument 'end': "),
        (("k", 1.0, 0, None), TypeError, "argument 'end': "),
        (("k", 1.0, Index(-1), 0), OverflowError, None),
        # converted in order: the first bad argument is reported
        ((1, "x", -1, None), TypeError, "argument 'keyword': 'int' object cannot be converted to 'PyString'"),
        (("k", "x", -1, None), TypeError, "argument 'similarity': must be real number, not str"),
        (("k", 0.5, -1, None), OverflowError, None),
        (("k", 0.5, 1, None), TypeError, "argument 'end': "),
    ],
)
def test_constructor_refusals(args, error, message):
    with pytest.raises(error) as info:
        PyKeywordMatch(*args)
    assert_error(info, error, message)


def test_keyword_with_lone_surrogate_raises_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        PyKeywordMatch("\ud800", 1.0, 0, 0)


def test_similarity_value_error_from_float_passes_unchanged():
    class Bad:
        def __float__(self):
            raise ValueError("nope")

    with pytest.raises(ValueError, match="^nope$"):
        PyKeywordMatch("k", Bad(), 0, 0)


@settings(max_examples=300)
@given(st.floats(allow_nan=True, allow_infinity=True))
def test_similarity_is_stored_as_nearest_float32(value):
    m = PyKeywordMatch("k", value, 0, 0)
    expected = as_f32(value)
    if math.isnan(expected):
        assert math.isnan(m.similarity)
    else:
        assert m.similarity == expected
        assert math.copysign(1, m.similarity) == math.copysign(1, expected)


# --- attributes ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, value, expected",
    [
        ("keyword", "changed", "changed"),
        ("keyword", Text("sub"), "sub"),
        ("keyword", "", ""),
        ("similarity", 0.85, 0.8500000238418579),
        ("similarity", 2, 2.0),
        ("similarity", 1e39, math.inf),
        ("start", 2**64 - 1, 2**64 - 1),
        ("start", True, 1),
        ("start", Index(4), 4),
        ("end", 0, 0),
        ("end", np.int32(12), 12),
    ],
)
def test_setters(name, value, expected):
    m = PyKeywordMatch("k", 0.5, 3, 4)
    setattr(m, name, value)
    assert getattr(m, name) == expected


@pytest.mark.parametrize(
    "name, value, error, message",
    [
        ("keyword", None, TypeError, "argument 'keyword': 'NoneType' object cannot be converted to 'PyString'"),
        ("keyword", 5, TypeError, "argument 'keyword': 'int' object cannot be converted to 'PyString'"),
        ("keyword", "\udc80", UnicodeEncodeError, None),
        ("similarity", "high", TypeError, "argument 'similarity': must be real number, not str"),
        ("similarity", 10**400, OverflowError, None),
        ("start", -1, OverflowError, None),
        ("start", 2**64, OverflowError, None),
        ("start", 1.5, TypeError, "argument 'start': "),
        ("end", "9", TypeError, "argument 'end': "),
        ("end", -5, OverflowError, None),
    ],
)
def test_failed_setters_leave_the_object_unchanged(name, value, error, message):
    m = PyKeywordMatch("k", 0.5, 3, 4)
    with pytest.raises(error) as info:
        setattr(m, name, value)
    assert_error(info, error, message)
    assert (m.keyword, m.similarity, m.start, m.end) == ("k", 0.5, 3, 4)


@pytest.mark.parametrize("name", ["keyword", "similarity", "start", "end"])
def test_attributes_cannot_be_deleted(name):
    m = PyKeywordMatch("k", 0.5, 3, 4)
    with pytest.raises(AttributeError) as info:
        delattr(m, name)
    assert str(info.value) == "can't delete attribute"
    assert (m.keyword, m.similarity, m.start, m.end) == ("k", 0.5, 3, 4)


def test_unknown_attribute_is_refused():
    m = PyKeywordMatch("k", 0.5, 3, 4)
    with pytest.raises(AttributeError):
        m.score = 1
    with pytest.raises(AttributeError):
        m.score


# --- printed form -----------------------------------------------------------------


@pytest.mark.parametrize(
    "similarity, text",
    [
        (1.0, "1.00"),
        (1, "1.00"),
        (0.0, "0.00"),
        (-0.0, "-0.00"),
        (0.85, "0.85"),
        (0.125, "0.12"),
        (0.375, "0.38"),
        (0.625, "0.62"),
        (0.875, "0.88"),
        (0.025, "0.03"),
        (0.015, "0.01"),
        (0.995, "1.00"),
        (0.005, "0.00"),  # just below the halfway point in 32 bits
        (-0.125, "-0.12"),
        (-0.001, "-0.00"),
        (2.5, "2.50"),
        (1234567.0, "1234567.00"),
        (1e10, "10000000000.00"),
        (float("nan"), "NaN"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
        (1e39, "inf"),
        (F32_MAX, "340282346638528859811704183484516925440.00"),
        (-F32_MAX, "-340282346638528859811704183484516925440.00"),
        (F32_MIN_SUBNORMAL, "0.00"),
        (-F32_MIN_SUBNORMAL, "-0.00"),
    ],
)
def test_repr_of_similarity(similarity, text):
    m = PyKeywordMatch("w", similarity, 1, 2)
    assert repr(m) == f"KeywordMatch(keyword='w', similarity={text}, start=1, end=2)"


def test_float32_max_prints_39_integer_digits():
    m = PyKeywordMatch("w", F32_MAX, 0, 0)
    number = repr(m).split("similarity=")[1].split(",")[0]
    assert len(number.split(".")[0]) == 39 and "e" not in number


@settings(max_examples=300)
@given(st.floats(width=32))
def test_repr_similarity_matches_reference_formatting(value):
    m = PyKeywordMatch("w", value, 0, 0)
    assert repr(m) == f"KeywordMatch(keyword='w', similarity={expected_similarity_text(value)}, start=0, end=0)"


@pytest.mark.parametrize(
    "keyword",
    ["new york", "", "it's", "back\\slash", "two\nlines", 'quote"', "café 😀", "\x00nul", "'"],
)
def test_repr_inserts_keyword_verbatim(keyword):
    m = PyKeywordMatch(keyword, 1.0, 0, 8)
    expected = "KeywordMatch(keyword='" + keyword + "', similarity=1.00, start=0, end=8)"
    assert repr(m) == expected
    assert str(m) == expected


def test_repr_prints_large_offsets_in_full():
    m = PyKeywordMatch("k", 0.5, 2**64 - 1, 18446744073709551614)
    assert repr(m) == "KeywordMatch(keyword='k', similarity=0.50, start=18446744073709551615, end=18446744073709551614)"


def test_repr_of_an_extracted_match():
    kp = KeywordProcessor()
    kp.add_keyword("New York")
    (m,) = kp.extract_keywords("I love new york")
    assert repr(m) == "KeywordMatch(keyword='new york', similarity=1.00, start=7, end=15)"


# --- identity ---------------------------------------------------------------------


def test_equality_and_hash_are_by_identity():
    a = PyKeywordMatch("k", 1.0, 0, 1)
    b = PyKeywordMatch("k", 1.0, 0, 1)
    assert a == a and not (a != a)
    assert a != b and not (a == b)
    assert hash(a) == hash(a) and hash(a) != hash(b)
    assert len({a, b}) == 2
    with pytest.raises(TypeError):
        a < b


def test_extracted_matches_are_distinct_objects():
    kp = KeywordProcessor()
    kp.add_keyword("a")
    first, second = kp.extract_keywords("a a")
    again = kp.extract_keywords("a a")
    assert first != second and first is not again[0] and first != again[0]
    assert all(type(m) is PyKeywordMatch for m in (first, second))


def test_matches_outlive_and_ignore_their_processor():
    kp = KeywordProcessor()
    kp.add_keyword("Python", "Snake")
    (m,) = kp.extract_keywords("python")
    kp.add_keyword("Python", "Changed")
    kp.remove_keyword("python")
    kp.set_non_word_boundaries([])
    assert (m.keyword, m.similarity, m.start, m.end) == ("Snake", 1.0, 0, 6)
    del kp
    assert (m.keyword, m.similarity, m.start, m.end) == ("Snake", 1.0, 0, 6)
    m.keyword = "mine"
    assert m.keyword == "mine"


def test_changing_one_extracted_match_does_not_touch_another():
    kp = KeywordProcessor()
    kp.add_keyword("a", "Alpha")
    first, second = kp.extract_keywords("a a")
    first.keyword = "x"
    first.start = 100
    assert (second.keyword, second.start) == ("Alpha", 2)
    assert [m.keyword for m in kp.extract_keywords("a")] == ["Alpha"]
