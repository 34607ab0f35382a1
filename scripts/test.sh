#!/bin/bash
# SPDX-License-Identifier: MIT
# Every test: installs what is missing, then builds and runs the whole suite (unit tests,
# end-to-end tests and browser tests, each in a private mount namespace) four times:
# natively, with AddressSanitizer + UndefinedBehaviorSanitizer, and cross-built for the
# device's PowerPC e300c3 under qemu-ppc, once against glibc and once statically against
# musl as shipped; the packaging recipes' builds replayed (packaging/replay.sh); then a
# bounded run of each fuzz target.
# Ends with one line "suite: N passed, N failed". Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/web-deps.sh

passed=0
failed=0
pass_started=$SECONDS
# Prints how long the pass that has just ended took; the next one starts now.
end_pass() {
    echo "== $1: $((SECONDS - pass_started)) s"
    pass_started=$SECONDS
}
# Runs CTest in a build directory and adds its counts to the totals.
run_ctest() {
    local dir=$1 log
    shift
    log=$(mktemp)
    local status=0
    (cd "$dir" && env "$@" ctest -j"$(nproc)" --output-on-failure) 2>&1 | tee "$log" || status=$?
    local line
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n1 || true)
    rm -f "$log"
    if [ -z "$line" ]; then
        echo "test.sh: ctest in $dir gave no summary" >&2
        failed=$((failed + 1))
        return
    fi
    local bad total
    bad=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+)/\1/')
    total=$(echo "$line" | sed -E 's/.* out of ([0-9]+)/\1/')
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    [ "$status" -eq 0 ] || [ "$bad" -gt 0 ] || failed=$((failed + 1))
}

echo "== build and test: native"
scripts/build.sh build -DBUILD_TESTING=ON -DMENUHOLD_WERROR=ON
run_ctest build
end_pass "native"

echo "== build and test: AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DBUILD_TESTING=ON -DMENUHOLD_WERROR=ON -DMENUHOLD_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
run_ctest build-asan ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=4 UBSAN_OPTIONS=print_stacktrace=1
end_pass "sanitizers"

echo "== cross-build for PowerPC e300c3 and test under qemu-ppc -cpu e300c3"
scripts/ppc-deps.sh
scripts/build.sh build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake -DBUILD_TESTING=ON -DMENUHOLD_WERROR=ON
run_ctest build-ppc
end_pass "PowerPC, glibc"

echo "== packaging: the Buildroot, Yocto and OpenWrt builds replayed for PowerPC, and the .deb"
log=$(mktemp)
packaging/replay.sh build-replay 2>&1 | tee "$log" || true
line=$(grep -E '^replay: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -n1 || true)
rm -f "$log"
if [ -n "$line" ]; then
    passed=$((passed + $(echo "$line" | sed -E 's/replay: ([0-9]+) passed.*/\1/')))
    failed=$((failed + $(echo "$line" | sed -E 's/.* ([0-9]+) failed/\1/')))
else
    echo "test.sh: the packaging replay gave no summary" >&2
    failed=$((failed + 1))
fi
end_pass "packaging"

echo "== cross-build for PowerPC e300c3 against musl, static and -Os as shipped, and test under qemu-ppc -cpu e300c3"
scripts/musl-deps.sh
scripts/build.sh build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-musl.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DBUILD_TESTING=ON -DMENUHOLD_WERROR=ON
run_ctest build-musl
end_pass "PowerPC, musl"

echo "== fuzz: a bounded run of each libFuzzer target"
fuzz_log=$(mktemp)
scripts/fuzz.sh "${MENUHOLD_FUZZ_SECONDS:-30}" 2>&1 | tee "$fuzz_log" || true
# Each target counts once; a run that reached no target (a build failure) counts as one failure.
passed=$((passed + $(grep -c '^fuzz: fuzz_.* 0 findings$' "$fuzz_log" || true)))
failed=$((failed + $(grep -c '^fuzz: fuzz_.* found a problem$' "$fuzz_log" || true)))
grep -q '^fuzz: fuzz_' "$fuzz_log" || failed=$((failed + 1))
rm -f "$fuzz_log"
end_pass "fuzz"

echo "suite: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
