#!/usr/bin/env bash
# Builds the tree under AddressSanitizer+UBSan (build-asan) and ThreadSanitizer
# (build-tsan) and runs the unit and stress tests: not those that start a real
# server (ctest label "server": mariadbd is not instrumented and cannot load
# instrumented plug-ins) nor the package checks (label "install", which would
# find the sanitizer runtimes among the libraries' needs). Fails on a failing test and on any sanitizer report,
# also one from a test that passed or from a child process: every report is
# written to a log file, and any such file fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-2}
status=0

run() {
  local kind=$1 dir=$2
  local reports
  reports=$(mktemp -d "/tmp/quarn-sanitize-$kind-XXXXXX")
  echo "== $kind: configure and build in $dir"
  cmake -S . -B "$dir" -DQUARN_SANITIZE="$kind" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$dir" -j"$JOBS"

  echo "== $kind: tests"
  # log_exe_name names each report file after the test program it came from.
  local common="log_path=$reports/report:log_exe_name=1:halt_on_error=1:abort_on_error=0"
  local ctest_status=0
  ASAN_OPTIONS="$common:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1" \
  UBSAN_OPTIONS="$common:print_stacktrace=1" \
  LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0" \
  TSAN_OPTIONS="$common:second_deadlock_stack=1" \
    ctest --test-dir "$dir" -LE 'server|install' --output-on-failure --timeout 900 || ctest_status=$?

  if compgen -G "$reports/report*" >/dev/null; then
    echo "== $kind: sanitizer reports:"
    for report in "$reports"/report*; do
      echo "-- ${report##*/}"
      cat "$report"
    done
    status=1
  elif [[ $ctest_status -ne 0 ]]; then
    echo "== $kind: tests failed"
    status=1
  else
    echo "== $kind: clean"
  fi
  rm -rf "$reports"
}

start=$SECONDS
run address build-asan
run thread build-tsan
echo "== sanitize: $([[ $status -eq 0 ]] && echo passed || echo FAILED) in $((SECONDS - start)) s"
exit $status
