#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan), cJSON compiled in from the Debian
# source that scripts/ppc-deps.sh fetches, and runs each for SECONDS (default 30) inside scripts/sandbox,
# starting from its seeds in tests/data/fuzz-seeds. Prints one line per target, "fuzz: fuzz_NAME ...: N
# executions, ..., 0 findings" or "fuzz: fuzz_NAME found a problem" after its report; exits non-zero when
# any target found one. Run as root.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/deps.sh clang libclang-rt-14-dev
scripts/ppc-deps.sh >/dev/null
top=$PWD
cjson=$(find "$top/build-ppc-deps/src" -maxdepth 1 -type d -name 'cjson-*' | head -n1)
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DMENUHOLD_FUZZ=ON -DBUILD_TESTING=OFF \
    -DMENUHOLD_CJSON_SOURCE="$cjson" >/dev/null
status=0
for target in version product_file request; do
    log=$(mktemp)
    # The corpus lives in the sandbox's own /tmp and goes with it.
    if scripts/sandbox bash -c "mkdir -p /tmp/corpus && cp -r '$top/tests/data/fuzz-seeds/$target/.' /tmp/corpus/ && \
        cd /mnt/work && '$top/build-fuzz/tests/fuzz/fuzz_$target' -max_total_time=$seconds -max_len=4096 \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 /tmp/corpus" >"$log" 2>&1; then
        runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
        cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n1)
        echo "fuzz: fuzz_$target ${seconds}s: $runs executions, $cov, 0 findings"
    else
        tail -n 40 "$log"
        echo "fuzz: fuzz_$target found a problem"
        status=1
    fi
    rm -f "$log"
done
exit $status
