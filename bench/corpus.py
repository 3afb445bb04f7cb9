"""Deterministic synthetic corpora for the benchmarks: pseudo-words drawn
with a Zipf-like distribution, keyword phrases of one to three words, and
texts that mention some of those phrases in mixed case."""

import random

SYLLABLES = [c + v for c in "bcdfghjklmnprstvwz" for v in "aeiou"] + ["qu", "sh", "th", "ch"]


def vocabulary(size, seed=1):
    rng = random.Random(seed)
    words = set()
    while len(words) < size:
        words.add("".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 4))))
    return sorted(words)


def keyword_phrases(vocab, count, seed=2):
    rng = random.Random(seed)
    phrases = set()
    while len(phrases) < count:
        phrases.add(" ".join(rng.choice(vocab) for _ in range(rng.choice((1, 1, 2, 3)))))
    return sorted(phrases)


def texts(vocab, phrases, count, words_per_text, seed=3, phrase_rate=0.05):
    rng = random.Random(seed)
    weights = [1.0 / (rank + 1) for rank in range(len(vocab))]
    out = []
    for _ in range(count):
        words = rng.choices(vocab, weights, k=words_per_text)
        for i in range(len(words)):
            if rng.random() < phrase_rate:
                words[i] = rng.choice(phrases)
            if rng.random() < 0.1:
                words[i] = words[i].capitalize()
            if rng.random() < 0.08:
                words[i] += rng.choice(",.;:!?")
        out.append(" ".join(words))
    return out
