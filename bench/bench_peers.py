"""termsweep against other text matchers, and the engine's own figures.

    python bench/bench_peers.py                      # every group at full size (15 min or more)
    python bench/bench_peers.py --quick              # every group, small sizes, short time limits
    python bench/bench_peers.py --only exact,engine --counts 8400 --repeats 5
    python bench/bench_peers.py --baseline-path DIR  # another build's module side by side

Groups of rows (--only takes a comma-separated list; all by default):

  synthetic  10,000 keyword phrases over synthetic texts (bench/corpus.py): termsweep,
             pyahocorasick and an `re` alternation extract and replace, the batch
             methods, and a fuzzy row next to the `regex` package.
  exact      real English: CPython's documentation topics repeated to 9.8 MB, with
             its 100, 1,000 and 8,400 most frequent words and word pairs
             (bench/pydoc_corpus.py). termsweep on the text as one string and line
             by line, the batch methods on the lines, ahocorasick_rs
             (leftmost-longest) with and without the word-boundary filter, and
             pyahocorasick (iter_long) with it. Ratios are to ahocorasick_rs + filter.
  engine     the C++ engine alone (bench/engine_bench.cpp) on the same text and
             keywords; the default binary in build/bench is brought up to date first.
  fuzzy      termsweep at thresholds 0.8 and 0.9 with 100 and 1,000 keywords on 1 MB
             of the same text, next to `regex`'s `\\b(?:kw1|...){e<=1}\\b`
             (IGNORECASE) with 100 keywords; ratios are to that row.
  memory     100k and 1M distinct random keywords (1-3 words of 3-10 lower-case
             letters, fixed seed): resident-set growth while adding them, build
             time, pickle size and unpickle time; pyahocorasick and ahocorasick_rs
             for comparison.
  worst      fuzzy extraction at threshold 0: 1,000 random ten-letter keywords over
             a-j on "ab " * 66; 100,000 of them on "ab " * 20 (60 characters); 1,000
             of them on 100 KB of "-" (no byte in common); the 1,000 most frequent
             words and pairs on 1 MB of the text, and on 20 KB of spaces (which the
             pairs hold, so no run of them is skipped in one step). Each row has a
             time limit (--timeout) and an address-space limit (--memory-limit-gb).

Every row runs in a fresh interpreter and reports its best of --repeats runs; a
run's time includes freeing its result. MB/s counts the UTF-8 bytes of the text.
With --baseline-path every termsweep row also runs with the module found in that
folder first on sys.path (and the engine rows with --baseline-engine-bench).

Match counts, checked after the rows (the script exits 1 when a check fails):
  - every row finds the same count in every run;
  - termsweep's exact rows (one text, per line, replace, batch, engine alone)
    agree with each other for each keyword list, replacement counts being
    derived from the output (clean names are "<keyword>");
  - the baseline build finds the same counts as the current one (exact, fuzzy,
    synthetic and memory rows; not the threshold-0 rows, where a candidate
    that consumes no text may be treated differently);
  - termsweep's exact and fuzzy counts equal the ones recorded below for this
    corpus and size, when there are any;
  - synthetic rows: the batch methods agree with the single-text methods.
  The peers' counts are printed, not compared: an Aho-Corasick scan that skips
  matches starting inside words, `re` (which retries shorter alternatives at a
  failed boundary) and `regex` (first match, not the most similar keyword)
  answer other questions than termsweep does.
"""

import argparse
import copy
import gc
import hashlib
import json
import os
import pickle
import random
import re as re_module
import resource
import string
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
GROUPS = ("synthetic", "engine", "exact", "fuzzy", "memory", "worst")  # in running order
WORD_CHARS = frozenset(string.ascii_letters + string.digits + "_")
MARK = "<"  # opens every clean name of the exact rows, so that replacements can be counted
ROW_TIMEOUT = 3600.0

# termsweep's counts on the pydoc corpus, by the topics' SHA-256 (first 12 hex
# digits), so that a changed engine is caught even without a baseline.
EXPECTED = {
    "2a95af4ac93f": {  # Python 3.11
        "exact 10000000 100": 660219, "exact 10000000 1000": 929481, "exact 10000000 8400": 923370,
        "exact 1000000 100": 62878, "exact 1000000 1000": 88522, "exact 1000000 8400": 87940,
        "fuzzy 1000000 100 0.8": 68620, "fuzzy 1000000 100 0.9": 68480,
        "fuzzy 1000000 1000 0.8": 71954, "fuzzy 1000000 1000 0.9": 64782,
        "fuzzy 200000 100 0.8": 14800, "fuzzy 200000 100 0.9": 14788,
        "fuzzy 200000 1000 0.8": 15686, "fuzzy 200000 1000 0.9": 14180,
    },
}


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def reset_peak_rss():
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
    except OSError:
        pass  # the peak then covers the whole process


def word_char(c):
    return c.isascii() and (c.isalnum() or c == "_")


