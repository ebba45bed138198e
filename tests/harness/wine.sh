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
#   wine.sh xvfb DEPTH [WIDTHxHEIGHT] -- CMD [ARGS...]
#       run CMD with an X screen: Xvfb on a free display (black root,
#       1024x768 unless given), DISPLAY and QV_XVFB_FBDIR (the folder
#       holding Xvfb_screen0, the screen as an XWD file) exported, the prefix
#       switched to the X11 driver and DISPLAY put into its system environment
#       so that services see it too. Afterwards (also on failure or a signal)
#       the prefix gets its headless settings back, Xvfb is stopped and its
#       folder removed. The exit status is CMD's.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
: "${QV_WINE_DIR:=$root/build/wine}"

export WINEPREFIX="$QV_WINE_DIR/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# Programs get an X display only inside `wine.sh xvfb`, never the caller's.
if [ -n "${QV_XVFB_DISPLAY:-}" ]; then export DISPLAY=$QV_XVFB_DISPLAY; else unset DISPLAY || true; fi

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

# Keys that say which graphics driver the prefix uses and what services see.
drivers_key='HKCU\Software\Wine\Drivers'
sysenv_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'

restart_server() {
    "$wineserver_bin" -k 2>/dev/null || true
    "$wineserver_bin" -w 2>/dev/null || true
    "$wineserver_bin" -p </dev/null >/dev/null 2>&1
}

xvfb() { # DEPTH [WIDTHxHEIGHT] -- CMD...
    local depth=${1:-} size=1024x768
    shift || true
    if [ "${1:-}" != "--" ]; then size=${1:-}; shift || true; fi
    if [ "${1:-}" != "--" ] || [ $# -lt 2 ] || ! [[ "$depth" =~ ^[0-9]+$ ]] || ! [[ "$size" =~ ^[0-9]+x[0-9]+$ ]]; then
        echo "usage: $0 xvfb DEPTH [WIDTHxHEIGHT] -- CMD [ARGS...]" >&2; return 2
    fi
    shift
    command -v Xvfb >/dev/null || { echo "harness: Xvfb is not installed" >&2; return 2; }
    [ -f "$WINEPREFIX/.qv-ready" ] || up
    # Globals: the EXIT trap runs after this function has returned.
    xv_tmp="" xv_xpid="" xv_cpid="" xv_n=""
    local rc=0 i
    xv_tmp=$(mktemp -d "${TMPDIR:-/tmp}/qv-xvfb.XXXXXX")
    mkdir "$xv_tmp/fb"
    xvfb_cleanup() {
        trap - EXIT INT TERM HUP
        set +e
        [ -n "$xv_cpid" ] && kill "$xv_cpid" 2>/dev/null && wait "$xv_cpid" 2>/dev/null
        if [ -n "$xv_n" ]; then # back to the headless prefix
            env -u DISPLAY "$wine_bin" reg delete "$sysenv_key" /v DISPLAY /f >/dev/null 2>&1 || true
            env -u DISPLAY "$wine_bin" reg add "$drivers_key" /v Graphics /d null /f >/dev/null 2>&1 || true
            "$wineserver_bin" -k 2>/dev/null || true
            "$wineserver_bin" -w 2>/dev/null || true
        fi
        [ -n "$xv_xpid" ] && kill "$xv_xpid" 2>/dev/null && wait "$xv_xpid" 2>/dev/null
        rm -rf "$xv_tmp"
        if [ -n "$xv_n" ]; then
            "$wineserver_bin" -p </dev/null >/dev/null 2>&1
            # Boot the prefix here, off the caller's pipes: services.exe and
            # the other resident processes keep the standard handles of the
            # program that started them, and a caller that waits for the end
            # of output (ctest) would wait for them.
            env -u DISPLAY "$wine_bin" cmd /c exit </dev/null >/dev/null 2>&1 || true
        fi
        return 0
    }
    trap 'xvfb_cleanup' EXIT
    trap 'exit 129' HUP; trap 'exit 130' INT; trap 'exit 143' TERM
    # -displayfd: Xvfb picks a free display itself and writes its number
    # once it accepts connections.
    : >"$xv_tmp/display"
    Xvfb -displayfd 3 -screen 0 "${size}x$depth" -br -fbdir "$xv_tmp/fb" -nolisten tcp \
        3>"$xv_tmp/display" </dev/null >"$xv_tmp/xvfb.log" 2>&1 &
    xv_xpid=$!
    for ((i = 0; i < 200; i++)); do
        xv_n=$(tr -dc 0-9 <"$xv_tmp/display" || true)
        [ -n "$xv_n" ] && break
        kill -0 "$xv_xpid" 2>/dev/null || break
        sleep 0.05
    done
    if [ -z "$xv_n" ]; then
        echo "harness: Xvfb did not start:" >&2; cat "$xv_tmp/xvfb.log" >&2; return 2
    fi
    export DISPLAY=":$xv_n" QV_XVFB_DISPLAY=":$xv_n" QV_XVFB_FBDIR="$xv_tmp/fb"
    "$wine_bin" reg add "$drivers_key" /v Graphics /d x11 /f >/dev/null 2>&1
    "$wine_bin" reg add "$sysenv_key" /v DISPLAY /d ":$xv_n" /f >/dev/null 2>&1
    # services.exe reads the system environment when it starts.
    restart_server
    "$wine_bin" cmd /c exit </dev/null >/dev/null 2>&1 || true
    # In the background so that a signal reaches this shell while CMD runs.
    "$@" <&0 &
    xv_cpid=$!
    wait "$xv_cpid" || rc=$?
    xv_cpid=""
    return "$rc"
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
             TZ="${TZ:-UTC}" ${DISPLAY:+DISPLAY="$DISPLAY"} WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="$WINEDLLOVERRIDES" \
             "$wine_bin" "$@" ;;
    run-unix)
        exe=$1; shift
        exec "$wine_bin" "W:\\$(basename "$exe")" "$@" ;;
    xvfb) xvfb "$@"; exit $? ;;
    *) echo "usage: $0 up|down|env|arch|run DOS-PATH [ARGS]|run-unix PATH [ARGS]|xvfb DEPTH [WxH] -- CMD [ARGS]" >&2; exit 2 ;;
esac
