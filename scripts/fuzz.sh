#!/usr/bin/env bash
# Runs every libFuzzer target of a clang build tree (or the ones named) for
# a while each.
#   fuzz.sh BUILD-TREE SECONDS [TARGET...]
# Each target keeps its growing corpus in BUILD-TREE/corpus/<target>; its
# committed seeds (fuzz/corpus/<target>, or fuzz/corpus, beside the target's
# source) are read as well, and its dictionary (<target>.dict beside the
# source) is used when there is one. A crash is reported with the fuzzer's
# report; the run goes on with the next target and ends with a failure.
set -euo pipefail
tree=$1
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
shift $(( $# < 2 ? $# : 2 ))
fuzzers=("$tree"/bin/*_fuzz)
[ $# -gt 0 ] && fuzzers=("${@/#/$tree/bin/}")
for fuzzer in "${fuzzers[@]}"; do
    [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer")
    corpus="$tree/corpus/$name"
    mkdir -p "$corpus"
    seeds=()
    dict=()
    src=$(find "$root" -path "$root/build*" -prune -o -name "$name.cpp" -print | head -n 1)
    if [ -n "$src" ]; then
        dir=$(dirname "$src")
        if [ -d "$dir/corpus/$name" ]; then
            seeds=("$dir/corpus/$name")
        elif [ -n "$(find "$dir/corpus" -maxdepth 1 -type f 2>/dev/null)" ]; then
            seeds=("$dir/corpus")
        fi
        [ -f "$dir/$name.dict" ] && dict=("-dict=$dir/$name.dict")
    fi
    echo "== $name: ${seconds}s"
    "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" "$corpus" "${seeds[@]}" || status=$?
done
exit $status
