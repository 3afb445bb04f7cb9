"""Keyword files: TSV or plain text, CSV, JSON."""

from __future__ import annotations

import csv
import json
import os

from .errors import InputError

Entry = tuple[str, str | None]

KEYWORD_FILE_TYPES = (".tsv", ".txt", ".csv", ".json")


def load_keywords(path: str | os.PathLike[str]) -> list[Entry]:
    """(keyword, clean name or None) pairs from a keyword file, in file order.

    - `.tsv`, `.txt`: one keyword per line, optionally followed by a TAB and
      its clean name;
    - `.csv`: the same two columns (no header row);
    - `.json`: an object mapping each keyword to its clean name or null.

    In the line-based formats blank lines and lines starting with '#' are
    skipped, and an empty clean name counts as none. A leading byte-order
    mark is ignored. Raises InputError,
    naming the file and line, for a file that cannot be read, is not UTF-8
    or holds a malformed entry.
    """
    name = os.fspath(path)
    suffix = os.path.splitext(name)[1].lower()
    if suffix not in KEYWORD_FILE_TYPES:
        raise InputError(f"{name}: unknown keyword file type (expected {', '.join(KEYWORD_FILE_TYPES)})")
    try:
        with open(name, "rb") as file:
            data = file.read()
    except OSError as error:
        raise InputError(f"cannot read keyword file {name}: {error.strerror or error}") from None
    if suffix == ".json":
        return _json_entries(name, data)
    lines = _decoded_lines(name, data)
    if suffix == ".csv":
        return _csv_entries(name, lines)
    return _tsv_entries(name, lines)


def _decoded_lines(name: str, data: bytes) -> list[str]:
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise InputError(f"{name}:{line}: not UTF-8 text") from None
    return text.split("\n")


def _is_skipped(first_cell: str, whole: str) -> bool:
    return not whole.strip() or first_cell.startswith("#")


def _entry(name: str, number: int, cells: list[str]) -> Entry:
    if len(cells) > 2:
        raise InputError(f"{name}:{number}: expected a keyword and at most one clean name, found {len(cells)} fields")
    keyword = cells[0]
    if not keyword:
        raise InputError(f"{name}:{number}: empty keyword")
    clean_name = cells[1] if len(cells) == 2 else ""
    return keyword, clean_name or None


def _tsv_entries(name: str, lines: list[str]) -> list[Entry]:
    entries = []
    for number, line in enumerate(lines, 1):
        line = line.removesuffix("\r")
        if _is_skipped(line, line):
            continue
        entries.append(_entry(name, number, line.split("\t")))
    return entries


def _csv_entries(name: str, lines: list[str]) -> list[Entry]:
    entries = []
    # Quoted fields may span lines, so rows are numbered by the line they end on.
    rows = csv.reader((line + "\n" for line in lines), strict=True)
    try:
        for row in rows:
            if not row or _is_skipped(row[0], "".join(row)):
                continue
            entries.append(_entry(name, rows.line_num, row))
    except csv.Error as error:
        raise InputError(f"{name}:{rows.line_num}: {error}") from None
    return entries


def _json_entries(name: str, data: bytes) -> list[Entry]:
    try:
        loaded = json.loads(data.decode("utf-8-sig"))
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise InputError(f"{name}:{line}: not UTF-8 text") from None
    except json.JSONDecodeError as error:
        raise InputError(f"{name}:{error.lineno}: {error.msg}") from None
    if not isinstance(loaded, dict):
        raise InputError(f"{name}: expected an object mapping keywords to clean names")
    entries: list[Entry] = []
    for keyword, clean_name in loaded.items():
        if not keyword:
            raise InputError(f"{name}: empty keyword")
        if clean_name is not None and not isinstance(clean_name, str):
            raise InputError(f"{name}: clean name of {keyword!r} must be a string or null")
        entries.append((keyword, clean_name))
    return entries