def corpus_text(target_bytes):
    """The pydoc text at about `target_bytes`: whole copies of the topics, or
    the first lines of one copy when a copy is too large."""
    import pydoc_corpus
    text = pydoc_corpus.text(target_bytes)
    if len(text.encode()) > 1.2 * target_bytes:
        text = text[:text.rfind("\n", 0, target_bytes)]
    return text


def random_keywords(count, seed, make):
    rng = random.Random(seed)
    seen = {}
    while len(seen) < count:
        seen[make(rng)] = None
    return list(seen)


def random_phrase(rng):
    """1-3 words of 3-10 lower-case letters: 14 bytes on average."""
    return " ".join("".join(rng.choices(string.ascii_lowercase, k=rng.randint(3, 10)))
                    for _ in range(rng.randint(1, 3)))


def ten_letters_a_to_j(rng):
    return "".join(rng.choices("abcdefghij", k=10))


def read_lines(path):
    with open(path, encoding="utf-8") as lines:
        return lines.read().split("\n")[:-1]


# ---- synthetic rows: one library per subprocess ----------------------------------

class OnFreshCopies:
    """A run of call(processor) on a fresh copy of kp each time: a processor
    keeps fuzzy answers from one call to the next, and repeating a text on one
    processor would time them warm. child() calls prepare(), which makes the
    copy, before it starts the timing."""

    def __init__(self, kp, call):
        self.kp, self.call, self.current = kp, call, None

    def prepare(self):
        self.current = copy.copy(self.kp)

    def __call__(self):
        return self.call(self.current)


def run_termsweep(phrases, texts, task, threshold):
    from termsweep import KeywordProcessor
    before = rss_bytes()
    start = time.perf_counter()
    kp = KeywordProcessor()
    for phrase in phrases:
        kp.add_keyword(phrase, phrase.upper())
    build = time.perf_counter() - start
    memory = rss_bytes() - before
    if threshold is not None:
        return build, memory, OnFreshCopies(kp, lambda p: sum(len(p.extract_keywords(t, threshold)) for t in texts))
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


SYNTHETIC_RUNNERS = {"termsweep": run_termsweep, "re": run_re, "pyahocorasick": run_ahocorasick,
                     "regex-fuzzy": run_regex_fuzzy}


def prepare_synthetic(setup):
    import corpus
    vocab = corpus.vocabulary(setup["vocabulary"])
    phrases = corpus.keyword_phrases(vocab, setup["keywords"])
    texts = corpus.texts(vocab, phrases, setup["texts"], setup["words"])
    build, memory, run = SYNTHETIC_RUNNERS[setup["library"]](phrases, texts, setup["task"], setup["threshold"])
    info = {"build_s": build, "memory_mb": memory / 1e6,
            "megabytes": sum(len(t.encode()) for t in texts) / 1e6}
    return info, run, lambda found: found


# ---- pydoc rows --------------------------------------------------------------------

def exact_termsweep(setup, text, keywords):
    from termsweep import KeywordProcessor
    kp = KeywordProcessor()
    for keyword in keywords:
        kp.add_keyword(keyword, MARK + keyword + ">")
    lines = text.split("\n")
    marks = text.count(MARK)
    replaced = lambda outs: sum(out.count(MARK) for out in outs) - marks
    nested = lambda results: sum(map(len, results))
    tasks = {
        "extract": (lambda: kp.extract_keywords(text), len),
        "extract-lines": (lambda: [kp.extract_keywords(line) for line in lines], nested),
        "replace": (lambda: [kp.replace_keywords(text)], replaced),
        "replace-lines": (lambda: [kp.replace_keywords(line) for line in lines], replaced),
        "extract-batch": (lambda: kp.parallel_extract_keywords_from_texts(lines), nested),
        "replace-batch": (lambda: kp.parallel_replace_keywords_from_texts(lines), replaced),
    }
    return tasks[setup["task"]]


def boundary_filter(lowered, spans):
    """The spans that start and end at word boundaries, as (start, end, name)."""
    size = len(lowered)
    return [(start, end, name) for start, end, name in spans
            if (start == 0 or lowered[start - 1] not in WORD_CHARS)
            and (end == size or lowered[end] not in WORD_CHARS)]


def exact_ahocorasick_rs(setup, text, keywords):
    import ahocorasick_rs
    automaton = ahocorasick_rs.AhoCorasick(keywords, matchkind=ahocorasick_rs.MatchKind.LeftmostLongest)
    names = [MARK + keyword + ">" for keyword in keywords]
    if setup["task"] == "raw":
        return lambda: automaton.find_matches_as_indexes(text.lower()), len

    def filtered():
        lowered = text.lower()
        return boundary_filter(lowered, ((start, end, names[index])
                                         for index, start, end in automaton.find_matches_as_indexes(lowered)))
    return filtered, len


