#!/bin/bash
# SPDX-License-Identifier: MIT
# Menuhold's main job: installs what is missing, builds, creates the menu and push
# directories if missing, and serves in the foreground with debug output (-d).
# Ctrl-C stops it (exit status 0). Run as root. Extra arguments go to menuhold.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build -DBUILD_TESTING=OFF >/dev/null
mkdir -p -m 0755 /tmp/json_menu /tmp/panel_push
exec build/src/menuhold -d "$@"
