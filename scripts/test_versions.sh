#!/usr/bin/env bash
# Runs the Python tests on other interpreters (default: 3.12 and 3.13), each
# in its own environment under build/, e.g. `bash scripts/test_versions.sh 3.13`.
# Interpreters are taken from PATH (python3.X) or pyenv. On demand, not in CI.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

find_python() {
  local version="$1" candidate
  if command -v "python$version" >/dev/null 2>&1 && "python$version" -c '' 2>/dev/null; then
    command -v "python$version"
    return
  fi
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python; do
    if [ -x "$candidate" ]; then echo "$candidate"; return; fi
  done
  return 1
}

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.12 3.13)
status=0
for version in "${versions[@]}"; do
  python="$(find_python "$version")" || { echo "Python $version: not found" >&2; status=1; continue; }
  venv="build/venv-$version"
  echo "== Python $version ($python)"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" ninja
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation ".[test]"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python || status=1
done
exit "$status"
