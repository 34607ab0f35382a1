#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the device's dependencies, cJSON and zlib, for 32-bit big-endian PowerPC (e300c3)
# from Debian's own source packages (Debian 12 publishes no powerpc binaries), as static
# libraries in build-ppc-deps/prefix. Installs the cross toolchain and qemu if missing.
# A second run with the prefix in place does nothing. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
work=$top/build-ppc-deps
prefix=$work/prefix
flags="-O2 -mcpu=e300c3 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64"

scripts/deps.sh g++-powerpc-linux-gnu qemu-user dpkg-dev
zlib_version=$(dpkg-query -W -f='${Version}' zlib1g-dev)
stamp="cjson $(dpkg-query -W -f='${Version}' libcjson-dev) zlib $zlib_version"
if [ -f "$prefix/.stamp" ] && [ "$(cat "$prefix/.stamp")" = "$stamp" ]; then
    exit 0
fi
# Only what this script makes: scripts/musl-deps.sh keeps its own prefix next to it.
rm -rf "$work/src" "$work/cjson-build" "$prefix"
mkdir -p "$work/src" "$prefix"

# Source packages, through a temporary deb-src entry derived from debian.sources.
extra=/etc/apt/sources.list.d/menuhold-deb-src.sources
trap 'rm -f "$extra"' EXIT
sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$extra"
apt-get update -qq
(cd "$work/src" && apt-get source -qq cjson >/dev/null)
(cd "$work/src" && apt-get source -qq "zlib=$zlib_version" >/dev/null)
rm -f "$extra"
trap - EXIT

cjson_src=$(find "$work/src" -maxdepth 1 -type d -name 'cjson-*' | head -n1)
zlib_src=$(find "$work/src" -maxdepth 1 -type d -name 'zlib-*' | head -n1)

cmake -S "$cjson_src" -B "$work/cjson-build" \
    -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=powerpc \
    -DCMAKE_C_COMPILER=powerpc-linux-gnu-gcc -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DENABLE_CJSON_TEST=OFF -DENABLE_CJSON_UTILS=OFF \
    -DENABLE_CUSTOM_COMPILER_FLAGS=OFF >/dev/null
cmake --build "$work/cjson-build" -j"$(nproc)" >/dev/null
cmake --install "$work/cjson-build" >/dev/null

# zlib sets its own large-file macros; it keeps no time_t of its own.
(cd "$zlib_src" && CHOST=powerpc-linux-gnu CFLAGS="-O2 -mcpu=e300c3" ./configure --static --prefix="$prefix" >/dev/null \
    && make -j"$(nproc)" libz.a >/dev/null && make install >/dev/null)

echo "$stamp" > "$prefix/.stamp"
echo "ppc-deps: cJSON and zlib for powerpc in $prefix"
