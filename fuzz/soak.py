"""Soak test: many Python threads share one KeywordProcessor for a while.

    python fuzz/soak.py --minutes 10 --threads 6 [--seed 1] [--case-sensitive]

Each thread runs a random mix of
  readers    extract_keywords, replace_keywords, get_all_keywords, len
  writers    add_keyword, remove_keyword, add_non_word_boundary,
             set_non_word_boundaries, __setstate__
  batches    parallel_extract_keywords_from_texts and
             parallel_replace_keywords_from_texts, exact and fuzzy
  pickling   pickle.dumps/loads, copy.deepcopy
Thresholds and boundary sequences are objects that hand the interpreter to
other threads while the module converts them, so that calls really overlap
and the borrow checks get exercised: a conflict must be refused with
RuntimeError and leave the processor as it was.

Soundness of the final check: every mutation runs under one lock and is
applied to a plain model only when it succeeded, so the model sees the
successful mutations in the order the processor did. Readers do not take the
lock; the invariants that need a fixed state (batch result equals the
single-text results, a pickled copy equals the model) are checked under it.
At the end the processor must equal the model: same keywords and clean
names, same length, same word characters and the same pickled bytes as a
processor built afresh from the model.

Not part of CI; run it against the installed module (or put a sanitized
build first on PYTHONPATH). Exits non-zero on any unexpected outcome.
"""

from __future__ import annotations

import argparse
import collections
import copy
import pickle
import random
import sys
import threading
import time
import traceback

import termsweep

WORDS = ["new", "york", "big", "apple", "café", "İstanbul", "straße", "ΟΔΟΣ", "K-pop",
         "naïve", "data", "base", "py", "thon", "東京", "😀", "x", "a b"]
DEFAULT_WORD_CHARS = set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")
BOUNDARY_CHOICES = list("-_ .éa1Σ東😀") + ["\u00ad", "\u00e9"]
BORROW_ERRORS = ("Already borrowed", "Already mutably borrowed")
THRESHOLDS = [None, 1.0, 0.9, 0.8, 0.7]
REFUSED = object()  # what a call refused by a borrow conflict gives


def yield_to_others():
    time.sleep(0)


class YieldingThreshold:
    """A threshold whose conversion lets other threads run."""

    def __init__(self, value: float):
        self.value = value

    def __float__(self) -> float:
        yield_to_others()
        return self.value


