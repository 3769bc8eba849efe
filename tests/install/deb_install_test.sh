#!/usr/bin/env bash
# The Debian packages on a fresh root: this machine's file system seen through
# an overlay whose writes go to a temporary folder (a private mount namespace;
# nothing of it reaches the machine), with none of the project's files
# installed. There `apt-get install ./*.deb` installs the four packages the way
# a user does (dependencies from the system's sources, maintainer scripts and
# triggers run), and then, with nothing but what the packages installed:
# the C host example examples/mms_host.c is built with pkg-config and does
# the whole job (compose, send through tinyproxy to the installed relay,
# download, parse, compare); host_demo.c is built with find_package; the man
# pages show; rorodired answers on a private session bus (also without a
# settings file); rorodired stands in for mmsd-tng (its control fields, apt
# installing chatty or phosh-phone beside it without mmsd-tng, its user unit
# enabled); the packages remove cleanly. Usage: deb_install_test.sh DEB_DIR SOURCE_DIR
set -euo pipefail
debs=$(cd "$1" && pwd) src=$(cd "$2" && pwd)
if [ "${RR_IN_ROOT:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || { echo "deb install test: needs root (mount namespace, overlay)" >&2; exit 1; }
  exec unshare --mount --propagation private env RR_IN_ROOT=1 "$0" "$@"
fi
fail() { echo "deb install test: $*" >&2; exit 1; }

# ---- the fresh root: an overlay over / with its writes in a tmpfs
base=$(mktemp -d /tmp/rorodire-debroot.XXXXXX)
mount -t tmpfs tmpfs "$base"
mkdir -p "$base/upper" "$base/work" "$base/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$base/root"
root=$base/root
for d in proc sys dev dev/pts run; do mount --rbind "/$d" "$root/$d" 2>/dev/null || true; done
mount -t tmpfs tmpfs "$root/tmp"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 "$@"; }