def exact_pyahocorasick(setup, text, keywords):
    import ahocorasick
    automaton = ahocorasick.Automaton()
    for keyword in keywords:
        automaton.add_word(keyword, (len(keyword), MARK + keyword + ">"))
    automaton.make_automaton()

    def filtered():
        lowered = text.lower()
        return boundary_filter(lowered, ((last + 1 - length, last + 1, name)
                                         for last, (length, name) in automaton.iter_long(lowered)))
    return filtered, len


def prepare_exact(setup):
    import pydoc_corpus
    text = corpus_text(setup["text_bytes"])
    keywords = pydoc_corpus.keywords(setup["keywords"])
    make = {"termsweep": exact_termsweep, "ahocorasick_rs": exact_ahocorasick_rs,
            "pyahocorasick": exact_pyahocorasick}[setup["library"]]
    run, count_of = make(setup, text, keywords)
    return {"megabytes": len(text.encode()) / 1e6}, run, count_of


def prepare_fuzzy(setup):
    import pydoc_corpus
    text = corpus_text(setup["text_bytes"])
    keywords = pydoc_corpus.keywords(setup["keywords"])
    if setup["library"] == "termsweep":
        from termsweep import KeywordProcessor
        kp = KeywordProcessor()
        for keyword in keywords:
            kp.add_keyword(keyword)  # clean names enter the score: keep them equal to the keywords
        run = OnFreshCopies(kp, lambda p: p.extract_keywords(text, setup["threshold"]))
    else:
        import regex
        pattern = regex.compile(r"\b(?:" + "|".join(map(regex.escape, keywords)) + r"){e<=1}\b",
                                regex.IGNORECASE)
        run = lambda: list(pattern.finditer(text))
    return {"megabytes": len(text.encode()) / 1e6}, run, len


def prepare_memory(setup):
    keywords = read_lines(setup["keywords_file"])
    gc.collect()
    before = rss_bytes()
    start = time.perf_counter()
    library = setup["library"]
    if library == "termsweep":
        from termsweep import KeywordProcessor
        store = KeywordProcessor()
        add = store.add_keyword
        for keyword in keywords:
            add(keyword)
        stored = len(store)
    elif library == "pyahocorasick":
        import ahocorasick
        store = ahocorasick.Automaton()
        add = store.add_word
        for keyword in keywords:
            add(keyword, keyword)
        store.make_automaton()
        stored = len(store)
    else:
        import ahocorasick_rs
        store = ahocorasick_rs.AhoCorasick(keywords, matchkind=ahocorasick_rs.MatchKind.LeftmostLongest)
        stored = None
    build = time.perf_counter() - start
    growth = rss_bytes() - before
    info = {"build_s": build, "memory_mb": growth / 1e6, "bytes_per_keyword": growth / len(keywords),
            "stored": stored}
    if library != "termsweep":
        return info, None, None
    start = time.perf_counter()
    state = pickle.dumps(store, protocol=pickle.HIGHEST_PROTOCOL)
    info.update(pickle_s=time.perf_counter() - start, pickle_mb=len(state) / 1e6, free_untimed=True)
    return info, lambda: pickle.loads(state), len


def prepare_worst(setup):
    from termsweep import KeywordProcessor
    case = setup["case"]
    if case in ("pydoc", "spaces"):
        import pydoc_corpus
        keywords = pydoc_corpus.keywords(setup["keywords"])
        text = corpus_text(setup["text_bytes"]) if case == "pydoc" else setup["text"]
    else:
        keywords = random_keywords(setup["keywords"], 11, ten_letters_a_to_j)
        text = setup["text"]
    kp = KeywordProcessor()
    for keyword in keywords:
        kp.add_keyword(keyword)
    return {"megabytes": len(text.encode()) / 1e6}, OnFreshCopies(kp, lambda p: p.extract_keywords(text, 0.0)), len


PREPARE = {"synthetic": prepare_synthetic, "exact": prepare_exact, "fuzzy": prepare_fuzzy,
           "memory": prepare_memory, "worst": prepare_worst}


def emit(**record):
    print(json.dumps(record), flush=True)


def child(setup):
    """One row: prepares it, then prints one JSON line for the setup and one per run,
    so that the runs finished before a time limit are not lost."""
    if setup.get("module_dir"):
        sys.path.insert(0, setup["module_dir"])
        import termsweep
        found = os.path.realpath(os.path.dirname(termsweep.__file__))
        if found != os.path.realpath(setup["module_dir"]):
            sys.exit(f"termsweep was imported from {termsweep.__file__}, not from {setup['module_dir']}")
    sys.path.insert(0, HERE)
    if setup.get("memory_limit"):
        resource.setrlimit(resource.RLIMIT_AS, (setup["memory_limit"], setup["memory_limit"]))
    info, run, count_of = PREPARE[setup["group"]](setup)
    prepare_each = getattr(run, "prepare", lambda: None)
    if "termsweep" in sys.modules:
        info["module"] = sys.modules["termsweep"].__file__
    emit(info=info)
    for _ in range(setup["repeats"] if run else 0):
        prepare_each()
        gc.collect()
        before = rss_bytes()
        reset_peak_rss()
        start = time.perf_counter()
        result = run()
        seconds = time.perf_counter() - start
        peak = peak_rss_bytes() - before
        count = count_of(result)
        start = time.perf_counter()
        del result  # freeing a result is part of using it, freeing a restored processor is not
        if not info.get("free_untimed"):
            seconds += time.perf_counter() - start
        emit(seconds=seconds, count=count, peak_mb=peak / 1e6)


