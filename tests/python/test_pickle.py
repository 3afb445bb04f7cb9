"""Pickling and copying of processors and matches, and the wording of the
state readers' errors."""

import copy
import pickle
import struct

import pytest
from hypothesis import given, settings, strategies as st

from termsweep import KeywordProcessor, PyKeywordMatch

SET_BYTES = 139264
EMPTY_STATE_SIZE = 139283
ERR = "called `Result::unwrap()` on an `Err` value: "


def panic_type():
    try:
        KeywordProcessor().extract_keywords("", 2)
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        return type(error)
    raise AssertionError("no failure")


PanicException = panic_type()


def u64(n):
    return struct.pack("<Q", n)


def processor_state(root_record=b"\x00" * 9, case_sensitive=0, allow_overlaps=0, words=None):
    body = KeywordProcessor().__getstate__()[8:8 + SET_BYTES] if words is None else words
    return u64(17408) + body + root_record + bytes([case_sensitive, allow_overlaps])


def snapshot(kp, texts=("",), threshold=None):
    return (
        len(kp),
        repr(kp),
        kp.get_all_keywords(),
        [[(m.keyword, m.similarity, m.start, m.end) for m in kp.extract_keywords(t, threshold)]
         for t in texts],
        [kp.replace_keywords(t, threshold) for t in texts],
    )


def test_states_are_bytes():
    """The byte layouts themselves are pinned by the C++ state tests."""
    assert type(KeywordProcessor().__getstate__()) is bytes
    assert type(PyKeywordMatch("ab", 1.0, 0, 2).__getstate__()) is bytes


class TestReaderErrors:
    @pytest.mark.parametrize("state, description", [
        (b"", "Io(Kind(UnexpectedEof))"),
        (u64(5) + bytes(40), 'Custom("Expected 17408 elements, got 5")'),
        (u64(5) + bytes(39), "Io(Kind(UnexpectedEof))"),
        (u64(2**63) + bytes(64), "Io(Kind(UnexpectedEof))"),
        (processor_state(case_sensitive=2), "InvalidBoolEncoding(2)"),
        (processor_state(allow_overlaps=7), "InvalidBoolEncoding(7)"),
        (processor_state(root_record=u64(0) + b"\x02"), "InvalidTagEncoding(2)"),
        (processor_state(root_record=u64(1) + b"\x80"), "InvalidCharEncoding"),
        (processor_state(root_record=u64(1) + b"\xed\xa0\x80"), "InvalidCharEncoding"),
        (processor_state(root_record=u64(0) + b"\x01" + u64(5) + b"ab"),
         'Io(Custom { kind: UnexpectedEof, error: "" })'),
        (processor_state(root_record=u64(0) + b"\x01" + u64(1) + b"\xff"),
         "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })"),
        (processor_state(root_record=u64(0) + b"\x01" + u64(3) + b"a\xe2\x82"),
         "InvalidUtf8Encoding(Utf8Error { valid_up_to: 1, error_len: None })"),
        (processor_state(root_record=u64(2**64 - 1)), "Io(Kind(UnexpectedEof))"),
    ])
    def test_processor_reader_errors(self, state, description):
        kp = KeywordProcessor()
        kp.add_keyword("keep")
        before = snapshot(kp, ["keep it"])
        with pytest.raises(PanicException) as info:
            kp.__setstate__(state)
        assert str(info.value) == ERR + description
        assert snapshot(kp, ["keep it"]) == before

    @pytest.mark.parametrize("state, description", [
        (b"", "Io(Kind(UnexpectedEof))"),
        (u64(3) + b"ab", 'Io(Custom { kind: UnexpectedEof, error: "" })'),
        (u64(1) + b"\xc3" + bytes(20), "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: None })"),
        (u64(2) + b"\xc3(" + bytes(20), "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })"),
        (u64(0) + bytes(19), "Io(Kind(UnexpectedEof))"),
    ])
    def test_match_reader_errors(self, state, description):
        match = PyKeywordMatch("x", 0.5, 1, 2)
        with pytest.raises(PanicException) as info:
            match.__setstate__(state)
        assert str(info.value) == ERR + description
        assert (match.keyword, match.similarity, match.start, match.end) == ("x", 0.5, 1, 2)

    @pytest.mark.parametrize("cls, args", [(KeywordProcessor, ()), (PyKeywordMatch, ("a", 1.0, 0, 1))])
    @pytest.mark.parametrize("state", [bytearray(b"abc"), memoryview(b"abc"), "abc", None])
    def test_state_must_be_bytes(self, cls, args, state):
        with pytest.raises(TypeError) as info:
            cls(*args).__setstate__(state)
        assert str(info.value) == (f"argument 'state': '{type(state).__qualname__}' object "
                                   "cannot be converted to 'PyBytes'")

    def test_setstate_binding_errors(self):
        with pytest.raises(TypeError, match=r"^KeywordProcessor.__setstate__\(\) missing 1 required"):
            KeywordProcessor().__setstate__()
        with pytest.raises(TypeError, match=r"^PyKeywordMatch.__setstate__\(\) takes 1 positional"):
            PyKeywordMatch("a", 1, 0, 1).__setstate__(b"", b"")


