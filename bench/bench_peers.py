"""termsweep against other text matchers on the same synthetic corpus.

Peers: Python's `re` (one alternation with word boundaries), pyahocorasick
(Aho-Corasick, leftmost-longest matches, word boundaries checked afterwards)
and, for fuzzy matching, the `regex` package's fuzzy alternation. Every
library runs in a fresh subprocess so that its memory can be measured as the
growth of the resident set size.

    python bench/bench_peers.py                 # default sizes
    python bench/bench_peers.py --keywords 100000 --texts 20000
"""

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def best_of(repeats, func):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = func()
        best = min(best, time.perf_counter() - start)
    return best, result


def word_char(c):
    return c.isascii() and (c.isalnum() or c == "_")


# ---- one library per subprocess -------------------------------------------------

def run_termsweep(phrases, texts, task, threshold):
    from termsweep import KeywordProcessor
    before = rss_bytes()
    start = time.perf_counter()
    kp = KeywordProcessor()
    for phrase in phrases:
        kp.add_keyword(phrase, phrase.upper())
    build = time.perf_counter() - start
    memory = rss_bytes() - before
    if task == "extract":
        run = lambda: sum(len(kp.extract_keywords(t, threshold)) for t in texts)
    elif task == "extract-batch":
        run = lambda: sum(len(m) for m in kp.parallel_extract_keywords_from_texts(texts, threshold))
    elif task == "replace":
        run = lambda: sum(len(kp.replace_keywords(t, threshold)) for t in texts)
    else:
        run = lambda: sum(len(r) for r in kp.parallel_replace_keywords_from_texts(texts, threshold))
    return build, memory, run


def run_re(phrases, texts, task, threshold):
    import re
    before = rss_bytes()
    start = time.perf_counter()
    ordered = sorted(phrases, key=len, reverse=True)
    pattern = re.compile(r"\b(?:" + "|".join(map(re.escape, ordered)) + r")\b", re.IGNORECASE)
    clean = {p: p.upper() for p in phrases}
    build = time.perf_counter() - start
    memory = rss_bytes() - before
    if task.startswith("extract"):
        run = lambda: sum(1 for t in texts for _ in pattern.finditer(t))
    else:
        run = lambda: sum(len(pattern.sub(lambda m: clean[m.group(0).lower()], t)) for t in texts)
    return build, memory, run


def run_ahocorasick(phrases, texts, task, threshold):
    import ahocorasick
    before = rss_bytes()
    start = time.perf_counter()
    automaton = ahocorasick.Automaton()
    for phrase in phrases:
        automaton.add_word(phrase, phrase.upper())
    automaton.make_automaton()
    build = time.perf_counter() - start
    memory = rss_bytes() - before

    def matches(text):
        lowered = text.lower()
        for end, clean in automaton.iter_long(lowered):
            start = end - len(clean) + 1
            if (start == 0 or not word_char(lowered[start - 1])) and (
                    end + 1 == len(lowered) or not word_char(lowered[end + 1])):
                yield start, end + 1, clean

    def replace(text):
        parts, last = [], 0
        for start, end, clean in matches(text):
            parts.append(text[last:start])
            parts.append(clean)
            last = end
        parts.append(text[last:])
        return "".join(parts)

    if task.startswith("extract"):
        run = lambda: sum(1 for t in texts for _ in matches(t))
    else:
        run = lambda: sum(len(replace(t)) for t in texts)
    return build, memory, run


def run_regex_fuzzy(phrases, texts, task, threshold):
    import regex
    before = rss_bytes()
    start = time.perf_counter()
    pattern = regex.compile(r"\b(?:" + "|".join(map(regex.escape, phrases)) + r"){e<=1}\b",
                            regex.IGNORECASE)
    build = time.perf_counter() - start
    memory = rss_bytes() - before
    run = lambda: sum(1 for t in texts for _ in pattern.finditer(t))
    return build, memory, run


RUNNERS = {"termsweep": run_termsweep, "re": run_re, "pyahocorasick": run_ahocorasick,
           "regex-fuzzy": run_regex_fuzzy}


def child(setup):
    sys.path.insert(0, HERE)
    import corpus
    vocab = corpus.vocabulary(setup["vocabulary"])
    phrases = corpus.keyword_phrases(vocab, setup["keywords"])
    texts = corpus.texts(vocab, phrases, setup["texts"], setup["words"])
    build, memory, run = RUNNERS[setup["library"]](phrases, texts, setup["task"], setup["threshold"])
    seconds, found = best_of(setup["repeats"], run)
    megabytes = sum(len(t.encode()) for t in texts) / 1e6
    print(json.dumps({"build_s": build, "memory_mb": memory / 1e6, "seconds": seconds,
                      "mb_per_s": megabytes / seconds, "result": found}))


def measure(setup, env=None):
    completed = subprocess.run([sys.executable, __file__, "--child", json.dumps(setup)],
                               capture_output=True, text=True, env=env, check=True)
    return json.loads(completed.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child")
    parser.add_argument("--keywords", type=int, default=10_000)
    parser.add_argument("--texts", type=int, default=5_000)
    parser.add_argument("--words", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    if args.child:
        return child(json.loads(args.child))

    base = {"vocabulary": 50_000, "keywords": args.keywords, "texts": args.texts,
            "words": args.words, "repeats": args.repeats, "threshold": None}
    rows = []
    for task in ("extract", "replace"):
        for library in ("termsweep", "pyahocorasick", "re"):
            rows.append((task, library, measure({**base, "task": task, "library": library})))
    for task in ("extract-batch", "replace-batch"):
        rows.append((task, "termsweep", measure({**base, "task": task, "library": "termsweep"})))
    fuzzy = {**base, "keywords": 500, "texts": 500, "task": "extract", "threshold": 0.8}
    rows.append(("fuzzy (500 kw)", "termsweep 0.8", measure({**fuzzy, "library": "termsweep"})))
    rows.append(("fuzzy (500 kw)", "regex {e<=1}", measure({**fuzzy, "library": "regex-fuzzy"})))

    print(f"{args.keywords} keywords, {args.texts} texts of {args.words} words\n")
    print(f"{'task':<16}{'library':<16}{'build s':>9}{'memory MB':>11}{'run s':>9}{'MB/s':>9}{'found':>9}")
    for task, library, r in rows:
        print(f"{task:<16}{library:<16}{r['build_s']:>9.3f}{r['memory_mb']:>11.1f}"
              f"{r['seconds']:>9.3f}{r['mb_per_s']:>9.1f}{r['result']:>9}")


if __name__ == "__main__":
    main()
