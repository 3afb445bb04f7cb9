"""Extract keywords from a large file on a Dask cluster.

    python examples/dask_extract.py --keywords data/sample/keywords.tsv FILE > matches.jsonl

Starts a LocalCluster of worker processes (point `Client` at a real
scheduler instead to use more machines), sends the processor to every worker
once with `scatter`, maps the parallel batch method over chunks of the file
and gathers the results in file order. Writes JSON Lines like
`termsweep extract`.

A processor pickles to at least 139 KB, whatever its keywords: scattered
once, it costs that much per worker; passed as a plain argument, it would
cost that much per task.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterable, Iterator
from typing import TypeVar

from distributed import Client, Future, LocalCluster

from termsweep import KeywordProcessor
from termsweep_cli import Chunk, json_lines, load_keywords, read_chunks

T = TypeVar("T")


def extract_chunk(chunk: Chunk, processor: KeywordProcessor, source: str, threshold: float | None) -> bytes:
    """Runs on a worker: the JSON Lines of one chunk's matches."""
    matches = processor.parallel_extract_keywords_from_texts(chunk.texts, threshold)
    return json_lines(source, chunk, matches)


def windows(items: Iterable[T], size: int) -> Iterator[list[T]]:
    window: list[T] = []
    for item in items:
        window.append(item)
        if len(window) == size:
            yield window
            window = []
    if window:
        yield window


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--keywords", required=True, help="keyword file (.tsv, .txt, .csv or .json)")
    parser.add_argument("--threshold", type=float, help="fuzzy matching threshold (default: exact)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--threads", type=int, default=1, help="matching threads per worker (default 1)")
    parser.add_argument("--chunk-bytes", type=int, default=1 << 20, help="bytes of text per task (default 1 MiB)")
    parser.add_argument("path", help="input file, one text per line")
    args = parser.parse_args()

    processor = KeywordProcessor()
    for keyword, clean_name in load_keywords(args.keywords):
        processor.add_keyword(keyword, clean_name)

    # Each worker's batch calls use their own thread pool, sized here so that
    # the workers together do not oversubscribe the machine.
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                           dashboard_address=None, env={"RAYON_NUM_THREADS": str(args.threads)})
    with cluster, Client(cluster) as client, open(args.path, "rb") as stream:
        shared = client.scatter(processor, broadcast=True)
        out = sys.stdout.buffer
        # Two windows of tasks in flight at most, so memory stays bounded
        # however large the file: while one window runs, the previous one is
        # gathered and written, in order.
        previous: list[Future] = []
        for window in windows(read_chunks(stream, args.path, args.chunk_bytes), 2 * args.workers):
            futures = client.map(extract_chunk, window, processor=shared, source=args.path,
                                 threshold=args.threshold, pure=False)
            for result in client.gather(previous):
                out.write(result)
            previous = futures
        for result in client.gather(previous):
            out.write(result)
        out.flush()


if __name__ == "__main__":
    main()
