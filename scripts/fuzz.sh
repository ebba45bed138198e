#!/usr/bin/env bash
# Runs every libFuzzer target of a clang build tree for a while each.
#   fuzz.sh BUILD-TREE SECONDS
# Each target keeps its growing corpus in BUILD-TREE/corpus/<target>; a
# committed seed corpus (a fuzz/corpus folder beside the target's source) is
# read as well. A crash stops the run with the fuzzer's report and exit code.
set -euo pipefail
tree=$1
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for fuzzer in "$tree"/bin/*_fuzz; do
    [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer")
    corpus="$tree/corpus/$name"
    mkdir -p "$corpus"
    seeds=()
    src=$(find "$root" -path "$root/build*" -prune -o -name "$name.cpp" -print | head -n 1)
    [ -n "$src" ] && [ -d "$(dirname "$src")/corpus" ] && seeds=("$(dirname "$src")/corpus")
    echo "== $name: ${seconds}s"
    "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "${seeds[@]}" || status=$?
done
exit $status
