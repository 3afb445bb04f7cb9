"""Removing keywords and listing them."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from termsweep import KeywordProcessor
from models import M, ModelProcessor
from support import KEYWORD_CHARS, matches, texts_around, processor



# --- removal ------------------------------------------------------------------------------


def test_removing_an_unknown_keyword_returns_false():
    kp = processor("cat")
    assert kp.remove_keyword("dog") is False
    assert kp.remove_keyword("ca") is False
    assert kp.remove_keyword("cats") is False
    assert kp.remove_keyword("") is False
    assert KeywordProcessor().remove_keyword("anything") is False
    assert len(kp) == 1 and matches(kp, "cat") == [M("cat", 0, 3)]


def test_removing_a_prefix_that_is_not_a_keyword():
    kp = processor("new york")
    assert kp.remove_keyword("new") is False
    assert matches(kp, "new york") == [M("new york", 0, 8)]
    assert len(kp) == 1


def test_removing_the_longer_of_two_nested_keywords():
    kp = processor("new", "new york")
    assert kp.remove_keyword("new york") is True
    assert matches(kp, "new york") == [M("new", 0, 3)]
    assert kp.get_all_keywords() == {"new": "new"}
    assert len(kp) == 1


def test_removing_the_shorter_of_two_nested_keywords():
    kp = processor("new", "new york")
    assert kp.remove_keyword("new") is True
    assert matches(kp, "new york") == [M("new york", 0, 8)]
    assert matches(kp, "new") == []
    assert kp.get_all_keywords() == {"new york": "new york"}


def test_removing_twice():
    kp = processor("cat")
    assert kp.remove_keyword("cat") is True
    assert kp.remove_keyword("cat") is False
    assert len(kp) == 0 and not kp
    assert kp.get_all_keywords() == {}
    assert kp.replace_keywords("cat") == "cat"


@pytest.mark.parametrize(
    "case_sensitive, added, removed, result",
    [
        (False, "Python", "PYTHON", True),
        (False, "Python", "python", True),
        (True, "Python", "python", False),
        (True, "Python", "Python", True),
        (False, "Café", "CAFÉ", True),
        (False, "İ", "i\u0307", True),
        (False, "ΟΔΟΣ", "οδος", True),
        (False, "ΟΔΟΣ", "οδοσ", False),
        (False, "ẞ", "ß", True),
        (False, "\u212a", "k", True),
        (False, "😀", "😀", True),
        (False, "é", "e", False),
    ],
)
def test_removal_folds_like_insertion(case_sensitive, added, removed, result):
    kp = processor(added, "other", case_sensitive=case_sensitive)
    assert kp.remove_keyword(removed) is result
    assert len(kp) == (1 if result else 2)
    assert kp.remove_keyword(removed) is False
    assert "other" in kp.get_all_keywords()


def test_removal_of_a_multibyte_keyword_keeps_its_siblings():
    kp = processor("é", "è", "ée")  # 'é' and 'è' share their first byte
    assert kp.remove_keyword("é") is True
    assert kp.get_all_keywords() == {"è": "è", "ée": "ée"}
    assert matches(kp, "é è ée") == [M("è", 3, 5), M("ée", 6, 9)]


def test_empty_keyword_listing_and_removal():
    kp = processor("", "a")
    assert kp.get_all_keywords() == {"": "", "a": "a"}
    assert kp.remove_keyword("") is True
    assert kp.remove_keyword("") is False
    assert kp.get_all_keywords() == {"a": "a"}
    assert len(kp) == 1


def test_removed_keyword_can_be_added_again():
    kp = processor(("cat", "Cat"))
    kp.remove_keyword("cat")
    kp.add_keyword("cat", "Kitty")
    assert matches(kp, "cat") == [M("Kitty", 0, 3)]


def test_removal_arguments():
    kp = processor("cat")
    with pytest.raises(TypeError) as info:
        kp.remove_keyword(5)
    assert str(info.value) == "argument 'keyword': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as info:
        kp.remove_keyword(b"cat")
    assert str(info.value) == "argument 'keyword': 'bytes' object cannot be converted to 'PyString'"
    with pytest.raises(UnicodeEncodeError):
        kp.remove_keyword("cat\ud800")
    assert kp.get_all_keywords() == {"cat": "cat"}
    assert kp.remove_keyword(keyword="cat") is True


# --- listing --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "keywords, flags, expected",
    [
        ([], {}, {}),
        ([("NY", "New York"), "Python"], {}, {"ny": "New York", "python": "python"}),
        (["Café"], {}, {"café": "café"}),
        ([("Café", "Coffee")], {}, {"café": "Coffee"}),
        (["Café"], {"case_sensitive": True}, {"Café": "Café"}),
        (["日本語", "😀", "ñ"], {}, {"日本語": "日本語", "😀": "😀", "ñ": "ñ"}),
        (["a\x00b"], {}, {"a\x00b": "a\x00b"}),
        (["a", "ab", "abc"], {}, {"a": "a", "ab": "ab", "abc": "abc"}),
    ],
)
def test_listing(keywords, flags, expected):
    kp = processor(*keywords, **flags)
    listing = kp.get_all_keywords()
    assert type(listing) is dict
    assert listing == expected
    assert all(type(k) is str and type(v) is str for k, v in listing.items())


def test_listing_is_a_fresh_dict():
    kp = processor("a")
    first = kp.get_all_keywords()
    first["b"] = "b"
    del first["a"]
    assert kp.get_all_keywords() == {"a": "a"}
    assert kp.get_all_keywords() is not kp.get_all_keywords()


def test_listing_then_adding_does_not_change_an_old_listing():
    kp = processor("a")
    listing = kp.get_all_keywords()
    kp.add_keyword("b")
    kp.remove_keyword("a")
    assert listing == {"a": "a"}


# --- random sequences ------------------------------------------------------------------------

operation = st.one_of(
    st.tuples(st.just("add"), st.text(alphabet=KEYWORD_CHARS, max_size=4), st.none() | st.text(alphabet="xyzé", max_size=3)),
    st.tuples(st.just("remove"), st.text(alphabet=KEYWORD_CHARS, max_size=4), st.none()),
)


@settings(max_examples=200)
@given(case_sensitive=st.booleans(), ops=st.lists(operation, max_size=25), data=st.data())
def test_random_additions_and_removals(case_sensitive, ops, data):
    kp = KeywordProcessor(case_sensitive=case_sensitive)
    model = ModelProcessor(case_sensitive=case_sensitive)
    for op, keyword, clean in ops:
        if op == "add":
            assert kp.add_keyword(keyword, clean) is None
            model.add_keyword(keyword, clean)
        else:
            assert kp.remove_keyword(keyword) is model.remove_keyword(keyword)
        assert len(kp) == len(model)
    listing = kp.get_all_keywords()
    assert listing == model.keywords
    assert len(listing) == len(kp)
    assert repr(kp) == f"KeywordProcessor(num_keywords={len(model)})"
    text = data.draw(texts_around(list(model.keywords)), label="text")
    assert matches(kp, text) == model.extract(text)


@settings(max_examples=100)
@given(keywords=st.lists(st.text(alphabet="ab", max_size=4), max_size=12), data=st.data())
def test_removing_everything_empties_the_processor(keywords, data):
    kp = KeywordProcessor()
    for k in keywords:
        kp.add_keyword(k)
    order = data.draw(st.permutations(sorted(set(keywords))))
    for i, k in enumerate(order):
        assert kp.remove_keyword(k) is True
        assert len(kp) == len(order) - i - 1
        assert len(kp.get_all_keywords()) == len(kp)
    assert kp.get_all_keywords() == {} and len(kp) == 0
    assert kp.extract_keywords("a b ab aab", 0.5) == []
