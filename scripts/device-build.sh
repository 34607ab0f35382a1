#!/bin/bash
# SPDX-License-Identifier: MIT
# The device binaries: menuhold and menuholdctl for 32-bit big-endian PowerPC (e300c3),
# three ways: dynamically linked against glibc (the device needs glibc >= 2.34 and
# libstdc++; cJSON and zlib are linked in), fully static with glibc, and fully static with
# musl (no runtime dependency, any C library on the device, the smallest). All stripped,
# -Os. Output: dist/powerpc/{dynamic,static,static-musl}/. Run as root (installs the cross
# toolchain).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ppc-deps.sh
scripts/musl-deps.sh

menuhold_limit=400000  # bytes, for the self-contained service

build() {
    local kind=$1
    shift
    cmake --no-warn-unused-cli -S . -B "build-device-$kind" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF "$@" \
        >/dev/null
    cmake --build "build-device-$kind" -j"$(nproc)" >/dev/null
    mkdir -p "dist/powerpc/$kind"
    for program in src/menuhold tools/menuholdctl; do
        powerpc-linux-gnu-strip -o "dist/powerpc/$kind/$(basename $program)" "build-device-$kind/$program"
    done
}
build dynamic -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake -DMENUHOLD_STATIC=OFF
build static -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake -DMENUHOLD_STATIC=ON
build static-musl -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-musl.cmake

# The musl binaries carry Debian's libstdc++ built for glibc: none of its locale and
# iostream code, which reads glibc's internals, may be in them.
for program in src/menuhold tools/menuholdctl; do
    if powerpc-linux-gnu-nm -C "build-device-static-musl/$program" | grep -q 'std::locale'; then
        echo "device-build: $program (musl) links libstdc++'s locale code, which needs glibc" >&2
        exit 1
    fi
done
# No segment may be writable and executable (secure PLT).
for f in dist/powerpc/*/*; do
    if readelf -lW "$f" | grep -qE '^ +LOAD .* RWE '; then
        echo "device-build: $f has a writable and executable segment" >&2
        exit 1
    fi
done

# What each binary asks of the device, as its own headers say: the newest glibc and
# libstdc++ symbol versions it needs, and the oldest kernel its ABI note allows.
newest() { readelf -VW "$1" | grep -oE "$2_[0-9.]+" | sort -uV | tail -n1; }
echo "device binaries: bytes, needs glibc, needs libstdc++, oldest kernel"
for f in dist/powerpc/*/*; do
    kernel=$(readelf -n "$f" | sed -n 's/.*ABI: //p')
    printf '  %-38s %8d  %-12s %-16s %s\n' "$f" "$(stat -c %s "$f")" "$(newest "$f" GLIBC)" \
        "$(newest "$f" GLIBCXX)" "${kernel:-(none stated)}"
done
size=$(stat -c %s dist/powerpc/static-musl/menuhold)
if [ "$size" -gt "$menuhold_limit" ]; then
    echo "device-build: dist/powerpc/static-musl/menuhold is $size bytes, over $menuhold_limit" >&2
    exit 1
fi
