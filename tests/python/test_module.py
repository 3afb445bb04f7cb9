"""Module registration, classes, argument binding and the call boundary."""

import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import termsweep
from termsweep import KeywordProcessor, PyKeywordMatch
from support import THRESHOLD_MESSAGE, answer_sigint, is_panic, matches, raises_panic
from models import M


# --- module object -------------------------------------------------------------


def test_module_contents():
    assert termsweep.__name__ == "termsweep"
    assert termsweep.__all__ == ["KeywordProcessor", "PyKeywordMatch"]
    public = {name for name in dir(termsweep) if not name.startswith("__")}
    assert public == {"KeywordProcessor", "PyKeywordMatch"}
    assert termsweep.__doc__ in ("", None)


def test_star_import_binds_exactly_the_two_classes():
    namespace = {}
    exec("from termsweep import *", namespace)
    namespace.pop("__builtins__")
    assert namespace == {"KeywordProcessor": KeywordProcessor, "PyKeywordMatch": PyKeywordMatch}


def test_reimport_returns_the_cached_module():
    saved = sys.modules.pop("termsweep")
    try:
        import termsweep as again

        assert again is saved
        assert again.KeywordProcessor is KeywordProcessor
    finally:
        sys.modules["termsweep"] = saved


def test_import_in_a_second_subinterpreter_is_refused():
    script = textwrap.dedent(
        """
        import termsweep
        try:
            import _interpreters as interpreters  # 3.13 and later
        except ImportError:
            import _xxsubinterpreters as interpreters
        sid = interpreters.create()
        try:
            failure = interpreters.run_string(sid, "import termsweep")
        except getattr(interpreters, "RunFailedError", ()) as exc:  # raised up to 3.12
            print("REFUSED", exc)
        else:  # returned from 3.13 on
            print("IMPORTED" if failure is None else f"REFUSED {failure.formatted}")
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("REFUSED"), done.stdout + done.stderr
    assert "ImportError" in done.stdout


@pytest.mark.parametrize(
    "cls, name, signature",
    [
        (KeywordProcessor, "KeywordProcessor", "(case_sensitive=False, allow_overlaps=False)"),
        (PyKeywordMatch, "PyKeywordMatch", "(keyword, similarity, start, end)"),
    ],
)
def test_class_identity(cls, name, signature):
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "termsweep"
    assert cls.__bases__ == (object,)
    assert cls.__text_signature__ == signature


@pytest.mark.parametrize(
    "method, signature",
    [
        ("add_keyword", "($self, keyword, clean_name=None)"),
        ("remove_keyword", "($self, keyword)"),
        ("extract_keywords", "($self, text, threshold=None)"),
        ("parallel_extract_keywords_from_texts", "($self, texts, threshold=None)"),
        ("replace_keywords", "($self, text, threshold=None)"),
        ("parallel_replace_keywords_from_texts", "($self, texts, threshold=None)"),
        ("get_all_keywords", "($self)"),
        ("set_non_word_boundaries", "($self, boundaries)"),
        ("add_non_word_boundary", "($self, boundary)"),
        ("__setstate__", "($self, state)"),
        ("__getstate__", "($self)"),
    ],
)
def test_processor_method_signatures(method, signature):
    assert getattr(KeywordProcessor, method).__text_signature__ == signature


@pytest.mark.parametrize("cls", [KeywordProcessor, PyKeywordMatch])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "make",
    [KeywordProcessor, lambda: PyKeywordMatch("k", 1.0, 0, 1)],
    ids=["processor", "match"],
)
def test_instances_have_no_dict_and_no_weakrefs(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.colour = "red"
    with pytest.raises(AttributeError):
        obj.colour
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


# --- constructor flags ------------------------------------------------------------


def observed_flags(kp):
    """(case_sensitive, allow_overlaps) as seen through matching."""
    kp.add_keyword("Qq")
    case_sensitive = kp.extract_keywords("qq") == []
    allow_overlaps = [(m.start, m.end) for m in kp.extract_keywords("xQqx")] == [(1, 3)]
    return case_sensitive, allow_overlaps


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, (False, False)),
        ((None, None), {}, (False, False)),
        ((), {"case_sensitive": False, "allow_overlaps": False}, (False, False)),
        ((True,), {}, (True, False)),
        ((False, True), {}, (False, True)),
        ((), {"allow_overlaps": True}, (False, True)),
        ((), {"case_sensitive": True, "allow_overlaps": True}, (True, True)),
        ((None,), {"allow_overlaps": True}, (False, True)),
        ((np.bool_(True), np.bool_(False)), {}, (True, False)),
        ((np.bool_(False), np.bool_(True)), {}, (False, True)),
        ((), {"case_sensitive": np.True_}, (True, False)),
    ],
)
def test_constructor_flags(args, kwargs, expected):
    kp = KeywordProcessor(*args, **kwargs)
    assert len(kp) == 0 and repr(kp) == "KeywordProcessor(num_keywords=0)"
    assert observed_flags(kp) == expected


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "argument 'case_sensitive': 'int' object cannot be converted to 'PyBool'"),
        ((0,), {}, "argument 'case_sensitive': 'int' object cannot be converted to 'PyBool'"),
        (("yes",), {}, "argument 'case_sensitive': 'str' object cannot be converted to 'PyBool'"),
        ((1.0,), {}, "argument 'case_sensitive': 'float' object cannot be converted to 'PyBool'"),
        ((False, 0), {}, "argument 'allow_overlaps': 'int' object cannot be converted to 'PyBool'"),
        ((), {"allow_overlaps": 1}, "argument 'allow_overlaps': 'int' object cannot be converted to 'PyBool'"),
        ((np.int64(1),), {}, "argument 'case_sensitive': 'int64' object cannot be converted to 'PyBool'"),
        # both wrong: the first parameter is reported
        (("yes", "no"), {}, "argument 'case_sensitive': 'str' object cannot be converted to 'PyBool'"),
    ],
)
def test_constructor_refuses_non_bool_flags(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        KeywordProcessor(*args, **kwargs)
    assert str(info.value) == message


def test_repr_len_and_truth():
    kp = KeywordProcessor()
    assert repr(kp) == "KeywordProcessor(num_keywords=0)"
    assert len(kp) == 0 and not kp
    for word in ("a", "b", "a"):
        kp.add_keyword(word)
    assert repr(kp) == "KeywordProcessor(num_keywords=2)"
    assert len(kp) == 2 and kp
    empty = KeywordProcessor()
    empty.add_keyword("")
    assert len(empty) == 1 and bool(empty)
    assert repr(empty) == "KeywordProcessor(num_keywords=1)"


def test_processors_compare_by_identity():
    a, b = KeywordProcessor(), KeywordProcessor()
    assert a != b and a == a
    assert hash(a) == hash(a)
    with pytest.raises(TypeError):
        a < b


# --- argument binding --------------------------------------------------------


def call(target, *args, **kwargs):
    return lambda: target(*args, **kwargs)


KP = KeywordProcessor()

BINDING_ERRORS = [
    # too many positional arguments, all parameters required
    (call(KP.remove_keyword, "a", "b"), "KeywordProcessor.remove_keyword() takes 1 positional arguments but 2 were given"),
    (call(KP.set_non_word_boundaries, [], []), "KeywordProcessor.set_non_word_boundaries() takes 1 positional arguments but 2 were given"),
    (call(KP.add_non_word_boundary, "a", "b", "c"), "KeywordProcessor.add_non_word_boundary() takes 1 positional arguments but 3 were given"),
    (call(PyKeywordMatch, "a", 1, 2, 3, 4), "PyKeywordMatch.__new__() takes 4 positional arguments but 5 were given"),
    # too many positional arguments, some optional
    (call(KP.extract_keywords, "a", 0.5, 3), "KeywordProcessor.extract_keywords() takes from 1 to 2 positional arguments but 3 were given"),
    (call(KP.replace_keywords, "a", 0.5, 3, 4), "KeywordProcessor.replace_keywords() takes from 1 to 2 positional arguments but 4 were given"),
    (call(KP.add_keyword, "a", "b", "c"), "KeywordProcessor.add_keyword() takes from 1 to 2 positional arguments but 3 were given"),
    (call(KeywordProcessor, True, True, True), "KeywordProcessor.__new__() takes from 0 to 2 positional arguments but 3 were given"),
    # unexpected keyword
    (call(KP.extract_keywords, txt="a"), "KeywordProcessor.extract_keywords() got an unexpected keyword argument 'txt'"),
    (call(KP.add_keyword, "a", clean="b"), "KeywordProcessor.add_keyword() got an unexpected keyword argument 'clean'"),
    (call(KeywordProcessor, overlaps=True), "KeywordProcessor.__new__() got an unexpected keyword argument 'overlaps'"),
    (call(PyKeywordMatch, "a", 1, 2, 3, score=1), "PyKeywordMatch.__new__() got an unexpected keyword argument 'score'"),
    (call(KP.remove_keyword, self=1, keyword="a"), "KeywordProcessor.remove_keyword() got an unexpected keyword argument 'self'"),
    # given by position and by keyword
    (call(KP.extract_keywords, "a", text="b"), "KeywordProcessor.extract_keywords() got multiple values for argument 'text'"),
    (call(KP.add_keyword, "a", "b", clean_name="c"), "KeywordProcessor.add_keyword() got multiple values for argument 'clean_name'"),
    (call(KeywordProcessor, True, case_sensitive=True), "KeywordProcessor.__new__() got multiple values for argument 'case_sensitive'"),
    (call(PyKeywordMatch, "a", 1, 2, 3, start=2), "PyKeywordMatch.__new__() got multiple values for argument 'start'"),
    # missing required parameters
    (call(KP.extract_keywords), "KeywordProcessor.extract_keywords() missing 1 required positional argument: 'text'"),
    (call(KP.extract_keywords, threshold=0.5), "KeywordProcessor.extract_keywords() missing 1 required positional argument: 'text'"),
    (call(KP.add_keyword, clean_name="x"), "KeywordProcessor.add_keyword() missing 1 required positional argument: 'keyword'"),
    (call(KP.set_non_word_boundaries), "KeywordProcessor.set_non_word_boundaries() missing 1 required positional argument: 'boundaries'"),
    (call(KP.add_non_word_boundary), "KeywordProcessor.add_non_word_boundary() missing 1 required positional argument: 'boundary'"),
    (call(PyKeywordMatch), "PyKeywordMatch.__new__() missing 4 required positional arguments: 'keyword', 'similarity', 'start', and 'end'"),
    (call(PyKeywordMatch, "a"), "PyKeywordMatch.__new__() missing 3 required positional arguments: 'similarity', 'start', and 'end'"),
    (call(PyKeywordMatch, "a", 1.0), "PyKeywordMatch.__new__() missing 2 required positional arguments: 'start' and 'end'"),
    (call(PyKeywordMatch, keyword="a", end=3), "PyKeywordMatch.__new__() missing 2 required positional arguments: 'similarity' and 'start'"),
    (call(PyKeywordMatch, "a", 1.0, end=3), "PyKeywordMatch.__new__() missing 1 required positional argument: 'start'"),
    # the checks run in order: surplus positionals, then keywords, then missing ones
    (call(KP.extract_keywords, "a", 0.5, 3, txt=1), "KeywordProcessor.extract_keywords() takes from 1 to 2 positional arguments but 3 were given"),
    (call(KP.extract_keywords, "a", text="b", txt=1), "KeywordProcessor.extract_keywords() got multiple values for argument 'text'"),
    (call(PyKeywordMatch, similarity=1, bogus=2), "PyKeywordMatch.__new__() got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("thunk, message", BINDING_ERRORS)
def test_binding_errors(thunk, message):
    with pytest.raises(TypeError) as info:
        thunk()
    assert str(info.value) == message


def test_unexpected_keyword_reported_before_missing_argument():
    with pytest.raises(TypeError) as info:
        KP.extract_keywords(txt="a")
    assert "unexpected keyword argument 'txt'" in str(info.value)
    with pytest.raises(TypeError) as info:
        KP.extract_keywords(txt="a", text="b")
    assert str(info.value) == "KeywordProcessor.extract_keywords() got an unexpected keyword argument 'txt'"


@pytest.mark.parametrize("method", ["get_all_keywords", "__getstate__"])
def test_no_argument_methods_refuse_arguments(method):
    with pytest.raises(TypeError):
        getattr(KeywordProcessor(), method)(1)


def test_keyword_and_positional_forms_are_the_same_call():
    kp = KeywordProcessor()
    kp.add_keyword(keyword="hello", clean_name="Hi")
    kp.add_keyword("there", clean_name="T")
    by_position = [M.of(m) for m in kp.extract_keywords("hello there", 0.5)]
    by_name = [M.of(m) for m in kp.extract_keywords(text="hello there", threshold=0.5)]
    assert by_position == by_name == [M("Hi", 0, 5, 1.0), M("T", 6, 11, 1.0)]
    assert kp.replace_keywords(threshold=None, text="hello") == "Hi"
    assert kp.remove_keyword(keyword="there") is True


def test_none_for_an_optional_parameter_means_omitted():
    kp = KeywordProcessor()
    kp.add_keyword("Apple", None)
    kp.add_keyword("Pear", clean_name=None)
    assert kp.get_all_keywords() == {"apple": "apple", "pear": "pear"}
    assert matches(kp, "apple", None) == matches(kp, "apple") == [M("apple", 0, 5, 1.0)]


# --- argument conversion -----------------------------------------------------------


class Text(str):
    pass


def test_str_subclasses_are_accepted_as_text():
    kp = KeywordProcessor()
    kp.add_keyword(Text("Apple"), Text("Fruit"))
    assert matches(kp, Text("an apple")) == [M("Fruit", 3, 8)]
    assert kp.replace_keywords(Text("an apple")) == "an Fruit"
    assert kp.remove_keyword(Text("APPLE")) is True


@pytest.mark.parametrize(
    "method, args, message",
    [
        ("add_keyword", (None,), "argument 'keyword': 'NoneType' object cannot be converted to 'PyString'"),
        ("add_keyword", (b"kw",), "argument 'keyword': 'bytes' object cannot be converted to 'PyString'"),
        ("add_keyword", ("kw", 5), "argument 'clean_name': 'int' object cannot be converted to 'PyString'"),
        ("add_keyword", (5, 6), "argument 'keyword': 'int' object cannot be converted to 'PyString'"),
        ("remove_keyword", (5,), "argument 'keyword': 'int' object cannot be converted to 'PyString'"),
        ("extract_keywords", (5,), "argument 'text': 'int' object cannot be converted to 'PyString'"),
        ("extract_keywords", (b"x",), "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
        ("extract_keywords", (["x"],), "argument 'text': 'list' object cannot be converted to 'PyString'"),
        ("replace_keywords", (5,), "argument 'text': 'int' object cannot be converted to 'PyString'"),
        ("replace_keywords", (bytearray(b"x"),), "argument 'text': 'bytearray' object cannot be converted to 'PyString'"),
        # text is converted before threshold
        ("extract_keywords", (5, "0.5"), "argument 'text': 'int' object cannot be converted to 'PyString'"),
        ("extract_keywords", (np.str_("x"), object()), "argument 'threshold': must be real number, not object"),
    ],
)
def test_text_parameters_refuse_non_str(method, args, message):
    kp = KeywordProcessor()
    kp.add_keyword("x")
    with pytest.raises(TypeError) as info:
        getattr(kp, method)(*args)
    assert str(info.value) == message
    assert kp.get_all_keywords() == {"x": "x"}


@pytest.mark.parametrize("method", ["add_keyword", "remove_keyword", "extract_keywords", "replace_keywords"])
def test_lone_surrogates_raise_the_encoding_error(method):
    kp = KeywordProcessor()
    kp.add_keyword("x")
    with pytest.raises(UnicodeEncodeError):
        getattr(kp, method)("a\ud800b")
    assert kp.get_all_keywords() == {"x": "x"}


def test_lone_surrogate_clean_name_leaves_processor_unchanged():
    kp = KeywordProcessor()
    with pytest.raises(UnicodeEncodeError):
        kp.add_keyword("x", "\udfff")
    assert len(kp) == 0 and kp.get_all_keywords() == {}


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatSub(float):
    pass


@pytest.mark.parametrize(
    "threshold, expected_similarity",
    [
        (None, 1.0),
        (1, 1.0),
        (1.0, 1.0),
        (1.0000000001, 1.0),
        (True, 1.0),
        (Indexy(1), 1.0),
        (Floaty(1.0), 1.0),
        (FloatSub(1.0), 1.0),
        (np.float32(1.0), 1.0),
        (np.float64(0.8), 0.800000011920929),
        (Floaty(0.8), 0.800000011920929),
        (FloatSub(0.8), 0.800000011920929),
    ],
)
def test_threshold_conversions(threshold, expected_similarity):
    kp = KeywordProcessor()
    kp.add_keyword("hello")
    text = "say hello" if expected_similarity == 1.0 else "say helo"
    found = kp.extract_keywords(text, threshold)
    assert [M.of(m) for m in found] == [M("hello", 4, len(text), expected_similarity)]


def test_threshold_that_is_not_a_number_is_a_type_error_naming_threshold():
    kp = KeywordProcessor()
    for bad in ("0.5", b"1", [], object()):
        with pytest.raises(TypeError) as info:
            kp.extract_keywords("x", bad)
        assert str(info.value).startswith("argument 'threshold': ")
        with pytest.raises(TypeError) as info:
            kp.replace_keywords("x", threshold=bad)
        assert str(info.value).startswith("argument 'threshold': ")


def test_threshold_str_message_is_the_interpreters():
    with pytest.raises(TypeError) as info:
        KeywordProcessor().extract_keywords("x", threshold="0.5")
    assert str(info.value) == "argument 'threshold': must be real number, not str"


def test_threshold_overflow_passes_unchanged():
    with pytest.raises(OverflowError):
        KeywordProcessor().extract_keywords("x", 10**400)


def test_value_error_raised_by_float_passes_unchanged():
    class Bad:
        def __float__(self):
            raise ValueError("no float for you")

    with pytest.raises(ValueError) as info:
        KeywordProcessor().extract_keywords("x", Bad())
    assert type(info.value) is ValueError
    assert str(info.value) == "no float for you"


def test_type_error_raised_by_float_is_reworded_and_keeps_its_cause():
    root = KeyError("root cause")

    class Bad:
        def __float__(self):
            raise TypeError("cannot do it") from root

    for method in ("extract_keywords", "replace_keywords"):
        with pytest.raises(TypeError) as info:
            getattr(KeywordProcessor(), method)("x", Bad())
        assert str(info.value) == "argument 'threshold': cannot do it"
        assert info.value.__cause__ is root


def test_type_error_from_float_returning_non_float():
    class Bad:
        def __float__(self):
            return "nope"

    with pytest.raises(TypeError) as info:
        KeywordProcessor().extract_keywords("x", Bad())
    assert str(info.value).startswith("argument 'threshold': ")


# --- internal failures ---------------------------------------------------------


def test_panic_exception_type():
    kp = KeywordProcessor()
    caught = []
    for bad in (2.0, -0.5, float("nan")):
        try:
            kp.extract_keywords("x", bad)
        except Exception:  # pragma: no cover - must not happen
            pytest.fail("an internal failure was caught as Exception")
        except BaseException as exc:
            caught.append(exc)
    assert len(caught) == 3
    kind = type(caught[0])
    assert all(type(exc) is kind for exc in caught)
    assert kind.__name__ == "PanicException"
    assert kind.__module__ == "pyo3_runtime"
    assert kind.__bases__ == (BaseException,)
    assert not issubclass(kind, Exception)
    assert kind.__doc__
    assert all(str(exc) == THRESHOLD_MESSAGE and exc.args == (THRESHOLD_MESSAGE,) for exc in caught)
    assert not hasattr(termsweep, "PanicException")


def test_processor_stays_usable_after_a_panic():
    kp = KeywordProcessor()
    kp.add_keyword("python")
    with raises_panic(THRESHOLD_MESSAGE):
        kp.extract_keywords("python", 2.0)
    with raises_panic(THRESHOLD_MESSAGE):
        kp.replace_keywords("python", float("nan"))
    kp.add_keyword("java")
    assert len(kp) == 2
    assert matches(kp, "python java") == [M("python", 0, 6), M("java", 7, 11)]
    assert kp.replace_keywords("python") == "python"


# --- borrows ------------------------------------------------------------------------


def test_memory_exhaustion_raises_memory_error():
    """Running out of memory inside the engine raises MemoryError and leaves
    the processor usable, instead of ending the process."""
    script = textwrap.dedent(
        """
        import resource, termsweep
        kp = termsweep.KeywordProcessor()
        kp.add_keyword("a", "x" * 1000)
        text = "a " * 20_000_000
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 600 * 2**20, hard))
        for call in (kp.replace_keywords, kp.extract_keywords):
            try:
                call(text)
            except MemoryError:
                print("MemoryError")
        print(kp.replace_keywords("a b"))
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:3] == ["MemoryError", "MemoryError", "x" * 1000 + " b"]


