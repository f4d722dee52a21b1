#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (build-fuzz/, with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each one over its
# seed corpus, then for a bounded time. A crash, a sanitizer report, a broken
# invariant or a hang fails the run; the input that caused it is kept in
# build-fuzz/artifacts/.
# Usage: scripts/fuzz.sh [SECONDS per target, default 20] [TARGET...]
# (TARGET: eds config gateway_table gateway_server gateway_medium sdo
#  server_commands candump; default all)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] &&
  targets=(eds config gateway_table gateway_server gateway_medium sdo server_commands candump)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZUNTAL_FUZZ=ON -DZUNTAL_SANITIZE=address -DZUNTAL_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_all

export ASAN_OPTIONS=abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p build-fuzz/artifacts
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for t in "${targets[@]}"; do
  echo "== fuzz_$t: seeds, then ${secs} s"
  mkdir -p "$scratch/$t"
  dict=()
  [ -f "fuzz/dict/$t.dict" ] && dict=(-dict="fuzz/dict/$t.dict")
  # New inputs go to the scratch directory: the seeds in the repository stay
  # as they are.
  "build-fuzz/fuzz/fuzz_$t" "${dict[@]}" -max_total_time="$secs" -timeout=30 \
    -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$t-" \
    "$scratch/$t" "fuzz/corpus/$t"
done
echo "all fuzz targets passed"
