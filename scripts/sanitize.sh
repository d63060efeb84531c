#!/usr/bin/env bash
# Builds the Qt-free libraries, their tests and the fuzz targets once with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, runs the tests, then each fuzz target
# for a bounded time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
b="$root/build-asan"
CC=clang CXX=clang++ cmake -S "$root" -B "$b" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DORV_SANITIZE=ON -DORV_FUZZ=ON -DORV_QT_FREE_ONLY=ON -DORV_BUILD_BENCH=OFF >/dev/null
cmake --build "$b" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$b" && ctest --output-on-failure -j "$(nproc)" --timeout 900)
secs=${ORV_FUZZ_SECONDS:-60}
for f in "$b"/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="$b/fuzz-corpus/$name"
  mkdir -p "$corpus"
  seeds="$root/fuzz/seeds/${name#fuzz_}"
  echo "fuzzing $name for ${secs}s"
  log="$b/fuzz-$name.log"
  args=(-max_total_time="$secs" -rss_limit_mb=2048 -malloc_limit_mb=512 -print_final_stats=1 "$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  # The fuzzer's progress lines go to a log; its summary (or the crash report) is shown.
  if ! "$f" "${args[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz target $name failed"
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || tail -n 5 "$log"
done
