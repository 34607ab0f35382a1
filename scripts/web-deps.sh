#!/bin/bash
# SPDX-License-Identifier: MIT
# What the browser tests need: Node.js, Debian's Chromium, BusyBox (its httpd serves the
# installed page as a device does) and the pinned playwright-core of web/package-lock.json.
# The page itself needs none of them: DataTables is in web/vendor/.
set -euo pipefail
cd "$(dirname "$0")/.."
extra=(chromium busybox)
command -v node >/dev/null && command -v npm >/dev/null || extra+=(nodejs npm)
scripts/deps.sh "${extra[@]}"
if [ ! -d web/node_modules/playwright-core ] || [ web/package-lock.json -nt web/node_modules/.package-lock.json ]; then
    npm ci --prefix web --no-audit --no-fund --loglevel=error
fi
