#!/usr/bin/env bash
# Builds the benchmarks (build/bench, Release) and runs them all: first every
# bench/*_bench program, then every executable bench/*.sh script, which finds
# the build in MAILSHOT_BENCH_BUILD. Arguments go to each benchmark program
# (--benchmark_filter=..., say). Exits non-zero when any of them failed.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=build/bench
failed=()

scripts/setup.sh || exit 1
# The tests stay on: benchmarks may use the scripted test server.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMAILSHOT_BENCH=ON -DMAILSHOT_TESTS=ON || exit 1
cmake --build "$build" -j"${MAILSHOT_JOBS:-2}" || exit 1

export MAILSHOT_BENCH_BUILD=$root/$build
for source in bench/*_bench.cpp; do
  [[ -e $source ]] || continue
  name=$(basename "$source" .cpp)
  printf '\n===== %s\n' "$name"
  "$build/bench/$name" "$@" || failed+=("$name")
done
for script in bench/*.sh; do
  [[ -x $script ]] || continue
  printf '\n===== %s\n' "$script"
  "$script" || failed+=("$script")
done

if ((${#failed[@]} > 0)); then
  printf '\nfailed: %s\n' "${failed[*]}"
  exit 1
fi