# ---- the parent: runs the rows, checks the counts, prints the tables ---------------

def log(message):
    print(message, file=sys.stderr, flush=True)


def pool_threads():
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        if os.environ.get(name, "").isdigit() and int(os.environ[name]) > 0:
            return int(os.environ[name])
    return len(os.sched_getaffinity(0))


class Row:
    def __init__(self, group, label, build="current", **key):
        self.group, self.label, self.build, self.key = group, label, build, key
        self.info, self.runs, self.status, self.megabytes = {}, [], "ok", None

    @property
    def termsweep(self):
        return self.key.get("library") == "termsweep"

    @property
    def seconds(self):
        return min((run["seconds"] for run in self.runs), default=None)

    @property
    def count(self):
        return self.runs[0]["count"] if self.runs else None

    @property
    def mb_per_s(self):
        return self.megabytes / self.seconds if self.seconds and self.megabytes else None

    @property
    def title(self):
        return self.label if self.build == "current" else f"{self.label} [{self.build}]"


class Bench:
    def __init__(self, args, work, groups):
        self.args, self.work, self.groups = args, work, groups
        self.builds = [("current", None)]
        if args.baseline_path:
            self.builds.append(("baseline", os.path.realpath(args.baseline_path)))
        self.rows, self.checks = [], []
        self.threads = pool_threads()

    # -- running rows

    def run_child(self, row, setup, timeout=ROW_TIMEOUT, module_dir=None):
        setup = {**setup, "group": row.group, "repeats": self.args.repeats, "module_dir": module_dir}
        command = [sys.executable, os.path.abspath(__file__), "--child", json.dumps(setup)]
        stderr = ""
        try:
            done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
            out, stderr = done.stdout, done.stderr
            if done.returncode:
                row.status = f"failed (exit {done.returncode})"
        except subprocess.TimeoutExpired as expired:
            out = expired.stdout or ""
            out = out.decode() if isinstance(out, bytes) else out
            row.status = f"timeout (> {timeout:g} s)"
        records = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
        row.info = next((r["info"] for r in records if "info" in r), {})
        row.runs = [r for r in records if "seconds" in r]
        row.megabytes = row.info.get("megabytes")
        self.finish(row, stderr)

    def finish(self, row, stderr=""):
        self.rows.append(row)
        if row.status != "ok":
            detail = stderr.strip().splitlines()[-1:] if stderr else []
            log(f"  {row.group}: {row.title}: {row.status} {' '.join(detail)}")
            if row.status.startswith("failed") or (row.status.startswith("timeout") and row.group != "worst"):
                self.check(False, f"{row.group}: {row.title}: {row.status} {' '.join(detail)}")
            if row.status.startswith("timeout") and row.runs:
                row.status += f", best of {len(row.runs)} finished"
        elif row.runs:
            speed = f", {row.mb_per_s:.1f} MB/s" if row.mb_per_s else ""
            log(f"  {row.group}: {row.title}: {row.seconds:.3f} s{speed}, count {row.count}")
        else:
            log(f"  {row.group}: {row.title}: built in {row.info.get('build_s', 0):.3f} s")
        counts = {run["count"] for run in row.runs}
        if len(row.runs) > 1:
            self.check(len(counts) == 1, f"{row.group}: {row.title}: counts differ between runs: {sorted(counts)}",
                       quiet=True)

    def check(self, ok, message, quiet=False):
        self.checks.append((ok, message, quiet))

    def counts(self, choices):
        if not self.args.counts:
            return choices
        wanted = {int(c) for c in self.args.counts.split(",")}
        return tuple(c for c in choices if c in wanted)

    # -- groups

    def synthetic(self):
        args = self.args
        base = {"vocabulary": 50_000, "keywords": args.keywords, "texts": args.texts,
                "words": args.words, "threshold": None}
        plan = [(task, library) for task in ("extract", "replace") for library in ("termsweep", "pyahocorasick", "re")]
        plan += [("extract-batch", "termsweep"), ("replace-batch", "termsweep")]
        for task, library in plan:
            for build, module_dir in self.builds if library == "termsweep" else self.builds[:1]:
                row = Row("synthetic", library, build, task=task, library=library)
                self.run_child(row, {**base, "task": task, "library": library}, module_dir=module_dir)
        fuzzy_texts = max(1, args.texts // 10)
        fuzzy = {**base, "keywords": 500, "texts": fuzzy_texts, "task": "extract", "threshold": 0.8}
        for build, module_dir in self.builds:
            row = Row("synthetic", "termsweep 0.8", build, task="fuzzy", library="termsweep")
            self.run_child(row, {**fuzzy, "library": "termsweep"}, module_dir=module_dir)
        row = Row("synthetic", "regex {e<=1}", task="fuzzy", library="regex")
        self.run_child(row, {**fuzzy, "library": "regex-fuzzy"})

    def exact(self):
        termsweep_rows = [
            ("extract", "termsweep extract_keywords, one text"),
            ("extract-lines", "termsweep extract_keywords, per line"),
            ("replace", "termsweep replace_keywords, one text"),
            ("replace-lines", "termsweep replace_keywords, per line"),
            ("extract-batch", f"termsweep parallel_extract_keywords_from_texts, lines ({self.threads} threads)"),
            ("replace-batch", f"termsweep parallel_replace_keywords_from_texts, lines ({self.threads} threads)"),
        ]
        peer_rows = [
            ("ahocorasick_rs", "filtered", "ahocorasick_rs leftmost-longest + filter"),
            ("ahocorasick_rs", "raw", "ahocorasick_rs leftmost-longest, raw"),
            ("pyahocorasick", "filtered", "pyahocorasick iter_long + filter"),
        ]
        for count in self.counts((100, 1000, 8400)):
            base = {"keywords": count, "text_bytes": self.args.text_bytes}
            for library, task, label in peer_rows:
                self.run_child(Row("exact", label, keywords=count, library=library, task=task),
                               {**base, "library": library, "task": task})
            for task, label in termsweep_rows:
                for build, module_dir in self.builds:
                    self.run_child(Row("exact", label, build, keywords=count, library="termsweep", task=task),
                                   {**base, "library": "termsweep", "task": task}, module_dir=module_dir)

    def engine_binaries(self):
        binaries = []
        default = os.path.join(ROOT, "build", "bench", "bench", "engine_bench")
        current = self.args.engine_bench or default
        if current == default:
            build_dir = os.path.join(ROOT, "build", "bench")
            try:
                if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
                    log("  configuring build/bench")
                    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                                    "-DTERMSWEEP_BUILD_BENCH=ON", "-DTERMSWEEP_BUILD_MODULE=OFF"],
                                   check=True, capture_output=True)
                log("  bringing engine_bench up to date")
                subprocess.run(["cmake", "--build", build_dir, "--target", "engine_bench", "-j", "2"],
                               check=True, capture_output=True)
            except (OSError, subprocess.CalledProcessError) as error:
                self.check(False, f"engine: cannot build engine_bench: {error}")
                return []
        binaries.append(("current", current))
        if self.args.baseline_engine_bench:
            binaries.append(("baseline", self.args.baseline_engine_bench))
        return binaries

    def engine(self):
        import pydoc_corpus
        binaries = self.engine_binaries()
        text_path = os.path.join(self.work, f"text_{self.args.text_bytes}.txt")
        with open(text_path, "w", encoding="utf-8", newline="") as out:
            out.write(corpus_text(self.args.text_bytes))
        pattern = re_module.compile(r"(\d+) keywords built in ([\d.]+) s; text ([\d.]+) MB; (\d+) matches"
                                    r"\s+extract\s+([\d.]+) MB/s\s+replace\s+([\d.]+) MB/s")
        for count in self.counts((100, 1000, 8400)):
            keywords_path = os.path.join(self.work, f"keywords_{count}.txt")
            with open(keywords_path, "w", encoding="utf-8", newline="") as out:
                out.write("\n".join(pydoc_corpus.keywords(count)) + "\n")
            for build, binary in binaries:
                rows = [Row("engine", f"engine alone ({task})", build, keywords=count, library="termsweep",
                            task=task) for task in ("extract", "replace")]
                try:
                    done = subprocess.run([binary, keywords_path, text_path, "", str(self.args.repeats)],
                                          capture_output=True, text=True, timeout=ROW_TIMEOUT, check=True)
                    found = pattern.search(done.stdout)
                    if not found:
                        raise ValueError(f"unexpected output: {done.stdout!r}")
                except (OSError, ValueError, subprocess.SubprocessError) as error:
                    for row in rows:
                        row.status = f"failed ({error})"
                        self.finish(row)
                    continue
                megabytes = os.path.getsize(text_path) / 1e6
                for row, speed in zip(rows, (float(found[5]), float(found[6]))):
                    row.megabytes = megabytes
                    row.info = {"build_s": float(found[2])}
                    row.runs = [{"seconds": megabytes / speed, "count": int(found[4]) if row.key["task"] == "extract" else None}]
                    self.finish(row)

    def fuzzy(self):
        for count in self.counts((100, 1000)):
            base = {"keywords": count, "text_bytes": self.args.fuzzy_bytes}
            if count == 100:
                self.run_child(Row("fuzzy", "regex {e<=1}", keywords=count, library="regex", threshold=None),
                               {**base, "library": "regex"})
            for threshold in (0.8, 0.9):
                for build, module_dir in self.builds:
                    row = Row("fuzzy", f"termsweep, threshold {threshold}", build, keywords=count,
                              library="termsweep", threshold=threshold)
                    self.run_child(row, {**base, "library": "termsweep", "threshold": threshold},
                                   module_dir=module_dir)

    def memory(self):
        for count in self.args.memory_keywords:
            path = os.path.join(self.work, f"random_{count}.txt")
            log(f"  drawing {count:,} random keywords")
            keywords = random_keywords(count, 7, random_phrase)
            with open(path, "w", encoding="utf-8") as out:
                out.write("\n".join(keywords) + "\n")
            average = sum(map(len, keywords)) / count
            del keywords
            plan = [("termsweep", build, module_dir) for build, module_dir in self.builds]
            plan += [("pyahocorasick", "current", None), ("ahocorasick_rs", "current", None)]
            for library, build, module_dir in plan:
                row = Row("memory", library, build, keywords=count, library=library, average=average)
                self.run_child(row, {"library": library, "keywords_file": path}, module_dir=module_dir)

    def worst(self):
        cases = [
            ("ab66", "1,000 ten-letter keywords (a-j), `\"ab \" * 66`", 1000, "ab " * 66, None),
            ("ab20", "100,000 ten-letter keywords (a-j), `\"ab \" * 20` (60 characters)", 100_000, "ab " * 20, None),
            ("dashes", "1,000 ten-letter keywords (a-j), 100 KB of `-`", 1000, "-" * 100_000, None),
            ("pydoc", "1,000 pydoc keywords, 1 MB of pydoc text", 1000, None, 1_000_000),
            ("spaces", "1,000 pydoc keywords, 20 KB of spaces", 1000, " " * 20_000, None),
        ]
        limit = int(self.args.memory_limit_gb * 2**30)
        for case, label, count, text, text_bytes in cases:
            for build, module_dir in self.builds:
                row = Row("worst", label, build, library="termsweep", case=case)
                self.run_child(row, {"case": case, "keywords": count, "text": text, "text_bytes": text_bytes,
                                     "memory_limit": limit},
                               timeout=self.args.timeout, module_dir=module_dir)

    # -- checks across rows

    def cross_checks(self):
        fingerprint = corpus_fingerprint()
        recorded = EXPECTED.get(fingerprint, {})
        self.observed = {}
        builds = [build for build, _ in self.builds]
        for group, keys in (("exact", ("keywords",)), ("fuzzy", ("keywords", "threshold"))):
            groups = ("exact", "engine") if group == "exact" else ("fuzzy",)
            rows = [r for r in self.rows if r.group in groups and r.termsweep and r.count is not None]
            for key in sorted({tuple(r.key[k] for k in keys) for r in rows}):
                chosen = [r for r in rows if tuple(r.key[k] for k in keys) == key]
                name = f"{group} {', '.join(map(str, key))}"
                per_build = {}
                for build in builds:
                    mine = [r for r in chosen if r.build == build]
                    counts = {r.count for r in mine}
                    if len(mine) > 1:
                        self.check(len(counts) == 1, f"{name}: the {len(mine)} termsweep rows of the {build}"
                                   f" build agree: {sorted(counts)}")
                    if counts:
                        per_build[build] = counts
                if len(per_build) == 2:
                    self.check(per_build["current"] == per_build["baseline"],
                               f"{name}: current and baseline builds agree: {per_build}")
                size = self.args.text_bytes if group == "exact" else self.args.fuzzy_bytes
                record_key = f"{group} {size} {' '.join(map(str, key))}"
                counts = per_build.get("current", set())
                if len(counts) == 1:
                    self.observed[record_key] = next(iter(counts))
                if record_key in recorded:
                    self.check(counts == {recorded[record_key]},
                               f"{name}: {sorted(counts)} matches, recorded {recorded[record_key]}")
        unrecorded = {key: count for key, count in self.observed.items() if key not in recorded}
        if unrecorded:
            self.check(True, f"counts not recorded for corpus {fingerprint}: {json.dumps(unrecorded)}")

        synthetic = [r for r in self.rows if r.group == "synthetic" and r.termsweep and r.count is not None]
        for build in builds:
            mine = {r.key["task"]: r.count for r in synthetic if r.build == build}
            for single, batch in (("extract", "extract-batch"), ("replace", "replace-batch")):
                if single in mine and batch in mine:
                    self.check(mine[single] == mine[batch],
                               f"synthetic, {build}: {single} and {batch} agree ({mine[single]} vs {mine[batch]})")
        if len(builds) == 2:
            for task in ("extract", "replace", "extract-batch", "replace-batch", "fuzzy"):
                pair = {r.build: r.count for r in synthetic if r.key["task"] == task}
                if len(pair) == 2:
                    self.check(pair["current"] == pair["baseline"], f"synthetic {task}: builds agree: {pair}")

        for r in self.rows:
            if r.group == "memory" and r.info.get("stored") is not None:
                self.check(r.info["stored"] == r.key["keywords"],
                           f"memory: {r.title} holds {r.info['stored']} of {r.key['keywords']} keywords")
                if r.count is not None:
                    self.check(r.count == r.key["keywords"],
                               f"memory: {r.title} unpickles {r.count} of {r.key['keywords']} keywords")

    # -- tables

    def table(self, header, rows):
        lines = ["| " + " | ".join(header) + " |", "| " + " | ".join("---" for _ in header) + " |"]
        lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
        print("\n".join(lines) + "\n")

    def speed_cell(self, row):
        if not row.mb_per_s:
            return row.status
        speed = row.mb_per_s
        return f"{speed:.1f}" if speed >= 1 else f"{speed:.2f}" if speed >= 0.1 else f"{speed:.3f}"

    @staticmethod
    def ratio(numerator, denominator):
        if numerator and numerator.mb_per_s and denominator and denominator.mb_per_s:
            return f"{numerator.mb_per_s / denominator.mb_per_s:.1f}x"
        return ""

    def baseline_of(self, row):
        if row.build != "current" or len(self.builds) < 2:
            return None
        return next((r for r in self.rows if r.group == row.group and r.key == row.key
                     and r.build == "baseline"), None)

    def print_group(self, group):
        rows = [r for r in self.rows if r.group == group]
        if not rows:
            return
        repeats = f"best of {self.args.repeats}"
        with_baseline = len(self.builds) > 1
        if group == "synthetic":
            a = self.args
            print(f"Synthetic: {a.keywords} keywords, {a.texts} texts of {a.words} words"
                  f" (fuzzy: 500 keywords, {max(1, a.texts // 10)} texts); {repeats}\n")
            self.table(["task", "library", "build s", "memory MB", "MB/s", "found"],
                       [(r.key["task"], r.title, f"{r.info.get('build_s', 0):.3f}",
                         f"{r.info.get('memory_mb', 0):.1f}", self.speed_cell(r), fmt_count(r.count))
                        for r in rows])
        elif group in ("exact", "engine"):
            if group == "engine" and "exact" in self.groups:
                return  # printed with the exact rows, which run next
            rows = [r for r in self.rows if r.group in ("exact", "engine")]
            megabytes = next((r.megabytes for r in rows if r.megabytes), 0)
            print(f"Exact scan: pydoc_data.topics, {megabytes:.2f} MB, {repeats}; the ratio is to"
                  " ahocorasick_rs + filter\n")
            header = ["keywords", "row", "MB/s", "vs ahocorasick_rs + filter", "matches"]
            body = []
            for count in sorted({r.key["keywords"] for r in rows}):
                chosen = [r for r in rows if r.key["keywords"] == count]
                chosen.sort(key=lambda r: (r.group != "engine", r.termsweep is False))
                peer = next((r for r in chosen if r.key["library"] == "ahocorasick_rs"
                             and r.key["task"] == "filtered"), None)
                for r in chosen:
                    cells = [f"{count:,}", r.title, self.speed_cell(r), self.ratio(r, peer), fmt_count(r.count)]
                    if with_baseline:
                        cells.append(self.ratio(r, self.baseline_of(r)))
                    body.append(cells)
            self.table(header + (["vs baseline"] if with_baseline else []), body)
        elif group == "fuzzy":
            megabytes = next((r.megabytes for r in rows if r.megabytes), 0)
            print(f"Fuzzy extraction: pydoc_data.topics, {megabytes:.2f} MB, {repeats}; the ratio is to"
                  " `regex` with 100 keywords\n")
            peer = next((r for r in rows if r.key["library"] == "regex"), None)
            body = []
            for r in rows:
                cells = [f"{r.key['keywords']:,}", r.title, self.speed_cell(r),
                         self.ratio(r, peer) if r.key["keywords"] == 100 else "", fmt_count(r.count)]
                if with_baseline:
                    cells.append(self.ratio(r, self.baseline_of(r)))
                body.append(cells)
            self.table(["keywords", "row", "MB/s", "vs `regex`", "matches"]
                       + (["vs baseline"] if with_baseline else []), body)
        elif group == "memory":
            average = rows[0].key["average"]
            print(f"Memory and build: distinct random keywords, {average:.1f} bytes on average;"
                  f" unpickle {repeats}\n")
            body = []
            for r in rows:
                info = r.info
                body.append([f"{r.key['keywords']:,}", r.title,
                             f"{info['build_s']:.2f}" if "build_s" in info else r.status,
                             f"{info['memory_mb']:.1f}" if "memory_mb" in info else "",
                             f"{info['bytes_per_keyword']:.0f}" if "bytes_per_keyword" in info else "",
                             f"{info['pickle_mb']:.1f}" if "pickle_mb" in info else "",
                             f"{r.seconds:.3f}" if r.seconds is not None else ""])
            self.table(["keywords", "library", "build s", "memory MB", "B/keyword", "pickle MB", "unpickle s"],
                       body)
        elif group == "worst":
            print(f"Fuzzy extraction at threshold 0: {repeats}, time limit {self.args.timeout:g} s,"
                  f" address space {self.args.memory_limit_gb:g} GB\n")
            self.table(["case", "build", "seconds", "peak MB", "matches", "status"],
                       [(r.label, r.build, f"{r.seconds:.3f}" if r.seconds is not None else "",
                         f"{min(run['peak_mb'] for run in r.runs):.1f}" if r.runs else "",
                         fmt_count(r.count), r.status) for r in rows])

    def print_checks(self):
        failed = [message for ok, message, _ in self.checks if not ok]
        passed = [message for ok, message, quiet in self.checks if ok and not quiet]
        quiet = sum(1 for ok, _, q in self.checks if ok and q)
        print(f"Checks: {len(self.checks) - len(failed)} passed ({quiet} of them: the same count in every run of"
              f" a row), {len(failed)} failed\n")
        for message in passed:
            print(f"- ok: {message}")
        for message in failed:
            print(f"- FAILED: {message}")
        return not failed


