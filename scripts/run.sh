#!/usr/bin/env bash
# Builds the library and the rorodire tool into build/, writes example PDUs
# with the library's own encoders and decodes them with `rorodire dump`, then
# decodes every PDU of the shared interop corpus (../shared/interop) when it is
# there. Installs the build tools first when one is missing (run as root).
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config)
dpkg-query -W -f='${Status}' libglib2.0-dev 2>/dev/null | grep -q "install ok installed" || need+=(libglib2.0-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y cmake ninja-build g++ pkg-config libglib2.0-dev
fi

echo "== building into build/"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DRORODIRE_TESTS=OFF -DRORODIRE_BENCH=OFF >/dev/null
ninja -C build --quiet

tool=build/rorodire
examples=build/examples
echo
echo "== example PDUs written by the library's encoders"
rm -rf "$examples"
"$tool" example "$examples"
echo
echo "== rorodire dump $examples/*"
"$tool" dump "$examples"/*

status=0
interop=../shared/interop
if [ -d "$interop" ]; then
  files=()
  for f in "$interop"/*; do
    # Everything but the corpus description is a PDU.
    [ -f "$f" ] && [ "${f##*.}" != md ] && files+=("$f")
  done
  if [ ${#files[@]} -gt 0 ]; then
    echo
    echo "== rorodire dump $interop/* (${#files[@]} PDUs from operators and handsets)"
    "$tool" dump "${files[@]}" || status=$?
  fi
else
  echo
  echo "(no interop corpus at $interop)"
fi
exit "$status"
