#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# cmake --install puts Harkwell, harkwell-record, the HarkwellCore library, its headers, its
# CMake package and harkwellcore.pc into a prefix; the host example of docs/host-guide.md then
# builds against it with pkg-config (in C++20 and C++23) and with find_package, and decodes a
# stream; a C host uses the C API.
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
for h in Frame.h FrameReader.h ControlMessage.h JsonParse.h Json.h Value.h harkwell.h; do
  [ -f "$tmp/prefix/include/HarkwellCore/$h" ] || fail "HarkwellCore/$h was not installed"
done
for h in Protocol.h FdWrite.h NeverDestroyed.h; do
  [ ! -e "$tmp/prefix/include/HarkwellCore/$h" ] || fail "the program's own $h was installed"
done
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc")
flags=$(pkg-config --cflags --libs harkwellcore) || fail "pkg-config does not know harkwellcore"

awk '/^\/\/ host.cc/,/^```$/' "$source/docs/host-guide.md" | grep -v '^```' >"$tmp/host.cc"
[ -s "$tmp/host.cc" ] || fail "no host example in docs/host-guide.md"
case $flags in *-std=*) fail "harkwellcore.pc imposes a language standard: $flags" ;; esac

# A microphone frame with the samples 1 and -2, then "ready".
stream() { printf '\002\000\000\000\004\001\000\376\377\001\000\000\000\020{"type":"ready"}'; }
expected=$'mic: 2 samples\ncontrol: ready'
for std in c++20 c++23; do
  # shellcheck disable=SC2086 # the flags are words
  c++ -std=$std "$tmp/host.cc" $flags -o "$tmp/host-$std" ||
    fail "the host example does not build as $std with: $flags"
  stream | "$tmp/host-$std" >"$tmp/out" || fail "the host example ($std) failed"
  [ "$(cat "$tmp/out")" = "$expected" ] || fail "the host example printed: $(cat "$tmp/out")"
done

# The same host through find_package.
mkdir -p "$tmp/cmake-host"
cp "$tmp/host.cc" "$tmp/cmake-host/"
cat >"$tmp/cmake-host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(host CXX)
find_package(HarkwellCore 0.1 REQUIRED)
add_executable(host host.cc)
target_link_libraries(host PRIVATE HarkwellCore::HarkwellCore)
CMAKE
cmake -S "$tmp/cmake-host" -B "$tmp/cmake-host/build" -DCMAKE_PREFIX_PATH="$tmp/prefix" \
  >"$tmp/cmake.log" 2>&1 && cmake --build "$tmp/cmake-host/build" >>"$tmp/cmake.log" 2>&1 ||
  { cat "$tmp/cmake.log" >&2; fail "a CMake host does not build with find_package(HarkwellCore)"; }
stream | "$tmp/cmake-host/build/host" >"$tmp/out" || fail "the CMake host failed"
[ "$(cat "$tmp/out")" = "$expected" ] || fail "the CMake host printed: $(cat "$tmp/out")"

# A C host: the reader's C API, and a stream cut inside a frame.
cat >"$tmp/host.c" <<'C'
#include <HarkwellCore/harkwell.h>
#include <stdio.h>
int main(void) {
  static const uint8_t bytes[] = {2, 0, 0, 0, 4, 1, 0, 0xfe, 0xff, 3, 0, 0};
  harkwell_reader *r = harkwell_reader_new();
  struct harkwell_frame f;
  harkwell_reader_feed(r, bytes, sizeof bytes);
  while (harkwell_reader_next(r, &f) == HARKWELL_FRAME) printf("tag %u: %u bytes\n", f.tag, f.size);
  harkwell_reader_finish(r);
  int status = harkwell_reader_next(r, &f);
  printf("status %d at %llu, %u left\n", status, (unsigned long long)f.offset, f.size);
  harkwell_reader_free(r);
  return 0;
}
C
# shellcheck disable=SC2046 # the flags are words
cc -c "$tmp/host.c" $(pkg-config --cflags harkwellcore) -o "$tmp/host.o" &&
  c++ "$tmp/host.o" $(pkg-config --libs harkwellcore) -o "$tmp/host-c" ||
  fail "a C host does not build against the C API"
[ "$("$tmp/host-c")" = $'tag 2: 4 bytes\nstatus 4 at 9, 3 left' ] ||
  fail "the C host printed: $("$tmp/host-c")"
echo "install_check: installed; found with pkg-config ($flags) and find_package; C++20, C++23 and C hosts decode frames"
