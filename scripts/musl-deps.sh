#!/bin/bash
# Builds the C library of the self-contained device binaries: musl from Debian's own
# source package, cross-built for 32-bit big-endian PowerPC (e300c3) with Debian's
# powerpc-linux-gnu compiler, and cJSON and zlib built against it, as static libraries in
# build-ppc-deps/musl/prefix. Also compiles cmake/musl-glibc-compat.c into that prefix.
# A second run with the prefix in place does nothing. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
work=$top/build-ppc-deps/musl
prefix=$work/prefix
toolchain=$top/cmake/powerpc-linux-musl.cmake
compat=$top/cmake/musl-glibc-compat.c

scripts/deps.sh g++-powerpc-linux-gnu qemu-user dpkg-dev
musl_version=$(apt-cache show --no-all-versions musl | sed -n 's/^Version: //p')
stamp="musl $musl_version cjson $(dpkg-query -W -f='${Version}' libcjson-dev)"
stamp="$stamp zlib $(dpkg-query -W -f='${Version}' zlib1g-dev)"
stamp="$stamp linux $(dpkg-query -W -f='${Version}' linux-libc-dev-powerpc-cross) compat $(sha256sum < "$compat" | cut -c1-16)"
if [ -f "$prefix/.stamp" ] && [ "$(cat "$prefix/.stamp")" = "$stamp" ]; then
    exit 0
fi
rm -rf "$work"
mkdir -p "$work/src" "$prefix"

# Source packages, through a temporary deb-src entry derived from debian.sources.
extra=/etc/apt/sources.list.d/menuhold-musl-deb-src.sources
trap 'rm -f "$extra"' EXIT
sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$extra"
apt-get update -qq
for package in "musl=$musl_version" cjson "zlib=$(dpkg-query -W -f='${Version}' zlib1g-dev)"; do
    (cd "$work/src" && apt-get source -qq "$package" >/dev/null 2>&1)
done
rm -f "$extra"
trap - EXIT
source_dir() { find "$work/src" -maxdepth 1 -type d -name "$1-*" | head -n1; }

# musl's powerpc port takes long double as double; Debian's compiler defaults to the
# 128-bit IBM format, so say it. Secure PLT stays on (the compiler's default specs are
# kept), so no segment is both writable and executable. -Os throughout: size matters
# more than speed on the device.
(cd "$(source_dir musl)" \
    && ./configure --target=powerpc-linux-gnu --prefix="$prefix" --disable-shared \
        --enable-optimize=size CFLAGS="-mcpu=e300c3 -mlong-double-64 -fno-pie -ffunction-sections -fdata-sections" >/dev/null \
    && make -j"$(nproc)" >/dev/null && make install >/dev/null)

# The kernel's own headers (<linux/...>), from Debian's cross package: musl has none.
kernel_headers=/usr/powerpc-linux-gnu/include
cp -r "$kernel_headers/linux" "$kernel_headers/asm" "$kernel_headers/asm-generic" "$prefix/include/"

powerpc-linux-gnu-gcc -std=c11 -Wall -Wextra -Werror -Os -mcpu=e300c3 -mlong-double-64 -fno-pie \
    -nostdinc -isystem "$prefix/include" -isystem "$(powerpc-linux-gnu-gcc -print-file-name=include)" \
    -c "$compat" -o "$prefix/lib/glibc-compat.o"

# cJSON with the project's own toolchain file, so it is built as Menuhold is.
cmake -S "$(source_dir cjson)" -B "$work/cjson-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DENABLE_CJSON_TEST=OFF -DENABLE_CJSON_UTILS=OFF \
    -DENABLE_CUSTOM_COMPILER_FLAGS=OFF >/dev/null
cmake --build "$work/cjson-build" -j"$(nproc)" >/dev/null
cmake --install "$work/cjson-build" >/dev/null

# zlib has no usable CMake build in Debian's source; its configure gets the flags that the
# toolchain file gave cJSON.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$work/cjson-build/CMakeCache.txt"; }
cflags="$(cache_value CMAKE_C_FLAGS) $(cache_value CMAKE_C_FLAGS_MINSIZEREL)"
(cd "$(source_dir zlib)" \
    && CHOST=powerpc-linux-gnu CFLAGS="$cflags" LDFLAGS="$(cache_value CMAKE_EXE_LINKER_FLAGS)" \
        ./configure --static --prefix="$prefix" >/dev/null \
    && make -j"$(nproc)" libz.a >/dev/null && make install >/dev/null)

echo "$stamp" > "$prefix/.stamp"
echo "musl-deps: musl $musl_version, cJSON and zlib for powerpc in $prefix"
