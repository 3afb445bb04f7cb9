#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ unit tests (CTest) and the
# Python tests (pytest). Exits non-zero when any test fails.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# GoogleTest comes from Debian's packages.
if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
  sudo_cmd=""
  if [ "$(id -u)" != 0 ]; then sudo_cmd="sudo"; fi
  $sudo_cmd apt-get install -y -q libgtest-dev >/dev/null 2>&1 ||
    { $sudo_cmd apt-get update -q >/dev/null && $sudo_cmd apt-get install -y -q libgtest-dev >/dev/null; }
fi

bash scripts/setup.sh

cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=Release -DTERMSWEEP_BUILD_TESTS=ON \
  -DTERMSWEEP_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure -j "$(nproc)"

.venv/bin/python -m pytest -q tests/python "$@"
