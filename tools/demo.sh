#!/usr/bin/env bash
# The main job: start the inventory server (tools/invserver) on the loopback
# address, run the inventory scanner under Wine against it, and show the
# inventory the server stored (rebuilt from its database) beside the
# scanner's own flat file. Then the remote control side (tools/demo_rc.sh):
# the agent as a service on an Xvfb screen and the console's snapshot of
# that screen as a PNG.
# Called by `make demo` after the build; uses the test harness's Wine prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
harness="$root/tests/harness/wine.sh"
: "${QV_WINE_DIR:=$root/build/wine}"
export QV_WINE_DIR
host_bin="$(dirname "$QV_WINE_DIR")/host/bin"
port=${QV_DEMO_PORT:-5007}
store="$QV_WINE_DIR/invserver-data"

"$harness" up
rm -rf "$store"
rm -f "$QV_WINE_DIR/prefix/drive_c/QVISCAN.CFG"
"$host_bin/invserver" --address=127.0.0.1 --port="$port" --storage="$store" > "$QV_WINE_DIR/invserver.log" 2>&1 &
server=$!
trap 'kill -TERM $server 2>/dev/null || true; wait $server 2>/dev/null || true; "$harness" down' EXIT
for _ in $(seq 50); do [ -f "$store/inventory.db" ] && break; sleep 0.1; done
drive_c="$QV_WINE_DIR/prefix/drive_c"
mkdir -p "$drive_c/QVDEMO"

echo "== invserver listening on 127.0.0.1:$port, storage $store"
echo "== qviscnnt /S=DEMO /NTT127.0.0.1:$port /O=C:\\QVDEMO\\INVENTRY.TXT /V"
set +e
"$harness" run 'P:\qviscnnt.exe' /S=DEMO "/NTT127.0.0.1:$port" '/O=C:\QVDEMO\INVENTRY.TXT' /V
rc=$?
set -e
echo "== exit code: $rc"
echo "== C:\\QVISCAN.CFG:"
tr -d '\r' < "$drive_c/QVISCAN.CFG"
device=$(sed -n 's/^Device ID = DEMO//p' "$drive_c/QVISCAN.CFG" | tr -d '\r')
stored="$QV_WINE_DIR/invserver-flat.txt"
"$host_bin/invserver" flat "dev-$device" --storage="$store" > "$stored" || rc=1
echo "== inventory stored by the server (invserver flat dev-$device --storage=$store):"
tr -d '\r' < "$stored"
if cmp -s "$stored" "$drive_c/QVDEMO/INVENTRY.TXT"; then
    echo "== identical to the scanner's own flat file C:\\QVDEMO\\INVENTRY.TXT"
else
    echo "== DIFFERS from the scanner's flat file C:\\QVDEMO\\INVENTRY.TXT"; rc=1
fi
echo "== server log:"
kill -TERM $server; wait $server 2>/dev/null || true
cat "$QV_WINE_DIR/invserver.log"
echo "== invserver list --storage=$store"
"$host_bin/invserver" list --storage="$store" || rc=1
echo "== invserver find \"OS - Name\" --storage=$store"
"$host_bin/invserver" find "OS - Name" --storage="$store" || rc=1
echo "== invserver list --json --storage=$store"
"$host_bin/invserver" list --json --storage="$store" || rc=1
echo "== remote control: the agent under Wine and Xvfb, the console's snapshot"
"$harness" xvfb 24 1024x768 -- "$root/tools/demo_rc.sh" || rc=1
exit $rc