@pytest.mark.parametrize("call", ["extract_keywords(text)", "replace_keywords(text)",
                                  "extract_keywords(text, 0.9)"])
def test_ctrl_c_interrupts_a_long_call(call):
    """SIGINT during a long single-text call raises KeyboardInterrupt from the
    call, with no result and the processor unchanged. Each call here would
    otherwise take seconds to minutes."""
    script = textwrap.dedent(
        f"""
        import os, subprocess, termsweep
        kp = termsweep.KeywordProcessor(allow_overlaps=True)
        kp.add_keyword("a" * 20_000 + "b", "long")
        kp.add_keyword("x")
        text = "a" * 400_000
        if {call!r}.endswith("0.9)"):
            kp = termsweep.KeywordProcessor()
            kp.add_keyword("quick")
            kp.add_keyword("x")
            text = "the quick brown fox " * 5_000_000
        # From another process, as a terminal would: this one holds the GIL.
        subprocess.Popen(["sh", "-c", "sleep 0.3; kill -INT " + str(os.getpid())])
        try:
            kp.{call}
            print("not interrupted")
        except KeyboardInterrupt:
            print("interrupted", len(kp), kp.extract_keywords("x y"))
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                          preexec_fn=answer_sigint)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[0].startswith("interrupted 2"), done.stdout


def test_mutation_during_a_read_is_refused_with_already_borrowed():
    kp = KeywordProcessor()
    kp.add_keyword("hello")
    seen = []

    class Threshold:
        def __float__(self):
            for attempt in (
                lambda: kp.add_keyword("intruder"),
                lambda: kp.remove_keyword("hello"),
                lambda: kp.add_non_word_boundary("-"),
                lambda: kp.set_non_word_boundaries(["x"]),
                lambda: kp.add_keyword(5),  # borrow is checked before conversion
            ):
                try:
                    attempt()
                except RuntimeError as exc:
                    seen.append(str(exc))
            # reading while another read is running is fine
            seen.append(len(kp))
            seen.append([M.of(m) for m in kp.extract_keywords("hello")])
            return 1.0

    found = [M.of(m) for m in kp.extract_keywords("hello", Threshold())]
    assert found == [M("hello", 0, 5)]
    assert seen == ["Already borrowed"] * 5 + [1, [M("hello", 0, 5)]]
    assert kp.get_all_keywords() == {"hello": "hello"}
    kp.add_keyword("intruder")
    assert len(kp) == 2


def test_binding_errors_come_before_the_borrow_check():
    kp = KeywordProcessor()
    seen = []

    class Threshold:
        def __float__(self):
            try:
                kp.add_keyword()
            except TypeError as exc:
                seen.append(str(exc))
            return 1.0

    kp.replace_keywords("x", Threshold())
    assert seen == ["KeywordProcessor.add_keyword() missing 1 required positional argument: 'keyword'"]


def test_borrow_error_propagates_out_of_the_outer_call():
    kp = KeywordProcessor()

    class Threshold:
        def __float__(self):
            kp.add_keyword("x")
            return 1.0

    with pytest.raises(RuntimeError) as info:
        kp.replace_keywords("x", Threshold())
    assert str(info.value) == "Already borrowed"
    assert len(kp) == 0
    kp.add_keyword("x")  # the read borrow was released
    assert len(kp) == 1


def test_read_during_a_mutation_is_refused_with_already_mutably_borrowed():
    kp = KeywordProcessor()
    kp.add_keyword("hello")
    seen = []

    class Boundaries:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i == 0:
                return "-"
            raise IndexError

        def __iter__(self):
            for attempt in (
                lambda: kp.extract_keywords("hello"),
                lambda: kp.replace_keywords("hello"),
                lambda: kp.get_all_keywords(),
                lambda: len(kp),
                lambda: repr(kp),
                lambda: kp.add_keyword("x"),
            ):
                try:
                    attempt()
                except RuntimeError as exc:
                    seen.append(str(exc))
            yield "-"

    kp.set_non_word_boundaries(Boundaries())
    assert seen == ["Already mutably borrowed"] * 5 + ["Already borrowed"]
    # the new set is in force: only '-' is a word character now
    assert matches(kp, "-hello") == []
    assert matches(kp, "xhellox") == [M("hello", 1, 6)]


def test_borrow_error_raised_inside_boundaries_iteration_propagates():
    kp = KeywordProcessor()
    kp.add_keyword("cat")

    class Boundaries(list):
        def __iter__(self):
            kp.extract_keywords("cat")
            return super().__iter__()

    with pytest.raises(RuntimeError) as info:
        kp.set_non_word_boundaries(Boundaries(["x"]))
    assert str(info.value) == "Already mutably borrowed"
    # unchanged, and usable again
    assert matches(kp, "concatenate") == []
    assert matches(kp, "a cat") == [M("cat", 2, 5)]
