#!/usr/bin/env bash
# The test suite under the sanitizers, after the normal build and tests (.ci/run):
#   1. build-asan: AddressSanitizer + UndefinedBehaviorSanitizer (BOOTH_SANITIZE=address),
#      the whole CTest suite, leak checking on;
#   2. build-tsan: ThreadSanitizer (BOOTH_SANITIZE=thread), only the test targets of the
#      camera tests (label "camera") and of the booth's download and live-view tests.
# Suppressions (scripts/sanitizers/*.supp) cover third-party libraries only.
# Usage: scripts/run-sanitizers.sh [asan] [tsan]     (both when no argument is given)
# Environment: JOBS (default: nproc), ASAN_DIR, TSAN_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
ASAN_DIR=${ASAN_DIR:-build-asan}
TSAN_DIR=${TSAN_DIR:-build-tsan}
SUPP=$ROOT/scripts/sanitizers
GEN=()
command -v ninja >/dev/null 2>&1 && GEN=(-G Ninja)
export QT_QPA_PLATFORM=offscreen

steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(asan tsan)

stamp() { date +%s; }
report() { echo "run-sanitizers: $1 took $(( $(stamp) - $2 )) s"; }

configure() { # dir sanitizer
  cmake -S . -B "$1" "${GEN[@]}" -DBOOTH_SANITIZE="$2" -DBOOTH_BUILD_BENCH=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
}

run_asan() {
  local t0; t0=$(stamp)
  configure "$ASAN_DIR" address
  # The booth and the tools are not run by the tests: build the test targets only.
  local targets
  targets=$(cmake --build "$ASAN_DIR" --target help | sed -n 's/^\(test_[a-z0-9_]*\|replay_[a-z0-9_]*\):.*/\1/p' | sort -u)
  # shellcheck disable=SC2086
  cmake --build "$ASAN_DIR" -j "$JOBS" --target $targets
  report "ASan+UBSan build" "$t0"
  t0=$(stamp)
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0:strict_string_checks=0"
  export LSAN_OPTIONS="suppressions=$SUPP/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$SUPP/ubsan.supp"
  (cd "$ASAN_DIR" && ctest --output-on-failure -j "$JOBS" --timeout 600)
  report "ASan+UBSan tests" "$t0"
}

run_tsan() {
  local t0; t0=$(stamp)
  configure "$TSAN_DIR" thread
  # Camera tests, and the booth's tests of download, photo intake, live view, disk faults and
  # the health monitor's reading thread.
  local targets=() f
  for f in tests/camera/test_*.cpp tests/booth/test_*download*.cpp tests/booth/test_*photo*.cpp \
           tests/booth/test_*liveview*.cpp tests/booth/test_*filing*.cpp tests/booth/test_*disk*.cpp \
           tests/booth/test_*health*.cpp; do
    [ -f "$f" ] && targets+=("$(basename "$f" .cpp)")
  done
  cmake --build "$TSAN_DIR" -j "$JOBS" --target "${targets[@]}"
  report "TSan build" "$t0"
  t0=$(stamp)
  export TSAN_OPTIONS="suppressions=$SUPP/tsan.supp:halt_on_error=0:exitcode=66:second_deadlock_stack=1:report_signal_unsafe=0"
  (cd "$TSAN_DIR" && ctest --output-on-failure -j "$JOBS" --timeout 600 -L camera)
  # The booth's own ones in the list run as plain executables (their CTest label is "booth").
  for f in "${targets[@]}"; do
    [ -f "tests/camera/$f.cpp" ] && continue
    echo "run-sanitizers: $f under TSan"
    timeout 600 "$TSAN_DIR/tests/$f" --gtest_brief=1
  done
  report "TSan tests" "$t0"
}

for s in "${steps[@]}"; do
  case "$s" in
    asan) run_asan ;;
    tsan) run_tsan ;;
    *) echo "run-sanitizers: unknown step $s (asan, tsan)" >&2; exit 2 ;;
  esac
done
