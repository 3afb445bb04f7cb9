#!/usr/bin/env bash
# Sets the project up and runs the main job on the bundled sample.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
.venv/bin/python examples/demo.py "$@"
