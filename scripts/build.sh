#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh DIR [cmake options...]
# The project's own builds treat warnings as errors; a later option overrides the defaults.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
cmake -S "$root" -B "$root/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELQOR_WERROR=ON "$@" >/dev/null
cmake --build "$root/$dir" -j"$(nproc)"
