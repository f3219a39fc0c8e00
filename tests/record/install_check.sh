#!/usr/bin/env bash
# cmake --install puts Harkwell, harkwell-record, the HarkwellCore library, its headers and
# harkwellcore.pc into a prefix; the host example of docs/host-guide.md then builds against it
# with pkg-config and decodes a stream.
#
#   install_check.sh BUILD_DIR SOURCE_DIR        (exit 77: skipped)
set -euo pipefail
build=$1
source=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
  echo "install_check: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" || {
  cat "$tmp/install.log" >&2
  fail "cmake --install failed"
}
for f in bin/Harkwell bin/harkwell-record; do
  [ -x "$tmp/prefix/$f" ] || fail "$f was not installed"
done
pc=$(find "$tmp/prefix" -name harkwellcore.pc)
if [ -z "$pc" ]; then
  echo "SKIPPED: harkwellcore.pc is not installed (cmake/InstallCore.cmake is not included)"
  exit 77
fi
for h in Protocol.h Value.h Json.h; do
  [ -f "$tmp/prefix/include/HarkwellCore/$h" ] || fail "HarkwellCore/$h was not installed"
done
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc")
flags=$(pkg-config --cflags --libs harkwellcore) || fail "pkg-config does not know harkwellcore"

awk '/^\/\/ host.cc/,/^```$/' "$source/docs/host-guide.md" | grep -v '^```' >"$tmp/host.cc"
[ -s "$tmp/host.cc" ] || fail "no host example in docs/host-guide.md"
# shellcheck disable=SC2086 # the flags are words
c++ "$tmp/host.cc" $flags -o "$tmp/host" || fail "the host example does not build with: $flags"

# A microphone frame with the samples 1 and -2, then "ready".
printf '\002\000\000\000\004\001\000\376\377\001\000\000\000\020{"type":"ready"}' |
  "$tmp/host" >"$tmp/out" || fail "the host example failed"
expected=$'mic: 2 samples\ncontrol: {"type":"ready"}'
[ "$(cat "$tmp/out")" = "$expected" ] || fail "the host example printed: $(cat "$tmp/out")"
echo "install_check: installed, found with pkg-config ($flags), host example decodes frames"
