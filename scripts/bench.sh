#!/bin/bash
# SPDX-License-Identifier: MIT
# The benchmark: builds menuhold as shipped (-Os), then measures it against its floors
# for N = 10, 1000 and 10000 held products, with uniform and with varied names, inside
# scripts/sandbox and a PID namespace of its own (so that "spawned" counts every process or
# thread the service starts), and its gzip copy against gzip -6 of the same history file.
# Prints tables; writes bench/results.json. Run as root.
#   scripts/bench.sh [--sizes 10,100]
#   scripts/bench.sh --ppc [--sizes 10,1000]
#       the service cross-built for the device's PowerPC e300c3 and run under
#       qemu-ppc -cpu e300c3 (needs build-ppc-deps, see scripts/ppc-deps.sh); the client
#       and the floors stay native, so only the ratios between sizes mean something.
#       Writes bench/results-ppc.json.
set -euo pipefail
cd "$(dirname "$0")/.."
ppc=false
if [ "${1:-}" = --ppc ]; then
    ppc=true
    shift
fi
scripts/deps.sh
scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
strip -o build-bench/menuhold.stripped build-bench/src/menuhold
service=build-bench/src/menuhold
results=bench/results.json
if $ppc; then
    scripts/build.sh build-bench-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
    service=build-bench-ppc/menuhold-qemu
    printf '#!/bin/sh\nexec qemu-ppc -cpu e300c3 -L /usr/powerpc-linux-gnu "%s" "$@"\n' \
        "$PWD/build-bench-ppc/src/menuhold" >"$service"
    chmod +x "$service"
    results=bench/results-ppc.json
fi
# A freshly linked binary's pages are still dirty in the page cache, and a process that
# maps them counts them as its own Private_Dirty: write them back first.
sync
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(uname -r)$($ppc && echo ", service under qemu-ppc -cpu e300c3")"
exec unshare --pid --fork --mount-proc scripts/sandbox build-bench/bench/menuhold_bench \
    --menuhold "$service" --size-of build-bench/menuhold.stripped --json "$results" "$@"
