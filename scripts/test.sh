#!/usr/bin/env bash
# Installs what is missing, checks the layout of the C++ files, builds and runs the whole
# test suite: every label of the dev build, the ASan/UBSan build of the unit and gpu
# tests, the TSan run of the import hand-over stress tests and a fixed-seed run of each fuzz
# target. Exits non-zero on any failure and ends with one line:
# "Total: N passed, N failed, N skipped".
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# No combination of hung tests may hold the run for long: besides each case's own
# timeout, no ctest step starts a case after this many minutes from here.
run_minutes=45
deadline=$(date -d "+${run_minutes} minutes" +%H:%M:%S)

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
failed_steps=()
passed=0
failed=0
skipped=0
run() { echo "== $*"; "$@" || { status=1; failed_steps+=("$*"); }; }
# Runs ctest and adds its counts to the totals printed at the end. ctest counts a
# skipped case among the passed ones and lists it again under "did not run"; here it
# counts as skipped only.
run_ctest() {
  local log
  log=$(mktemp)
  echo "== ctest $*"
  local rc=0 status_before=$status
  ctest --stop-time "$deadline" "$@" 2>&1 | tee "$log" || rc=$?
  if [ "$rc" != 0 ]; then status=1; fi
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -n "$line" ]; then
    local total fails skips
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    fails=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    skips=$(grep -cE '^\s*[0-9]+ - .*\((Skipped|Disabled)\)\s*$' "$log" || true)
    # LeakSanitizer's tracer can itself crash while it stops the threads of a process
    # (llvmpipe's among them) and then judges nothing. Only then are the failed cases run
    # once more; a leak it found, or any other failure, stands as it is.
    if [ "$fails" != 0 ] && grep -q 'LeakSanitizer has encountered a fatal error' "$log"; then
      echo "== LeakSanitizer's tracer crashed; running the failed cases once more"
      local again
      again=$(mktemp)
      rc=0
      ctest --stop-time "$deadline" "$@" --rerun-failed 2>&1 | tee "$again" || rc=$?
      line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$again" | tail -1)
      if [ -n "$line" ]; then
        local remaining
        remaining=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
        if [ "$remaining" -le "$fails" ]; then fails=$remaining; fi
        if [ "$rc" = 0 ] && [ "$fails" = 0 ]; then status=$status_before; fi
      fi
      rm -f "$again"
    fi
    if [ "$rc" != 0 ]; then failed_steps+=("ctest $* (exit $rc)"); fi
    passed=$((passed + total - fails - skips))
    failed=$((failed + fails))
    skipped=$((skipped + skips))
  else
    status=1
    failed_steps+=("ctest $* (no count of tests)")
  fi
  rm -f "$log"
}

# Every C++ file as the root .clang-format lays it out (bash scripts/format.sh fixes them).
run bash scripts/format.sh --check
run bash scripts/build.sh dev
# Unit tests and shader checks share nothing: two at a time. The OpenGL tests draw
# with llvmpipe's threads on every core and the window tests share the display: one
# at a time.
run_ctest --test-dir build/dev --output-on-failure -j 2 -L 'unit|shaders'
run_ctest --test-dir build/dev --output-on-failure -L 'gpu|app'

# Sanitizer builds: the unit and gpu tests under ASan + UBSan, the import hand-over
# under TSan. Each builds only what it runs.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:suppressions=$PWD/tests/sanitizers/asan.supp
export LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/tsan.supp:halt_on_error=1:second_deadlock_stack=1
run bash scripts/build.sh asan voxview_unit_tests voxview_gpu_tests
run_ctest --test-dir build/asan --output-on-failure -j 2 -L unit
run_ctest --test-dir build/asan --output-on-failure -L gpu
run bash scripts/build.sh tsan voxview_gpu_tests voxview_app_tests
# The stress of the hand-over from a bare thread and through the window's import command.
run_ctest --test-dir build/tsan --output-on-failure -R '^(RendererHandOver|ImportStress)\.'

# Fuzzing needs clang's libFuzzer.
run bash scripts/build.sh fuzz
run_ctest --test-dir build/fuzz --output-on-failure -j 2 -L fuzz

if [ $status -eq 0 ]; then
  echo "All test runs passed."
else
  echo "Some test runs FAILED:"
  printf '  %s\n' "${failed_steps[@]}"
fi
echo "Total: $passed passed, $failed failed, $skipped skipped"
exit $status
