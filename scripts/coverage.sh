#!/usr/bin/env bash
# Line coverage of the project's own code by the test suite: builds an instrumented copy
# into build-cov/ (or $COV_DIR), runs the whole CTest suite there and prints gcovr's
# summary over support/, camera/, booth/ and mailer/. An HTML report goes to
# build-cov/coverage/index.html.
# Usage: bash scripts/coverage.sh      (needs gcovr: scripts/install-deps.sh installs it)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
COV_DIR=${COV_DIR:-build-cov}
JOBS=${JOBS:-$(nproc)}
GEN=()
command -v ninja >/dev/null 2>&1 && GEN=(-G Ninja)
command -v gcovr >/dev/null 2>&1 || { echo "coverage: needs gcovr (bash scripts/install-deps.sh)" >&2; exit 2; }

cmake -S . -B "$COV_DIR" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Debug -DBOOTH_BUILD_BENCH=OFF \
      -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_C_FLAGS="--coverage -O0" \
      -DCMAKE_EXE_LINKER_FLAGS="--coverage" -DCMAKE_SHARED_LINKER_FLAGS="--coverage" >/dev/null
cmake --build "$COV_DIR" -j "$JOBS"
find "$COV_DIR" -name '*.gcda' -delete
(cd "$COV_DIR" && QT_QPA_PLATFORM=offscreen ctest -j "$JOBS" --timeout 600 --output-on-failure) || echo "coverage: some tests failed; the figure below still counts what ran" >&2

filters=()
for d in support camera booth mailer; do
  [ -d "$d" ] && filters+=(--filter "$ROOT/$d/")
done
mkdir -p "$COV_DIR/coverage"
gcovr --root "$ROOT" "${filters[@]}" --exclude '.*_autogen/.*' --gcov-ignore-parse-errors \
      --html-details "$COV_DIR/coverage/index.html" --print-summary "$COV_DIR" | tail -4
