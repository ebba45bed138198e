#!/usr/bin/env bash
# Starts KSLAVE.exe under Wine (the test harness's prefix) and measures file
# transfer throughput on loopback, first over TCP/IP, then over IPX-over-UDP.
#   BUILD=build bench/run_ft_throughput.sh [MB]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$root/${BUILD:-build}" && pwd)
mb=${1:-20}
export QV_WINE_DIR=$build/wine QV_WIN32_BIN=$build/$("$root/tests/harness/wine.sh" arch)/bin
harness=$root/tests/harness/wine.sh
# Ports of our own, clear of test runs on this machine (libs/linkcore/WIRE.md).
export LINKCORE_PORT_OFFSET=${LINKCORE_PORT_OFFSET:-3210}
"$harness" up
eval "$("$harness" env)"
for form in tcpip ipx; do
    "$QV_WINE" 'P:\KSLAVE.exe' "$form" >/dev/null 2>&1 &
    slave=$!
    sleep 2
    opt=()
    [ "$form" = ipx ] && opt=(--ipx)
    "$build/host/bin/ft_throughput" "${opt[@]}" --mb "$mb" 127.0.0.1 'D:\ftbench.bin' || true
    "$build/host/bin/ftconsole" "${opt[@]}" -c quit 127.0.0.1 >/dev/null 2>&1 || true
    wait "$slave" || true
done
