#!/usr/bin/env bash
# The main job, on loopback, the way a host does it:
#   compose a three-slide message with an attachment from samples/,
#   send it through a WAP proxy (tinyproxy) to the development relay,
#   take the notification the relay wrote and download the message it
#   announces through the proxy (the relay records the answer PDU),
#   parse it into slides, check every item byte for byte against the
#   originals, and write an HTML preview.
# Builds the tool first (installing what the build needs when missing; run as
# root). Both servers are stopped on every exit. Exit 0 only when the round
# trip is exact. Output goes to build/run/.
set -euo pipefail
cd "$(dirname "$0")/.."
t0=$(date +%s%N)
ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
step_t=$t0
steps=()
step() {  # step NAME: closes the previous step's timing and announces NAME
  [ -n "${step_name:-}" ] && steps+=("$(printf '%-10s %6d ms' "$step_name" "$(ms_since "$step_t")")")
  step_name=$1
  step_t=$(date +%s%N)
  echo
  echo "== $1"
}
fail() { echo "run: $*" >&2; exit 1; }

step build
scripts/deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DRORODIRE_TESTS=OFF -DRORODIRE_BENCH=OFF >/dev/null
ninja -C build --quiet rorodire_tool
tool=$PWD/build/rorodire
out=$PWD/build/run
rm -rf "$out"
mkdir -p "$out"
echo "built $tool"

# ---------------------------------------------------------------- servers
relay_pid= proxy_pid=
stop_servers() {
  for p in $relay_pid $proxy_pid; do kill "$p" 2>/dev/null || true; done
  for p in $relay_pid $proxy_pid; do wait "$p" 2>/dev/null || true; done
  relay_pid= proxy_pid=
}
trap stop_servers EXIT
trap 'exit 130' INT TERM

step servers
"$tool" relay --port 0 --spool "$out/spool" --log "$out/relay.log" 2>"$out/relay.err" &
relay_pid=$!
for _ in $(seq 100); do
  grep -q 'listening on' "$out/relay.err" 2>/dev/null && break
  kill -0 "$relay_pid" 2>/dev/null || fail "the relay did not start: $(cat "$out/relay.err")"
  sleep 0.05
done
relay_url=$(sed -n 's/^relay: listening on \([^ ]*\).*/\1/p' "$out/relay.err")
[ -n "$relay_url" ] || fail "the relay did not say where it listens"
echo "relay  $relay_url (spool $out/spool)"

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
proxy_port=
for _ in $(seq 20); do
  p=$((20000 + RANDOM % 40000))
  port_free "$p" || continue
  printf 'Port %d\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nMaxClients 20\nLogLevel Warning\nDisableViaHeader Yes\n' \
    "$p" >"$out/tinyproxy.conf"
  tinyproxy -d -c "$out/tinyproxy.conf" >"$out/tinyproxy.log" 2>&1 &
  proxy_pid=$!
  for _ in $(seq 100); do
    port_free "$p" || { proxy_port=$p; break; }
    kill -0 "$proxy_pid" 2>/dev/null || break
    sleep 0.05
  done
  [ -n "$proxy_port" ] && break
  kill "$proxy_pid" 2>/dev/null || true; wait "$proxy_pid" 2>/dev/null || true; proxy_pid=
done
[ -n "$proxy_port" ] || fail "tinyproxy did not start: $(cat "$out/tinyproxy.log" 2>/dev/null)"
echo "proxy  tinyproxy on 127.0.0.1:$proxy_port"

# ---------------------------------------------------------------- compose
step compose
s=samples
"$tool" compose -o "$out/message.mms" \
  --from +15550100001 --to +15550100002 --subject "Greetings from rorodire · Χαιρετίσματα" \
  --slide "image=$s/photo.jpg,text=$s/hello.txt,dur=5000" \
  --slide "audio=$s/greeting.wav,text=$s/greeting.txt,dur=4000" \
  --slide "video=$s/clip.mp4,dur=3000" \
  --attach "$s/contact.vcf" | tee "$out/compose.txt"

# ---------------------------------------------------------------- send
step send
"$tool" send --relay "$relay_url" --proxy "127.0.0.1:$proxy_port" "$out/message.mms" | tee "$out/send.txt"

# ---------------------------------------------------------------- notification
step notify
notification=$(find "$out/spool" -name '*.ind' | head -1)
[ -n "$notification" ] || fail "the relay wrote no notification into $out/spool"
"$tool" dump "$notification"

# ---------------------------------------------------------------- download
step download
"$tool" fetch --relay "$relay_url" --proxy "127.0.0.1:$proxy_port" --notifyresp "$notification" \
  -o "$out/retrieved.mms" | tee "$out/fetch.txt"
grep -q 'm-notifyresp-ind' "$out/relay.log" || fail "the relay recorded no m-notifyresp-ind"

# ---------------------------------------------------------------- parse and check
step parse
"$tool" parse --extract "$out/extracted" "$out/retrieved.mms" | tee "$out/parse.txt"
check() {  # check ORIGINAL EXTRACTED-NAME
  if cmp -s "$1" "$out/extracted/$2"; then
    printf '  same bytes: %-14s %6d bytes\n' "$2" "$(stat -c %s "$1")"
  else
    echo "  DIFFERENT:  $1 and $out/extracted/$2" >&2
    mismatches=$((mismatches + 1))
  fi
}
mismatches=0
echo "byte-for-byte check against samples/:"
check $s/photo.jpg photo.jpg
check $s/hello.txt slide1.txt
check $s/greeting.wav greeting.wav
check $s/greeting.txt slide2.txt
check $s/clip.mp4 clip.mp4
check $s/contact.vcf contact.vcf
extracted=$(find "$out/extracted" -type f | wc -l)
[ "$extracted" -eq 6 ] || { echo "  expected 6 items, the message gave $extracted" >&2; mismatches=$((mismatches + 1)); }
[ $mismatches -eq 0 ] || fail "the round trip is not exact ($mismatches differences)"

step preview
"$tool" parse --html "$out/preview" "$out/retrieved.mms" >/dev/null
echo "wrote $out/preview/index.html"

step done
stop_servers
trap - EXIT

# ---------------------------------------------------------------- summary
echo
echo "== summary"
echo "sent:       $(sed -n 's/^.*: m-send-req, /m-send-req, /p' "$out/compose.txt"): photo.jpg + hello.txt, greeting.wav + greeting.txt, clip.mp4; contact.vcf"
echo "relay:      $(tail -1 "$out/send.txt")"
echo "download:   $(tail -1 "$out/fetch.txt"), $(stat -c %s "$out/retrieved.mms") bytes; the relay recorded the m-notifyresp-ind"
echo "came back:  $(grep -c '^slide ' "$out/parse.txt") slides, $(grep -c '^attachment ' "$out/parse.txt") attachment, all 6 items byte for byte equal to samples/"
echo "preview:    $out/preview/index.html (open it in a browser)"
echo "steps:"
for l in "${steps[@]}"; do echo "  $l"; done
echo "total:      $(ms_since "$t0") ms"
