"""Real English for the benchmarks, with no download: CPython's own
documentation topics (`pydoc_data.topics`), repeated to a target size, and
keyword lists made of its most frequent words and word pairs, lower-cased.

    python bench/pydoc_corpus.py OUT_DIR    # text.txt and keywords_N.txt for engine_bench
"""

import argparse
import collections
import functools
import pathlib
import re

import pydoc_data.topics

KEYWORD_COUNTS = (100, 1000, 8400)


@functools.cache
def topics() -> str:
    return "\n".join(pydoc_data.topics.topics[name] for name in sorted(pydoc_data.topics.topics))


def text(target_bytes: int = 10_000_000) -> str:
    """The topics repeated until the UTF-8 text reaches `target_bytes`."""
    once = topics()
    size = len(once.encode())
    return "\n".join([once] * max(1, round(target_bytes / size)))


@functools.cache
def _ranked() -> list:
    words = re.findall(r"[a-z0-9_]+", topics().lower())
    counts = collections.Counter(words)
    counts.update(" ".join(pair) for pair in zip(words, words[1:]))
    return sorted(counts, key=lambda phrase: (-counts[phrase], phrase))


def keywords(count: int) -> list:
    """The `count` most frequent words and word pairs (ties alphabetical)."""
    return _ranked()[:count]


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", type=pathlib.Path)
    parser.add_argument("--megabytes", type=float, default=10)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "text.txt").write_text(text(int(args.megabytes * 1e6)), encoding="utf-8")
    for count in KEYWORD_COUNTS:
        (args.out / f"keywords_{count}.txt").write_text("\n".join(keywords(count)) + "\n", encoding="utf-8")
