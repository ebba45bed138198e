#!/usr/bin/env bash
# Starts KSLAVE.exe under Wine (the test harness's prefix) and measures file
# transfer throughput on loopback over TCP/IP and over IPX-over-UDP, each
# without and with a site key, in the same run.
#   BUILD=build [FORMS="tcpip ipx"] bench/run_ft_throughput.sh [MB]
# The keyed slave finds its key through a QVCLIENT.INI of its own
# (SMS_LOCAL_DIR=C:\ftbench, [Transport] SiteKeyFile), so that no key is
# left beside the programs for the tests.
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
bench_dir=$QV_WINE_DIR/prefix/drive_c/ftbench
rm -rf "$bench_dir"
mkdir -p "$bench_dir"
"$build/host/bin/ftconsole" keygen "$bench_dir/site.key" >/dev/null
printf '[Transport]\r\nSiteKeyFile=C:\\ftbench\\site.key\r\n' >"$bench_dir/QVCLIENT.INI"
trap 'rm -rf "$bench_dir"' EXIT
for form in ${FORMS:-tcpip ipx}; do
    for keyed in no yes; do
        env=() key=() opt=()
        if [ "$keyed" = yes ]; then
            env=(SMS_LOCAL_DIR='C:\ftbench')
            key=(--key-file "$bench_dir/site.key")
        fi
        [ "$form" = ipx ] && opt=(--ipx)
        env "${env[@]}" "$QV_WINE" 'P:\KSLAVE.exe' "$form" >/dev/null 2>&1 &
        slave=$!
        sleep 2
        "$build/host/bin/ft_throughput" "${opt[@]}" "${key[@]}" --mb "$mb" 127.0.0.1 'D:\ftbench.bin' || true
        # A datagram endpoint takes a new caller once the last one was silent
        # for 30 s: the console waits that long to end the slave.
        "$build/host/bin/ftconsole" "${opt[@]}" "${key[@]}" --timeout 12000 -c quit 127.0.0.1 >/dev/null 2>&1 || true
        wait "$slave" || true
        echo
    done
done
