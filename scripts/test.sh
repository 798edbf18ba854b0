#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a normal build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build; last it compiles the Release build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build
(cd "$root/build" && ctest --output-on-failure -j"$(nproc)")
"$root/scripts/build.sh" build-asan -DVELQOR_SANITIZE=ON -DVELQOR_BENCH=OFF
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$(nproc)")
# Packagers build Release, where the optimiser finds warnings the other builds do not: it must
# compile. Its tests are the normal build's; scripts/bench.sh runs its benchmarks.
"$root/scripts/build.sh" build-release -DCMAKE_BUILD_TYPE=Release
echo "all tests passed (normal and sanitizer builds); the Release build compiles"
