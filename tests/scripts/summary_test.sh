#!/usr/bin/env bash
# Checks how scripts/test.sh adds up CTest runs, words its last line and
# decides its exit status, on made-up CTest output.
#   summary_test.sh <path of test.sh>
set -uo pipefail
# shellcheck source=../../scripts/test.sh
source "$1"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# ctest_output <passed> <failed> <registered> <finished>: what CTest prints for
# a run; an unfinished run (stopped half-way) has no summary line.
ctest_output() {
  local passed=$1 failed=$2 registered=$3 finished=$4 i
  for ((i = 1; i <= passed + failed; i++)); do
    printf '        Start %3d: Suite.Case%d\n' "$i" "$i"
    if ((i <= passed)); then
      printf '%3d/%d Test #%d: Suite.Case%d ..........   Passed    0.01 sec\n' "$i" "$registered" "$i" "$i"
    else
      printf '%3d/%d Test #%d: Suite.Case%d ..........***Failed    0.02 sec\n' "$i" "$registered" "$i" "$i"
    fi
  done
  if ((finished)); then
    printf '\n%d%% tests passed, %d tests failed out of %d\n' \
      $((passed * 100 / registered)) "$failed" "$registered"
  fi
}

# name | runs: passed/failed/registered/finished ... | failed steps
#      | how each run was taken (summary: CTest's line; cut: counted by hand)
#      | last line | verdict
cases=(
  "all pass|10/0/10/1||summary|100% tests passed, 0 tests failed out of 10|pass"
  "one failure among many never shows 100 %|409/1/410/1||summary|99% tests passed, 1 tests failed out of 410|fail"
  "percent rounds to nearest|2/1/3/1||summary|67% tests passed, 1 tests failed out of 3|fail"
  "a run cut short counts its unfinished tests as failed|3/1/10/0||cut|30% tests passed, 7 tests failed out of 10|fail"
  "runs of several builds add up|200/0/200/1 3/0/10/0 9/1/10/1||summary cut summary|96% tests passed, 8 tests failed out of 220|fail"
  "no tests at all is a failure||||0% tests passed, 0 tests failed out of 0|fail"
  "a failed build step fails though its tests pass|10/0/10/1|build win|summary|100% tests passed, 0 tests failed out of 10|fail"
)

failures=0
for row in "${cases[@]}"; do
  IFS='|' read -r name runs steps expected_taken expected_line expected_verdict <<<"$row"
  actual=$(
    tests_total=0 tests_failed=0 failed_steps=()
    [[ -n $steps ]] && failed_steps=("$steps")
    taken=()
    for run in $runs; do
      IFS=/ read -r passed failed registered finished <<<"$run"
      ctest_output "$passed" "$failed" "$registered" "$finished" >"$work/log"
      if add_counts "$work/log" "$registered"; then taken+=(summary); else taken+=(cut); fi
    done
    echo "${taken[*]}"
    print_summary | tail -n1
    if all_passed; then echo pass; else echo fail; fi
  )
  expected=$(printf '%s\n%s\n%s' "$expected_taken" "$expected_line" "$expected_verdict")
  if [[ $actual != "$expected" ]]; then
    printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$name" "${expected//$'\n'/ / }" "${actual//$'\n'/ / }"
    failures=$((failures + 1))
  fi
done

echo "${#cases[@]} cases, $failures failed"
((failures == 0))
