# SPDX-License-Identifier: MIT
# What both PowerPC toolchain files share: Debian's cross compiler for the device, and
# libraries, headers and CMake packages looked up only in the target's own roots, never
# among the host's x86 ones. The including file sets _menuhold_roots first; its first
# root is the staging prefix with the target's cJSON and zlib.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH ${_menuhold_roots})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(GET _menuhold_roots 0 _menuhold_prefix)
set(ENV{PKG_CONFIG_LIBDIR} "${_menuhold_prefix}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Pages are 4 KiB on every e300 Linux (32-bit hash MMU): segments need no 64 KiB
# alignment, whose padding would add up to 60 KB to each file.
set(MENUHOLD_PAGE_LINK_FLAGS "-Wl,-z,max-page-size=4096")
