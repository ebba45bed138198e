#!/usr/bin/env bash
# Line coverage that each fuzz target's corpus reaches in the source files of
# the parser it exercises, measured with clang's source-based coverage
# (llvm-profdata / llvm-cov) over a separate build tree.
#   fuzz_coverage.sh FUZZ-TREE [COVERAGE-TREE]
# FUZZ-TREE is the tree `make fuzz` ran in (its corpus/<target> folders are
# read, with the committed seeds); COVERAGE-TREE (default FUZZ-TREE-cov) is
# configured and built here. Prints one line per target.
set -euo pipefail
tree=$(cd "$1" && pwd)
cov=${2:-$tree-cov}
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}

# The parser's own files of each target.
declare -A files=(
    [frame_fuzz]="libs/linkcore/framing.cpp"
    [transport_fuzz]="libs/linkcore/linkcore.cpp libs/linkcore/framing.cpp"
    [ft_request_fuzz]="slave/ft_session.cpp slave/ft_protocol.cpp"
    [settings_fuzz]="slave/settings.cpp"
    [reply_fuzz]="tools/ftconsole/ftclient.cpp tools/ftconsole/console_text.cpp"
    [datagram_fuzz]="tools/invserver/server.cpp tools/invserver/stream.cpp scanner/serverlink/protocol.cpp"
    [index_fuzz]="tools/invserver/storage.cpp tools/invserver/query.cpp"
    [replay_fuzz]="scanner/records/replay.cpp scanner/records/itemstream.cpp"
    [mifimport_fuzz]="scanner/mif/mifimport.cpp"
    [devicefile_fuzz]="scanner/driver/devicefile.cpp"
    [xlat_fuzz]="libs/xlat32/xlat_core.cpp"
    [appdb_fuzz]="scanner/software/appdb.cpp scanner/software/learn.cpp"
    [regdata_fuzz]="scanner/hardware/sysres.cpp scanner/hardware/cpu.cpp"
    [linkreply_fuzz]="scanner/serverlink/link.cpp scanner/serverlink/protocol.cpp"
    [agent_verify_fuzz]="agent/verify.cpp agent/security.cpp"
    [agent_data_packet_fuzz]="agent/data_endpoint.cpp agent/send_path.cpp"
    [agent_pipe_fuzz]="agent/settings.cpp"
    [rc_reply_fuzz]="tools/rcconsole/rcproto.cpp tools/rcconsole/rcclient.cpp"
    [screen_decoder_fuzz]="tools/rcconsole/screen_decoder.cpp"
)

if [ ! -f "$cov/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$cov" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_FUZZ=ON \
        -DQV_SANITIZE=OFF -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
        -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
fi
cmake --build "$cov" -j "$jobs" --target fuzz_targets >/dev/null

printf '%-16s %8s %8s %7s  %s\n' TARGET LINES MISSED COVER FILES
for fuzzer in "$cov"/bin/*_fuzz; do
    name=$(basename "$fuzzer")
    [ -n "${files[$name]:-}" ] || continue
    dirs=()
    [ -d "$tree/corpus/$name" ] && dirs+=("$tree/corpus/$name")
    src=$(find "$root" -path "$root/build*" -prune -o -name "$name.cpp" -print | head -n 1)
    if [ -n "$src" ] && [ -d "$(dirname "$src")/corpus/$name" ]; then
        dirs+=("$(dirname "$src")/corpus/$name")
    elif [ -n "$src" ] && [ -n "$(find "$(dirname "$src")/corpus" -maxdepth 1 -type f 2>/dev/null)" ]; then
        dirs+=("$(dirname "$src")/corpus")
    fi
    [ ${#dirs[@]} -gt 0 ] || continue
    rm -f "$cov/$name".*.profraw
    LLVM_PROFILE_FILE="$cov/$name.%p.profraw" "$fuzzer" -runs=0 "${dirs[@]}" >/dev/null 2>&1 || true
    llvm-profdata merge -sparse "$cov/$name".*.profraw -o "$cov/$name.profdata"
    sources=()
    for f in ${files[$name]}; do sources+=("$root/$f"); done
    llvm-cov report "$fuzzer" -instr-profile="$cov/$name.profdata" "${sources[@]}" |
        awk -v n="$name" -v f="${files[$name]}" '/^TOTAL/ { printf "%-16s %8s %8s %7s  %s\n", n, $8, $9, $10, f }'
done
