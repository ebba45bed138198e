#!/usr/bin/env bash
# The agent's CPU use while a viewer watches a static screen: rchost32 runs
# as a service under Wine on an Xvfb screen (1024x768x24 unless given),
# colorwin.exe shows a still window, `rcconsole watch 8 SECONDS` views it,
# and the agent process's user and system CPU time is read from /proc before
# and after.
#   BUILD=build bench/run_rc_idle_cpu.sh [SECONDS [WxH]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$root/${BUILD:-build}" && pwd)
seconds=${1:-30}
size=${2:-1024x768}
harness=$root/tests/harness/wine.sh
export QV_WINE_DIR=$build/wine QV_WIN32_BIN=$build/$("$harness" arch)/bin
# Ports of our own, clear of test runs on this machine (libs/linkcore/WIRE.md).
export LINKCORE_PORT_OFFSET=${LINKCORE_PORT_OFFSET:-3230}

if [ -z "${QV_XVFB_FBDIR:-}" ]; then
    exec "$harness" xvfb 24 "$size" -- "$0" "$seconds" "$size"
fi
host_bin=$build/host/bin
eval "$("$harness" env)"
# shellcheck source=tools/rc_service.sh
. "$root/tools/rc_service.sh"
rc_install
trap 'kill "$window" 2>/dev/null || true; wait "$window" 2>/dev/null || true; rc_uninstall' EXIT
"$harness" run 'P:\colorwin.exe' --log 'C:\colorwin.log' --seconds $((seconds + 60)) >/dev/null 2>&1 &
window=$!
sleep 2
pid=$(rc_agent_pid)
[ -n "$pid" ] || { echo "rchost32.exe not found among the processes" >&2; exit 1; }
ticks=$(getconf CLK_TCK)
cpu() { awk '{ print $14, $15 }' "/proc/$pid/stat"; }  # utime and stime, in clock ticks
# Viewing starts (and the first whole screen goes out) before the count.
"$host_bin/rcconsole" -c "watch 8 $((seconds + 4))" 127.0.0.1 >"$QV_WINE_DIR/rc_idle_watch.txt" 2>&1 &
viewer=$!
sleep 3
before=$(cpu)
start=$(date +%s.%N)
sleep "$seconds"
after=$(cpu)
end=$(date +%s.%N)
wait "$viewer" || true
awk -v b="$before" -v a="$after" -v t="$ticks" -v s="$start" -v e="$end" -v size="$size" 'BEGIN {
    split(b, b2, " "); split(a, a2, " ")
    user = (a2[1] - b2[1]) / t; sys = (a2[2] - b2[2]) / t; wall = e - s
    printf "rchost32 while a viewer watches a static %s screen for %.1f s:\n", size, wall
    printf "  user %.2f s + system %.2f s = %.2f s of CPU, %.1f%% of one core\n", user, sys, user + sys, 100 * (user + sys) / wall }'
tail -n 1 "$QV_WINE_DIR/rc_idle_watch.txt"
