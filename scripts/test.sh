#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a normal build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build
(cd "$root/build" && ctest --output-on-failure -j"$(nproc)")
"$root/scripts/build.sh" build-asan -DVELQOR_SANITIZE=ON -DVELQOR_BENCH=OFF
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$(nproc)")
echo "all tests passed (normal and sanitizer builds)"
