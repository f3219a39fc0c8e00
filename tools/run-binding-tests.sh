#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Python and Node bindings' tests against the real Harkwell on a private PipeWire.
#
#   bash tools/run-binding-tests.sh [HARKWELL]   (default: build/release's)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
harkwell=${1:-$root/build/release/Sources/Harkwell/Harkwell}
[ -x "$harkwell" ] || { echo "run-binding-tests: no Harkwell at $harkwell" >&2; exit 1; }
# The tests run in the bindings' folders: the path must not be relative.
HARKWELL_BINARY=$(realpath "$harkwell")
export HARKWELL_BINARY

dir=$(mktemp -d /tmp/hkw-bindings-XXXXXX)
trap 'tools/private-pipewire.sh stop "$dir" >/dev/null 2>&1 || true; rm -rf "$dir"' EXIT
eval "$(tools/private-pipewire.sh start "$dir")"
export HARKWELL_EXPECT_AUDIO=1

echo "== Python binding"
(cd bindings/python && python3 -m unittest discover -s tests)
echo "== Node binding"
(cd bindings/node && node --test test/)
