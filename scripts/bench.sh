#!/bin/bash
# The benchmark: builds menuhold as shipped (-Os), then measures it against its floors
# for N = 10, 100, 1000 and 10000 held products, inside tests/sandbox and a PID
# namespace of its own (so that "spawned" counts every process or thread the service
# starts). Prints a table; writes bench/results.json. Run as root.
#   scripts/bench.sh [--sizes 10,100]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=MinSizeRel -DMENUHOLD_TESTS=OFF >/dev/null
strip -o build-bench/menuhold.stripped build-bench/src/menuhold
# A freshly linked binary's pages are still dirty in the page cache, and a process that
# maps them counts them as its own Private_Dirty: write them back first.
sync
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(uname -r)"
exec unshare --pid --fork --mount-proc tests/sandbox build-bench/bench/menuhold_bench \
    --menuhold build-bench/src/menuhold --size-of build-bench/menuhold.stripped --json bench/results.json "$@"
