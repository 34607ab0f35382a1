#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) and runs each for
# SECONDS (default 60) inside tests/sandbox, starting from the seeds in tests/fuzz/seeds.
# Prints the executions of each run; exits non-zero on any finding. Run as root.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/deps.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DMENUHOLD_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
top=$PWD
for target in version; do
    dict=()
    [ -f "tests/fuzz/$target.dict" ] && dict=(-dict="$top/tests/fuzz/$target.dict")
    log=$(mktemp)
    # The corpus lives in the sandbox's own /tmp and goes with it.
    if ! tests/sandbox bash -c "mkdir -p /tmp/corpus && cp -r '$top/tests/fuzz/seeds/$target/.' /tmp/corpus/ && \
        cd /mnt/work && '$top/build-fuzz/tests/fuzz/fuzz_$target' -max_total_time=$seconds -max_len=4096 \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 ${dict[*]} /tmp/corpus" >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz: fuzz_$target found a problem" >&2
        exit 1
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n1)
    echo "fuzz: fuzz_$target ${seconds}s: $runs executions, $cov, 0 findings"
    rm -f "$log"
done
