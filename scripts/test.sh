#!/usr/bin/env bash
# Builds the project and runs every test; then builds it again with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs the unit tests there; last
# it runs the demo (the README's first command), so a broken demo fails the run too.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/start_libvirt.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 900

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZV_SANITIZE=ON >/dev/null
ninja -C build-sanitize
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize -L unit --output-on-failure -j "$jobs" --timeout 900

echo "== the demo (scripts/demo.sh)"
bash scripts/demo.sh
