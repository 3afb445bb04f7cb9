"""Replace keywords in a large file with a pool of spawned processes.

    python examples/spawn_replace.py --keywords data/sample/keywords.tsv FILE > replaced.txt

Each worker process receives the processor once, through the pool's
initializer, then replaces keywords in chunks of the file with the parallel
batch method; results are written in file order. The output equals
`termsweep replace`.

A processor pickles to at least 139 KB, whatever its keywords: handed to the
initializer it travels once per process; passed with every task, it would
travel once per chunk. The "spawn" start method (the default on macOS and
Windows) starts clean interpreters; on Linux "fork" works as well.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
from collections import deque
from multiprocessing.pool import AsyncResult

from termsweep import KeywordProcessor
from termsweep_cli import Chunk, load_keywords, read_chunks

# The worker's own processor, set once by `start_worker`.
_processor: KeywordProcessor | None = None


def start_worker(processor: KeywordProcessor, threads: int) -> None:
    global _processor
    _processor = processor
    # Sizes the module's thread pool, created by the worker's first batch.
    os.environ["RAYON_NUM_THREADS"] = str(threads)


def replace_chunk(chunk: Chunk, threshold: float | None) -> bytes:
    assert _processor is not None, "start_worker has not run"
    return chunk.rejoin(_processor.parallel_replace_keywords_from_texts(chunk.texts, threshold))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--keywords", required=True, help="keyword file (.tsv, .txt, .csv or .json)")
    parser.add_argument("--threshold", type=float, help="fuzzy matching threshold (default: exact)")
    parser.add_argument("--processes", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--threads", type=int, default=1, help="matching threads per process (default 1)")
    parser.add_argument("--chunk-bytes", type=int, default=1 << 20, help="bytes of text per task (default 1 MiB)")
    parser.add_argument("path", help="input file, one text per line")
    args = parser.parse_args()

    processor = KeywordProcessor()
    for keyword, clean_name in load_keywords(args.keywords):
        processor.add_keyword(keyword, clean_name)

    context = multiprocessing.get_context("spawn")
    out = sys.stdout.buffer
    with context.Pool(args.processes, start_worker, (processor, args.threads)) as pool, \
            open(args.path, "rb") as stream:
        # A bounded queue of tasks in flight, oldest first: memory stays
        # bounded however large the file, and results come out in order.
        pending: deque[AsyncResult[bytes]] = deque()
        for chunk in read_chunks(stream, args.path, args.chunk_bytes):
            pending.append(pool.apply_async(replace_chunk, (chunk, args.threshold)))
            if len(pending) >= 2 * args.processes:
                out.write(pending.popleft().get())
        while pending:
            out.write(pending.popleft().get())
    out.flush()


if __name__ == "__main__":
    main()
