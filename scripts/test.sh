#!/bin/bash
# Every test: installs what is missing, then builds and runs the whole suite (unit tests
# and end-to-end tests, each in a private mount namespace) three times: natively, with
# AddressSanitizer + UndefinedBehaviorSanitizer, and cross-built for the device's PowerPC
# e300c3 under qemu-ppc; then a bounded run of each fuzz target. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/web-deps.sh

echo "== build and test: native"
scripts/build.sh build -DMENUHOLD_TESTS=ON
(cd build && ctest -j"$(nproc)" --output-on-failure)

echo "== build and test: AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DMENUHOLD_TESTS=ON -DMENUHOLD_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=4 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest -j"$(nproc)" --output-on-failure)

echo "== cross-build for PowerPC e300c3 and test under qemu-ppc -cpu e300c3"
scripts/ppc-deps.sh
scripts/build.sh build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake -DMENUHOLD_TESTS=ON
(cd build-ppc && ctest -j"$(nproc)" --output-on-failure)

echo "== fuzz: a bounded run of each libFuzzer target"
scripts/fuzz.sh "${MENUHOLD_FUZZ_SECONDS:-60}"
