#!/bin/bash
# SPDX-License-Identifier: MIT
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
# musl is not installed on this machine: its version is the one apt would fetch.
candidate() { apt-cache show --no-all-versions musl 2>/dev/null | sed -n 's/^Version: //p'; }
musl_version=$(candidate)
[ -n "$musl_version" ] || { apt-get update -qq; musl_version=$(candidate); }
stamp="musl $musl_version cjson $(dpkg-query -W -f='${Version}' libcjson-dev)"
stamp="$stamp zlib $(dpkg-query -W -f='${Version}' zlib1g-dev)"
stamp="$stamp linux $(dpkg-query -W -f='${Version}' linux-libc-dev-powerpc-cross) recipe $(cat "$top/scripts/musl-deps.sh" "$top"/cmake/powerpc-*.cmake "$compat" | sha256sum | cut -c1-16)"
if [ -f "$prefix/.stamp" ] && [ "$(cat "$prefix/.stamp")" = "$stamp" ]; then
    exit 0
fi
rm -rf "$work"
mkdir -p "$work/src" "$prefix"
log=$work/build.log
# Runs a step with its output in the log, which is shown only when the step fails.
quietly() {
    "$@" >>"$log" 2>&1 || { tail -n 40 "$log" >&2; echo "musl-deps: failed: $*" >&2; exit 1; }
}

# Source packages, through a temporary deb-src entry derived from debian.sources.
extra=/etc/apt/sources.list.d/menuhold-musl-deb-src.sources
trap 'rm -f "$extra"' EXIT
sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$extra"
quietly apt-get update -qq
for package in "musl=$musl_version" cjson "zlib=$(dpkg-query -W -f='${Version}' zlib1g-dev)"; do
    (cd "$work/src" && quietly apt-get source -qq "$package")
done
rm -f "$extra"
trap - EXIT
source_dir() { find "$work/src" -maxdepth 1 -type d -name "$1-*" | head -n1; }

# The target flags are the toolchain file's own (-mlong-double-64 among them: musl's
# powerpc port takes long double as double). Debian's compiler keeps its default specs, so
# secure PLT stays on and no segment is both writable and executable. -Os throughout.
# musl's older allocator ("oldmalloc"): one heap that keeps freed memory for the next
# request, as the service wants; the newer one maps and unmaps pages on every request.
target_flags=$(sed -n 's/^set(MENUHOLD_MUSL_TARGET_FLAGS "\(.*\)")$/\1/p' "$toolchain")
(cd "$(source_dir musl)" \
    && quietly ./configure --target=powerpc-linux-gnu --prefix="$prefix" --disable-shared \
        --enable-optimize=size --with-malloc=oldmalloc CFLAGS="$target_flags" \
    && quietly make -j"$(nproc)" && quietly make install)

# The kernel's own headers (<linux/...>), from Debian's cross package: musl has none.
kernel_headers=/usr/powerpc-linux-gnu/include
cp -r "$kernel_headers/linux" "$kernel_headers/asm" "$kernel_headers/asm-generic" "$prefix/include/"

# cJSON with the toolchain file, so it is built as Menuhold is.
quietly cmake -S "$(source_dir cjson)" -B "$work/cjson-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DENABLE_CJSON_TEST=OFF -DENABLE_CJSON_UTILS=OFF \
    -DENABLE_CUSTOM_COMPILER_FLAGS=OFF
quietly cmake --build "$work/cjson-build" -j"$(nproc)"
quietly cmake --install "$work/cjson-build"

# zlib's CMake build needs files that Debian's source leaves out; its configure and the
# compatibility object get the C flags that the toolchain file gave cJSON.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$work/cjson-build/CMakeCache.txt"; }
cflags="$(cache_value CMAKE_C_FLAGS) $(cache_value CMAKE_C_FLAGS_MINSIZEREL)"
(cd "$(source_dir zlib)" \
    && CHOST=powerpc-linux-gnu CFLAGS="$cflags" LDFLAGS="$(cache_value CMAKE_EXE_LINKER_FLAGS)" \
        quietly ./configure --static --prefix="$prefix" \
    && quietly make -j"$(nproc)" libz.a && quietly make install)

# $cflags is a list of words.
# shellcheck disable=SC2086
quietly powerpc-linux-gnu-gcc -std=c11 -Wall -Wextra -Werror $cflags -c "$compat" -o "$prefix/lib/glibc-compat.o"

echo "$stamp" > "$prefix/.stamp"
echo "musl-deps: musl $musl_version, cJSON and zlib for powerpc in $prefix"
