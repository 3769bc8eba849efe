#!/usr/bin/env bash
# Cross-builds the library, the tool, the service and the tests for a
# handset CPU with Debian's cross toolchain and runs the tests under
# qemu-user (loopback networking included). Usage: scripts/cross-test.sh arm64|armhf
# The build is build-ARCH/; tests that need a browser are left out.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-}
case "$arch" in
  armhf) triplet=arm-linux-gnueabihf qemu=qemu-arm ;;
  arm64) triplet=aarch64-linux-gnu qemu=qemu-aarch64 ;;
  *) echo "usage: scripts/cross-test.sh arm64|armhf" >&2; exit 2 ;;
esac
started=$(date +%s)
stage() { echo; echo "== $1 ($(( $(date +%s) - started )) s so far)"; }

stage "packages for $arch"
scripts/deps.sh test
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
need=()
have_pkg "crossbuild-essential-$arch" || need+=("crossbuild-essential-$arch")
have_pkg qemu-user || need+=(qemu-user)
have_pkg qemu-user-binfmt || need+=(qemu-user-binfmt)
# libsoup-3.0-dev:ARCH cannot be installed beside the build machine's
# (bookworm's gobject-introspection is not multiarch): the library itself
# comes from libsoup-3.0-0:ARCH, the headers (the same on every CPU) from
# the build machine's libsoup-3.0-dev, and a pkg-config file joins them.
for p in libglib2.0-dev libgtest-dev libgmock-dev libsoup-3.0-0 libc-ares-dev; do
  have_pkg "$p:$arch" || need+=("$p:$arch")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

# Programs of the other CPU run through qemu-user when the kernel knows it:
# tests start the tool and the service as child processes. Registered from
# qemu-user-binfmt's own description when nothing did so (no systemd here).
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
if [ ! -e "/proc/sys/fs/binfmt_misc/$qemu" ]; then
  cat "/usr/lib/binfmt.d/$qemu.conf" > /proc/sys/fs/binfmt_misc/register
fi

build=build-$arch
mkdir -p "$build/pkgconfig"
libdir=/usr/lib/$triplet
ln -sf "$libdir/libsoup-3.0.so.0" "$build/pkgconfig/libsoup-3.0.so"
cat > "$build/pkgconfig/libsoup-3.0.pc" <<PC
Name: libsoup
Description: libsoup-3.0-0:$arch with the build machine's headers
Version: $(dpkg-query -W -f='${Version}' "libsoup-3.0-0:$arch" | sed 's/-.*//')
Requires: glib-2.0 gmodule-2.0 gobject-2.0 gio-2.0
Libs: -L$PWD/$build/pkgconfig -lsoup-3.0
Cflags: -I/usr/include/libsoup-3.0
PC
export PKG_CONFIG_LIBDIR="$libdir/pkgconfig:/usr/share/pkgconfig:$PWD/$build/pkgconfig"

stage "cross build ($triplet)"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/cross/$arch.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRORODIRE_QUICK_HARNESS=ON -DRORODIRE_BENCH=OFF \
  -DRORODIRE_TEST_TIMEOUT=900 >/dev/null
ninja -C "$build" -j"$(nproc)"
file -L "$build/librorodire.so" "$build/rorodire"

stage "tests under $qemu"
# Not here: the browser tests (Chromium opens previews; no browser for $arch).
# The install test builds its C hosts with the cross compiler against the
# installed cross build and runs them under qemu-user.
export RR_REQUIRE_TINYPROXY=1 RR_REQUIRE_INTEROP=1
# ctest starts the longest tests first when it knows their cost from an
# earlier run; a fresh build gets the costs measured under qemu-arm for the
# formatter's comparisons with the C library (about half of all test time
# there), so they do not start last and hold up the end.
costs=$build/Testing/Temporary/CTestCostData.txt
if [ ! -f "$costs" ]; then
  mkdir -p "$(dirname "$costs")"
  printf '%s\n' "FormatFloat.EdgeValuesOverFlagsWidthsAndPrecisions 1 255" \
    "FormatIntegers.TableMatchesCLibrary 1 158" "FormatFloat.RandomValuesMatchCLibrary 1 83" \
    "CharsetConversion.EachUnitAloneMatchesReferenceAndGlib 1 57" "---" >"$costs"
fi
# Under qemu many tests wait on sockets and timers: one job more than CPUs.
ctest --test-dir "$build" --output-on-failure -j"$(( $(nproc) + 1 ))" -E '^(CliHtml\.|browser_checker$)'

echo
echo "cross-test $arch: $(( $(date +%s) - started )) s"
