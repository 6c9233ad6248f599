#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for FUZZ_SECONDS seconds
# (default 300, five minutes) starting from its seed corpus in fuzz/corpus/<name>.
#
#   bench/run-fuzzers.sh [name ...]      names: plist_in_jpeg liveview_frame preferences
#
# Inputs the fuzzer finds new are collected in $FUZZ_BUILD_DIR/corpus/<name> (the seed
# corpus in the repository is only read); crashing, leaking or hanging inputs go to
# $FUZZ_BUILD_DIR/findings/<name>/. A table at the end gives, per target, the executions,
# the executions per second, the corpus before and after, and the findings. Exits 1 when
# any target found something, 0 otherwise.
#
# FUZZ_BUILD_DIR (default build-fuzz) is the build folder; FUZZ_JOBS the build's -j (2).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-300}
build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-2}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(plist_in_jpeg liveview_frame preferences)
fi

for tool in clang clang++; do
  command -v "$tool" >/dev/null || { echo "run-fuzzers: $tool is missing (scripts/install-deps.sh installs it)"; exit 2; }
done

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DBOOTH_FUZZ=ON -DBOOTH_BUILD_TESTS=OFF -DBOOTH_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]/#/fuzz_}"

export QT_QPA_PLATFORM=offscreen
# Leaks are findings; the sanitizer's report names the input.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

summary=()
found_any=0
for name in "${targets[@]}"; do
  exe="$build/fuzz/fuzz_$name"
  seeds="fuzz/corpus/$name"
  corpus="$build/corpus/$name"
  findings="$build/findings/$name"
  log="$build/fuzz_$name.log"
  mkdir -p "$corpus" "$findings"
  before=$(( $(find "$seeds" -type f | wc -l) + $(find "$corpus" -type f | wc -l) ))
  echo "run-fuzzers: $name for $seconds s (log: $log)"
  status=0
  "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  after=$(( $(find "$seeds" -type f | wc -l) + $(find "$corpus" -type f | wc -l) ))
  found=$(find "$findings" -type f | wc -l)
  if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
    found_any=1
    echo "run-fuzzers: $name ended with status $status; findings in $findings:"
    grep -E 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY:' "$log" | head -20 || true
  fi
  summary+=("$(printf '%-16s %12s %10s %8s %8s %9s %7s' "$name" "${execs:-?}" "${rate:-?}" "$before" "$after" "$found" "$status")")
done

echo
printf '%-16s %12s %10s %8s %8s %9s %7s\n' target executions "execs/s" "corpus" "after" findings status
for line in "${summary[@]}"; do echo "$line"; done
exit $found_any