for f in /usr/lib/*/librorodire.so.1 /usr/bin/rorodire /usr/include/rorodire.h; do
  [ -e "$root$f" ] && fail "$f is already on this machine: the root is not fresh"
done

mkdir -p "$root/tmp/debs" "$root/tmp/src"
for p in librorodire1 librorodire-dev rorodire rorodired; do
  cp "$debs/${p}_"*.deb "$root/tmp/debs/" || fail "no $p package in $debs"
done
cp -r "$src/examples" "$src/samples" "$src/scripts" "$src/tests" "$root/tmp/src/"

# chatty recommends mmsd-tng and phosh-phone depends on it: with rorodired
# installed (Provides/Conflicts/Replaces: mmsd-tng) neither may bring it in.
# First the other side, so the check can fail: without rorodired, installing
# chatty brings mmsd-tng.
echo "-- without rorodired, chatty brings mmsd-tng"
in_root apt-cache show chatty mmsd-tng >/dev/null 2>&1 || fail "chatty or mmsd-tng is not in the package lists (apt-get update)"
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get purge -y -q chatty mmsd-tng' >"$base/purge-peers.log" 2>&1 ||
  { tail -20 "$base/purge-peers.log" >&2; fail "chatty and mmsd-tng cannot be removed from the root"; }
sim=$(in_root apt-get install --simulate -q chatty 2>&1) || { echo "$sim" | tail -20 >&2; fail "apt-get cannot plan chatty"; }
grep -E '^Inst (chatty|mmsd-tng) ' <<<"$sim"
grep -q '^Inst mmsd-tng ' <<<"$sim" || fail "without rorodired, installing chatty does not bring mmsd-tng: the check below proves nothing"

echo "-- apt-get install the packages"
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends /tmp/debs/*.deb' \
  >"$base/apt.log" 2>&1 || { tail -30 "$base/apt.log" >&2; fail "the packages do not install"; }
grep -E "^(Setting up|Unpacking) (lib)?rorodire" "$base/apt.log" || true
[ "$(in_root dpkg -s librorodire1 librorodire-dev rorodire rorodired | grep -c "Status: install ok installed")" = 4 ] ||
  fail "not all four packages are installed"

echo "-- rorodired stands in for mmsd-tng"
for field in Provides Conflicts Replaces; do
  v=$(dpkg-deb -f "$debs"/rorodired_*.deb "$field")
  echo "$field: $v"
  grep -qw mmsd-tng <<<"$v" || fail "rorodired's $field does not name mmsd-tng"
done
for pkg in chatty phosh-phone; do
  in_root apt-cache show "$pkg" >/dev/null 2>&1 || { echo "$pkg: not in the package lists, not tried"; continue; }
  sim=$(in_root apt-get install --simulate -q "$pkg" 2>&1) || { echo "$sim" | tail -20 >&2; fail "apt-get cannot plan $pkg beside rorodired"; }
  grep -q "^Inst $pkg " <<<"$sim" || fail "apt-get install --simulate $pkg installs no $pkg"
  grep -E '^(Inst|Remv) (mmsd-tng|rorodired) ' <<<"$sim" && fail "apt-get install $pkg beside rorodired brings mmsd-tng or removes rorodired"
  echo "apt-get install --simulate $pkg: $(grep -c '^Inst ' <<<"$sim") packages, not mmsd-tng"
done
# Started on login as mmsd-tng's unit is: enabled for every user.
[ -L "$root/etc/systemd/user/default.target.wants/rorodired.service" ] ||
  fail "the user unit is not enabled (no /etc/systemd/user/default.target.wants/rorodired.service)"
grep -q '^ConditionUser=!@system' "$root/usr/lib/systemd/user/rorodired.service" || fail "the user unit runs for system users too"

echo "-- what landed"
in_root dpkg -L librorodire1 librorodire-dev rorodire rorodired | grep -E '\.so|bin/|\.pc$|Config\.cmake$|man[158]/|systemd|dbus-1|examples/' | sort

echo "-- the C host example built with pkg-config against the installed library"
[ "$(in_root pkg-config --modversion rorodire)" = 1.0.0 ] || fail "pkg-config does not find rorodire 1.0.0"
in_root sh -c 'cc -o /tmp/mms_host /tmp/src/examples/mms_host.c $(pkg-config --cflags --libs rorodire glib-2.0)' ||
  fail "mms_host does not build with pkg-config"
loaded=$(in_root ldd /tmp/mms_host)
grep -E 'librorodire|libosal' <<<"$loaded"
grep -qE "=> (/usr)?/lib/[^ ]+/librorodire.so.1 " <<<"$loaded" || fail "mms_host does not load the installed library"

echo "-- host_demo built with find_package(rorodire)"
in_root cmake -S /tmp/src/tests/install/consumer -B /tmp/consumer -G Ninja -DEXAMPLES_DIR=/tmp/src/examples >/dev/null ||
  fail "find_package(rorodire) fails"
in_root ninja -C /tmp/consumer >/dev/null || fail "the consumer project does not build"
in_root /tmp/consumer/host_demo >/dev/null || fail "host_demo fails"

echo "-- mms_host: compose, send through tinyproxy to the installed relay, download, parse"
in_root bash -c '
  set -e
  . /tmp/src/scripts/servers.sh
  trap stop_servers EXIT
  mkdir -p /tmp/run
  start_relay /usr/bin/rorodire /tmp/run
  start_proxy /tmp/run
  /tmp/mms_host "$relay_url" "127.0.0.1:$proxy_port" /tmp/run/spool /tmp/src/samples >/tmp/run/host.out 2>&1 ||
    { cat /tmp/run/host.out; exit 1; }
  grep "round trip exact" /tmp/run/host.out
  grep -q m-notifyresp-ind /tmp/run/relay.log' || fail "mms_host did not complete the round trip"

echo "-- man pages"
for p in rorodire rorodired rorodired.conf; do
  in_root sh -c "MANWIDTH=100 man $p 2>&1 | head -4" | sed -n 3,4p
  in_root man -w "$p" >/dev/null || fail "no man page $p"
done

echo "-- rorodired on a private session bus"
in_root bash -c '
  set -e
  mkdir -p /tmp/rrd/store
  chmod 700 /tmp/rrd/store
  printf "[Service]\nRelayUrl=http://127.0.0.1:9/mms\nOwnNumber=+15550100001\nStorageDir=/tmp/rrd/store\n" >/tmp/rrd/rr.conf
  DBUS_SESSION_BUS_ADDRESS=$(dbus-daemon --session --fork --print-address=1 --print-pid=3 3>/tmp/rrd/bus.pid)
  export DBUS_SESSION_BUS_ADDRESS
  /usr/bin/rorodired --config /tmp/rrd/rr.conf --session >/tmp/rrd/out 2>&1 &
  pid=$!
  # A call to the name before the service owns it would start a second one
  # through D-Bus activation (the package installs its activation file):
  # wait for the name, asking the bus only, then call.
  owned() {
    for i in $(seq 100); do
      gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.NameHasOwner org.ofono.mms | grep -q true && return 0
      sleep 0.1
    done
    return 1
  }
  owned
  gdbus call --session --dest org.ofono.mms --object-path /org/ofono/mms \
    --method org.ofono.mms.Manager.GetServices >/tmp/rrd/services
  kill $pid; wait $pid || true
  # The bus drops the name when it sees its owner gone.
  for i in $(seq 50); do
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.NameHasOwner org.ofono.mms | grep -q false && break
    sleep 0.1
  done
  # Started as its unit starts it, in a home without a settings file.
  mkdir -p /tmp/rrd/home
  HOME=/tmp/rrd/home /usr/bin/rorodired --config /tmp/rrd/home/.config/rorodired/rorodired.conf --session >/tmp/rrd/out2 2>&1 &
  pid=$!
  owned
  gdbus call --session --dest org.ofono.mms --object-path /org/ofono/mms \
    --method org.ofono.mms.ModemManager.ViewSettings >/tmp/rrd/settings
  kill $pid; wait $pid || true
  kill "$(cat /tmp/rrd/bus.pid)" 2>/dev/null || true
  cat /tmp/rrd/services /tmp/rrd/settings
  grep -q "/org/ofono/mms/" /tmp/rrd/services
  grep -q "http://mms.invalid" /tmp/rrd/settings' || fail "rorodired does not answer GetServices, or ViewSettings without a settings file"

echo "-- removal"
in_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q rorodired rorodire librorodire-dev librorodire1 >"$base/purge.log" 2>&1 ||
  { tail -20 "$base/purge.log" >&2; fail "the packages do not remove"; }
for f in /usr/bin/rorodire /usr/bin/rorodired /usr/include/rorodire.h; do
  [ -e "$root$f" ] && fail "$f is left after purge"
done
ls "$root"/usr/lib/*/librorodire.so* >/dev/null 2>&1 && fail "librorodire is left after purge"
echo "deb install test: ok"
