# SPDX-License-Identifier: MIT
# Cross-build for the device against musl instead of glibc: fully static binaries that
# start on any e300c3 Linux, whatever its C library.
#   scripts/musl-deps.sh  builds musl, cJSON and zlib from Debian's sources into the prefix below
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-musl.cmake
# Debian's powerpc-linux-gnu compiler is used with its default specs (secure PLT stays on);
# only its header and library search is pointed at musl. C++ takes Debian's libstdc++
# headers and libraries for the target; cmake/musl-cxx/ and cmake/musl-glibc-compat.c
# supply the few glibc names they need.
get_filename_component(_menuhold_top "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(MENUHOLD_MUSL_PREFIX "${_menuhold_top}/build-ppc-deps/musl/prefix" CACHE PATH "musl, cJSON and zlib for the target")
set(_menuhold_roots "${MENUHOLD_MUSL_PREFIX}")
include(${CMAKE_CURRENT_LIST_DIR}/powerpc-common.cmake)

execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE _gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpversion
                OUTPUT_VARIABLE _gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
set(_cxx_include /usr/powerpc-linux-gnu/include/c++/${_gcc_version})

# musl's powerpc port takes long double as double. Each function and object in a section
# of its own, so --gc-sections drops what is unused; no PIE code, which a static binary
# does not need and which is larger on 32-bit PowerPC. scripts/musl-deps.sh builds musl
# with the same flags (it reads the line below).
set(MENUHOLD_MUSL_TARGET_FLAGS "-mcpu=e300c3 -mlong-double-64 -fno-pie -ffunction-sections -fdata-sections")
set(_common "${MENUHOLD_MUSL_TARGET_FLAGS} -nostdinc")
set(_c_headers "-isystem ${MENUHOLD_MUSL_PREFIX}/include -isystem ${_gcc_include}")
set(CMAKE_C_FLAGS_INIT "${_common} ${_c_headers}")
set(CMAKE_CXX_FLAGS_INIT "${_common} -isystem ${CMAKE_CURRENT_LIST_DIR}/musl-cxx -isystem ${_cxx_include} -isystem ${_cxx_include}/powerpc-linux-gnu -isystem ${_cxx_include}/backward ${_c_headers}")

# Always static. -B and -L put musl's start files and libraries before the glibc ones
# that the compiler would otherwise find.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -no-pie -B${MENUHOLD_MUSL_PREFIX}/lib -L${MENUHOLD_MUSL_PREFIX}/lib -Wl,--gc-sections ${MENUHOLD_PAGE_LINK_FLAGS}")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "${MENUHOLD_MUSL_PREFIX}/lib/glibc-compat.o")

# The tests expect musl's own error texts and getopt diagnostics (tests/CMakeLists.txt).
set(MENUHOLD_LIBC musl)

# The binaries are static: the emulator needs no library prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc;-cpu;e300c3)

# GoogleTest prints through iostreams, the part of Debian's libstdc++ that was built for
# glibc's 128-bit long double (and reads glibc's locale internals). The linker refuses to
# mix it with 64-bit long double code, which keeps it out of menuhold and menuholdctl; only
# the unit test binary is let through (tests/CMakeLists.txt): its tests print no long
# double and classify no character through a C++ locale.
set(MENUHOLD_UNIT_LINK_OPTIONS -Wl,--no-warn-mismatch)
