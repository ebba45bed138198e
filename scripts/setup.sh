#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine (run as root).
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

# `setup.sh fuzz` also installs clang with libFuzzer, for `make fuzz`.
extra=()
[ "${1:-}" = fuzz ] && extra=(clang libclang-rt-14-dev)

pkgs=("${extra[@]}" wine wine32:i386 wine64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
      binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
      cmake ninja-build make g++ googletest libgtest-dev xvfb xauth tmux procps tzdata
      libssl-dev zlib1g-dev libpng-dev libsqlite3-dev libpq-dev
      libcivetweb-dev nlohmann-json3-dev  # the web console's HTTP/WebSocket server and JSON
      postgresql python3-jsonschema      # a PostgreSQL server and a JSON schema validator for the tests
      chromium python3-websocket)        # a headless browser, driven by the web console's tests

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages: ${missing[*]}; run 'sudo scripts/setup.sh'" >&2
    exit 1
fi
echo "setup: installing ${missing[*]}"
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${pkgs[@]}"
