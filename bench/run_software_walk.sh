#!/bin/bash
# Runs the software walk benchmark under Wine on the D: drive of a build
# tree's prefix: bench/run_software_walk.sh [BUILD-DIR] (default build).
set -e
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
export QV_WINE_DIR=$build/wine QV_WIN32_BIN=$build/$("$here/../tests/harness/wine.sh" arch)/bin
fixture=$QV_WINE_DIR/drives/d/SWBENCH
[ -f "$fixture/QVAPPL.INI" ] || python3 "$here/make_software_fixture.py" "$fixture"
"$here/../tests/harness/wine.sh" up
"$here/../tests/harness/wine.sh" run 'P:\bench_software_walk.exe' 'D:\SWBENCH\TREE\' 'D:\SWBENCH\QVAPPL.INI'
