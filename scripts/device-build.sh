#!/bin/bash
# The device binaries: menuhold and menuholdctl for 32-bit big-endian PowerPC (e300c3),
# once dynamically linked (needs glibc >= 2.34 and libstdc++ on the device; cJSON and zlib
# are linked in) and once fully static (no runtime dependency). Both stripped, -Os.
# Output: dist/powerpc/{dynamic,static}/. Run as root (installs the cross toolchain).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ppc-deps.sh

for kind in dynamic static; do
    static=OFF
    [ "$kind" = static ] && static=ON
    cmake -S . -B "build-device-$kind" -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DMENUHOLD_TESTS=OFF -DMENUHOLD_STATIC=$static >/dev/null
    cmake --build "build-device-$kind" -j"$(nproc)" >/dev/null
    mkdir -p "dist/powerpc/$kind"
    for program in src/menuhold tools/menuholdctl; do
        powerpc-linux-gnu-strip -o "dist/powerpc/$kind/$(basename $program)" "build-device-$kind/$program"
    done
done
echo "device binaries (bytes):"
for f in dist/powerpc/*/*; do
    printf '  %-36s %8d  %s\n' "$f" "$(stat -c %s "$f")" "$(file -b "$f" | cut -d, -f1-2,4)"
done
