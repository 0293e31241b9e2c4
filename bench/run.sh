#!/usr/bin/env bash
# Builds the release configuration and prints the benchmark table (also
# written as build/bench/results.csv). Needs what the tests need.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" >/dev/null
mkdir -p build/bench
# The floor: a statically linked program that does nothing.
printf 'int main() { return 0; }\n' > build/bench/do_nothing.cpp
g++ -O2 -static build/bench/do_nothing.cpp -o build/bench/do_nothing
g++ -O2 -static bench/measure.cpp -o build/bench/measure
exec python3 bench/bench.py "$@"