class YieldingSequence:
    """A sequence whose iteration lets other threads run between items."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        yield_to_others()
        return self.items[index]


class Model:
    """What the processor should hold after the successful mutations."""

    def __init__(self, case_sensitive: bool):
        self.case_sensitive = case_sensitive
        self.keywords: dict[str, str] = {}
        self.word_chars = set(DEFAULT_WORD_CHARS)

    def fold(self, keyword: str) -> str:
        return keyword if self.case_sensitive else keyword.lower()

    def add(self, keyword: str, clean_name: str | None) -> None:
        key = self.fold(keyword)
        self.keywords[key] = key if clean_name is None else clean_name

    def remove(self, keyword: str) -> bool:
        return self.keywords.pop(self.fold(keyword), None) is not None

    def build(self) -> termsweep.KeywordProcessor:
        kp = termsweep.KeywordProcessor(case_sensitive=self.case_sensitive)
        for key, clean_name in self.keywords.items():
            kp.add_keyword(key, clean_name)
        kp.set_non_word_boundaries(sorted(self.word_chars))
        return kp


def word_chars_of(state: bytes) -> set[str]:
    bits = state[8:8 + 139264]
    return {chr(8 * i + b) for i, byte in enumerate(bits) if byte for b in range(8) if byte >> b & 1}


class Soak:
    def __init__(self, args):
        self.args = args
        self.kp = termsweep.KeywordProcessor(case_sensitive=args.case_sensitive)
        self.model = Model(args.case_sensitive)
        self.lock = threading.Lock()  # held by every mutation and by the fixed-state checks
        self.counts = collections.Counter()
        self.conflicts = collections.Counter()
        self.failures: list[str] = []
        self.counts_lock = threading.Lock()
        self.deadline = time.monotonic() + args.minutes * 60

    # --- bookkeeping -----------------------------------------------------

    def count(self, kind: str) -> None:
        with self.counts_lock:
            self.counts[kind] += 1

    def fail(self, message: str) -> None:
        with self.counts_lock:
            self.failures.append(message)

    def call(self, kind: str, fn, *args):
        """Runs one call; a borrow conflict is counted and gives REFUSED."""
        try:
            result = fn(*args)
        except RuntimeError as error:
            if str(error) not in BORROW_ERRORS:
                raise
            with self.counts_lock:
                self.conflicts[kind] += 1
            return REFUSED
        self.count(kind)
        return result

    # --- inputs ------------------------------------------------------------

    def keyword(self, rng: random.Random) -> str:
        words = rng.sample(WORDS, rng.choice([1, 1, 2]))
        text = " ".join(words)
        if rng.random() < 0.5:
            text = text.upper() if rng.random() < 0.5 else text.title()
        return text

    def text(self, rng: random.Random) -> str:
        parts = [self.keyword(rng) if rng.random() < 0.4 else rng.choice(["and", "--", "ok", ".", "x9"])
                 for _ in range(rng.randint(0, 12))]
        return " ".join(parts)

    def threshold(self, rng: random.Random):
        value = rng.choice(THRESHOLDS)
        if value is not None and rng.random() < 0.3:
            return YieldingThreshold(value)
        return value

    # --- operations ----------------------------------------------------------

    def read(self, rng: random.Random) -> None:
        kind = rng.choice(["extract", "replace", "listing", "len"])
        if kind == "extract":
            matches = self.call(kind, self.kp.extract_keywords, self.text(rng), self.threshold(rng))
            if matches is not REFUSED and any(m.start > m.end + 1 for m in matches):
                self.fail(f"extract: bad span in {matches}")
        elif kind == "replace":
            result = self.call(kind, self.kp.replace_keywords, self.text(rng), self.threshold(rng))
            if result is not REFUSED and not isinstance(result, str):
                self.fail(f"replace returned {result!r}")
        elif kind == "listing":
            self.call(kind, self.kp.get_all_keywords)
        else:
            self.call(kind, len, self.kp)

    def write(self, rng: random.Random) -> None:
        kind = rng.choice(["add", "add", "add", "remove", "remove", "add_boundary", "set_boundaries",
                           "setstate"])
        with self.lock:
            if kind == "add":
                keyword = self.keyword(rng)
                clean_name = rng.choice([None, keyword.title(), ""])
                if self.call(kind, self.kp.add_keyword, keyword, clean_name) is not REFUSED:
                    self.model.add(keyword, clean_name)
            elif kind == "remove":
                keyword = self.keyword(rng)
                removed = self.call(kind, self.kp.remove_keyword, keyword)
                if removed is not REFUSED and removed != self.model.remove(keyword):
                    self.fail(f"remove_keyword({keyword!r}) answered {removed}")
            elif kind == "add_boundary":
                char = rng.choice(BOUNDARY_CHOICES)
                if self.call(kind, self.kp.add_non_word_boundary, char) is not REFUSED:
                    self.model.word_chars.add(char)
            elif kind == "set_boundaries":
                chars = rng.sample(sorted(DEFAULT_WORD_CHARS) + BOUNDARY_CHOICES, rng.randint(40, 70))
                if self.call(kind, self.kp.set_non_word_boundaries, YieldingSequence(chars)) is not REFUSED:
                    self.model.word_chars = set(chars)
            else:
                # The same content, restored wholesale while readers run.
                state = self.model.build().__getstate__()
                self.call(kind, self.kp.__setstate__, state)

    def batch(self, rng: random.Random) -> None:
        kind = rng.choice(["batch_extract", "batch_replace"])
        texts = [self.text(rng) for _ in range(rng.randint(0, 40))]
        threshold = self.threshold(rng)
        plain = threshold if not isinstance(threshold, YieldingThreshold) else threshold.value
        with self.lock:  # the single-text results must see the same processor
            if kind == "batch_extract":
                results = self.call(kind, self.kp.parallel_extract_keywords_from_texts, texts, threshold)
                if results is REFUSED:
                    return
                singles = [self.kp.extract_keywords(t, plain) for t in texts]
                same = [[(m.keyword, m.start, m.end, m.similarity) for m in r] for r in results] == \
                       [[(m.keyword, m.start, m.end, m.similarity) for m in r] for r in singles]
            else:
                results = self.call(kind, self.kp.parallel_replace_keywords_from_texts, texts, threshold)
                if results is REFUSED:
                    return
                same = results == [self.kp.replace_keywords(t, plain) for t in texts]
        if not same:
            self.fail(f"{kind}: batch differs from single-text results at threshold {plain}")

    def pickling(self, rng: random.Random) -> None:
        kind = rng.choice(["pickle", "deepcopy"])
        with self.lock:
            copied = self.call(kind, lambda: pickle.loads(pickle.dumps(self.kp, protocol=rng.choice([2, 5])))
                               if kind == "pickle" else copy.deepcopy(self.kp))
            expected = dict(self.model.keywords)
            state = self.kp.__getstate__()
        if copied is REFUSED:
            return
        if copied.get_all_keywords() != expected or len(copied) != len(expected):
            self.fail(f"{kind}: the copy's keywords differ from the model")
        if copied.__getstate__() != state:
            self.fail(f"{kind}: the copy's state differs from the original's")

    def worker(self, seed: int) -> None:
        rng = random.Random(seed)
        operations = [self.read] * 5 + [self.write] * 3 + [self.batch, self.pickling]
        try:
            while time.monotonic() < self.deadline and not self.failures:
                rng.choice(operations)(rng)
        except BaseException:  # noqa: BLE001 - anything else is a failure to report
            self.fail(traceback.format_exc())

    # --- the run -------------------------------------------------------------

    def final_check(self) -> None:
        kp, model = self.kp, self.model
        if kp.get_all_keywords() != model.keywords:
            self.fail("final: keywords differ from the model")
        if len(kp) != len(model.keywords):
            self.fail(f"final: len {len(kp)}, model {len(model.keywords)}")
        state = kp.__getstate__()
        if word_chars_of(state) != model.word_chars:
            self.fail("final: word characters differ from the model")
        if state != model.build().__getstate__():
            self.fail("final: state differs from a processor built from the model")

    def run(self) -> int:
        sys.setswitchinterval(0.0005)
        threads = [threading.Thread(target=self.worker, args=(self.args.seed * 1000 + i,))
                   for i in range(self.args.threads)]
        started = time.monotonic()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.final_check()
        minutes = (time.monotonic() - started) / 60
        print(f"soak: {minutes:.1f} min, {self.args.threads} threads, {len(self.model.keywords)} keywords at the end")
        print("operations: " + ", ".join(f"{k} {v}" for k, v in sorted(self.counts.items())))
        print(f"total {sum(self.counts.values())} operations, "
              f"{sum(self.conflicts.values())} refused by borrow conflicts: "
              + ", ".join(f"{k} {v}" for k, v in sorted(self.conflicts.items())))
        for failure in self.failures[:5]:
            print("FAILURE:", failure, file=sys.stderr)
        print(f"{len(self.failures)} failures")
        return 1 if self.failures else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--threads", type=int, default=6)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--case-sensitive", action="store_true")
    return Soak(parser.parse_args()).run()


if __name__ == "__main__":
    sys.exit(main())
