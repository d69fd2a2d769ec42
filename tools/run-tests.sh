#!/usr/bin/env bash
# Checks the formatting, then builds and runs every test. Each build is a preset of
# CMakePresets.json, with warnings as errors:
#   native     g++, Release (the build users make), its tests
#   clang      clang, the same tests
#   sanitize   g++, AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan       g++, the engine under ThreadSanitizer
#   fuzz       clang, libFuzzer: every fuzz target for a bounded time
#   windows    mingw-w64 cross build, its tests under Wine
#   tools/run-tests.sh             all of them
#   tools/run-tests.sh native      just the ones named
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
all=(native clang sanitize tsan fuzz windows)
builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=("${all[@]}")
for b in "${builds[@]}"; do
  [[ " ${all[*]} " == *" $b "* ]] || { echo "unknown build '$b' (${all[*]})" >&2; exit 2; }
done

needs=native
for b in "${builds[@]}"; do [ "$b" = windows ] && needs=all; done
tools/install-deps.sh "$needs"

jobs=$(nproc)
failed=()
recap=()

echo "=== format"
format_report=$(tools/check-format.sh 2>&1) || { failed+=(format); recap+=("$format_report"); }
echo "$format_report"

build() {  # preset
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}

run_ctest() {  # preset
  echo "=== $1 tests"
  local log="build/$1/ctest.log"
  if ctest --preset "$1" -j "$jobs" >"$log" 2>&1; then
    sed -n '/tests passed/,$p' "$log"
  else
    cat "$log"
    failed+=("$1")
    # Repeated at the end, where a log cut to its last lines still shows it.
    recap+=("$(sed -n '/tests passed/,$p' "$log")")
  fi
}

for b in "${builds[@]}"; do
  build "$b"
  case "$b" in
    sanitize)
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest "$b"
      ;;
    tsan)
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest "$b"
      ;;
    fuzz)
      echo "=== fuzz targets"
      if ! tools/run-fuzzers.sh build/fuzz 2>&1 | tee build/fuzz/fuzz-report.log; then
        failed+=(fuzz)
        recap+=("$(cat build/fuzz/fuzz-report.log)")
      fi
      ;;
    windows)
      # shellcheck source=tools/wine-session.sh
      source tools/wine-session.sh
      wine_session_start "$root/build/windows/wineprefix"
      trap wine_session_stop EXIT
      run_ctest "$b"
      wine_session_stop
      trap - EXIT
      ;;
    *)
      run_ctest "$b"
      ;;
  esac
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "=== what failed"
  for r in "${recap[@]}"; do echo "$r"; done
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test builds passed: ${builds[*]}"
