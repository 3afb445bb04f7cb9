"""The `termsweep` command and the file helpers of termsweep_cli."""

from __future__ import annotations

import io
import json
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import termios
from importlib.metadata import version

import pytest
from hypothesis import given, settings, strategies as st

from termsweep import KeywordProcessor
from termsweep_cli import InputError, load_keywords, read_chunks, string_spans

from support import answer_sigint

KELVIN = "\u212a"  # 3 bytes, lowers to 'k' (1 byte)

KEYWORDS = "# sample keywords\nİstanbul\tIstanbul\ncafé\nZürich\tZurich\n\nk8s\tKubernetes\n"
TEXTS = [
    "İSTANBUL, São Paulo and ZÜRICH",
    f"{KELVIN}8s in the café\r",
    "nothing here",
    "İİ café",
]


def run_cli(*args, stdin=b"", cwd=None, stderr=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "termsweep_cli", *map(str, args)], input=stdin,
                          stdout=subprocess.PIPE, stderr=stderr, cwd=cwd, timeout=120)


@pytest.fixture
def sample(tmp_path):
    (tmp_path / "kw.tsv").write_text(KEYWORDS, encoding="utf-8")
    (tmp_path / "texts.txt").write_bytes("\n".join(TEXTS).encode("utf-8"))  # last line unterminated
    return tmp_path


# --- output ---------------------------------------------------------------------


def test_extract_reports_string_indices_into_the_line_as_read(sample):
    done = run_cli("extract", "--keywords", "kw.tsv", "texts.txt", cwd=sample)
    assert done.returncode == 0, done.stderr
    records = [json.loads(line) for line in done.stdout.decode("utf-8").splitlines()]
    assert [(r["line"], r["start"], r["end"], r["match"], r["keyword"]) for r in records] == [
        (1, 0, 8, "İSTANBUL", "Istanbul"),
        (1, 24, 30, "ZÜRICH", "Zurich"),
        (2, 0, 3, f"{KELVIN}8s", "Kubernetes"),
        (2, 11, 15, "café", "café"),
        (4, 3, 7, "café", "café"),
    ]
    assert all(list(r) == ["path", "line", "start", "end", "match", "keyword", "similarity"] for r in records)
    assert {(r["path"], r["similarity"]) for r in records} == {("texts.txt", 1.0)}


def test_standard_input_and_flags_reach_the_processor(sample):
    text = "Café CAFÉ café-bar\n"
    done = run_cli("extract", "-k", "kw.tsv", "--case-sensitive", "--word-chars", "-", "-", stdin=text.encode(),
                   cwd=sample)
    assert [json.loads(line)["match"] for line in done.stdout.splitlines()] == []  # only 'café-bar' is lower case
    done = run_cli("extract", "-k", "kw.tsv", "--allow-overlaps", "--threshold", "0.8", stdin="xcafés\n".encode(),
                   cwd=sample)
    (record,) = map(json.loads, done.stdout.splitlines())
    assert record == {"path": "<stdin>", "line": 1, "start": 0, "end": 5, "match": "xcafé", "keyword": "café",
                      "similarity": 0.83}


def test_replace_writes_stdout_or_one_file_per_input(sample):
    kp = KeywordProcessor()
    for keyword, clean_name in load_keywords(sample / "kw.tsv"):
        kp.add_keyword(keyword, clean_name)
    expected = "\n".join(kp.replace_keywords(t) for t in TEXTS).encode("utf-8")
    assert b"\r\n" in expected and not expected.endswith(b"\n")

    done = run_cli("replace", "-k", "kw.tsv", "texts.txt", cwd=sample)
    assert (done.returncode, done.stdout) == (0, expected)

    (sample / "more").mkdir()
    (sample / "more" / "other.txt").write_bytes(b"k8s\n")
    done = run_cli("replace", "-k", "kw.tsv", "--output-dir", "out", "texts.txt", "more/other.txt", "-",
                   stdin=b"cafe and caf\xc3\xa9\n", cwd=sample)
    assert (done.returncode, done.stdout) == (0, b"")
    assert sorted(os.listdir(sample / "out")) == ["other.txt", "stdin.txt", "texts.txt"]
    assert (sample / "out" / "texts.txt").read_bytes() == expected
    assert (sample / "out" / "other.txt").read_bytes() == b"Kubernetes\n"
    assert (sample / "out" / "stdin.txt").read_bytes() == "cafe and café\n".encode()


def test_console_script_reports_the_distribution_version():
    script = shutil.which("termsweep", path=os.path.dirname(sys.executable))
    assert script, "the termsweep console script is not installed beside the interpreter"
    done = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == f"termsweep {version('termsweep')}"


