#!/usr/bin/env bash
# The remote control part of the main job, run by tools/demo.sh inside
# `tests/harness/wine.sh xvfb 24`: the agent installed and started as a
# service on the X screen, a window of known colours on it, and the
# console's snapshot of that screen written as a PNG.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
harness="$root/tests/harness/wine.sh"
host_bin="$(dirname "$QV_WINE_DIR")/host/bin"
: "${QV_WIN32_BIN:=$(dirname "$QV_WINE_DIR")/$("$harness" arch)/bin}"
export QV_WIN32_BIN
# QV_DEMO_RC_OFFSET shifts the agent's ports (LINKCORE_PORT_OFFSET) away from 1761/1762.
export LINKCORE_PORT_OFFSET=${QV_DEMO_RC_OFFSET:-0}
eval "$("$harness" env)"
# shellcheck source=tools/rc_service.sh
. "$root/tools/rc_service.sh"
png="$QV_WINE_DIR/demo-screen.png"

echo "== rchost32 installed as the service \"Brekon RCHOST Agent\" (C:\\rchost\\install.cmd /INTERACTIVE TCPIP), X screen $DISPLAY"
rc_install
trap 'kill "$window" 2>/dev/null || true; wait "$window" 2>/dev/null || true; rc_uninstall' EXIT
echo "== service state: $(rc_state)"
rm -f "$(rc_drive_c)/colorwin.log"
"$harness" run 'P:\colorwin.exe' --log 'C:\colorwin.log' --seconds 120 >/dev/null 2>&1 &
window=$!
for _ in $(seq 100); do grep -q ready "$(rc_drive_c)/colorwin.log" 2>/dev/null && break; sleep 0.1; done
sleep 0.5
echo "== rcconsole snapshot 127.0.0.1 $png"
rm -f "$png"
"$host_bin/rcconsole" snapshot 127.0.0.1 "$png"
echo "== the agent's screen as the console saw it: $png"
