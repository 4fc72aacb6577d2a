#!/usr/bin/env bash
# Fuzzes the libFuzzer targets of tests/fuzz for longer than the suite does:
#   scripts/fuzz.sh [target] [seconds]
# each target in turn (or the one named) for the seconds given (600 by
# default), under AddressSanitizer and UndefinedBehaviorSanitizer, with the
# same bounds per input as the suite's short run. Builds build/fuzz (Clang)
# first. What the fuzzer finds stays in build/fuzz/tests/fuzz/corpus/<target>/
# for the next run; an input that fails is kept as
# build/fuzz/tests/fuzz/<target>-crash-... (or -timeout-, -oom-), and the
# script exits non-zero.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1
build=build/fuzz
wanted=${1:-}
seconds=${2:-600}

scripts/setup.sh || exit 1
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAILSHOT_FUZZ=ON \
  -DCMAKE_CXX_COMPILER=clang++ -DMAILSHOT_FUZZ_SECONDS="$seconds" || exit 1
cmake --build "$build" -j"${MAILSHOT_JOBS:-2}" --target fuzz || exit 1

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for source in tests/fuzz/*_fuzz.cpp; do
  target=$(basename "$source" .cpp)
  [[ -z $wanted || $wanted == "$target" ]] || continue
  printf '\n===== %s, %s s\n' "$target" "$seconds"
  # The suite's test, with its bounds per input, run for longer.
  (cd "$build" && ctest -R "^$target\$" --output-on-failure) || failed+=("$target")
done
if ((${#failed[@]} > 0)); then
  printf '\nfailed: %s\n' "${failed[*]}"
  exit 1
fi
