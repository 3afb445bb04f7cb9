#!/usr/bin/env bash
# Sets the project up and runs the command-line tool on the bundled sample:
# the matches as JSON Lines, then the texts with keywords replaced.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
run() {
  printf '\n$ %s\n' "$*"
  PATH="$root/.venv/bin:$PATH" "$@"
}
run termsweep extract --keywords data/sample/keywords.tsv data/sample/texts.txt
run termsweep replace --keywords data/sample/keywords.tsv data/sample/texts.txt
printf '\nThe library itself, fuzzy matching included: .venv/bin/python examples/demo.py\n'
