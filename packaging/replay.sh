#!/bin/bash
# SPDX-License-Identifier: MIT
# The recipes in packaging/, tried without Buildroot, Yocto or OpenWrt, none of which can
# run here (their builds download). For each, the configure, build and install command
# lines that its CMake helper runs are replayed, with the options the recipe gives, using
# Debian's PowerPC cross compiler and a staging root that holds cJSON and zlib the way
# these systems stage them; then the installed tree is checked: its files and modes, the
# init files' names and the programs they name, PowerPC binaries that run, and no path of
# this machine in any file. Last the .deb that cpack makes of the static PowerPC build,
# read with dpkg-deb. One line per part, then "replay: N passed, N failed".
#   packaging/replay.sh [WORK_DIR]   (default build-replay; needs scripts/ppc-deps.sh)
set -uo pipefail
cd "$(dirname "$0")/.."
src=$PWD
work=$(realpath -m "${1:-build-replay}")
version=$(sed -n 's/^project(menuhold VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
jobs=$(nproc)
scripts/deps.sh rsync ninja-build dpkg-dev >/dev/null
scripts/ppc-deps.sh >/dev/null
rm -rf "$work"
mkdir -p "$work"
log=$work/log

# Runs a step with its output in the log, shown when it fails.
step() {
    "$@" >"$log" 2>&1 || { echo "  failed: $*"; tail -n 30 "$log"; return 1; }
}
fail() {
    echo "  $*"
    return 1
}

# The staging root: cJSON and zlib as their own installs under /usr put them, the files
# that name their prefix naming /usr (as in a Buildroot, Yocto or OpenWrt staging tree).
staging=$work/staging
deps=$src/build-ppc-deps/prefix
mkdir -p "$staging/usr"
cp -a "$deps/include" "$deps/lib" "$staging/usr/"
old_prefix=$(sed -n 's/^prefix=//p' "$deps/lib/pkgconfig/zlib.pc")
grep -rlF "$old_prefix" "$staging" | xargs sed -i "s#$old_prefix#/usr#g"

# --- checks of an installed tree ------------------------------------------------------
common="755 usr/bin/menuholdctl
755 usr/libexec/menuhold-dirs
755 usr/sbin/menuhold
644 usr/share/man/man1/menuholdctl.1
644 usr/share/man/man8/menuhold.8
755 usr/share/menuhold/www/cgi-bin/status
644 usr/share/menuhold/www/index.html
644 usr/share/menuhold/www/app.js
644 usr/share/menuhold/www/style.css
644 usr/share/menuhold/www/vendor/datatables/dataTables.min.js
644 usr/share/menuhold/www/vendor/datatables/dataTables.dataTables.min.css
644 usr/share/menuhold/www/vendor/datatables/LICENSE
777 usr/share/menuhold/www/json_history.json
777 usr/share/menuhold/www/json_history.json.gz"

# $1: the root; $2: its files with their modes, one "MODE PATH" a line.
check_files() {
    local found
    found=$(cd "$1" && find . -mindepth 1 ! -type d -printf '%m %P\n' | sort)
    [ "$found" = "$(sort <<<"$2")" ] || fail "files differ (< expected, > installed):" \
        "$(diff <(sort <<<"$2") <(echo "$found") | grep '^[<>]')" || return 1
    [ -z "$(find "$1" -type d ! -perm 755)" ] || fail "directories not 0755: $(find "$1" -type d ! -perm 755)"
}

# The programs: 32-bit big-endian PowerPC, hard float, no run path; they run and print
# the project's version.
check_programs() {
    local root=$1 qemu=(qemu-ppc -cpu e300c3 -L /usr/powerpc-linux-gnu) prog header
    for prog in usr/sbin/menuhold usr/bin/menuholdctl; do
        header=$(readelf -hAd "$root/$prog")
        grep -q 'Class: *ELF32' <<<"$header" && grep -q 'big endian' <<<"$header" &&
            grep -q 'Machine: *PowerPC' <<<"$header" && grep -q 'Tag_GNU_Power_ABI_FP: hard float' <<<"$header" ||
            fail "$prog is not a hard-float 32-bit big-endian PowerPC program" || return 1
        ! grep -qE 'RPATH|RUNPATH' <<<"$header" || fail "$prog has a run path" || return 1
    done
    [ "$("${qemu[@]}" "$root/usr/sbin/menuhold" -v)" = "Current version is :[v$version]" ] &&
        [ "$("${qemu[@]}" "$root/usr/bin/menuholdctl" --version)" = "menuholdctl $version" ] ||
        fail "the programs do not print version $version"
}

# $1: an init file; $2: the programs it must name, each installed under $3 with mode 0755.
check_names() {
    local named
    named=$(grep -oE '/usr/[a-z]+/menuhold[a-z-]*' "$1" | sort -u | tr '\n' ' ')
    [ "$named" = "$2 " ] || fail "$(basename "$1") names \"$named\", not \"$2 \"" || return 1
    for p in $2; do
        [ "$(stat -c %a "$3$p" 2>/dev/null)" = 755 ] || fail "$(basename "$1") names $p, not installed" || return 1
    done
}

# No path of this machine in any installed file: not the source or work tree, not the
# cross toolchain's root, not the GoogleTest sources of this machine.
check_no_host_paths() {
    local hits
    hits=$(grep -rlF -e "$src" -e "$work" -e /usr/powerpc-linux-gnu -e /usr/src/googletest "$1")
    [ -z "$hits" ] || fail "paths of the build machine in: $hits"
}

sysv_names="/usr/bin/menuholdctl /usr/libexec/menuhold-dirs /usr/sbin/menuhold"
check_tree() {  # root, files, then init file and the programs it names, as many as there are
    local root=$1 files=$2
    shift 2
    check_files "$root" "$files" && check_programs "$root" && check_no_host_paths "$root" || return 1
    while [ $# -gt 0 ]; do
        check_names "$root/$1" "$2" "$root" || return 1
        shift 2
    done
}

# Runs a make recipe line in a recipe's makefile, as the build system would read it. $1:
# the makefile; $2: the build system's variables that it uses; $3: the line.
recipe_make() {
    make -s --no-print-directory -C "$(dirname "$1")" -f "$1" -f <(printf 'replay:\n\t%s\n' "$3") $2 replay
}
recipe_var() {
    recipe_make "$1" "$2" "@echo \$($3)"
}

# --- Buildroot ------------------------------------------------------------------------
buildroot() {
    local br=$work/buildroot mk=$src/packaging/buildroot/package/menuhold/menuhold.mk
    local vars="BR2_EXTERNAL_MENUHOLD_PATH=$src/packaging/buildroot cmake-package="
    local host=$br/host dir=$br/build/menuhold-$version cflags opts init
    [ "$(recipe_var "$mk" "$vars" MENUHOLD_VERSION)" = "$version" ] || fail "menuhold.mk: not version $version" ||
        return 1
    grep -q "^sha256  $(sha256sum LICENSE | cut -d' ' -f1)  LICENSE$" "${mk%.mk}.hash" ||
        fail "menuhold.hash: not LICENSE's hash" || return 1
    # The toolchain wrapper adds the CPU; toolchainfile.cmake as buildroot/buildroot's
    # package/pkg-cmake.mk fills in support/misc/toolchainfile.cmake.in, for an external
    # glibc toolchain and the default options (-O2, no debugging, _FORTIFY_SOURCE=1).
    mkdir -p "$host/bin" "$host/share/buildroot"
    for tool in gcc g++; do
        printf '#!/bin/sh\nexec /usr/bin/powerpc-linux-gnu-%s -mcpu=e300c3 "$@"\n' $tool \
            >"$host/bin/powerpc-linux-gnu-$tool"
        chmod 755 "$host/bin/powerpc-linux-gnu-$tool"
    done
    cflags="-D_LARGEFILE_SOURCE -D_LARGEFILE64_SOURCE -D_FILE_OFFSET_BITS=64 -O2 -g0 -D_FORTIFY_SOURCE=1"
    cat >"$host/share/buildroot/toolchainfile.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_VERSION 1)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_FLAGS_DEBUG "" CACHE STRING "")
set(CMAKE_C_FLAGS_RELEASE " -DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_DEBUG "" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELEASE " -DNDEBUG" CACHE STRING "")
set(CMAKE_BUILD_TYPE Release CACHE STRING "")
set(CMAKE_C_FLAGS "$cflags" CACHE STRING "")
set(CMAKE_CXX_FLAGS "$cflags" CACHE STRING "")
set(CMAKE_EXE_LINKER_FLAGS "" CACHE STRING "")
set(CMAKE_INSTALL_SO_NO_EXE 0)
set(CMAKE_PROGRAM_PATH "$host/bin")
set(CMAKE_SYSROOT "$staging")
set(CMAKE_FIND_ROOT_PATH "$staging")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "$staging")
set(CMAKE_C_COMPILER "$host/bin/powerpc-linux-gnu-gcc")
set(CMAKE_CXX_COMPILER "$host/bin/powerpc-linux-gnu-g++")
EOF
    # The local site is copied as buildroot/buildroot's package/pkg-generic.mk does
    # (.stamp_rsynced).
    mkdir -p "$dir"
    step rsync -au --chmod=u=rwX,go=rX $(recipe_var "$mk" "$vars" MENUHOLD_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS) \
        --exclude .svn --exclude .git --exclude .hg --exclude .bzr --exclude CVS \
        "$(recipe_var "$mk" "$vars" MENUHOLD_SITE)/" "$dir" || return 1
    for init in busybox systemd; do
        opts=$(recipe_var "$mk" "$vars $([ $init = systemd ] && echo BR2_INIT_SYSTEMD=y)" MENUHOLD_CONF_OPTS)
        # buildroot/buildroot package/pkg-cmake.mk: MENUHOLD_CONFIGURE_CMDS (an in-source
        # build, the default), MENUHOLD_BUILD_CMDS, MENUHOLD_INSTALL_TARGET_CMDS. Its
        # generator is spelt -G"Unix MakeFiles", which Debian 12's CMake 3.25 refuses.
        (cd "$dir" && rm -f CMakeCache.txt &&
            step cmake "$dir" -G"Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$host/share/buildroot/toolchainfile.cmake" \
                -DCMAKE_INSTALL_PREFIX="/usr" -DCMAKE_INSTALL_RUNSTATEDIR="/run" -DCMAKE_COLOR_MAKEFILE=OFF \
                -DBUILD_DOC=OFF -DBUILD_DOCS=OFF -DBUILD_EXAMPLE=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TEST=OFF \
                -DBUILD_TESTS=OFF -DBUILD_TESTING=OFF -DBUILD_SHARED_LIBS=ON $opts) || return 1
        step env PATH="$host/bin:$PATH" make -j"$jobs" -C "$dir" || return 1
        step env PATH="$host/bin:$PATH" make -j"$jobs" DESTDIR="$br/target-$init" install/fast -C "$dir" || return 1
    done
    check_tree "$br/target-busybox" "$common
755 etc/init.d/S50menuhold" etc/init.d/S50menuhold "$sysv_names" &&
        check_tree "$br/target-systemd" "$common
644 usr/lib/systemd/system/menuhold.service" usr/lib/systemd/system/menuhold.service "$sysv_names"
}

# --- Yocto ----------------------------------------------------------------------------
yocto() {
    local bb=$src/packaging/yocto/meta-menuhold/recipes-support/menuhold/menuhold.bb
    local workdir=$work/yocto/menuhold/$version-r0 extra pv
    local b=$workdir/menuhold-$version d=$workdir/image dbg=/usr/src/debug/menuhold/$version-r0
    # The recipe's version function, run as BitBake would, with its EXTERNALSRC.
    pv=$(python3 - "$bb" "$src" <<'EOF'
import os, re, sys
exec(re.search(r"^def menuhold_version.*?\n\n", open(sys.argv[1]).read(), re.M | re.S).group(0))
print(menuhold_version(type("D", (), {"getVar": staticmethod(lambda name: sys.argv[2])})))
EOF
)
    [ "$pv" = "$version" ] || fail "menuhold.bb's version is \"$pv\", not $version" || return 1
    grep -q "^LIC_FILES_CHKSUM = \"file://LICENSE;md5=$(md5sum <LICENSE | cut -d' ' -f1)\"$" "$bb" ||
        fail "menuhold.bb: LIC_FILES_CHKSUM is not LICENSE's" || return 1
    # The recipe's options, with a default image's directories (no usrmerge).
    extra=$(sed -n 's/^EXTRA_OECMAKE = "\(.*\)"$/\1/p' "$bb" | sed 's#${systemd_system_unitdir}#/lib/systemd/system#')
    # The toolchain file that cmake.bbclass (below) writes in do_generate_toolchain_file, with a
    # 32-bit glibc target's flags: debugging information, its paths mapped as
    # bitbake.conf's DEBUG_PREFIX_MAP does; Debian's toolchain root stands for the
    # recipe's sysroot.
    local map="-fmacro-prefix-map=$src=$dbg -fdebug-prefix-map=$src=$dbg -fmacro-prefix-map=$b=$dbg"
    map="$map -fdebug-prefix-map=$b=$dbg -fdebug-prefix-map=$staging= -fmacro-prefix-map=$staging="
    map="$map -fdebug-prefix-map=/usr/powerpc-linux-gnu=/usr -fmacro-prefix-map=/usr/powerpc-linux-gnu=/usr"
    local cflags="-mcpu=e300c3 --sysroot=$staging -O2 -pipe -g -feliminate-unused-debug-types $map"
    cflags="$cflags -fstack-protector-strong -D_FORTIFY_SOURCE=2 -Wformat -Wformat-security -Werror=format-security"
    cflags="$cflags -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64"
    local ldflags="-Wl,-O1 -Wl,--hash-style=gnu -Wl,--as-needed $map -fstack-protector-strong -Wl,-z,relro,-z,now"
    # The cross tools, found as in the recipe's native sysroot.
    local native=$workdir/recipe-sysroot-native
    mkdir -p "$b" "$d" "$native/usr/bin"
    for tool in gcc g++ gcc-ar gcc-nm gcc-ranlib; do
        ln -s "/usr/bin/powerpc-linux-gnu-$tool" "$native/usr/bin/"
    done
    cat >"$workdir/toolchain.cmake" <<EOF
set( CMAKE_SYSTEM_NAME Linux )
set( CMAKE_SYSTEM_PROCESSOR ppc )
set( CMAKE_C_COMPILER powerpc-linux-gnu-gcc )
set( CMAKE_CXX_COMPILER powerpc-linux-gnu-g++ )
set( CMAKE_ASM_COMPILER powerpc-linux-gnu-gcc )
find_program( CMAKE_AR powerpc-linux-gnu-gcc-ar DOC "Archiver" REQUIRED )
set( CMAKE_C_FLAGS "$cflags" CACHE STRING "CFLAGS" )
set( CMAKE_CXX_FLAGS "$cflags -fvisibility-inlines-hidden" CACHE STRING "CXXFLAGS" )
set( CMAKE_C_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "" )
set( CMAKE_CXX_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "" )
set( CMAKE_C_LINK_FLAGS "-mcpu=e300c3 --sysroot=$staging $ldflags" CACHE STRING "LDFLAGS" )
set( CMAKE_CXX_LINK_FLAGS "-mcpu=e300c3 --sysroot=$staging $cflags $ldflags" CACHE STRING "LDFLAGS" )
set( CMAKE_FIND_ROOT_PATH $staging $native )
set( CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY )
set( CMAKE_FIND_ROOT_PATH_MODE_PROGRAM ONLY )
set( CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY )
set( CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY )
set( CMAKE_PROGRAM_PATH "/" )
set( CMAKE_INSTALL_RPATH )
set( CMAKE_BUILD_RPATH_USE_ORIGIN ON )
set( CMAKE_LIBRARY_PATH /usr/lib /lib )
list(APPEND CMAKE_C_IMPLICIT_INCLUDE_DIRECTORIES /usr/include)
list(APPEND CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES /usr/include)
EOF
    # openembedded/openembedded-core meta/classes-recipe/cmake.bbclass: cmake_do_configure
    # (in B, which externalsrc.bbclass puts at WORKDIR/BPN-PV; S is this source tree),
    # cmake_do_compile, cmake_do_install.
    local tree_before
    tree_before=$(git status --porcelain --ignored)
    (cd "$b" && step cmake -G 'Ninja' -DCMAKE_MAKE_PROGRAM=ninja "$src" -DCMAKE_INSTALL_PREFIX:PATH=/usr \
        -DCMAKE_INSTALL_BINDIR:PATH=bin -DCMAKE_INSTALL_SBINDIR:PATH=sbin -DCMAKE_INSTALL_LIBEXECDIR:PATH=libexec \
        -DCMAKE_INSTALL_SYSCONFDIR:PATH=/etc -DCMAKE_INSTALL_SHAREDSTATEDIR:PATH=../com \
        -DCMAKE_INSTALL_LOCALSTATEDIR:PATH=/var -DCMAKE_INSTALL_LIBDIR:PATH=lib \
        -DCMAKE_INSTALL_INCLUDEDIR:PATH=include -DCMAKE_INSTALL_DATAROOTDIR:PATH=share \
        -DPYTHON_EXECUTABLE:PATH=python3 -DPython_EXECUTABLE:PATH=python3 -DPython3_EXECUTABLE:PATH=python3 \
        -DLIB_SUFFIX= -DCMAKE_INSTALL_SO_NO_EXE=0 -DCMAKE_TOOLCHAIN_FILE="$workdir/toolchain.cmake" \
        -DCMAKE_NO_SYSTEM_FROM_IMPORTED=1 -DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=ON \
        -DFETCHCONTENT_FULLY_DISCONNECTED=ON $extra -Wno-dev) || return 1
    step env VERBOSE=1 CMAKE_BUILD_PARALLEL_LEVEL="$jobs" cmake --build "$b" --target all -- || return 1
    step env DESTDIR="$d" VERBOSE=1 cmake --build "$b" --target install -- || return 1
    [ "$(git status --porcelain --ignored)" = "$tree_before" ] || fail "the build wrote into the source tree" ||
        return 1
    check_tree "$d" "$common
755 etc/init.d/menuhold
644 lib/systemd/system/menuhold.service" etc/init.d/menuhold "$sysv_names" \
        lib/systemd/system/menuhold.service "$sysv_names"
}

# --- OpenWrt --------------------------------------------------------------------------
openwrt() {
    local mk=$src/packaging/openwrt/menuhold/Makefile ow=$work/openwrt
    local b=$ow/build_dir/target-powerpc_e300c3/menuhold-$version cc=/usr/bin/powerpc-linux-gnu-
    local pkg=$ow/build_dir/target-powerpc_e300c3/menuhold-$version/ipkg-powerpc/menuhold
    # What the recipe reads of OpenWrt's rules.mk, include/package.mk and include/cmake.mk.
    mkdir -p "$ow/include"
    printf 'INSTALL_DIR:=install -d -m0755\nINSTALL_BIN:=install -m0755\nCP:=cp -fpR\n' >"$ow/rules.mk"
    touch "$ow/include/package.mk" "$ow/include/cmake.mk"
    local vars="TOPDIR=$ow INCLUDE_DIR=$ow/include PKG_BUILD_DIR=$b PKG_INSTALL_DIR=$b/ipkg-install"
    [ "$(recipe_var "$mk" "$vars" PKG_VERSION)" = "$version" ] || fail "Makefile's version is not $version" || return 1
    step recipe_make "$mk" "$vars" '$(Build/Prepare)' || return 1
    # A typical target's TARGET_CFLAGS (the OpenWrt compiler's own -fhonour-copts left out).
    local cflags="-Os -pipe -mcpu=e300c3 -fno-caller-saves -fno-plt -fmacro-prefix-map=$b=menuhold-$version"
    cflags="$cflags -Wformat -Werror=format-security -fstack-protector -D_FORTIFY_SOURCE=1 -Wl,-z,now -Wl,-z,relro"
    local ldflags="-L$staging/usr/lib -L$staging/lib -znow -zrelro"
    # openwrt/openwrt include/cmake.mk: Build/Configure/Default (CMAKE_OPTIONS: its own,
    # then the recipe's), Build/Compile/Default and Build/Install/Default with Ninja.
    (cd "$b" && CFLAGS="$cflags" CXXFLAGS="$cflags" LDFLAGS="$ldflags" step cmake --no-warn-unused-cli \
        -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_VERSION=1 -DCMAKE_SYSTEM_PROCESSOR=powerpc \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-DNDEBUG" \
        -DCMAKE_C_COMPILER_LAUNCHER="" -DCMAKE_C_COMPILER="${cc}gcc" -DCMAKE_CXX_COMPILER_LAUNCHER="" \
        -DCMAKE_CXX_COMPILER="${cc}g++" -DCMAKE_ASM_COMPILER_LAUNCHER="" -DCMAKE_ASM_COMPILER="${cc}gcc" \
        -DCMAKE_EXE_LINKER_FLAGS:STRING="$ldflags" \
        -DCMAKE_MODULE_LINKER_FLAGS:STRING="$ldflags -Wl,-Bsymbolic-functions" \
        -DCMAKE_SHARED_LINKER_FLAGS:STRING="$ldflags -Wl,-Bsymbolic-functions" \
        -DCMAKE_AR="${cc}gcc-ar" -DCMAKE_NM="${cc}gcc-nm" -DCMAKE_RANLIB="${cc}gcc-ranlib" \
        -DCMAKE_FIND_ROOT_PATH="$staging/usr;/usr/powerpc-linux-gnu" -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER \
        -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_STRIP=: \
        -DCMAKE_INSTALL_PREFIX=/usr -DDL_LIBRARY="$staging" -DCMAKE_PREFIX_PATH="$staging" -DCMAKE_SKIP_RPATH=TRUE \
        -DCMAKE_EXPORT_PACKAGE_REGISTRY=FALSE -DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=TRUE \
        -DCMAKE_FIND_USE_PACKAGE_REGISTRY=FALSE -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=TRUE \
        -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=FALSE -DCMAKE_FIND_PACKAGE_NO_SYSTEM_PACKAGE_REGISTRY=TRUE \
        -DCMAKE_GENERATOR="Ninja" -DCMAKE_C_FLAGS="$cflags" $(recipe_var "$mk" "$vars" CMAKE_OPTIONS) "$b") ||
        return 1
    step ninja -j"$jobs" -C "$b" || return 1
    step env DESTDIR="$b/ipkg-install" ninja -C "$b" install || return 1
    # The package's files, by the recipe's Package/menuhold/install.
    step recipe_make "$mk" "$vars" "\$(call Package/menuhold/install,$pkg)" || return 1
    check_files "$b/ipkg-install" "$common" &&
        grep -q '^	procd_set_param respawn' "$pkg/etc/init.d/menuhold" || fail "the procd script does not respawn" ||
        return 1
    check_tree "$pkg" "755 etc/init.d/menuhold
$(grep -v /man/ <<<"$common")" etc/init.d/menuhold "/usr/libexec/menuhold-dirs /usr/sbin/menuhold"
}

# --- .deb -----------------------------------------------------------------------------
deb() {
    local b=$work/deb deb=$work/deb/menuhold_${version}_powerpc.deb root=$work/deb/root
    step cmake -S "$src" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/powerpc-linux-gnu.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF -DMENUHOLD_STATIC=ON -DMENUHOLD_INIT_SCRIPT=menuhold ||
        return 1
    step cmake --build "$b" -j"$jobs" || return 1
    (cd "$b" && step cpack -G DEB) || return 1
    # Installable on a Debian PowerPC board: static programs, so no Depends; root's files;
    # the init script a configuration file; maintainer scripts that dpkg can run.
    [ "$(dpkg-deb --field "$deb" Package Version Architecture Depends)" = "Package: menuhold
Version: $version
Architecture: powerpc" ] || fail "control fields: $(dpkg-deb --field "$deb")" || return 1
    [ -z "$(dpkg-deb --contents "$deb" | awk '$2 != "root/root"')" ] || fail "files not root's" || return 1
    step dpkg-deb --control "$deb" "$b/control" || return 1
    [ "$(cat "$b/control/conffiles")" = /etc/init.d/menuhold ] || fail "conffiles: $(cat "$b/control/conffiles")" ||
        return 1
    for script in postinst prerm postrm; do
        [ -x "$b/control/$script" ] && sh -n "$b/control/$script" || fail "$script is not a runnable script" || return 1
    done
    step dpkg-deb --extract "$deb" "$root" || return 1
    # The usual files, the manual pages compressed and Debian's copyright file added.
    ! readelf -d "$root/usr/sbin/menuhold" "$root/usr/bin/menuholdctl" | grep -q NEEDED ||
        fail "the programs need shared libraries, and the package says none" || return 1
    check_tree "$root" "${common//.[18]/&.gz}
755 etc/init.d/menuhold
644 usr/lib/systemd/system/menuhold.service
644 usr/share/doc/menuhold/copyright" etc/init.d/menuhold "$sysv_names" \
        usr/lib/systemd/system/menuhold.service "$sysv_names"
}

run() {
    local name=$1 status
    echo "== replay: $name"
    "$name"
    status=$?
    if [ $status -eq 0 ]; then
        passed=$((passed + 1))
        echo "   $name: passed"
    else
        failed=$((failed + 1))
        echo "   $name: FAILED (log: $log)"
    fi
}

passed=0
failed=0
for part in ${REPLAY_PARTS:-buildroot yocto openwrt deb}; do
    run $part
done
echo "replay: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
