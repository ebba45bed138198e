#!/bin/bash
# Runs the capture benchmark under Wine on a 1920x1080x24 Xvfb screen:
# bench/run_capture_bench.sh [BUILD-DIR] [ROUNDS] (default build, 50).
set -e
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
export QV_WINE_DIR=$build/wine QV_WIN32_BIN=$build/$("$here/../tests/harness/wine.sh" arch)/bin
"$here/../tests/harness/wine.sh" up
"$here/../tests/harness/wine.sh" xvfb 24 1920x1080 -- \
    "$here/../tests/harness/wine.sh" run 'P:\bench_capture.exe' "${2:-50}"
"$here/../tests/harness/wine.sh" down
