#!/usr/bin/env bash
# Builds and runs every test: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, a ThreadSanitizer build for the
# threaded suites, a clang build, and the fuzz targets for a short time each.
# Any failing test, sanitizer report or fuzzer finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --test

if [ -f tests/peer/package-lock.json ]; then
  (cd tests/peer && npm ci --no-audit --no-fund --loglevel=error)
fi

# A compiler cache, where one is installed, spares the rebuilds of an unchanged
# tree; paths are taken relative to the tree, so clones in other folders share it.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

jobs=$(nproc)
echo "== normal build"
bash scripts/build.sh build
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
bash scripts/build.sh build-asan -DZUNTAL_SANITIZE=address -DZUNTAL_BUILD_BENCH=OFF
ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE nosan

echo "== ThreadSanitizer build (threaded suites)"
bash scripts/build.sh build-tsan -DZUNTAL_SANITIZE=thread -DZUNTAL_BUILD_BENCH=OFF
ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L threaded -LE nosan
echo "== clang build (warnings are errors with clang too)"
CC=clang CXX=clang++ bash scripts/build.sh build-clang -DZUNTAL_BUILD_BENCH=OFF

echo "== fuzz targets (clang, libFuzzer): the seeds, then 20 s each"
bash scripts/fuzz.sh 20
echo "== Release build and its tests, install, example server against it, Debian packages"
bash scripts/check-install.sh
echo "all test builds passed"
