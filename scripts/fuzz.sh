#!/usr/bin/env bash
# Fuzzes the profile reader and the user.reg reader and writer with libFuzzer
# for SECONDS each (default 60), starting from the seeds in tests/fuzz/corpus.
# Prints the executions per target; fails on the first crash or broken
# property, leaving the input that caused it in build-fuzz/.
# A longer run: scripts/fuzz.sh 3600
set -euo pipefail
usage="Usage: scripts/fuzz.sh [SECONDS]

Fuzzes the profile reader and the user.reg reader and writer with libFuzzer
for SECONDS each (default 60), from the seeds in tests/fuzz/corpus.
Exit status: 0 no fault found; 1 a fault, its input left in build-fuzz/."
seconds=60
if (($#)); then
  [[ $1 == -h || $1 == --help ]] && { echo "$usage"; exit 0; }
  if (($# > 1)) || [[ ! $1 =~ ^[1-9][0-9]*$ ]]; then
    echo "fuzz.sh: unknown option '${@: -1}'; see 'scripts/fuzz.sh --help'" >&2
    exit 2
  fi
  seconds=$1
fi
cd "$(dirname "$0")/.."

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target profile_fuzzer user_reg_fuzzer >/dev/null

printf '%-18s %12s %10s\n' target executions seconds
for target in profile_fuzzer user_reg_fuzzer; do
  seeds=tests/fuzz/corpus/${target%_fuzzer}
  corpus=build-fuzz/corpus-${target%_fuzzer}
  mkdir -p "$corpus"
  log=build-fuzz/$target.log
  if ! (cd build-fuzz && "./$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
        -print_final_stats=1 "${corpus#build-fuzz/}" "../$seeds") >"$log" 2>&1; then
    tail -40 "$log"
    echo "$target found a fault; the input is in build-fuzz/ (crash-*, timeout-*)" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  printf '%-18s %12s %10s\n' "$target" "$runs" "$seconds"
done
echo "fuzz: 2 passed, 0 failed"
