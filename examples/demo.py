"""Extract and replace keywords in the bundled sample.

Loads data/sample/keywords.tsv into a KeywordProcessor, then prints, for every
line of data/sample/texts.txt, the keywords found, the text with each keyword
replaced by its clean name, and what a fuzzy pass over the canonical names
finds (misspellings included).
"""

import argparse
import pathlib

from termsweep import KeywordProcessor
from termsweep_cli import load_keywords

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "sample"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--keywords", type=pathlib.Path, default=SAMPLE / "keywords.tsv")
    parser.add_argument("--texts", type=pathlib.Path, default=SAMPLE / "texts.txt")
    parser.add_argument("--threshold", type=float, default=0.8,
                        help="similarity threshold of the fuzzy pass (default 0.8)")
    args = parser.parse_args()

    keywords = load_keywords(args.keywords)
    processor = KeywordProcessor()
    for keyword, clean_name in keywords:
        processor.add_keyword(keyword, clean_name)
    # Fuzzy scores compare the text with the stored clean name, so the fuzzy
    # pass runs over the canonical names themselves.
    spelling = KeywordProcessor()
    for _, clean_name in keywords:
        if clean_name:
            spelling.add_keyword(clean_name)
    print(f"{processor!r} loaded from {args.keywords.name}; "
          f"fuzzy pass over {len(spelling)} canonical names at threshold {args.threshold}")

    texts = args.texts.read_text(encoding="utf-8").splitlines()
    exact = processor.parallel_extract_keywords_from_texts(texts)
    replaced = processor.parallel_replace_keywords_from_texts(texts)
    fuzzy = spelling.parallel_extract_keywords_from_texts(texts, args.threshold)
    for number, text in enumerate(texts, 1):
        print(f"\n[{number}] {text}")
        print("  exact:   " + (", ".join(f"{m.keyword} @{m.start}-{m.end}" for m in exact[number - 1]) or "-"))
        print("  fuzzy:   " + (", ".join(
            f"{m.keyword} @{m.start}-{m.end} ({m.similarity:.2f})" for m in fuzzy[number - 1]) or "-"))
        print(f"  replace: {replaced[number - 1]}")


if __name__ == "__main__":
    main()
