#!/usr/bin/env bash
# The main job, on loopback, the way a host does it:
#   compose a three-slide message with an attachment from samples/,
#   send it through a WAP proxy (tinyproxy) to the development relay,
#   take the notification the relay wrote and download the message it
#   announces through the proxy (the relay records the answer PDU and, as
#   the send asked, writes the delivery report for the sender),
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
. scripts/servers.sh
trap stop_servers EXIT
trap 'exit 130' INT TERM

step servers
start_relay "$tool" "$out" || fail "cannot start the relay"
echo "relay  $relay_url (spool $out/spool)"
start_proxy "$out" || fail "cannot start the proxy"
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
"$tool" send --relay "$relay_url" --proxy "127.0.0.1:$proxy_port" --delivery-report "$out/message.mms" \
  | tee "$out/send.txt"

# ---------------------------------------------------------------- notification
step notify
notification=$(find "$out/spool" -name '*.ind' ! -name '*-delivery-*' | head -1)
[ -n "$notification" ] || fail "the relay wrote no notification into $out/spool"
"$tool" dump "$notification"

# ---------------------------------------------------------------- download
step download
"$tool" fetch --relay "$relay_url" --proxy "127.0.0.1:$proxy_port" --notifyresp "$notification" \
  -o "$out/retrieved.mms" | tee "$out/fetch.txt"
grep -q 'm-notifyresp-ind' "$out/relay.log" || fail "the relay recorded no m-notifyresp-ind"

# ---------------------------------------------------------------- delivery report
step report
report=$(find "$out/spool" -name '*-delivery-*.ind' | head -1)
[ -n "$report" ] || fail "the relay wrote no delivery report into $out/spool"
"$tool" dump "$report" | tee "$out/report.txt"
report_to=$(sed -n 's/^  To  *"\(.*\)"$/\1/p' "$out/report.txt")
report_status=$(sed -n 's/^  Status  *0x[0-9A-F]* (\(.*\))$/\1/p' "$out/report.txt")
[ "$report_status" = Retrieved ] || fail "the delivery report says '$report_status', not Retrieved"

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
if command -v chromium >/dev/null 2>&1 && command -v python3 >/dev/null 2>&1; then
  # Headless Chromium opens it as a person would: every image decoded, every
  # text on the page, nothing loaded from outside the folder.
  python3 tests/browser/check_preview.py "$out/preview" --text-file $s/hello.txt --text-file $s/greeting.txt \
    --images 1 --media 2 --screenshot "$out/preview.png" >/dev/null || fail "the preview does not show as it should"
  echo "checked in headless Chromium; screenshot $out/preview.png"
fi

step done
stop_servers
trap - EXIT

# ---------------------------------------------------------------- summary
echo
echo "== summary"
echo "sent:       $(sed -n 's/^.*: m-send-req, /m-send-req, /p' "$out/compose.txt"): photo.jpg + hello.txt, greeting.wav + greeting.txt, clip.mp4; contact.vcf"
echo "relay:      $(tail -1 "$out/send.txt")"
echo "download:   $(tail -1 "$out/fetch.txt"), $(stat -c %s "$out/retrieved.mms") bytes; the relay recorded the m-notifyresp-ind"
echo "report:     m-delivery-ind for $report_to: $report_status"
echo "came back:  $(grep -c '^slide ' "$out/parse.txt") slides, $(grep -c '^attachment ' "$out/parse.txt") attachment, all 6 items byte for byte equal to samples/"
echo "preview:    $out/preview/index.html (open it in a browser)"
echo "steps:"
for l in "${steps[@]}"; do echo "  $l"; done
echo "total:      $(ms_since "$t0") ms"
