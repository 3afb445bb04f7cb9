#!/usr/bin/env bash
# Builds one libFuzzer harness (clang 16, ASan, UBSan) into build/fuzz and
# fuzzes it for a while.
#
#   bash fuzz/run.sh TARGET [SECONDS] [extra libFuzzer flags...]   (default 300 s)
#
# TARGET is state_reader_fuzzer or engine_diff_fuzzer. The run starts from the
# checked-in seeds in fuzz/corpus/TARGET/ and keeps what it finds in
# fuzz/corpus-TARGET/ (not committed); crashing inputs land in
# build/fuzz/artifacts/. CI passes -runs=N for a short fixed run. Replay an
# input by running the harness on its path:
#   build/fuzz/fuzz/TARGET build/fuzz/artifacts/crash-...
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
target="${1:?usage: fuzz/run.sh TARGET [SECONDS] [libFuzzer flags...]}"
seconds="${2:-300}"
shift
[ $# -gt 0 ] && shift

case "$target" in
  # Short inputs: the harness's mode 1 supplies the word-character set.
  state_reader_fuzzer) flags=(-max_len=4096 -dict="$root/fuzz/state.dict") ;;
  # Bounded so that the exhaustive reference search stays cheap.
  engine_diff_fuzzer) flags=(-max_len=1024) ;;
  *) echo "unknown fuzz target: $target" >&2; exit 2 ;;
esac

sudo_cmd=""
if [ "$(id -u)" != 0 ]; then sudo_cmd="sudo"; fi

# clang 16 with its libFuzzer runtime (Debian's default clang 14 cannot
# compile the engine; the runtime is in libclang-rt-16-dev, which clang only
# recommends).
cxx=clang++-16
links_fuzzer() {
  command -v "$cxx" >/dev/null 2>&1 || return 1
  local probe status
  probe="$(mktemp -d)"
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    >"$probe/probe.cpp"
  status=0
  "$cxx" -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1 ||
    status=$?
  rm -rf "$probe"
  return $status
}
if ! links_fuzzer; then
  echo "installing clang 16 and its libFuzzer runtime" >&2
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q >/dev/null
  $sudo_cmd apt-get install -y -q clang-16 libclang-rt-16-dev >/dev/null
  links_fuzzer || { echo "$cxx still cannot link -fsanitize=fuzzer" >&2; exit 1; }
fi

build="$root/build/fuzz"
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTERMSWEEP_BUILD_FUZZERS=ON -DTERMSWEEP_BUILD_MODULE=OFF -DTERMSWEEP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "$target"

corpus="$root/fuzz/corpus-$target"
mkdir -p "$corpus" "$build/artifacts"
"$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/" "${flags[@]}" "$@" "$corpus" "$root/fuzz/corpus/$target"
