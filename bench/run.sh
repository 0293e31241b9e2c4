#!/usr/bin/env bash
# Builds the release configuration (and the DEB's dynamically linked program,
# build-debian/) and prints the benchmark table (also written as
# build/bench/results.csv). Needs what the tests need. Its options are
# bench/bench.py's: bench/run.sh --help lists them.
set -euo pipefail
cd "$(dirname "$0")/.."
# The options are checked, and --help answered, before the build.
for argument in "$@"; do
  [[ $argument == -h || $argument == --help ]] && exec python3 bench/bench.py --help
done
python3 -B -c 'import sys; sys.path.insert(0, "bench"); import bench; bench.parse_arguments()' "$@"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" >/dev/null
# The DEB's program, linked dynamically: one row of its own.
cmake --preset debian >/dev/null
cmake --build --preset debian -j "$(nproc)" --target tavikmigrate >/dev/null
mkdir -p build/bench
g++ -std=c++17 -O2 -static bench/durable_rewrite.cpp -o build/bench/durable_rewrite
g++ -std=c++17 -O2 -static bench/measure.cpp -o build/bench/measure
g++ -std=c++17 -O2 -static bench/recent_files.cpp -o build/bench/recent_files
exec python3 bench/bench.py "$@"
