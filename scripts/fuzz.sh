#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds
# (default 30) from its seed corpus.  scripts/fuzz.sh [seconds] [target-regex]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
only=${2:-.}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAMELO_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
targets=$(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//' | grep -E "$only")
cmake --build build-fuzz -j2 --target $targets
failed=0
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
for t in $targets; do
    corpus=$(mktemp -d)
    [ -d "fuzz/corpus/$t" ] && cp -r "fuzz/corpus/$t/." "$corpus/"
    echo "== $t: ${seconds}s"
    if ! (cd build-fuzz && fuzz/"$t" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
            -print_final_stats=0 "$corpus" 2>"$t.log"); then
        tail -40 "build-fuzz/$t.log"
        failed=1
    else
        grep -E "^(#[0-9]+|Done)" "build-fuzz/$t.log" | tail -1 || true
    fi
    rm -rf "$corpus"
done
exit $failed
