#!/usr/bin/env bash
# Makes the sample media under samples/ from nothing but Debian tools
# (ffmpeg's test sources and encoders, espeak-ng's speech), so every sample
# can be remade. Output is bit-exact for the same tool versions: metadata
# and encoder tags are left out, encoders run on one thread, and
# samples/SHA256SUMS records what was made.
#   scripts/make_samples.sh          remake every file and SHA256SUMS
#   scripts/make_samples.sh --check  remake into a temporary directory and
#                                    compare with the committed files
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v ffmpeg >/dev/null 2>&1 || need+=(ffmpeg)
command -v espeak-ng >/dev/null 2>&1 || need+=(espeak-ng)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

check=0
out=samples
if [ "${1:-}" = --check ]; then
  check=1
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
fi
mkdir -p "$out"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y -threads 1 "$@"; }
exact=(-map_metadata -1 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact)

# Slide 1: a photo-like JPEG (ffmpeg's colour test pattern, one frame).
ff -f lavfi -i "testsrc2=size=176x144:rate=1:duration=1" -frames:v 1 "${exact[@]}" \
   -q:v 6 -pix_fmt yuvj420p "$out/photo.jpg"
# Attachment and page decoration: a small GIF (Mandelbrot set, 64 colours).
ff -f lavfi -i "mandelbrot=size=96x72:rate=1" -frames:v 1 "${exact[@]}" \
   -vf "trim=end_frame=1,split[a][b];[a]palettegen=max_colors=64[p];[b][p]paletteuse=dither=none" "$out/fractal.gif"
# A PNG too (SMPTE colour bars), for hosts that show PNG.
ff -f lavfi -i "smptebars=size=96x72:rate=1" -frames:v 1 "${exact[@]}" "$out/bars.png"

# Slide 2: spoken Greek greeting, 8 kHz mono 16-bit PCM WAV.
greek="Γειά σου! Χαιρετίσματα από το rorodire."
espeak-ng -v el -s 150 -w "$out/speech-22k.wav" "$greek"
ff -i "$out/speech-22k.wav" "${exact[@]}" -ac 1 -ar 8000 -c:a pcm_s16le "$out/greeting.wav"
rm -f "$out/speech-22k.wav"

# Slide 3: a two-second video, H.264 baseline 128x96 at 10 frames per
# second with a 440 Hz tone in AAC, in MP4 (plays in browsers and phones).
ff -f lavfi -i "testsrc=size=128x96:rate=10:duration=2" \
   -f lavfi -i "sine=frequency=440:sample_rate=8000:duration=2" \
   "${exact[@]}" -c:v libx264 -profile:v baseline -preset veryfast -crf 32 -pix_fmt yuv420p \
   -x264-params "threads=1:sliced-threads=0" -c:a aac -b:a 16k -ac 1 -movflags +faststart "$out/clip.mp4"

# Texts (UTF-8, no byte order mark), one of them in a non-Latin script.
printf '%s\n' "Hello from rorodire! This photo was composed, sent, notified, downloaded and taken apart again." >"$out/hello.txt"
printf '%s\n' "$greek" "こんにちは、世界。Привет, мир!" >"$out/greeting.txt"
# The attachment: a contact card with a non-ASCII name.
printf 'BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Zoë Ångström\r\nN:Ångström;Zoë;;;\r\nTEL;TYPE=CELL:+15551234567\r\nEMAIL:zoe@example.org\r\nEND:VCARD\r\n' >"$out/contact.vcf"

files=(photo.jpg fractal.gif bars.png greeting.wav clip.mp4 hello.txt greeting.txt contact.vcf)
if [ $check = 1 ]; then
  (cd "$out" && sha256sum "${files[@]}") | diff - samples/SHA256SUMS && echo "samples match their script"
  exit
fi
(cd "$out" && sha256sum "${files[@]}" >SHA256SUMS)
for f in "${files[@]}"; do printf '%-14s %7d bytes\n' "$f" "$(stat -c %s "$out/$f")"; done
