#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks what landed there, then
# builds the C hosts of examples/ against the installed package twice, once
# with pkg-config and once with find_package(rorodire), and runs them and the
# installed tool: host_demo on its own, mms_host (the whole job: compose, send,
# download, parse) against the installed relay behind tinyproxy.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR [CFLAGS]
# A cross build (scripts/cross-test.sh) passes its compiler in CC and its
# toolchain file in RR_CMAKE_TOOLCHAIN: the hosts are then built for that CPU
# and run under qemu-user.
set -euo pipefail
build=$1 src=$2 extra_cflags=${3:-}
cc=${CC:-cc}
prefix=$(mktemp -d /tmp/rorodire-install.XXXXXX)
. "$src/scripts/servers.sh"
trap 'stop_servers; rm -rf "$prefix"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix/usr" >/dev/null
p=$prefix/usr
libdir=$(dirname "$(find "$p" -name 'librorodire.so' | head -1)")
[ -n "$libdir" ] || fail "librorodire.so not installed"
for f in "$p/include/rorodire.h" "$p/include/osal.h" "$libdir/libosal.so" "$libdir/pkgconfig/rorodire.pc" \
         "$libdir/cmake/rorodire/rorodireConfig.cmake" "$libdir/cmake/rorodire/rorodireConfigVersion.cmake" \
         "$p/bin/rorodire"; do
  [ -e "$f" ] || fail "missing $f"
done
soname=$(readelf -d "$libdir/librorodire.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = librorodire.so.1 ] || fail "SONAME is '$soname', expected librorodire.so.1"
[ -e "$libdir/$soname" ] || fail "no $soname link beside the library"
[ "$(readlink -f "$libdir/librorodire.so")" = "$(readlink -f "$libdir/$soname")" ] || fail "librorodire.so and $soname differ"

# pkg-config, with nothing but the installed prefix on its path.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion rorodire)" = 1.0.0 ] || fail "pkg-config finds no rorodire 1.0.0"
# shellcheck disable=SC2046
"$cc" $extra_cflags -o "$prefix/host_demo_pc" "$src/examples/host_demo.c" $(pkg-config --cflags --libs rorodire) \
   -Wl,-rpath,"$(pkg-config --variable=libdir rorodire)" || fail "host_demo does not build with pkg-config"
"$prefix/host_demo_pc" >/dev/null || fail "host_demo built with pkg-config fails"
"$cc" $extra_cflags -o "$prefix/mms_host_pc" "$src/examples/mms_host.c" $(pkg-config --cflags --libs rorodire glib-2.0) \
   -Wl,-rpath,"$(pkg-config --variable=libdir rorodire)" || fail "mms_host does not build with pkg-config"
echo "pkg-config build of host_demo and mms_host: ok"

# find_package, from a project of its own outside the source tree.
cmake -S "$src/tests/install/consumer" -B "$prefix/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$p" \
  -DEXAMPLES_DIR="$src/examples" -DCMAKE_C_FLAGS="$extra_cflags" \
  ${RR_CMAKE_TOOLCHAIN:+-DCMAKE_TOOLCHAIN_FILE="$RR_CMAKE_TOOLCHAIN"} >/dev/null || fail "find_package(rorodire) fails"
ninja -C "$prefix/consumer" >"$prefix/consumer.log" 2>&1 || { tail -20 "$prefix/consumer.log" >&2; false; } || fail "host_demo does not build with find_package"
"$prefix/consumer/host_demo" >/dev/null || fail "host_demo built with find_package fails"
[ -x "$prefix/consumer/mms_host" ] || fail "mms_host does not build with find_package"
echo "find_package build of host_demo and mms_host: ok"

# The installed tool runs from the prefix without the build tree.
"$p/bin/rorodire" help >/dev/null || fail "installed rorodire tool does not run"
if ldd "$p/bin/rorodire" | grep -q "$build"; then fail "installed tool still loads libraries from the build tree"; fi

# The MMS service with its systemd user unit and D-Bus activation file, both
# naming the installed program.
"$p/bin/rorodired" --help >/dev/null || fail "installed rorodired does not run"
for f in "$p/lib/systemd/user/rorodired.service" "$p/share/dbus-1/services/org.ofono.mms.service"; do
  grep -q "$p/bin/rorodired" "$f" 2>/dev/null || fail "$f does not start $p/bin/rorodired"
done

# The whole job through the installed library, relay and a real proxy.
if command -v tinyproxy >/dev/null 2>&1 || [ -n "${RR_REQUIRE_TINYPROXY:-}" ]; then
  mkdir -p "$prefix/run"
  start_relay "$p/bin/rorodire" "$prefix/run" || fail "the installed relay does not start"
  start_proxy "$prefix/run" || fail "tinyproxy does not start"
  for host in "$prefix/mms_host_pc" "$prefix/consumer/mms_host"; do
    rm -rf "$prefix/run/spool"/*
    "$host" "$relay_url" "127.0.0.1:$proxy_port" "$prefix/run/spool" "$src/samples" >"$prefix/run/host.out" 2>&1 ||
      { cat "$prefix/run/host.out" >&2; fail "$(basename "$host") did not complete the round trip"; }
    grep -q 'round trip exact' "$prefix/run/host.out" || fail "$(basename "$host") gave no verdict"
  done
  grep -q 'm-notifyresp-ind' "$prefix/run/relay.log" || fail "the relay recorded no answer from mms_host"
  echo "mms_host round trip through tinyproxy and the installed relay (both builds): ok"
else
  echo "tinyproxy not installed: mms_host built but not run"
fi
echo "installed into $p: ok"
