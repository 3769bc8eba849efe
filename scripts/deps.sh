#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when one is
# missing (the machines run as root). Usage: scripts/deps.sh [build|run|test]
set -euo pipefail
mode="${1:-build}"
need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

have_cmd cmake || need+=(cmake)
have_cmd ninja || need+=(ninja-build)
have_cmd g++ || need+=(g++)
have_cmd pkg-config || need+=(pkg-config)
# Names through the bearer's own DNS servers.
have_pkg libc-ares-dev || need+=(libc-ares-dev)
have_pkg libglib2.0-dev || need+=(libglib2.0-dev)
# The tool's compose command guesses content types from the shared MIME database.
have_pkg shared-mime-info || need+=(shared-mime-info)
have_pkg libsoup-3.0-dev || need+=(libsoup-3.0-dev)  # the development relay of the tool
# rorodired's bus skeletons are generated from its interface files.
have_cmd gdbus-codegen || need+=(libglib2.0-dev-bin)
have_cmd scdoc || need+=(scdoc)  # the man pages are generated in the build
if [ "$mode" = run ] || [ "$mode" = test ]; then
  have_cmd tinyproxy || need+=(tinyproxy)
fi
if [ "$mode" = test ]; then
  have_pkg libgtest-dev || need+=(libgtest-dev)
  have_pkg libgmock-dev || need+=(libgmock-dev)
  have_pkg libbenchmark-dev || need+=(libbenchmark-dev)
  have_pkg libxml2-dev || need+=(libxml2-dev)  # baseline of the parser benchmark
  have_cmd tshark || need+=(tshark)
  have_cmd tinyproxy || need+=(tinyproxy)
  have_cmd chromium || need+=(chromium)
  have_cmd python3 || need+=(python3)
  have_cmd clang++ || need+=(clang)
  have_pkg libclang-rt-14-dev || need+=(libclang-rt-14-dev)
  # rorodired's test: a private bus, a client with Python's GLib bindings, and
  # the provider database its Provider setting reads.
  have_cmd dbus-daemon || need+=(dbus-daemon)
  have_pkg python3-gi || need+=(python3-gi)
  have_pkg mobile-broadband-provider-info || need+=(mobile-broadband-provider-info)
  # the stand-in ModemManager exports ModemManager's own interface files
  have_pkg modemmanager-dev || need+=(modemmanager-dev)
  # The man page test renders each page with man and groff.
  have_cmd man || need+=(man-db)
  have_cmd groff || need+=(groff-base)
  # Whole-system tests: the real chatty under Xvfb, mmsd-tng as the reference,
  # dnsmasq as the operator's DNS server inside test namespaces, iproute2 for
  # the namespaces; gcovr for scripts/coverage.sh.
  have_cmd chatty || need+=(chatty)
  have_cmd Xvfb || need+=(xvfb)
  have_cmd xvfb-run || need+=(xvfb)
  have_cmd dbus-monitor || need+=(dbus-bin)  # what chatty asks of rorodired, in its test
  have_cmd mmsdtng || need+=(mmsd-tng)
  have_cmd dnsmasq || need+=(dnsmasq-base)
  have_cmd ip || need+=(iproute2)
  have_cmd gcovr || need+=(gcovr)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi
