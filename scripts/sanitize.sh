#!/usr/bin/env bash
# Runs the tests under the sanitizers, then each fuzz target briefly. Needs
# the environment that scripts/test.sh sets up (.venv, GoogleTest); CI runs
# it right after that script.
#
#   bash scripts/sanitize.sh [PHASE...]     (default: every phase, in order)
#
#   asan-cpp     C++ tests built with AddressSanitizer and UBSan (build/asan)
#   asan-python  the Python tests against the module from the same build
#   tsan         pool C++ tests and Python batch tests under ThreadSanitizer
#                (build/tsan)
#   fuzz         each libFuzzer target for a fixed number of runs from its
#                checked-in corpus (fuzz/run.sh; installs clang 16)
#
# Every report stops the run at once. Each phase prints how long it took.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
python="$root/.venv/bin/python"
phases=("$@")
[ ${#phases[@]} -gt 0 ] || phases=(asan-cpp asan-python tsan fuzz)

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:die_after_fork=0"

# Configures and builds the tests and the module with one sanitizer option.
# Further arguments go to CMake.
build() {
  local dir="$1" option="$2"
  shift 2
  # -O1 -g1: about half the compile time of -O2 -g, still with file and line
  # in every report.
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -D"$option"=ON \
    -DTERMSWEEP_BUILD_TESTS=ON -DTERMSWEEP_BUILD_MODULE=ON -DPython_EXECUTABLE="$python" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

# Runs pytest against the module in $1, with the sanitizer runtime $2
# preloaded into the uninstrumented interpreter. The C++ runtime is preloaded
# too: the sanitizer's exception interceptor must find it at start-up.
pytest_with() {
  local dir="$1" runtime="$2"
  shift 2
  local preload
  preload="$(g++ -print-file-name="$runtime") $(g++ -print-file-name=libstdc++.so)"
  # Fail early if the installed module, not the sanitized one, would load.
  LD_PRELOAD="$preload" PYTHONPATH="$root/$dir" "$python" -c \
    "import sys, termsweep; sys.exit(termsweep.__file__.startswith('$root/$dir/') is False)"
  LD_PRELOAD="$preload" PYTHONPATH="$root/$dir" "$python" -m pytest -q -p no:cacheprovider "$@"
}

run_phase() {
  case "$1" in
    asan-cpp)
      build build/asan TERMSWEEP_SANITIZE
      # Two brute-force tests are left to the fuzz phase, which runs the same
      # checks under the same sanitizers: the differential scenarios and
      # reading every truncation of a 139 KB state.
      ctest --test-dir build/asan --output-on-failure --no-tests=error -j "$(nproc)" \
        -E '^(Differential\.|StateReader\.EveryTruncationOfAProcessorStateFails$)'

      ;;
    asan-python)
      build build/asan TERMSWEEP_SANITIZE
      # The interpreter's own allocations go through malloc, so that ASan
      # checks them too; it never frees everything at exit, so leak checks
      # stay off here (the C++ tests keep them). ASan's operator new reports
      # exhaustion instead of throwing bad_alloc, and its shadow memory and
      # quarantine swell the resident set, so the two tests about memory use
      # are left out.
      ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" PYTHONMALLOC=malloc \
        TERMSWEEP_HYPOTHESIS_PROFILE=sanitizers pytest_with build/asan libasan.so tests/python \
        --deselect tests/python/test_module.py::test_memory_exhaustion_raises_memory_error \
        --deselect tests/python/test_cli.py::test_large_input_streams_in_bounded_memory
      ;;
    tsan)
      # The pool's tests are the ones that start threads.
      build build/tsan TERMSWEEP_SANITIZE_THREADS -DTERMSWEEP_TESTS_MATCHING=pool
      # Tests that count the process's threads are left out: TSan's runtime
      # starts a thread of its own along with the first pool worker.
      ctest --test-dir build/tsan --output-on-failure --no-tests=error -j "$(nproc)" \
        -E 'StartsExactlyT|IdleWorkersSleep|FailedThreadStartReportsTheOsError'
      pytest_with build/tsan libtsan.so tests/python/test_batch.py \
        -k 'not test_size_from_the_environment and not test_available_parallelism'
      ;;
    fuzz)
      bash fuzz/run.sh state_reader_fuzzer 120 -runs=30000
      bash fuzz/run.sh engine_diff_fuzzer 120 -runs=3000
      ;;
    *)
      echo "unknown phase: $1" >&2
      exit 2
      ;;
  esac
}

for phase in "${phases[@]}"; do
  started=$SECONDS
  echo "== sanitize: $phase"
  run_phase "$phase"
  echo "== sanitize: $phase took $((SECONDS - started)) s"
done
