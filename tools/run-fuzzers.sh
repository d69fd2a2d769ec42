#!/usr/bin/env bash
# Runs every fuzz target of a QUARVELIN_FUZZ build for a bounded time.
#   tools/run-fuzzers.sh BUILD_DIR
# First each target runs once over its committed inputs (fuzz/corpus/<target>/: seeds and inputs
# that once found a fault), so a regression fails fast; then it fuzzes for its share of the time
# from a temporary copy of those inputs and the sample files, so the tree is never written to.
# FUZZ_SECONDS=<n> gives every target n seconds instead of its usual share.
# Exits non-zero when any target crashes, leaks, times out or runs out of memory; the failing input
# is kept under BUILD_DIR/fuzz-artifacts/.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
bin=$build/bin
artifacts=$build/fuzz-artifacts

# target  seconds  max_len
targets=(
  "codec_fuzzer      20  16384"
  "validators_fuzzer 35  65536"
  "scan_fuzzer       40  262144"
  "exfat_fuzzer      15  524288"
  "fat_fuzzer        15  1048576"
  "partitions_fuzzer 15  1052672"
  "ntfs_fuzzer       15  1048576"
  "scan_progress_fuzzer 10 65536"
  "rescue_map_fuzzer 10  65536"
)

work=$(mktemp -d "${TMPDIR:-/tmp}/quarvelin-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The scan target writes its carved files under the temporary folder.
export TMPDIR=$work
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

# seeds TARGET DIR: fills DIR with the starting inputs for TARGET beyond its committed ones.
seeds() {
  local dir=$2 f
  case "$1" in
    validators_fuzzer)
      cp "$root"/testdata/files/* "$dir"/
      ;;
    scan_fuzzer)
      # The first byte shapes the disk (0: 512-byte sectors, no faults; 1: 4096-byte sectors).
      for f in "$root"/testdata/files/*; do
        { printf '\000'; head -c 262143 "$f"; } >"$dir/$(basename "$f")"
      done
      { printf '\000'; head -c 262143 "$root/testdata/sample_disk.img"; } >"$dir/sample_disk_512"
      { printf '\001'; head -c 262143 "$root/testdata/sample_disk.img"; } >"$dir/sample_disk_4096"
      ;;
  esac
}

# report TARGET LOG: the end of the log, the failing input, then the error and its first frames,
# last, so that a log cut to its final lines still says what failed and where.
report() {
  local target=$1 log=$2 unit packed
  echo "    --- last lines of the $target log:"
  tail -n 40 "$log" | sed 's/^/    /'
  unit=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
  if [ -n "$unit" ] && [ -f "$unit" ]; then
    mkdir -p "$artifacts"
    cp "$unit" "$artifacts/"
    echo "    failing input: $artifacts/$(basename "$unit")"
    # Small inputs are printed too, to be rebuilt with  base64 -d | gunzip > input
    packed=$(gzip -9nc "$unit" | base64 -w 100)
    if [ ${#packed} -le 8000 ]; then
      echo "    failing input, gzip | base64:"
      echo "$packed" | sed 's/^/    /'
    fi
  fi
  echo "    --- $target: $(verdict "$log")"
  grep -m 1 -A 12 -E '^==[0-9]+==.*ERROR|ERROR: libFuzzer' "$log" | sed 's/^/    /' || true
  # A large input is not printed; its shape (often one header repeated) still says a lot.
  if [ -n "$unit" ] && [ -f "$unit" ]; then
    python3 - "$unit" <<'PY' | sed 's/^/    /' || true
import collections, sys
data = open(sys.argv[1], "rb").read()
grams = collections.Counter(data[i:i + 4] for i in range(len(data) - 3))
common = ", ".join(f"{g!r}x{n}" for g, n in grams.most_common(6))
print(f"input: {len(data)} bytes, first byte {data[:1].hex() or '-'}; commonest 4-byte runs: {common}")
PY
  fi
}

# verdict LOG: what ended a failed run.
verdict() {
  local log=$1
  if grep -q 'ERROR: libFuzzer: timeout' "$log"; then echo timeout
  elif grep -q 'ERROR: libFuzzer: out-of-memory' "$log"; then echo out-of-memory
  elif grep -q 'ERROR: LeakSanitizer' "$log"; then echo leak
  else echo crash
  fi
}

failed=()
start_all=$SECONDS
for entry in "${targets[@]}"; do
  read -r target seconds max_len <<<"$entry"
  seconds=${FUZZ_SECONDS:-$seconds}
  exe=$bin/$target
  name=${target%_fuzzer}
  committed=$root/fuzz/corpus/$name
  options=(-timeout=10 -rss_limit_mb=2048 -max_len="$max_len" -artifact_prefix="$work/$name-")
  if [ ! -x "$exe" ]; then
    printf '%-18s missing: %s\n' "$target" "$exe"
    failed+=("$target")
    continue
  fi

  # Committed inputs, each run once.
  log=$work/$name-regression.log
  inputs=()
  if [ -d "$committed" ]; then
    while IFS= read -r -d '' f; do inputs+=("$f"); done \
      < <(find "$committed" -type f -print0 | sort -z)
  fi
  if [ ${#inputs[@]} -gt 0 ] && ! "$exe" "${options[@]}" "${inputs[@]}" >"$log" 2>&1; then
    printf '%-18s regression inputs: %s\n' "$target" "$(verdict "$log")"
    report "$target" "$log"
    failed+=("$target")
    continue
  fi

  # Then fuzzing from a working copy of the committed inputs and the seeds.
  corpus=$work/$name-corpus
  mkdir -p "$corpus"
  [ ${#inputs[@]} -gt 0 ] && cp "${inputs[@]}" "$corpus"/
  seeds "$target" "$corpus"
  log=$work/$name.log
  began=$SECONDS
  status=0
  "$exe" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 "$corpus" \
    >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  [ -z "$runs" ] && runs=$(sed -n 's/^#\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  if [ $status -eq 0 ]; then
    result=ok
  else
    result="$(verdict "$log") (exit $status)"
  fi
  printf '%-18s %9s runs %4ds  %s\n' "$target" "${runs:-?}" $((SECONDS - began)) "$result"
  if [ $status -ne 0 ]; then
    report "$target" "$log"
    failed+=("$target")
  fi
done

echo "fuzzing took $((SECONDS - start_all))s"
if [ ${#failed[@]} -ne 0 ]; then
  echo "FUZZ FAILURES: ${failed[*]}"
  exit 1
fi
