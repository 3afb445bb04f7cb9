#!/usr/bin/env bash
# Creates .venv when it is missing and (re)installs the project into it, with
# the test tools. Safe to run again: the C++ build is cached under build/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$root/.venv"
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
# Build tools in the environment itself, so that rebuilds can reuse build/.
"$venv/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" ninja
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation "$root[test]"
