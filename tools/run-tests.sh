#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the style (clang-format, clang-tidy, shellcheck), then builds Harkwell and runs the
# whole test suite: the plain Release build with the end-to-end tests against a private
# PipeWire, then the unit tests and the end-to-end scenarios under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer, a plain Release build with Clang, the
# Python and Node bindings' tests, the Debian packages (tools/package-check.sh), and a short run
# of each fuzzer (tools/run-fuzzers.sh). Warnings are errors here.
#
#   bash tools/run-tests.sh            everything
#   bash tools/run-tests.sh --quick    the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
quick=0
[ "${1:-}" = "--quick" ] && quick=1

build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -G Ninja -S . -B "$dir" -DHARKWELL_WERROR=ON "$@" >/dev/null
  ninja -C "$dir" -j "$jobs"
}

# Here the end-to-end tests must run: a private PipeWire that cannot start fails them rather
# than skipping them.
export HARKWELL_REQUIRE_E2E=1

echo "== style: clang-format, clang-tidy, shellcheck"
cmake -G Ninja -S . -B build/release -DHARKWELL_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build/release format-check shellcheck tidy

echo "== release build (plain Release, GCC) and full suite"
build build/release -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build/release --output-on-failure -j "$jobs"
bash tools/run-binding-tests.sh build/release/Sources/Harkwell/Harkwell

[ "$quick" = 1 ] && exit 0

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build/asan -DCMAKE_BUILD_TYPE=Debug -DHARKWELL_SANITIZE=address -DHARKWELL_BUILD_BENCH=OFF
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure -j "$jobs" -LE e2e
# The end-to-end scenarios, with the sanitized binary and backend, in one process that shares
# one private PipeWire (CTest would start one per test).
build/asan/tests/e2e/harkwell_e2e_test
unset ASAN_OPTIONS UBSAN_OPTIONS

echo "== ThreadSanitizer"
build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHARKWELL_SANITIZE=thread -DHARKWELL_BUILD_BENCH=OFF
# ThreadSanitizer sleeps a second at every exit by default, which the end-to-end tests would
# count against the program's own shutdown bounds.
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=100
ctest --test-dir build/tsan --output-on-failure -j "$jobs" -LE e2e
build/tsan/tests/e2e/harkwell_e2e_test

echo "== plain Release build with Clang"
CC=clang CXX=clang++ build build/clang-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DHARKWELL_BUILD_BENCH=OFF

echo "== Debian packages"
if [ "$(id -u)" -eq 0 ]; then
  bash tools/package-check.sh
else
  echo "(skipped: installing the packages needs root)"
fi

echo "== fuzzers, 10 s each"
bash tools/run-fuzzers.sh 10