def test_progress_bar_shows_on_a_terminal_only(sample):
    args = ["extract", "-k", "kw.tsv", "texts.txt"]
    assert run_cli(*args, cwd=sample).stderr == b""
    assert b"B/s" in run_cli(*args, "--progress", cwd=sample).stderr

    controller, terminal = pty.openpty()
    termios.tcsetwinsize(terminal, (24, 80))
    try:
        done = run_cli(*args, cwd=sample, stderr=terminal)
        shown = b""
        while select.select([controller], [], [], 0)[0]:
            shown += os.read(controller, 65536)
    finally:
        os.close(controller)
        os.close(terminal)
    assert done.returncode == 0 and b"B/s" in shown
    size = len("\n".join(TEXTS).encode())
    assert f"{size}.0/{size}.0".encode() in shown  # bytes done out of the inputs' total size


# --- errors ---------------------------------------------------------------------


ERRORS = [
    (["extract", "-k", "kw.tsv", "texts.txt", "missing.txt"], b"", "cannot read missing.txt: No such file or directory"),
    (["extract", "-k", "kw.tsv", "."], b"", "cannot read .: Is a directory"),
    (["extract", "-k", "nothing.tsv"], b"", "cannot read keyword file nothing.tsv: No such file or directory"),
    (["extract", "-k", "bad.tsv"], b"", "bad.tsv:3: expected a keyword and at most one clean name, found 3 fields"),
    (["extract", "-k", "kw.tsv", "-t", "1.5"], b"", "argument --threshold/-t: must be between 0 and 1, got 1.5"),
    (["extract", "-k", "kw.tsv", "-t", "-0.1"], b"", "argument --threshold/-t: must be between 0 and 1, got -0.1"),
    (["extract", "-k", "kw.tsv", "-t", "nan"], b"", "argument --threshold/-t: must be between 0 and 1, got nan"),
    (["replace", "-k", "kw.tsv", "-", "texts.txt"], b"ok\nok\n\xff\n", "<stdin>:3: not UTF-8 text (byte 0xff)"),
    (["extract", "-k", "kw.tsv", "latin1.txt"], b"", "latin1.txt:2: not UTF-8 text (byte 0xe9)"),
]


@pytest.mark.parametrize("args, stdin, message", ERRORS, ids=[m.split(":")[0] for *_, m in ERRORS])
def test_errors_are_one_line_and_exit_status_2(sample, args, stdin, message):
    (sample / "bad.tsv").write_text("a\n# b\tc\td\nx\ty\tz\n", encoding="utf-8")
    (sample / "latin1.txt").write_bytes("café\ncafé\n".encode("utf-8")[:6] + "café\n".encode("latin-1"))
    done = run_cli(*args, stdin=stdin, cwd=sample)
    assert done.returncode == 2
    lines = done.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"termsweep: error: {message}"), done.stderr


def test_ctrl_c_exits_130_quietly(sample):
    # Blocked on standard input, with the bar forced so that its first drawing
    # tells that the command is running.
    process = subprocess.Popen([sys.executable, "-m", "termsweep_cli", "extract", "-k", "kw.tsv", "--progress"],
                               cwd=sample, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               preexec_fn=answer_sigint)
    try:
        assert select.select([process.stderr], [], [], 60)[0], "no progress bar"
        shown = os.read(process.stderr.fileno(), 65536)
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 130
    assert b"Traceback" not in shown + stderr and b"KeyboardInterrupt" not in shown + stderr
    assert stdout == b""


# --- streaming ------------------------------------------------------------------


