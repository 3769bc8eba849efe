#!/usr/bin/env bash
# Builds the Debian packages from a clean copy of the tree (the tracked files
# as they are in the working tree, no build folders) with
# `dpkg-buildpackage -us -uc -b`, installing the build dependencies of
# debian/control first; puts the .deb files in build/deb/, runs lintian on
# them (any error or warning not overridden in debian/ fails) and installs
# them into a fresh root to build and run the C host example against them
# (tests/install/deb_install_test.sh).
# Usage: scripts/package.sh [--no-install-test]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
started=$(date +%s)
stage() { echo; echo "== $1 ($(( $(date +%s) - started )) s so far)"; }

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need=()
for p in dpkg-dev debhelper lintian; do have_pkg "$p" || need+=("$p"); done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

stage "the symbols file names exactly the C ABI"
# librorodire.so.1's part of debian/librorodire1.symbols against the
# library's version script (the 33 functions that leave it).
abi=$(sed -n '/global:/,/local:/p' common/rorodire.map | grep -oE 'fn[A-Za-z_]+' | sort)
listed=$(awk '/^librorodire.so.1 /{on=1; next} /^[^ *]/{on=0} on && /@Base/{sub(/@.*/, "", $1); print $1}' \
  debian/librorodire1.symbols | sort)
if [ "$abi" != "$listed" ]; then
  diff <(echo "$abi") <(echo "$listed") >&2 || true
  echo "debian/librorodire1.symbols and common/rorodire.map disagree" >&2
  exit 1
fi
echo "$(wc -l <<<"$listed") functions in both"

stage "clean copy of the tree"
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
work=$top/build/pkg
rm -rf "$work" && mkdir -p "$work/rorodire-$version"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work/rorodire-$version"
echo "$work/rorodire-$version: $(git ls-files | wc -l) files"

stage "build dependencies"
if ! (cd "$work/rorodire-$version" && dpkg-checkbuilddeps) 2>/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get build-dep -y -qq "$work/rorodire-$version" >/dev/null
fi

stage "dpkg-buildpackage -us -uc -b"
# The package build compiles what it ships and runs only its quick checks
# (exports, the tool's example PDUs; debian/rules); scripts/test.sh is the
# test suite.
(cd "$work/rorodire-$version" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -us -uc -b) > "$work/build.log" 2>&1 || { tail -40 "$work/build.log" >&2; echo "package build failed: $work/build.log" >&2; exit 1; }
grep -E "dpkg-gensymbols|exported symbols" "$work/build.log" || true
rm -rf build/deb && mkdir -p build/deb
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo build/deb/
ls -l build/deb/

stage "lintian"
lintian --fail-on error,warning --display-level '>=warning' --show-overrides build/deb/*.changes
echo "lintian: no error or warning"

if [ "${1:-}" != "--no-install-test" ]; then
  stage "the packages on a fresh root, the C host example against them"
  tests/install/deb_install_test.sh build/deb "$top"
fi
echo
echo "package.sh: $(( $(date +%s) - started )) s"
