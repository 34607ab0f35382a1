# SPDX-License-Identifier: MIT
# Cross-build for the device: 32-bit big-endian PowerPC, e300c3 core, against glibc.
#   scripts/ppc-deps.sh   builds cJSON and zlib from Debian's sources into the prefix below
#   cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake
get_filename_component(_menuhold_top "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(MENUHOLD_PPC_PREFIX "${_menuhold_top}/build-ppc-deps/prefix" CACHE PATH "staging prefix of the target's libraries")
set(_menuhold_roots "${MENUHOLD_PPC_PREFIX}" /usr/powerpc-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/powerpc-common.cmake)

# Large files, and a 64-bit time_t, so the device passes 2038.
set(CMAKE_C_FLAGS_INIT "-mcpu=e300c3 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-mcpu=e300c3 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${MENUHOLD_PAGE_LINK_FLAGS}")

# Target binaries run here under user-mode emulation with the device's core.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc;-cpu;e300c3;-L;/usr/powerpc-linux-gnu)
