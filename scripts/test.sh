#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite: every label of the
# dev build, the ASan/UBSan build of the unit and gpu tests, the TSan run of the
# hand-over stress test and a 60 s run of the fuzz target. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# OpenGL needs an X server; one Xvfb serves every step below.
export QT_QPA_PLATFORM=xcb
xvfb_pid=""
if [ -z "${DISPLAY:-}" ]; then
  display=":$((90 + RANDOM % 100))"
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  trap 'kill "$xvfb_pid" 2>/dev/null || true' EXIT
  export DISPLAY=$display
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done 2>/dev/null || sleep 2
fi

status=0
passed=0
failed=0
run() { echo "== $*"; "$@" || status=1; }
# Runs ctest and adds its counts to the totals printed at the end.
run_ctest() {
  local log
  log=$(mktemp)
  echo "== ctest $*"
  local rc=0
  ctest "$@" 2>&1 | tee "$log" || rc=$?
  if [ "$rc" != 0 ]; then status=1; fi
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -n "$line" ]; then
    local total fails
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    fails=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - fails))
    failed=$((failed + fails))
  else
    status=1
  fi
  rm -f "$log"
}

run bash scripts/build.sh dev
run_ctest --test-dir build/dev --output-on-failure --timeout 600

# Sanitizer builds: the unit and gpu tests under ASan + UBSan, the thread
# hand-over under TSan.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:suppressions=$PWD/tests/sanitizers/asan.supp
export LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/tsan.supp:halt_on_error=1:second_deadlock_stack=1
run bash scripts/build.sh asan
run_ctest --test-dir build/asan --output-on-failure --timeout 900 -L 'unit|gpu'
if [ -f build/dev/CTestTestfile.cmake ] && ctest --test-dir build/dev -N -L tsan 2>/dev/null | grep -q 'Total Tests: [1-9]'; then
  run bash scripts/build.sh tsan voxview_gpu_tests
  run_ctest --test-dir build/tsan --output-on-failure --timeout 900 -L tsan
fi

# Fuzzing needs clang's libFuzzer.
if [ -f tests/fuzz/CMakeLists.txt ]; then
  run bash scripts/build.sh fuzz
  run_ctest --test-dir build/fuzz --output-on-failure --timeout 300 -L fuzz
fi

if [ $status -eq 0 ]; then echo "All test runs passed."; else echo "Some test runs FAILED."; fi
echo "Total: $passed passed, $failed failed"
exit $status