class TestReading:
    def test_trailing_bytes_are_ignored(self):
        kp = KeywordProcessor()
        kp.add_keyword("x")
        restored = KeywordProcessor()
        restored.__setstate__(kp.__getstate__() + b"garbage")
        assert restored.get_all_keywords() == {"x": "x"}
        match = PyKeywordMatch("a", 0.5, 1, 2)
        match.__setstate__(PyKeywordMatch("b", 0.25, 3, 4).__getstate__() + b"\xff")
        assert repr(match) == "KeywordMatch(keyword='b', similarity=0.25, start=3, end=4)"

    def test_duplicate_keys_keep_the_later_subtree(self):
        def child(name):
            return u64(0) + b"\x01" + u64(len(name)) + name
        root = u64(2) + b"a" + child(b"first") + b"a" + child(b"second") + b"\x00"
        kp = KeywordProcessor()
        kp.__setstate__(processor_state(root_record=root))
        assert kp.get_all_keywords() == {"a": "second"} and len(kp) == 1

    @pytest.mark.parametrize("keys, listed, removable", [
        ("é".encode(), "é", True),        # a byte path that is valid UTF-8: its own form
        (b"\xe9", "\u00e9", False),        # not valid UTF-8: each key as the code point of its value
        (b"a\xc3", "a\u00c3", False),
        ("😀".encode(), "😀", False),      # one key above 0xFF: never reachable, still listed
    ])
    def test_listing_of_crafted_key_paths(self, keys, listed, removable):
        path = [chr(b) for b in keys] if keys != "😀".encode() else ["😀"]
        record = u64(0) + b"\x01" + u64(2) + b"kw"
        for key in reversed(path):
            record = u64(1) + key.encode() + record + b"\x00"
        kp = KeywordProcessor()
        kp.__setstate__(processor_state(root_record=record))
        assert kp.get_all_keywords() == {listed: "kw"} and len(kp) == 1
        assert kp.remove_keyword(listed) is removable

    def test_setstate_replaces_everything(self):
        source = KeywordProcessor(case_sensitive=True, allow_overlaps=True)
        source.add_keyword("Cat", "feline")
        source.add_non_word_boundary("-")
        target = KeywordProcessor()
        target.add_keyword("dog")
        target.__setstate__(source.__getstate__())
        assert target.get_all_keywords() == {"Cat": "feline"}
        assert target.extract_keywords("cat") == []  # case-sensitive now
        assert [m.start for m in target.extract_keywords("conCat")] == [3]  # overlaps allowed
        assert target.__getstate__() == source.__getstate__()

    def test_deep_states_round_trip(self):
        kp = KeywordProcessor()
        kp.add_keyword("k" * 1_000_000, "deep")
        state = kp.__getstate__()
        restored = KeywordProcessor()
        restored.__setstate__(state)
        assert len(restored) == 1
        assert restored.replace_keywords("k" * 1_000_000) == "deep"


