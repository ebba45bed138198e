#!/usr/bin/env bash
# The main job: run the inventory scanner under Wine and show what it wrote.
# Called by `make demo` after the build; uses the test harness's Wine prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
harness="$root/tests/harness/wine.sh"
: "${QV_WINE_DIR:=$root/build/wine}"
export QV_WINE_DIR

"$harness" up
trap '"$harness" down' EXIT
drive_c="$QV_WINE_DIR/prefix/drive_c"
mkdir -p "$drive_c/QVDEMO"

echo "== qviscnnt /O=C:\\QVDEMO\\INVENTRY.TXT /V"
set +e
"$harness" run 'P:\qviscnnt.exe' '/O=C:\QVDEMO\INVENTRY.TXT' /V
rc=$?
set -e
echo "== exit code: $rc"
echo "== C:\\QVDEMO\\INVENTRY.TXT:"
tr -d '\r' < "$drive_c/QVDEMO/INVENTRY.TXT"
echo "== C:\\QVISCAN.CFG:"
tr -d '\r' < "$drive_c/QVISCAN.CFG"
exit $rc
