# Cross-build for the device: 32-bit big-endian PowerPC, e300c3 core (issue 5).
#   scripts/ppc-deps.sh   builds cJSON and zlib from Debian's sources into the prefix below
#   cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

# Large files, and a 64-bit time_t, so the device passes 2038.
set(CMAKE_C_FLAGS_INIT "-mcpu=e300c3 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-mcpu=e300c3 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
# Pages are 4 KiB on every e300 Linux (32-bit hash MMU): segments need no 64 KiB
# alignment, whose padding would add up to 60 KB to each file.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-z,max-page-size=4096")

# The staging prefix with the target's cJSON and zlib; never the host's x86 libraries.
get_filename_component(_menuhold_top "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(MENUHOLD_PPC_PREFIX "${_menuhold_top}/build-ppc-deps/prefix" CACHE PATH "staging prefix of the target's libraries")
set(CMAKE_FIND_ROOT_PATH "${MENUHOLD_PPC_PREFIX}" /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${MENUHOLD_PPC_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Target binaries run here under user-mode emulation with the device's core.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc;-cpu;e300c3;-L;/usr/powerpc-linux-gnu)