class TestPickleAndCopy:
    @pytest.mark.parametrize("protocol", [2, 3, 4, 5])
    def test_processor_survives_pickle(self, protocol):
        kp = KeywordProcessor(case_sensitive=True)
        kp.add_keyword("New York", "NYC")
        kp.add_keyword("Straße")
        kp.add_keyword("")
        kp.add_non_word_boundary("-")
        restored = pickle.loads(pickle.dumps(kp, protocol=protocol))
        assert type(restored) is KeywordProcessor and restored is not kp
        texts = ["in New York", "new york", "Straße-x", "a Straße b"]
        assert snapshot(restored, texts) == snapshot(kp, texts)

    @pytest.mark.parametrize("protocol", [0, 1])
    def test_old_protocols_cannot_carry_the_classes(self, protocol):
        for obj in (KeywordProcessor(), PyKeywordMatch("a", 1.0, 0, 1)):
            with pytest.raises(Exception):
                pickle.loads(pickle.dumps(obj, protocol=protocol))

    @pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
    def test_copies_are_independent(self, copier):
        kp = KeywordProcessor()
        kp.add_keyword("a")
        duplicate = copier(kp)
        duplicate.add_keyword("b")
        assert len(kp) == 1 and len(duplicate) == 2

    @pytest.mark.parametrize("protocol", [2, 3, 4, 5])
    def test_match_survives_pickle(self, protocol):
        match = PyKeywordMatch("naïve ☃", 0.85, 3, 2**64 - 1)
        restored = pickle.loads(pickle.dumps(match, protocol=protocol))
        assert restored is not match
        assert restored.similarity == 0.8500000238418579
        assert (restored.keyword, restored.start, restored.end) == ("naïve ☃", 3, 2**64 - 1)

    def test_match_getnewargs(self):
        args = PyKeywordMatch("kw", 0.85, 1, 5).__getnewargs__()
        assert args == ("kw", 0.8500000238418579, 1, 5)
        assert [type(a) for a in args] == [str, float, int, int]

    @pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
    def test_match_copies(self, copier):
        match = PyKeywordMatch("kw", float("nan"), 0, 1)
        duplicate = copier(match)
        duplicate.keyword = "other"
        assert match.keyword == "kw" and repr(duplicate).startswith("KeywordMatch(keyword='other', similarity=NaN")


keyword_text = st.text(alphabet=st.sampled_from("abcAB éÉİß_-Σ😀"), max_size=6)


@settings(max_examples=60, deadline=None)
@given(
    case_sensitive=st.booleans(),
    allow_overlaps=st.booleans(),
    keywords=st.lists(st.tuples(keyword_text, st.none() | keyword_text), max_size=8),
    boundaries=st.none() | st.lists(st.characters(exclude_categories=("Cs",)), max_size=6),
    texts=st.lists(st.text(alphabet=st.sampled_from("abcAB éÉİß_-Σ😀"), max_size=20), min_size=1, max_size=4),
    threshold=st.sampled_from([None, 0.7, 0.9]),
)
def test_restored_processors_behave_identically(case_sensitive, allow_overlaps, keywords,
                                                 boundaries, texts, threshold):
    kp = KeywordProcessor(case_sensitive, allow_overlaps)
    for keyword, clean_name in keywords:
        kp.add_keyword(keyword, clean_name)
    if boundaries is not None:
        kp.set_non_word_boundaries(boundaries)
    restored = pickle.loads(pickle.dumps(kp))
    assert snapshot(restored, texts, threshold) == snapshot(kp, texts, threshold)
    assert restored.__getstate__() == kp.__getstate__()


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=64), st.integers(min_value=0, max_value=EMPTY_STATE_SIZE))
def test_mangled_states_never_crash(tail, cut):
    base = KeywordProcessor().__getstate__()
    for state in (base[:cut] + tail, base[:8 + SET_BYTES] + tail, tail):
        kp = KeywordProcessor()
        try:
            kp.__setstate__(state)
        except PanicException as error:
            assert str(error).startswith(ERR)
        for match_state in (tail, u64(len(tail)) + tail):
            try:
                PyKeywordMatch("a", 0, 0, 0).__setstate__(match_state)
            except PanicException as error:
                assert str(error).startswith(ERR)
