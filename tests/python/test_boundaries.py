"""The per-processor set of word characters, observed through matching."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from termsweep import KeywordProcessor
from models import DEFAULT_WORD_CHARS, M
from support import BOUNDARY_CHARS, build, matches, texts_around


def probe_text(v: int):
    """A text with the keyword 'q' (or 'z') next to a byte of value v, and
    where the keyword sits: v is a word byte exactly when nothing is found."""
    kw = "z" if v == ord("q") else "q"
    if v < 0xC0:
        # the byte right before the keyword: v itself, or the last byte of a
        # two-byte character (U+0080..U+00BF end in 0x80..0xBF)
        before = chr(v) if v < 0x80 else bytes([0xC2, v]).decode()
        return kw, before + kw
    # lead bytes only occur at the start of a character: probe the end check
    if 0xC2 <= v <= 0xDF:
        after = bytes([v, 0x80])
    elif 0xE0 <= v <= 0xEF:
        after = bytes([v, 0xA0 if v == 0xE0 else 0x80, 0x80])
    elif 0xF0 <= v <= 0xF4:
        after = bytes([v, 0x90 if v == 0xF0 else 0x80, 0x80, 0x80])
    else:
        return None
    return kw, kw + after.decode()


PROBED = [v for v in range(256) if probe_text(v) is not None]


def word_bytes(configure=lambda kp: None):
    """The probe-able byte values that a processor configured by `configure`
    treats as word characters."""
    found = set()
    for v in PROBED:
        kp = KeywordProcessor(case_sensitive=True)
        configure(kp)
        kw, text = probe_text(v)
        kp.add_keyword(kw)
        if not kp.extract_keywords(text):
            found.add(v)
    return found


DEFAULT = {v for v in DEFAULT_WORD_CHARS if v in PROBED}


def test_default_word_characters():
    assert word_bytes() == DEFAULT
    assert len(DEFAULT) == 63
    for flags in [(False, False), (True, False)]:
        kp = KeywordProcessor(*flags)
        kp.add_keyword("cat")
        assert matches(kp, "cat_ cat- _cat 1cat cat9 é cat é") == [M("cat", 5, 8), M("cat", 28, 31)]


@pytest.mark.parametrize(
    "configure, expected",
    [
        (lambda kp: kp.set_non_word_boundaries([]), set()),
        (lambda kp: kp.set_non_word_boundaries(["x", "y"]), {ord("x"), ord("y")}),
        (lambda kp: kp.set_non_word_boundaries(("x", "y", "x")), {ord("x"), ord("y")}),
        (lambda kp: kp.set_non_word_boundaries(boundaries=["-"]), {ord("-")}),
        (lambda kp: kp.add_non_word_boundary("a"), DEFAULT),
        (lambda kp: kp.add_non_word_boundary("-"), DEFAULT | {ord("-")}),
        (lambda kp: kp.add_non_word_boundary(boundary=" "), DEFAULT | {ord(" ")}),
        (lambda kp: (kp.set_non_word_boundaries([]), kp.add_non_word_boundary("a")), {ord("a")}),
        (lambda kp: (kp.add_non_word_boundary("-"), kp.set_non_word_boundaries(["a"])), {ord("a")}),
        (lambda kp: kp.add_non_word_boundary("\U0001f600"), DEFAULT),
        (lambda kp: kp.add_non_word_boundary("\u0100"), DEFAULT),
        (lambda kp: kp.set_non_word_boundaries(["\U0001f600", "\u4e00"]), set()),
        # members U+0080..U+00FF stand for bytes of the same value
        (lambda kp: kp.add_non_word_boundary("\u00a9"), DEFAULT | {0xA9}),
        (lambda kp: kp.set_non_word_boundaries(["\u00e9", "\u00c3"]), {0xE9, 0xC3}),
        (lambda kp: kp.set_non_word_boundaries(["\x00", "\x7f"]), {0x00, 0x7F}),
    ],
)
def test_word_character_configuration(configure, expected):
    assert word_bytes(configure) == expected


def test_configured_set_is_the_processors_own():
    a, b = KeywordProcessor(), KeywordProcessor()
    a.set_non_word_boundaries([])
    for kp in (a, b):
        kp.add_keyword("cat")
    assert matches(a, "concatenate") == [M("cat", 3, 6)]
    assert matches(b, "concatenate") == []


def test_extraction_and_replacement_follow_an_added_word_character():
    kp = KeywordProcessor()
    kp.add_keyword("cat", "CAT")
    assert matches(kp, "cat-dog") == [M("CAT", 0, 3)]
    kp.add_non_word_boundary("-")
    assert matches(kp, "cat-dog") == []
    assert matches(kp, "-cat") == []
    assert kp.replace_keywords("cat-dog cat") == "cat-dog CAT"


def test_extraction_and_replacement_follow_an_emptied_set():
    kp = KeywordProcessor()
    kp.add_keyword("cat", "dog")
    kp.set_non_word_boundaries([])
    assert matches(kp, "concatenate") == [M("dog", 3, 6)]
    assert kp.replace_keywords("concatenated cats") == "condogenated dogs"


def test_fuzzy_end_check_follows_the_set():
    kp = KeywordProcessor()
    kp.add_keyword("hello")
    assert matches(kp, "helloabc", 0.8) == []
    kp.set_non_word_boundaries(["a", "b"])
    assert matches(kp, "hellobbc", 0.8) == [M("hello", 0, 5, 1.0)]


def test_a_latin1_member_stands_for_a_byte_inside_other_characters():
    kp = KeywordProcessor()
    kp.add_keyword("cat")
    # U+96C6 is E9 9B 86 in UTF-8; U+00E9 (é) is C3 A9
    assert matches(kp, "cat\u96c6") == [M("cat", 0, 3)]
    kp.add_non_word_boundary("\u00e9")
    assert matches(kp, "cat\u96c6") == []
    assert matches(kp, "caté") == [M("cat", 0, 3)]
    kp.add_non_word_boundary("\u00a9")
    assert matches(kp, "écat") == []


def test_set_replaces_previous_contents_for_good():
    kp = KeywordProcessor()
    kp.add_keyword("b")
    kp.set_non_word_boundaries(["x"])
    kp.set_non_word_boundaries(["y"])
    assert matches(kp, "xb") == [M("b", 1, 2)]
    assert matches(kp, "yb") == []
    assert matches(kp, "ab") == [M("b", 1, 2)]


class Text(str):
    pass


class Seq:
    """Passes the sequence check; iterated through __iter__."""

    def __init__(self, items, length_error=None):
        self.items = items
        self.length_error = length_error

    def __len__(self):
        if self.length_error:
            raise self.length_error
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize(
    "boundaries",
    [
        [Text("-")],
        Seq(["-"]),
        Seq(["-"], length_error=ValueError("no length")),
        Seq(["-"], length_error=TypeError("no length")),
        ("-", "-"),
    ],
    ids=["str-subclass", "sequence", "length-fails-value", "length-fails-type", "tuple"],
)
def test_accepted_boundary_sequences(boundaries):
    assert word_bytes(lambda kp: kp.set_non_word_boundaries(boundaries)) == {ord("-")}


def test_add_accepts_a_str_subclass():
    assert word_bytes(lambda kp: kp.add_non_word_boundary(Text("-"))) == DEFAULT | {ord("-")}


def generator():
    yield "-"


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("ab", TypeError, "argument 'boundaries': Can't extract `str` to `Vec`"),
        ("", TypeError, "argument 'boundaries': Can't extract `str` to `Vec`"),
        (Text("-"), TypeError, "argument 'boundaries': Can't extract `str` to `Vec`"),
        ({"-"}, TypeError, "argument 'boundaries': 'set' object cannot be converted to 'Sequence'"),
        (frozenset("-"), TypeError, "argument 'boundaries': 'frozenset' object cannot be converted to 'Sequence'"),
        ({"-": 1}, TypeError, "argument 'boundaries': 'dict' object cannot be converted to 'Sequence'"),
        (generator(), TypeError, "argument 'boundaries': 'generator' object cannot be converted to 'Sequence'"),
        (iter(["-"]), TypeError, "argument 'boundaries': 'list_iterator' object cannot be converted to 'Sequence'"),
        (None, TypeError, "argument 'boundaries': 'NoneType' object cannot be converted to 'Sequence'"),
        (5, TypeError, "argument 'boundaries': 'int' object cannot be converted to 'Sequence'"),
        (b"-", TypeError, "argument 'boundaries': 'int' object cannot be converted to 'PyString'"),
        (["-", 5], TypeError, "argument 'boundaries': 'int' object cannot be converted to 'PyString'"),
        (["-", None], TypeError, "argument 'boundaries': 'NoneType' object cannot be converted to 'PyString'"),
        (["-", b"x"], TypeError, "argument 'boundaries': 'bytes' object cannot be converted to 'PyString'"),
        (["-", "ab"], ValueError, "expected a string of length 1"),
        (["-", ""], ValueError, "expected a string of length 1"),
        (["ab", 5], ValueError, "expected a string of length 1"),  # the first bad item wins
        ([5, "ab"], TypeError, "argument 'boundaries': 'int' object cannot be converted to 'PyString'"),
        (["-", "\ud800"], UnicodeEncodeError, None),
        (["e\u0301"], ValueError, "expected a string of length 1"),
    ],
)
def test_refused_boundary_lists_leave_the_set_untouched(value, error, message):
    kp = KeywordProcessor()
    kp.add_keyword("cat")
    with pytest.raises(error) as info:
        kp.set_non_word_boundaries(value)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    assert matches(kp, "concatenate cat-") == [M("cat", 12, 15)]


@pytest.mark.parametrize(
    "value, error, message",
    [
        (5, TypeError, "argument 'boundary': 'int' object cannot be converted to 'PyString'"),
        (None, TypeError, "argument 'boundary': 'NoneType' object cannot be converted to 'PyString'"),
        (["-"], TypeError, "argument 'boundary': 'list' object cannot be converted to 'PyString'"),
        (b"-", TypeError, "argument 'boundary': 'bytes' object cannot be converted to 'PyString'"),
        ("", ValueError, "expected a string of length 1"),
        ("ab", ValueError, "expected a string of length 1"),
        ("-\U0001f600", ValueError, "expected a string of length 1"),
        ("\udfff", UnicodeEncodeError, None),
    ],
)
def test_refused_single_boundaries_leave_the_set_untouched(value, error, message):
    kp = KeywordProcessor()
    kp.add_keyword("cat")
    with pytest.raises(error) as info:
        kp.add_non_word_boundary(value)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    assert matches(kp, "concatenate cat-") == [M("cat", 12, 15)]


def test_error_raised_while_iterating_ends_the_conversion():
    class Failing(Seq):
        def __iter__(self):
            yield "-"
            raise KeyError("broken")

    kp = KeywordProcessor()
    kp.add_keyword("cat")
    with pytest.raises(KeyError):
        kp.set_non_word_boundaries(Failing(["-"]))
    assert matches(kp, "cat-") == [M("cat", 0, 3)]


def test_type_error_raised_while_iterating_is_reworded():
    class Failing(Seq):
        def __iter__(self):
            raise TypeError("cannot iterate")

    kp = KeywordProcessor()
    with pytest.raises(TypeError) as info:
        kp.set_non_word_boundaries(Failing(["-"]))
    assert str(info.value) == "argument 'boundaries': cannot iterate"


@settings(max_examples=150)
@given(
    entries=st.lists(st.tuples(st.text(alphabet="ab -é", max_size=3), st.none()), max_size=4),
    ops=st.lists(
        st.one_of(
            st.tuples(st.just("set"), st.lists(st.sampled_from(BOUNDARY_CHARS), max_size=4)),
            st.tuples(st.just("add"), st.sampled_from(BOUNDARY_CHARS)),
        ),
        max_size=4,
    ),
    allow_overlaps=st.booleans(),
    data=st.data(),
)
def test_matching_follows_any_sequence_of_configuration_changes(entries, ops, allow_overlaps, data):
    kp, model = build(entries, False, allow_overlaps)
    for op, arg in ops:
        if op == "set":
            kp.set_non_word_boundaries(arg)
            model.set_non_word_boundaries(arg)
        else:
            kp.add_non_word_boundary(arg)
            model.add_non_word_boundary(arg)
    text = data.draw(texts_around([k for k, _ in entries], chars=BOUNDARY_CHARS + ["c"]), label="text")
    assert matches(kp, text) == model.extract(text)
    assert kp.replace_keywords(text) == model.replace(text)
