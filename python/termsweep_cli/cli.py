"""The `termsweep` command: extract or replace keywords in text files."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import math
import os
import sys
from collections.abc import Iterator, Sequence
from typing import BinaryIO, NoReturn, Protocol, cast

from termsweep import KeywordProcessor

from . import __version__
from .errors import InputError
from .keywords import load_keywords
from .jsonl import json_lines
from .texts import read_chunks

PROG = "termsweep"
STDIN = "-"
STDIN_NAME = "<stdin>"
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, what a shell reports for Ctrl-C


class _Progress(Protocol):
    def update(self, n: int) -> object: ...


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, like every other error of the command.
        self.exit(EXIT_ERROR, f"{PROG}: error: {message} (see {self.prog} --help)\n")


def _threshold(value: str) -> float:
    try:
        threshold = float(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {value!r}") from None
    if math.isnan(threshold) or not 0 <= threshold <= 1:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {value}")
    return threshold


def _jobs(value: str) -> int:
    try:
        jobs = int(value)
    except ValueError:
        jobs = 0
    if jobs < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1, got {value!r}")
    return jobs


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Extract or replace keywords in text files, one text per line.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    common = _Parser(add_help=False)
    common.add_argument("--keywords", "-k", required=True, metavar="FILE",
                        help="keyword file: .tsv/.txt (keyword[TAB clean name] per line), "
                             ".csv (keyword,clean name) or .json ({keyword: clean name or null})")
    common.add_argument("--threshold", "-t", type=_threshold, metavar="T",
                        help="fuzzy matching down to this similarity (0 to 1; default: exact matching)")
    common.add_argument("--case-sensitive", action="store_true", help="match case exactly")
    common.add_argument("--allow-overlaps", action="store_true",
                        help="find keywords inside words too (no word-boundary checks)")
    common.add_argument("--word-chars", default="", metavar="CHARS",
                        help="characters that also count as word characters, besides a-z, A-Z, 0-9 and _ "
                             "(only characters below U+0100 take part)")
    common.add_argument("--jobs", "-j", type=_jobs, metavar="N",
                        help="worker threads (default: $RAYON_NUM_THREADS, else the CPUs available)")
    common.add_argument("--progress", action=argparse.BooleanOptionalAction,
                        help="show a progress bar on standard error (default: when it is a terminal)")
    common.add_argument("paths", nargs="*", metavar="PATH",
                        help="input files, one text per line (default, or '-': standard input)")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser(
        "extract", parents=[common], help="write the matches as JSON Lines",
        description="Write one JSON object per match: path, line, start, end (string indices into the line), "
                    "match, keyword (the clean name) and similarity.")
    replace = commands.add_parser(
        "replace", parents=[common], help="write the texts with keywords replaced by their clean names",
        description="Write the texts with every keyword replaced by its clean name.")
    replace.add_argument("--output-dir", "-o", metavar="DIR",
                         help="write one file per input into DIR, under the input's name "
                              "(standard input: stdin.txt) instead of to standard output")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with `argv` (default: the process's arguments); returns the exit status."""
    try:
        _run(build_parser().parse_args(argv))
    except InputError as error:
        return _fail(str(error))
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the
        # interpreter's final flush from complaining.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as error:
        return _fail(f"{error.filename}: {error.strerror}" if error.filename else str(error))
    return 0


def _fail(message: str) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return EXIT_ERROR


def _run(args: argparse.Namespace) -> None:
    paths: list[str] = args.paths or [STDIN]
    for path in paths:
        _check_readable(path)
    outputs = _output_paths(paths, args.output_dir) if getattr(args, "output_dir", None) else None
    processor = _build_processor(args)
    if args.jobs is not None:
        # Read once, when the first batch creates the worker pool.
        os.environ["RAYON_NUM_THREADS"] = str(args.jobs)
    show_progress = sys.stderr.isatty() if args.progress is None else args.progress
    with _progress_bar(show_progress, _total_size(paths)) as bar:
        for index, path in enumerate(paths):
            name = STDIN_NAME if path == STDIN else path
            with _open_input(path) as stream:
                if args.command == "extract":
                    _extract(processor, args, stream, name, bar)
                elif outputs is None:
                    _replace(processor, args, stream, name, sys.stdout.buffer, bar)
                else:
                    with _replaced_file(outputs[index]) as out:
                        _replace(processor, args, stream, name, out, bar)
    sys.stdout.flush()