def test_large_input_streams_in_bounded_memory(tmp_path):
    (tmp_path / "kw.tsv").write_text("python\n", encoding="utf-8")
    line = b"a line of text, without the keyword, long enough to count " * 4 + b"\n"
    with open(tmp_path / "big.txt", "wb") as big:
        for _ in range(64):
            big.write(line * ((1 << 20) // len(line)))
    # The peak of the command's own address space: a child's rusage would
    # also count the test process it was forked from.
    code = ("import sys; from termsweep_cli.cli import main; status = main(sys.argv[1:]); "
            "print(next(l for l in open('/proc/self/status') if l.startswith('VmHWM')), file=sys.stderr); "
            "sys.exit(status)")
    done = subprocess.run([sys.executable, "-c", code, "replace", "-k", "kw.tsv", "big.txt", "-o", "out"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "out" / "big.txt").stat().st_size == (tmp_path / "big.txt").stat().st_size
    peak_kib = int(done.stderr.split()[1])
    assert peak_kib < 48 * 1024, f"{peak_kib} KiB resident for 64 MiB of text"


@settings(max_examples=60, deadline=None)
@given(lines=st.lists(st.text(alphabet="ab é\r😀", max_size=12), max_size=30), terminated=st.booleans(),
       chunk_bytes=st.integers(1, 40))
def test_chunks_cover_the_input_line_by_line(lines, terminated, chunk_bytes):
    data = "\n".join(lines) + ("\n" if terminated and lines else "")
    chunks = list(read_chunks(io.BytesIO(data.encode()), "x", chunk_bytes))
    assert [t for c in chunks for t in c.texts] == (data[:-1] if data.endswith("\n") else data).split("\n") * bool(data)
    assert [c.first_line for c in chunks] == [1 + sum(len(c.texts) for c in chunks[:i]) for i in range(len(chunks))]
    assert sum(c.size for c in chunks) == len(data.encode())
    assert all(c.terminated for c in chunks[:-1]) and (not chunks or chunks[-1].terminated == data.endswith("\n"))


def test_a_decoding_error_names_its_line_in_a_later_chunk():
    data = b"ok\n" * 10 + b"bad \xc3(\n"
    with pytest.raises(InputError, match=r"^in:11: not UTF-8 text \(byte 0xc3\)$"):
        list(read_chunks(io.BytesIO(data), "in", 4))


# --- keyword files ----------------------------------------------------------------

EXPECTED_ENTRIES = [("Python", None), ("py3", "Python"), ("New York", "NYC"), ("a, b", 'say "x"')]
KEYWORD_FILES = {
    "k.tsv": '\ufeff# comment\nPython\npy3\tPython\r\n\n   \nNew York\tNYC\na, b\tsay "x"\n',
    "k.txt": 'Python\t\npy3\tPython\nNew York\tNYC\na, b\tsay "x"',
    "k.csv": 'Python\n# comment,x\npy3,Python\r\n\nNew York,NYC\n"a, b","say ""x"""\n',
    "k.json": '{"Python": null, "py3": "Python", "New York": "NYC", "a, b": "say \\"x\\""}',
}


@pytest.mark.parametrize("name", KEYWORD_FILES)
def test_keyword_file_formats(tmp_path, name):
    (tmp_path / name).write_text(KEYWORD_FILES[name], encoding="utf-8")
    assert load_keywords(tmp_path / name) == EXPECTED_ENTRIES


@pytest.mark.parametrize("name, content, message", [
    ("k.tsv", "a\n\tclean\n", "k.tsv:2: empty keyword"),
    ("k.tsv", b"a\n\xff\n", "k.tsv:2: not UTF-8 text"),
    ("k.csv", "a\nb,c,d\n", "k.csv:2: expected a keyword and at most one clean name, found 3 fields"),
    ("k.csv", 'a\n"b\n', "k.csv:3: unexpected end of data"),
    ("k.json", '{"a": "b",\n "c": }', "k.json:2: Expecting value"),
    ("k.json", '["a"]', "k.json: expected an object mapping keywords to clean names"),
    ("k.json", '{"a": 1}', "k.json: clean name of 'a' must be a string or null"),
    ("k.yaml", "a: b", "k.yaml: unknown keyword file type (expected .tsv, .txt, .csv, .json)"),
])
def test_keyword_file_errors_name_the_file_and_line(tmp_path, name, content, message):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    with pytest.raises(InputError) as info:
        load_keywords(path)
    assert str(info.value) == f"{tmp_path}/{message}"


# --- byte offsets to string indices -------------------------------------------------


@pytest.mark.parametrize("text, spans, case_sensitive, expected", [
    ("abc", [(0, 3), (1, 2), (3, 9)], False, [(0, 3), (1, 2), (3, 3)]),
    ("İx", [(0, 3), (3, 4), (1, 2), (0, 1)], False, [(0, 1), (1, 2), (0, 1), (0, 1)]),  # İ lowers to 3 bytes
    (f"{KELVIN}x", [(0, 1), (1, 2)], False, [(0, 1), (1, 2)]),  # the Kelvin sign lowers to 1 byte
    (f"{KELVIN}x", [(0, 3), (3, 4)], True, [(0, 1), (1, 2)]),
    ("éclair", [(1, 7), (0, 1)], False, [(0, 6), (0, 1)]),  # fuzzy bounds inside 'é' widen over it
    ("ΟΔΟΣ Σ", [(0, 8), (9, 11)], False, [(0, 4), (5, 6)]),  # final and non-final sigma: 2 bytes each
    ("😀a", [(2, 5)], False, [(0, 2)]),
])
def test_string_spans(text, spans, case_sensitive, expected):
    assert string_spans(text, spans, case_sensitive) == expected


@settings(max_examples=300, deadline=None)
@given(
    keywords=st.lists(st.text(alphabet="aé İK\u212aΣ", min_size=1, max_size=4), min_size=1, max_size=4),
    text=st.text(alphabet="aAé ÉİiK\u212ak\u0307Σσ.", max_size=20),
    threshold=st.sampled_from([None, 0.5, 0.6, 0.75]),
    case_sensitive=st.booleans(),
)
def test_string_spans_agree_with_replacement(keywords, text, threshold, case_sensitive):
    kp = KeywordProcessor(case_sensitive)
    for index, keyword in enumerate(keywords):
        kp.add_keyword(keyword, f"<{index}>")
    matches = kp.extract_keywords(text, threshold)
    spans = string_spans(text, [(m.start, m.end) for m in matches], case_sensitive)
    # Splice the clean names in, clipping each span at the end of the one
    # before it, as replacement does.
    out, copied = [], 0
    for match, (start, end) in zip(matches, spans):
        start = max(start, copied)
        if end < start:
            continue
        out += [text[copied:start], match.keyword]
        copied = end
    assert "".join(out) + text[copied:] == kp.replace_keywords(text, threshold)
