#!/usr/bin/env bash
# Builds and runs every test: native (g++), native under AddressSanitizer and
# UndefinedBehaviorSanitizer, the engine under ThreadSanitizer, the fuzz targets for a bounded
# time (clang, libFuzzer), and the Windows cross build under Wine.
#   tools/run-tests.sh             all five
#   tools/run-tests.sh native      just one of native, sanitize, tsan, fuzz, windows
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(native sanitize tsan fuzz windows)

needs=native
for b in "${builds[@]}"; do [ "$b" = windows ] && needs=all; done
tools/install-deps.sh "$needs"

jobs=$(nproc)
failed=()
recap=()

configure_and_build() {  # dir, cmake args...
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

run_ctest() {  # name, dir
  echo "=== $1 tests"
  local log="$2/ctest.log"
  if ctest --test-dir "$2" -j "$jobs" --timeout 600 --output-on-failure >"$log" 2>&1; then
    sed -n '/tests passed/,$p' "$log"
  else
    cat "$log"
    failed+=("$1")
    # Repeated at the end, where a log cut to its last lines still shows it.
    recap+=("$(sed -n '/tests passed/,$p' "$log")")
  fi
}

for build in "${builds[@]}"; do
  case "$build" in
    native)
      configure_and_build build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
      run_ctest native build/native
      ;;
    sanitize)
      configure_and_build build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUARVELIN_SANITIZE=ON
      export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
      run_ctest sanitize build/sanitize
      ;;
    tsan)
      configure_and_build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARVELIN_TSAN=ON
      export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
      run_ctest tsan build/tsan
      ;;
    fuzz)
      CC=clang CXX=clang++ configure_and_build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUARVELIN_FUZZ=ON
      echo "=== fuzz targets"
      if ! tools/run-fuzzers.sh build/fuzz 2>&1 | tee build/fuzz/fuzz-report.log; then
        failed+=(fuzz)
        recap+=("$(cat build/fuzz/fuzz-report.log)")
      fi
      ;;
    windows)
      configure_and_build build/windows -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
      # shellcheck source=tools/wine-session.sh
      source tools/wine-session.sh
      wine_session_start "$root/build/windows/wineprefix"
      trap wine_session_stop EXIT
      run_ctest windows build/windows
      wine_session_stop
      trap - EXIT
      ;;
    *)
      echo "unknown build '$build' (native, sanitize, tsan, fuzz, windows)" >&2
      exit 2
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