def _build_processor(args: argparse.Namespace) -> KeywordProcessor:
    processor = KeywordProcessor(case_sensitive=args.case_sensitive, allow_overlaps=args.allow_overlaps)
    for keyword, clean_name in load_keywords(args.keywords):
        processor.add_keyword(keyword, clean_name)
    for char in args.word_chars:
        processor.add_non_word_boundary(char)
    return processor


def _extract(processor: KeywordProcessor, args: argparse.Namespace, stream: BinaryIO, name: str,
             bar: _Progress) -> None:
    out = sys.stdout.buffer
    for chunk in read_chunks(stream, name):
        matches = processor.parallel_extract_keywords_from_texts(chunk.texts, args.threshold)
        out.write(json_lines(name, chunk, matches, args.case_sensitive))
        bar.update(chunk.size)


def _replace(processor: KeywordProcessor, args: argparse.Namespace, stream: BinaryIO, name: str,
             out: BinaryIO, bar: _Progress) -> None:
    for chunk in read_chunks(stream, name):
        out.write(chunk.rejoin(processor.parallel_replace_keywords_from_texts(chunk.texts, args.threshold)))
        bar.update(chunk.size)


def _open_file(path: str) -> BinaryIO:
    try:
        return open(path, "rb")
    except OSError as error:
        raise InputError(f"cannot read {path}: {error.strerror or error}") from None


def _check_readable(path: str) -> None:
    # Before any output, so that a mistyped name costs no partial run.
    if path != STDIN:
        _open_file(path).close()


@contextlib.contextmanager
def _open_input(path: str) -> Iterator[BinaryIO]:
    if path == STDIN:
        yield sys.stdin.buffer
        return
    with _open_file(path) as stream:
        yield stream


def _output_paths(paths: list[str], output_dir: str) -> list[str]:
    outputs = [os.path.join(output_dir, "stdin.txt" if p == STDIN else os.path.basename(p)) for p in paths]
    seen: dict[str, str] = {}
    for path, output in zip(paths, outputs):
        if output in seen:
            raise InputError(f"{seen[output]} and {path} would both be written to {output}")
        seen[output] = path
        if path != STDIN and os.path.exists(output) and os.path.samefile(path, output):
            raise InputError(f"{output} would overwrite its own input")
    try:
        os.makedirs(output_dir, exist_ok=True)
    except OSError as error:
        raise InputError(f"cannot create {output_dir}: {error.strerror or error}") from None
    return outputs


@contextlib.contextmanager
def _replaced_file(path: str) -> Iterator[BinaryIO]:
    # Written beside its final name and moved there once complete, so that a
    # failed run leaves no truncated output.
    partial = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.partial")
    try:
        with open(partial, "wb") as out:
            yield out
        os.replace(partial, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(partial)
        raise


def _total_size(paths: list[str]) -> int | None:
    """Bytes to read, when every input is a regular file."""
    total = 0
    for path in paths:
        if path == STDIN or not os.path.isfile(path):
            return None
        total += os.path.getsize(path)
    return total


class _NoProgress:
    def update(self, n: int) -> None:
        pass


@contextlib.contextmanager
def _progress_bar(enabled: bool, total: int | None) -> Iterator[_Progress]:
    if not enabled:
        yield _NoProgress()
        return
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:  # the bar is optional; the work is not
        yield _NoProgress()
        return
    with tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr,
              dynamic_ncols=True) as bar:
        yield cast(_Progress, bar)
