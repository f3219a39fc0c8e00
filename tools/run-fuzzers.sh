#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with Clang (AddressSanitizer and UndefinedBehaviorSanitizer on
# the whole tree) and runs each on a scratch copy of its seed corpus in tests/fuzz/corpus/.
#
#   bash tools/run-fuzzers.sh            10 seconds per target (what CI runs)
#   bash tools/run-fuzzers.sh 3600       a long run: an hour per target
#
# Prints the executions each target ran; a finding stops the script with the target's report
# and the input that caused it (in build/fuzz/findings/).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
targets=(fuzz_frame_reader fuzz_command_line fuzz_control_json fuzz_proc_readers fuzz_inspect)

CC=clang CXX=clang++ cmake -G Ninja -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHARKWELL_BUILD_FUZZERS=ON -DHARKWELL_BUILD_BENCH=OFF -DHARKWELL_WERROR=ON >/dev/null
ninja -C build/fuzz "${targets[@]}"

mkdir -p build/fuzz/findings
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in "${targets[@]}"; do
  work=$(mktemp -d)
  cp -r "tests/fuzz/corpus/$target/." "$work/"
  log=build/fuzz/$target.log
  if ! build/fuzz/tests/fuzz/"$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
      -rss_limit_mb=2048 -close_fd_mask=3 -artifact_prefix=build/fuzz/findings/"$target"- \
      "$work" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "run-fuzzers: $target found a problem (input in build/fuzz/findings/)" >&2
    exit 1
  fi
  runs=$(grep -Eo '^Done [0-9]+ runs' "$log" | grep -Eo '[0-9]+' || echo "?")
  echo "run-fuzzers: $target: $runs executions in ${seconds} s, no finding"
  rm -rf "$work"
done
