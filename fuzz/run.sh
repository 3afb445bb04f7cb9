#!/usr/bin/env bash
# Builds the state reader fuzzer (clang, libFuzzer, ASan, UBSan) into
# build/fuzz, seeds a corpus with valid states and fuzzes for a while.
#
#   bash fuzz/run.sh [SECONDS] [extra libFuzzer flags...]     (default 300 s)
#
# The corpus grows in fuzz/corpus-state/ (not committed); crashing inputs land
# in build/fuzz/artifacts/. Run one by passing its path instead of flags:
#   build/fuzz/fuzz/state_reader_fuzzer build/fuzz/artifacts/crash-...
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-300}"
[ $# -gt 0 ] && shift

sudo_cmd=""
if [ "$(id -u)" != 0 ]; then sudo_cmd="sudo"; fi

# clang with the libFuzzer runtime: on Debian the runtime is in
# libclang-rt-14-dev, which clang only recommends.
links_fuzzer() {
  command -v clang++ >/dev/null 2>&1 || return 1
  local probe
  probe="$(mktemp -d)"
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    >"$probe/probe.cpp"
  clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1
  local status=$?
  rm -rf "$probe"
  return $status
}
if ! links_fuzzer; then
  echo "installing clang and its libFuzzer runtime" >&2
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q >/dev/null
  $sudo_cmd apt-get install -y -q clang libclang-rt-14-dev >/dev/null
  links_fuzzer || { echo "clang++ still cannot link -fsanitize=fuzzer" >&2; exit 1; }
fi

build="$root/build/fuzz"
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTERMSWEEP_BUILD_FUZZERS=ON -DTERMSWEEP_BUILD_MODULE=OFF -DTERMSWEEP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target state_reader_fuzzer make_state_seeds

corpus="$root/fuzz/corpus-state"
seeds="$build/seeds"
mkdir -p "$corpus" "$seeds" "$build/artifacts"
"$build/fuzz/make_state_seeds" "$seeds"

# Short inputs by default: the set is supplied by the harness's mode 1.
"$build/fuzz/state_reader_fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -dict="$root/fuzz/state.dict" -artifact_prefix="$build/artifacts/" -print_final_stats=1 \
  "$@" "$corpus" "$seeds"
