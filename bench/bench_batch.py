"""Batch speed-up with the worker pool's size, and the CPU an idle pool uses.

Each pool size runs in a fresh interpreter (the pool is sized once per
process from RAYON_NUM_THREADS).

    python bench/bench_batch.py [--texts 100000] [--words 12] [--keywords 10000]
"""

import argparse
import copy
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def cpu_seconds_of_other_threads():
    """CPU time of every thread of this process but the calling one."""
    total = 0
    me = str(os.getpid())
    for tid in os.listdir("/proc/self/task"):
        if tid == me:
            continue
        with open(f"/proc/self/task/{tid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # utime + stime, in clock ticks
    return total / os.sysconf("SC_CLK_TCK")


def child(setup):
    sys.path.insert(0, HERE)
    import corpus
    from termsweep import KeywordProcessor
    vocab = corpus.vocabulary(50_000)
    phrases = corpus.keyword_phrases(vocab, setup["keywords"])
    texts = corpus.texts(vocab, phrases, setup["texts"], setup["words"])
    kp = KeywordProcessor()
    for phrase in phrases:
        kp.add_keyword(phrase, phrase.upper())
    results = {}
    for name, run in [
        ("extract loop", lambda p: [p.extract_keywords(t) for t in texts]),
        ("extract batch", lambda p: p.parallel_extract_keywords_from_texts(texts)),
        ("replace loop", lambda p: [p.replace_keywords(t) for t in texts]),
        ("replace batch", lambda p: p.parallel_replace_keywords_from_texts(texts)),
        ("fuzzy batch", lambda p: p.parallel_extract_keywords_from_texts(texts[:setup["texts"] // 10], 0.85)),
    ]:
        best = float("inf")
        for _ in range(setup["repeats"]):
            # A fresh copy each run: a processor keeps fuzzy answers between
            # calls, which a repeated run would find warm.
            fresh = copy.copy(kp)
            start = time.perf_counter()
            run(fresh)
            best = min(best, time.perf_counter() - start)
        results[name] = best
    before = cpu_seconds_of_other_threads()
    time.sleep(setup["idle_seconds"])
    results["idle cpu s"] = cpu_seconds_of_other_threads() - before
    results["threads"] = len(os.listdir("/proc/self/task")) - 1
    print(json.dumps(results))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child")
    parser.add_argument("--texts", type=int, default=100_000)
    parser.add_argument("--words", type=int, default=12)
    parser.add_argument("--keywords", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--idle-seconds", type=float, default=2.0)
    parser.add_argument("--threads", default="1,2")
    args = parser.parse_args()
    if args.child:
        return child(json.loads(args.child))
    setup = {"texts": args.texts, "words": args.words, "keywords": args.keywords,
            "repeats": args.repeats, "idle_seconds": args.idle_seconds}
    rows = {}
    for threads in args.threads.split(","):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, __file__, "--child", json.dumps(setup)], env=env,
                             capture_output=True, text=True, check=True).stdout
        rows[threads] = json.loads(out)
    print(f"{args.texts} texts of {args.words} words, {args.keywords} keywords; best of {args.repeats}\n")
    names = [n for n in next(iter(rows.values())) if n not in ("idle cpu s", "threads")]
    print(f"{'':16}" + "".join(f"{'T=' + t:>12}" for t in rows))
    for name in names:
        print(f"{name + ' s':16}" + "".join(f"{r[name]:>12.3f}" for r in rows.values()))
    print(f"{'pool threads':16}" + "".join(f"{r['threads']:>12}" for r in rows.values()))
    print(f"{'idle cpu s':16}" + "".join(f"{r['idle cpu s']:>12.3f}" for r in rows.values()))


if __name__ == "__main__":
    main()
