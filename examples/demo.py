"""Extract and replace keywords in the bundled sample.

Loads data/sample/keywords.tsv into a KeywordProcessor, then prints, for every
line of data/sample/texts.txt, the keywords found (exact and fuzzy) and the
text with the keywords replaced by their clean names.
"""

import argparse
import pathlib

from termsweep import KeywordProcessor

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "sample"


def load_keywords(processor, path):
    for line in path.read_text(encoding="utf-8").splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        keyword, _, clean_name = line.partition("\t")
        processor.add_keyword(keyword, clean_name or None)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--keywords", type=pathlib.Path, default=SAMPLE / "keywords.tsv")
    parser.add_argument("--texts", type=pathlib.Path, default=SAMPLE / "texts.txt")
    parser.add_argument("--threshold", type=float, default=0.8,
                        help="similarity threshold of the fuzzy pass (default 0.8)")
    args = parser.parse_args()

    processor = KeywordProcessor()
    load_keywords(processor, args.keywords)
    print(f"{processor!r} loaded from {args.keywords.name}")

    texts = args.texts.read_text(encoding="utf-8").splitlines()
    exact = processor.parallel_extract_keywords_from_texts(texts)
    fuzzy = processor.parallel_extract_keywords_from_texts(texts, args.threshold)
    replaced = processor.parallel_replace_keywords_from_texts(texts)
    for number, text in enumerate(texts, 1):
        print(f"\n[{number}] {text}")
        print("  exact:   " + (", ".join(f"{m.keyword} @{m.start}-{m.end}" for m in exact[number - 1]) or "-"))
        print(f"  fuzzy:   " + (", ".join(
            f"{m.keyword} @{m.start}-{m.end} ({m.similarity:.2f})" for m in fuzzy[number - 1]) or "-"))
        print(f"  replace: {replaced[number - 1]}")


if __name__ == "__main__":
    main()
