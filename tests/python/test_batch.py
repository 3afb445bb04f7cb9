"""The two parallel batch methods and the worker pool they run on."""

import math
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

from termsweep import KeywordProcessor


def panic_type():
    try:
        KeywordProcessor().extract_keywords("", 2)
    except BaseException as error:  # noqa: B036
        return type(error)
    raise AssertionError("no failure")


PanicException = panic_type()
BATCHES = ("parallel_extract_keywords_from_texts", "parallel_replace_keywords_from_texts")


def as_tuples(result):
    return [[(m.keyword, m.similarity, m.start, m.end) for m in matches] for matches in result]


def run_python(code, env_overrides=None, timeout=120):
    """Runs `code` in a fresh interpreter; returns its stdout."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_overrides or {})
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                               capture_output=True, text=True, timeout=timeout)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


def sample_processor():
    kp = KeywordProcessor()
    for keyword, clean in [("python", "Python"), ("new york", "NYC"), ("new", None),
                           ("café", "coffee"), ("İstanbul", "Istanbul"), ("k8s", None)]:
        kp.add_keyword(keyword, clean)
    return kp


class TestResults:
    texts = st.lists(st.text(alphabet=st.sampled_from("pythonewyork café İK8s,. PY"), max_size=40),
                     max_size=30)

    @settings(max_examples=80, deadline=None)
    @given(texts=texts, threshold=st.sampled_from([None, 1, 0.8, 0.6]))
    def test_batches_equal_single_text_results(self, texts, threshold):
        kp = sample_processor()
        extracted = kp.parallel_extract_keywords_from_texts(texts, threshold)
        assert as_tuples(extracted) == as_tuples([kp.extract_keywords(t, threshold) for t in texts])
        assert kp.parallel_replace_keywords_from_texts(texts, threshold) == [
            kp.replace_keywords(t, threshold) for t in texts]

    def test_many_texts_keep_their_order(self):
        kp = KeywordProcessor()
        kp.add_keyword("x", "hit")
        texts = [f"x {i}" if i % 3 else f"{i}" for i in range(10_000)]
        replaced = kp.parallel_replace_keywords_from_texts(texts)
        assert replaced == [t.replace("x", "hit") for t in texts]
        extracted = kp.parallel_extract_keywords_from_texts(texts)
        assert [len(m) for m in extracted] == [1 if i % 3 else 0 for i in range(10_000)]

    @pytest.mark.parametrize("method", BATCHES)
    def test_sequences_of_every_kind(self, method):
        kp = sample_processor()
        def call(texts):
            result = getattr(kp, method)(texts)
            return as_tuples(result) if method == BATCHES[0] else result

        assert call([]) == [] and call(()) == []
        assert call(("python",)) == call(["python"])

        class Texts:  # a sequence that only iterates
            def __len__(self):
                return 10**12  # a lying length hint must not matter

            def __getitem__(self, i):
                raise AssertionError("indexed")

            def __iter__(self):
                return iter(["new york", "python"])

        assert len(call(Texts())) == 2

    def test_duplicate_texts_give_equal_results(self):
        kp = sample_processor()
        a, b = kp.parallel_extract_keywords_from_texts(["new york python"] * 2)
        assert as_tuples([a]) == as_tuples([b]) and a[0] is not b[0]


class TestArguments:
    @pytest.mark.parametrize("method", BATCHES)
    @pytest.mark.parametrize("texts, message", [
        ("abc", "argument 'texts': Can't extract `str` to `Vec`"),
        ((t for t in ["a"]), "argument 'texts': 'generator' object cannot be converted to 'Sequence'"),
        ({"a": 1}, "argument 'texts': 'dict' object cannot be converted to 'Sequence'"),
        ({"a"}, "argument 'texts': 'set' object cannot be converted to 'Sequence'"),
        (None, "argument 'texts': 'NoneType' object cannot be converted to 'Sequence'"),
        (["a", 1], "argument 'texts': 'int' object cannot be converted to 'PyString'"),
        (b"ab", "argument 'texts': 'int' object cannot be converted to 'PyString'"),
        ([b"ab"], "argument 'texts': 'bytes' object cannot be converted to 'PyString'"),
    ])
    def test_bad_texts(self, method, texts, message):
        with pytest.raises(TypeError) as info:
            getattr(KeywordProcessor(), method)(texts, "also bad")
        assert str(info.value) == message

    @pytest.mark.parametrize("method", BATCHES)
    def test_bad_threshold_and_binding(self, method):
        kp = KeywordProcessor()
        call = getattr(kp, method)
        with pytest.raises(TypeError, match=r"^argument 'threshold': "):
            call(["a"], "0.5")
        with pytest.raises(UnicodeEncodeError):
            call(["ok", "\ud800"])
        name = f"KeywordProcessor.{method}()"
        for args, kwargs, message in [
            ((), {}, f"{name} missing 1 required positional argument: 'texts'"),
            ((["a"], 0.5, 1), {}, f"{name} takes from 1 to 2 positional arguments but 3 were given"),
            ((["a"],), {"texts": []}, f"{name} got multiple values for argument 'texts'"),
            ((), {"text": []}, f"{name} got an unexpected keyword argument 'text'"),
        ]:
            with pytest.raises(TypeError) as info:
                call(*args, **kwargs)
            assert str(info.value) == message
        assert len(call(texts=["a"], threshold=None)) == 1

    @pytest.mark.parametrize("method", BATCHES)
    def test_threshold_is_checked_per_text(self, method):
        call = getattr(sample_processor(), method)
        assert call([], 2.0) == []
        for bad in (2.0, math.nan, -0.5):
            for texts in (["python"], ["a", "b", "c"]):
                with pytest.raises(PanicException) as info:
                    call(texts, bad)
                assert str(info.value) == "Threshold must be between 0 and 1"
        assert len(call(["python"], 1.00000001)) == 1

    def test_iterating_texts_cannot_mutate_the_processor(self):
        kp = KeywordProcessor()

        class Sneaky(list):
            def __iter__(self):
                kp.add_keyword("late")
                return super().__iter__()

        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            kp.parallel_extract_keywords_from_texts(Sneaky(["a"]))
        assert len(kp) == 0


class TestPool:
    """Each case runs in a fresh interpreter: the pool is created once per process."""

    THREADS = """
        import os, termsweep
        def threads():
            return len(os.listdir('/proc/self/task'))
        kp = termsweep.KeywordProcessor()
        before = threads()
        kp.extract_keywords('a'); kp.replace_keywords('a')
        assert threads() == before, 'no pool before the first batch call'
        kp.parallel_extract_keywords_from_texts([])
        print(threads() - before)
    """

    def available(self):
        return int(run_python(self.THREADS, {}))

    @pytest.mark.parametrize("env, expected", [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+3"}, 3),
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "3 ", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_RS_NUM_CPUS": "4"}, 4),
    ])
    def test_size_from_the_environment(self, env, expected):
        assert int(run_python(self.THREADS, env)) == expected

    @pytest.mark.parametrize("env", [
        {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"},
        {"RAYON_RS_NUM_CPUS": "0"},
        {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "y"},
    ])
    def test_available_parallelism(self, env):
        expected = self.available()
        assert 1 <= expected <= len(os.sched_getaffinity(0))
        assert int(run_python(self.THREADS, env)) == expected

    def test_environment_is_read_once(self):
        out = run_python("""
            import os, termsweep
            kp = termsweep.KeywordProcessor()
            kp.parallel_replace_keywords_from_texts(['a', 'b'])
            before = len(os.listdir('/proc/self/task'))
            os.environ['RAYON_NUM_THREADS'] = '7'
            kp.parallel_replace_keywords_from_texts(['a', 'b'])
            print(len(os.listdir('/proc/self/task')) - before)
        """, {"RAYON_NUM_THREADS": "2"})
        assert int(out) == 0

    @pytest.mark.parametrize("threads", ["1", "2", "4"])
    def test_results_do_not_depend_on_the_pool_size(self, threads):
        code = """
            import random, termsweep
            rng = random.Random(5)
            kp = termsweep.KeywordProcessor()
            for _ in range(200):
                kp.add_keyword(''.join(rng.choice('abcé ') for _ in range(rng.randint(1, 5))))
            texts = [''.join(rng.choice('abcé .') for _ in range(rng.randint(0, 60))) for _ in range(3000)]
            for t in (None, 0.8):
                got = kp.parallel_extract_keywords_from_texts(texts, t)
                want = [kp.extract_keywords(x, t) for x in texts]
                assert [[(m.keyword, m.similarity, m.start, m.end) for m in g] for g in got] == \\
                       [[(m.keyword, m.similarity, m.start, m.end) for m in w] for w in want]
                assert kp.parallel_replace_keywords_from_texts(texts, t) == [kp.replace_keywords(x, t) for x in texts]
            print('ok')
        """
        assert run_python(code, {"RAYON_NUM_THREADS": threads}).strip() == "ok"

    def test_forked_children_run_batches(self):
        out = run_python("""
            import multiprocessing as mp, termsweep

            def work(queue):
                kp = termsweep.KeywordProcessor()
                kp.add_keyword('x', 'y')
                queue.put(kp.parallel_replace_keywords_from_texts(['x a', 'b x', 'x'] * 50))

            kp = termsweep.KeywordProcessor()
            kp.parallel_extract_keywords_from_texts(['warm', 'up', 'the pool'])
            ctx = mp.get_context('fork')
            queue = ctx.Queue()
            children = [ctx.Process(target=work, args=(queue,)) for _ in range(3)]
            for c in children:
                c.start()
            results = [queue.get(timeout=60) for _ in children]
            for c in children:
                c.join(timeout=60)
                assert c.exitcode == 0, c.exitcode
            assert all(r == ['y a', 'b y', 'y'] * 50 for r in results)
            print('ok')
        """, {"RAYON_NUM_THREADS": "2"}, timeout=180)
        assert out.strip() == "ok"

    @pytest.mark.skipif("san.so" in os.environ.get("LD_PRELOAD", ""),
                        reason="sanitizers reserve far more address space than the limit allows")
    def test_pool_creation_failure_is_reported_then_never_retried(self):
        """A process with no address space left for a worker stack: the first
        batch reports the failed thread start, every later one that creation
        already happened."""
        out = run_python("""
            import resource, termsweep
            kp = termsweep.KeywordProcessor()
            with open('/proc/self/statm') as statm:
                used = int(statm.read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (used + 2**20, resource.getrlimit(resource.RLIMIT_AS)[1]))
            for _ in range(2):
                try:
                    kp.parallel_replace_keywords_from_texts(['a', 'b'])
                except BaseException as error:
                    print(type(error).__name__, error)
        """, {"RAYON_NUM_THREADS": "4"})
        prefix = "PanicException The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
        assert out.splitlines() == [
            prefix + 'IOError(Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }) }',
            prefix + "GlobalPoolAlreadyInitialized }",
        ]