def fmt_count(count):
    return f"{count:,}" if isinstance(count, int) else ""


def corpus_fingerprint():
    sys.path.insert(0, HERE)
    import pydoc_corpus
    return hashlib.sha256(pydoc_corpus.topics().encode()).hexdigest()[:12]


def load_line():
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f} {five:.2f} {fifteen:.2f} on {os.cpu_count()} CPUs"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--quick", action="store_true",
                        help="small sizes and short time limits: a smoke run of every row")
    parser.add_argument("--only", default=",".join(GROUPS), help=f"groups to run, from {', '.join(GROUPS)}")
    parser.add_argument("--repeats", type=int, help="runs per row, the best counts (default 3; 2 with --quick)")
    parser.add_argument("--counts", help="keyword counts for the exact, engine and fuzzy groups, e.g. 100,8400")
    parser.add_argument("--megabytes", type=float, help="size of the exact scan's text (default 10; 1 with --quick)")
    parser.add_argument("--fuzzy-megabytes", type=float, help="size of the fuzzy text (default 1; 0.2 with --quick)")
    parser.add_argument("--memory-keywords", help="keyword counts of the memory group "
                                                  "(default 100000,1000000; 10000,100000 with --quick)")
    parser.add_argument("--timeout", type=float, help="time limit of each threshold-0 row in seconds"
                                                      " (default 60; 10 with --quick)")
    parser.add_argument("--memory-limit-gb", type=float, default=4.0,
                        help="address-space limit of each threshold-0 row (default 4)")
    parser.add_argument("--baseline-path", help="folder holding another build's termsweep module:"
                                                " its rows run next to the current build's")
    parser.add_argument("--engine-bench", help="engine_bench binary (default: build/bench/bench/engine_bench,"
                                               " built or brought up to date first)")
    parser.add_argument("--baseline-engine-bench", help="the baseline's engine_bench binary")
    parser.add_argument("--keywords", type=int, default=10_000, help="synthetic group: keyword phrases")
    parser.add_argument("--texts", type=int, help="synthetic group: texts (default 5000; 500 with --quick)")
    parser.add_argument("--words", type=int, default=100, help="synthetic group: words per text")
    args = parser.parse_args()
    if args.child:
        return child(json.loads(args.child))

    quick = args.quick
    args.repeats = args.repeats or (2 if quick else 3)
    args.text_bytes = int((args.megabytes or (1 if quick else 10)) * 1e6)
    args.fuzzy_bytes = int((args.fuzzy_megabytes or (0.2 if quick else 1)) * 1e6)
    args.memory_keywords = [int(c) for c in (args.memory_keywords
                                             or ("10000,100000" if quick else "100000,1000000")).split(",")]
    args.timeout = args.timeout or (10.0 if quick else 60.0)
    args.texts = args.texts or (100 if quick else 5000)
    groups = [g.strip() for g in args.only.split(",") if g.strip()]
    unknown = set(groups) - set(GROUPS)
    if unknown:
        parser.error(f"unknown groups {', '.join(sorted(unknown))}; choose from {', '.join(GROUPS)}")
    if args.baseline_path and not os.path.isdir(args.baseline_path):
        parser.error(f"--baseline-path {args.baseline_path} is not a folder")

    import termsweep
    print(f"termsweep {termsweep.__file__}"
          + (f"; baseline from {os.path.realpath(args.baseline_path)}" if args.baseline_path else ""))
    print(f"Python {sys.version.split()[0]}; {load_line()} at the start\n")
    with tempfile.TemporaryDirectory(prefix="bench_peers_") as work:
        bench = Bench(args, work, groups)
        for group in GROUPS:
            if group in groups:
                log(f"{group}:")
                getattr(bench, group)()
                bench.print_group(group)
    bench.cross_checks()
    print(f"{load_line()} at the end\n")
    return 0 if bench.print_checks() else 1


if __name__ == "__main__":
    sys.exit(main())
