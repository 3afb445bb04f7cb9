"""Reading texts, one per line, in chunks of bounded size."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import BinaryIO

from .errors import InputError

# Large enough to keep every worker thread of a batch busy, small enough that
# a chunk, its decoded lines and their results stay a few megabytes.
CHUNK_BYTES = 1 << 20


@dataclass(frozen=True)
class Chunk:
    """Consecutive lines of one input."""

    first_line: int
    """1-based number of `texts[0]` in its input."""
    texts: list[str]
    """The lines, without their line feeds (a carriage return stays)."""
    terminated: bool
    """Whether the last line ended with a line feed (only the input's last line may not)."""
    size: int
    """Bytes read for these lines, line feeds included."""

    def rejoin(self, texts: Sequence[str]) -> bytes:
        """`texts`, one per line of this chunk (replaced ones, say), as UTF-8 with the chunk's line feeds."""
        return ("\n".join(texts) + ("\n" if self.terminated else "")).encode("utf-8")


def read_chunks(stream: BinaryIO, name: str, chunk_bytes: int = CHUNK_BYTES) -> Iterator[Chunk]:
    """The lines of `stream`, decoded as UTF-8, in chunks of about `chunk_bytes`.

    Only line feeds separate lines. A chunk ends at a line feed after at least
    `chunk_bytes` bytes, or at the end of the input, so memory stays bounded
    by the chunk size and the longest line. Raises InputError naming `name`
    and the line when the input is not UTF-8.
    """
    first_line = 1
    while True:
        block = stream.read(chunk_bytes)
        if not block:
            return
        if not block.endswith(b"\n"):
            block += stream.readline()
        try:
            text = block.decode("utf-8")
        except UnicodeDecodeError as error:
            line = first_line + block.count(b"\n", 0, error.start)
            raise InputError(f"{name}:{line}: not UTF-8 text (byte 0x{block[error.start]:02x})") from None
        terminated = text.endswith("\n")
        texts = (text[:-1] if terminated else text).split("\n")
        yield Chunk(first_line, texts, terminated, len(block))
        first_line += len(texts)
