#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a normal
# build with warnings as errors, and again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tools/lsan.supp}

stage() { printf '\n=== %s ===\n' "$*"; }

stage "build (warnings as errors)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DREPOSA_WERROR=ON
cmake --build build/release
stage "tests"
ctest --test-dir build/release --output-on-failure -j2 --timeout 300

stage "build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DREPOSA_WERROR=ON \
  -DREPOSA_SANITIZE=ON -DREPOSA_BUILD_BENCH=OFF
cmake --build build/asan
stage "tests under sanitizers"
ctest --test-dir build/asan --output-on-failure -j2 --timeout 600

# Further stages (fuzzing, benchmark smoke runs) add themselves here.
for extra in tools/test.d/*.sh; do
  [ -e "$extra" ] || continue
  stage "$(basename "$extra" .sh)"
  bash "$extra"
done
