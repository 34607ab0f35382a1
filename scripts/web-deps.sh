#!/bin/bash
# SPDX-License-Identifier: MIT
# What the web page and its browser tests need: Node.js, Debian's Chromium, and the
# pinned npm packages of web/ (datatables.net, datatables.net-dt, playwright-core).
set -euo pipefail
cd "$(dirname "$0")/.."
extra=(chromium)
command -v node >/dev/null && command -v npm >/dev/null || extra+=(nodejs npm)
scripts/deps.sh "${extra[@]}"
if [ ! -d web/node_modules/datatables.net ] || [ web/package-lock.json -nt web/node_modules/.package-lock.json ]; then
    npm ci --prefix web --no-audit --no-fund --loglevel=error
fi
