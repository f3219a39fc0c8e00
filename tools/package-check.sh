#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages from a copy of the tree (the unit tests run in dh_auto_test),
# checks them with lintian, installs them, and tries what they installed: Harkwell --help,
# the manual pages, and a host built against the installed HarkwellCore with CMake and
# pkg-config. Removes them again at the end.
#
#   bash tools/package-check.sh
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "package-check: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(Harkwell VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
changelog=$(dpkg-parsechangelog -S Version)
[ "$version" = "$changelog" ] ||
  fail "CMakeLists.txt says version $version, debian/changelog $changelog"

work=$(mktemp -d /tmp/hkw-package-XXXXXX)
trap 'dpkg -r harkwell libharkwellcore-dev >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
mkdir "$work/harkwell"
git ls-files -co --exclude-standard | grep -v '^build/' | tar -cf - -T - | tar -xf - -C "$work/harkwell"

echo "== dpkg-buildpackage"
(cd "$work/harkwell" && dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) ||
  { tail -n 40 "$work/build.log" >&2; fail "the package did not build"; }
grep -E "tests passed" "$work/build.log" || fail "dh_auto_test ran no tests"

echo "== lintian"
lintian --fail-on error,warning "$work"/harkwell_"$version"_*.changes

echo "== install and try"
dpkg -i "$work"/harkwell_"$version"_*.deb "$work"/libharkwellcore-dev_"$version"_*.deb >/dev/null
/usr/bin/Harkwell --help | grep -q "Usage:" || fail "the installed Harkwell --help says no usage"
/usr/bin/harkwell-record --version | grep -qx "harkwell-record $version" ||
  fail "the installed harkwell-record has another version"
man -w Harkwell >/dev/null && man -w harkwell-record >/dev/null || fail "a manual page is missing"
pkg-config --exists harkwellcore || fail "pkg-config does not know the installed harkwellcore"
mkdir "$work/host"
awk '/^\/\/ host.cc/,/^```$/' docs/host-guide.md | grep -v '^```' >"$work/host/host.cc"
cat >"$work/host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(host CXX)
find_package(HarkwellCore REQUIRED)
add_executable(host host.cc)
target_link_libraries(host PRIVATE HarkwellCore::HarkwellCore)
CMAKE
cmake -S "$work/host" -B "$work/host/build" >/dev/null && cmake --build "$work/host/build" >/dev/null ||
  fail "a host does not build against the installed package with find_package"
# shellcheck disable=SC2046 # the flags are words
c++ -std=c++20 "$work/host/host.cc" $(pkg-config --cflags --libs harkwellcore) -o "$work/host/pc" ||
  fail "a host does not build against the installed package with pkg-config"
printf '\001\000\000\000\020{"type":"ready"}' | "$work/host/build/host" | grep -qx "control: ready" ||
  fail "the installed host does not decode a frame"
echo "package-check: harkwell and libharkwellcore-dev $version build, pass lintian, install and work"
