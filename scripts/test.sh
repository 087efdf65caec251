#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole test run: installs what is missing, builds, and runs every test in a normal build and in
# an AddressSanitizer + UndefinedBehaviorSanitizer build, then the fuzzers, the soak run and the
# benchmark briefly. Runs every stage even
# when one fails; exits non-zero if any failed.
set -uo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
passed=0
failed=0
failures=()

stage() {
  local name=$1
  shift
  echo
  echo "=== $name"
  local started=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
    echo "=== $name: passed ($((SECONDS - started)) s)"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "=== $name: FAILED ($((SECONDS - started)) s)"
  fi
}

configure() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
}

build() {
  configure "$@" && cmake --build "$1" -j"$jobs"
}

# run_ctest BUILD_DIR [CTEST ARGS...]
run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600 "$@")
}

stage "setup" scripts/setup.sh || true
if ((failed)); then
  echo "setup failed: nothing can be built"
  exit 1
fi

stage "build" build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage "tests" run_ctest build
stage "install (Debian packages)" tests/install/run.sh build

stage "sanitizer build" build build-asan -DCMAKE_BUILD_TYPE=Debug -DTOKENBRIDGE_SANITIZE=ON -DTOKENBRIDGE_BENCH=OFF
# Not here: the test that runs the process out of descriptors. The sanitizers' own checks need
# descriptors (a pipe to look at memory) and then misreport or take the one the test leaves; the
# test runs in the normal build above and under qemu.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  stage "sanitizer tests" run_ctest build-asan -E 'Accept\.OutOfDescriptors'

# Run without looking for them first: a script renamed or lost fails its stage, not drops out.
stage "fuzz build" build build-fuzz -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOKENBRIDGE_FUZZ=ON -DTOKENBRIDGE_TESTS=ON -DTOKENBRIDGE_BENCH=OFF
stage "fuzz (short)" tests/fuzz/run.sh build-fuzz "${FUZZ_SECONDS:-60}"
stage "soak (short)" tests/reliability/soak.sh build --quick
stage "benchmark (quick)" bench/run.sh --quick
stage "cross build and tests under qemu (mips64el)" scripts/cross.sh mips64el

echo
if ((failed)); then echo "failed stages: ${failures[*]}"; fi
echo "stages: $passed passed, $failed failed"
((failed == 0))
