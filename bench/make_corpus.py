"""Writes a keyword list and a text for bench/engine_bench.cpp.

    python bench/make_corpus.py OUT_DIR [--keywords N] [--texts N] [--words N]
"""

import argparse
import pathlib

import corpus

parser = argparse.ArgumentParser(description=__doc__)
parser.add_argument("out", type=pathlib.Path)
parser.add_argument("--keywords", type=int, default=10_000)
parser.add_argument("--texts", type=int, default=5_000)
parser.add_argument("--words", type=int, default=100)
args = parser.parse_args()
args.out.mkdir(parents=True, exist_ok=True)
vocab = corpus.vocabulary(50_000)
phrases = corpus.keyword_phrases(vocab, args.keywords)
(args.out / "keywords.txt").write_text("\n".join(phrases) + "\n", encoding="utf-8")
(args.out / "text.txt").write_text(" ".join(corpus.texts(vocab, phrases, args.texts, args.words)),
                                   encoding="utf-8")
