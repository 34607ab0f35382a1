#!/bin/bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that building, running and testing Menuhold need, if any
# is missing. Debian 12, as root. Extra package names may be given as arguments.
set -euo pipefail

packages=(build-essential cmake pkg-config libcjson-dev zlib1g-dev libgtest-dev
          python3 python3-pytest util-linux mount gzip strace procps iproute2
          systemd groff-base "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
