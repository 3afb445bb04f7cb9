"""Command-line tool and file helpers around the `termsweep` module.

`python -m termsweep_cli` and the `termsweep` command run `cli.main`. The
helpers below serve scripts that process files the same way.
"""

from importlib.metadata import version

from .errors import InputError
from .keywords import load_keywords
from .offsets import string_spans
from .jsonl import json_lines
from .texts import Chunk, read_chunks

__version__ = version("termsweep")

__all__ = [
    "Chunk",
    "InputError",
    "__version__",
    "json_lines",
    "load_keywords",
    "read_chunks",
    "string_spans",
]
