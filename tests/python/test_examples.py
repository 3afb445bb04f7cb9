"""The example scripts and the type stubs."""

from __future__ import annotations

import pathlib
import random
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "data" / "sample"


def run(*args, cwd=ROOT, timeout=120):
    return subprocess.run([sys.executable, *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          timeout=timeout)


@pytest.fixture(scope="module")
def big_sample(tmp_path_factory):
    """The sample texts shuffled into 3,000 lines (about 200 KB)."""
    lines = (SAMPLE / "texts.txt").read_text(encoding="utf-8").splitlines()
    path = tmp_path_factory.mktemp("texts") / "texts.txt"
    chooser = random.Random(12)
    path.write_text("\n".join(chooser.choice(lines) for _ in range(3000)) + "\n", encoding="utf-8")
    return path


def cli(command, path):
    done = run("-m", "termsweep_cli", command, "--keywords", SAMPLE / "keywords.tsv", path)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("script, command", [("dask_extract.py", "extract"), ("spawn_replace.py", "replace")])
def test_scale_out_scripts_equal_the_command(big_sample, script, command):
    # Small chunks, so that the file is spread over many tasks and workers.
    done = run(ROOT / "examples" / script, "--keywords", SAMPLE / "keywords.tsv", "--chunk-bytes", 4096, big_sample)
    assert done.returncode == 0, done.stderr
    expected = cli(command, big_sample)
    assert len(expected.splitlines()) >= 3000
    assert done.stdout == expected


def test_demo_runs():
    done = run(ROOT / "examples" / "demo.py")
    assert done.returncode == 0, done.stderr
    assert "exact:   New York City @17-26" in done.stdout


# --- types ------------------------------------------------------------------------


def mypy(*args):
    # Configured in pyproject.toml; strict either way.
    return run("-m", "mypy", "--strict", "--no-error-summary", *args)


def test_examples_and_the_command_package_pass_mypy_strict():
    done = mypy("examples", "python/termsweep_cli")
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubs_match_the_compiled_module():
    done = run("-m", "mypy.stubtest", "termsweep")
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_rejects_wrong_uses(tmp_path):
    (tmp_path / "wrong.py").write_text(
        "from termsweep import KeywordProcessor, PyKeywordMatch\n"
        "kp = KeywordProcessor()\n"
        "kp.no_such_method()\n"
        "r: int = kp.replace_keywords('x')\n"
        "kp.extract_keywords(b'x')\n"
        "kp.add_keyword('x', clean='y')\n"
        "m: PyKeywordMatch = kp.extract_keywords('x')\n"
        "ok: list[list[PyKeywordMatch]] = kp.parallel_extract_keywords_from_texts(['x'], 0.8)\n"
    )
    done = mypy(tmp_path / "wrong.py")
    errors = [line.split(":")[1] for line in done.stdout.splitlines() if ": error:" in line]
    assert errors == ["3", "4", "5", "6", "7"], done.stdout
    assert "has no attribute \"no_such_method\"" in done.stdout
    assert 'expression has type "str", variable has type "int"' in done.stdout

