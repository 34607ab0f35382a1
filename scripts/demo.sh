#!/bin/bash
# SPDX-License-Identifier: MIT
# The demo: starts menuhold (as scripts/run.sh does), uploads the sample product files of
# tests/data with menuholdctl, serves the DataTables page on 127.0.0.1 with its status
# endpoint and prints its URL. Ctrl-C stops everything. Run as root. Uses the machine's
# real /tmp paths.
#   scripts/demo.sh [--port 8080]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/web-deps.sh
scripts/build.sh build -DBUILD_TESTING=OFF >/dev/null
init/menuhold-dirs  # creates the directories, or refuses ones that are not root's

pids=()
stop() { kill -TERM "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; }
trap stop EXIT INT TERM

build/src/menuhold > /dev/null &
pids+=($!)
build/tools/menuholdctl --wait --timeout=10 status 0 > /dev/null
for sample in tests/data/*.json; do
    copy=$(mktemp /tmp/demo-upload-XXXXXX.json)
    cp "$sample" "$copy"
    printf '%-40s %s\n' "write $(basename "$sample")" "$(build/tools/menuholdctl write "$copy")"
done
node scripts/web-server.mjs "$@" &
pids+=($!)
echo "Open the URL that the server prints (listening on ...); kill ${pids[0]} stops menuhold alone, and the page"
echo "says so within one reload; Ctrl-C stops menuhold and the server."
wait
