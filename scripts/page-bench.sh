#!/bin/bash
# SPDX-License-Identifier: MIT
# The page's benchmark: builds menuhold as shipped (-Os, the build directory of
# scripts/bench.sh), then inside scripts/sandbox installs the page (cmake --install, component
# web) with that build's menuholdctl into a prefix in the sandbox's /tmp, serves it with
# BusyBox httpd and measures, in Debian's headless Chromium, 10,000 rows (navigation to the
# first rows and to all rows, the longest task of the first load and of a reload that
# renames every row), and the status CGI's answer time with no service listening and with a
# socket that never answers. Prints min to max and the median over the runs beside the targets. Run as root.
#   scripts/page-bench.sh [--runs N]     (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/web-deps.sh
scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(uname -r)"
exec scripts/sandbox node bench/page_bench.mjs --build build-bench "$@"
