#!/usr/bin/env bash
# The Wine test harness: one prefix of our own inside the build tree (never
# ~/.wine), drive Z: removed so nothing depends on the Linux file system, and
# the folders the tests need mapped as drives:
#   C:  the prefix's own drive_c (first fixed drive; QVISCAN.CFG lives here)
#   D:  $QV_WINE_DIR/drives/d   fixed drive for fixture trees
#   E:  $QV_WINE_DIR/drives/e   removable drive (typed "floppy")
#   N:  $QV_WINE_DIR/drives/n   network drive
#   P:  $QV_WIN32_BIN           the programs, their DLLs and help file (network drive)
#   W:  $QV_WIN32_BIN/../wtests the unit tests that run under Wine (network drive)
# The programs are the i686 build run by the 32-bit loader where this machine
# can execute 32-bit code; where it cannot (a kernel without 32-bit support),
# they are the x86_64 build run by wine64. QV_WINE_ARCH (win32 | win64) says
# which; `wine.sh arch` prints what this machine supports.
# Drive links are made before the wineserver starts (Wine reads them at start);
# one wineserver is kept alive with -p while the tests run.
#
#   wine.sh up | down | env
#   wine.sh run DOS-PATH [ARGS...]      run a program in the prefix
#   wine.sh run-unix UNIX-PATH [ARGS...] run a unit test built into wtests/
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
: "${QV_WINE_DIR:=$root/build/wine}"

export WINEPREFIX="$QV_WINE_DIR/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY || true

wine32_loader=$(command -v wine || echo /usr/lib/wine/wine)
wine64_bin=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver_bin=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# win32 when the 32-bit loader runs here, win64 otherwise.
native_arch() {
    if "$wine32_loader" --version >/dev/null 2>&1; then echo win32; else echo win64; fi
}
: "${QV_WINE_ARCH:=$(native_arch)}"
if [ "$QV_WINE_ARCH" = win64 ]; then wine_bin=$wine64_bin; else wine_bin=$wine32_loader; fi
if [ "${1:-}" = arch ]; then native_arch; exit 0; fi
: "${QV_WIN32_BIN:=$root/build/$QV_WINE_ARCH/bin}"

mkdir -p "$QV_WINE_DIR"
QV_WINE_DIR=$(cd "$QV_WINE_DIR" && pwd)

wtests_dir() { echo "$(dirname "$QV_WIN32_BIN")/wtests"; }

link_drive() { # letter target
    mkdir -p "$2"
    ln -sfn "$2" "$WINEPREFIX/dosdevices/$1:"
}

create_prefix() {
    echo "harness: creating Wine prefix in $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    "$wine_bin" wineboot --init >/dev/null 2>&1 || true
    "$wineserver_bin" -w
    # Headless windows need the null graphics driver; extra drives get their types.
    "$wine_bin" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    for d in "e:floppy" "n:network" "p:network" "w:network"; do
        "$wine_bin" reg add 'HKLM\Software\Wine\Drives' /v "${d%%:*}:" /d "${d#*:}" /f >/dev/null 2>&1 || true
        "$wine64_bin" reg add 'HKLM\Software\Wine\Drives' /v "${d%%:*}:" /d "${d#*:}" /f >/dev/null 2>&1 || true
    done
    "$wineserver_bin" -w
    touch "$WINEPREFIX/.qv-ready"
}

up() {
    [ -f "$WINEPREFIX/.qv-ready" ] || create_prefix
    "$wineserver_bin" -k 2>/dev/null || true
    "$wineserver_bin" -w 2>/dev/null || true
    rm -f "$WINEPREFIX/dosdevices/z:"
    link_drive d "$QV_WINE_DIR/drives/d"
    link_drive e "$QV_WINE_DIR/drives/e"
    link_drive n "$QV_WINE_DIR/drives/n"
    link_drive p "$QV_WIN32_BIN"
    link_drive w "$(wtests_dir)"
    # The server outlives this script: keep it off the caller's pipes, or a
    # caller that waits for end of output (ctest) waits for the server.
    "$wineserver_bin" -p </dev/null >/dev/null 2>&1
    # Warm the prefix so the first test does not pay the cold start.
    "$wine_bin" cmd /c exit >/dev/null 2>&1 || true
}

down() {
    "$wineserver_bin" -k 2>/dev/null || true
    "$wineserver_bin" -w 2>/dev/null || true
}

cmd=${1:-}
shift || true
case "$cmd" in
    up) up ;;
    down) down ;;
    env)
        echo "export WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='"
        echo "export QV_WINE='$wine_bin' QV_WINE_ARCH='$QV_WINE_ARCH'" ;;
    # Wine hands the Unix environment to Windows programs: give them a small
    # fixed one, so that what they see does not depend on this machine.
    run) exec env -i HOME="${HOME:-/root}" USER="${USER:-root}" PATH=/usr/bin:/bin LANG=C.UTF-8 TERM="${TERM:-dumb}" \
             TZ="${TZ:-UTC}" WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="$WINEDLLOVERRIDES" \
             "$wine_bin" "$@" ;;
    run-unix)
        exe=$1; shift
        exec "$wine_bin" "W:\\$(basename "$exe")" "$@" ;;
    *) echo "usage: $0 up|down|env|arch|run DOS-PATH [ARGS]|run-unix PATH [ARGS]" >&2; exit 2 ;;
esac
