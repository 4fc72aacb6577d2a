#!/usr/bin/env bash
# Sets the machine up, builds mailshot four ways and runs every test of each:
#   build/native  the native build (RelWithDebInfo)
#   build/asan    native with AddressSanitizer and UndefinedBehaviorSanitizer
#   build/win     the Windows build, its test binaries run under Wine
#   build/fuzz    the libFuzzer targets alone (Clang, both sanitizers), each
#                 fuzzed briefly (scripts/fuzz.sh fuzzes longer)
# and, first of all, the packages (scripts/package.sh into dist/), which the
# native and Windows builds' tests check.
# A failing step does not stop the others; the script exits non-zero when any
# step failed and ends with one summary line over all builds in CTest's form.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${MAILSHOT_JOBS:-2}

# The builds in the order they run, each with its CMake arguments.
builds=(native asan win fuzz)
native_configure=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DMAILSHOT_PACKAGES=$root/dist")
asan_configure=(-DCMAKE_BUILD_TYPE=Debug -DMAILSHOT_SANITIZE=ON)
# The Windows tests' TLS server is the native build's scripted_server.
win_configure=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-w64.cmake"
  "-DMAILSHOT_NATIVE_SCRIPTED_SERVER=$root/build/native/tests/support/scripted_server"
  "-DMAILSHOT_PACKAGES=$root/dist")
# 30 s of fuzzing per target (scripts/fuzz.sh sets more in the same tree).
fuzz_configure=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAILSHOT_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++
  -DMAILSHOT_FUZZ_SECONDS=30)
# What each build builds: everything, but for the fuzz tree its targets.
native_target=all
asan_target=all
win_target=all
fuzz_target=fuzz
# How many tests of a build run at once. The Windows binaries share one
# display, one keyboard focus and one Wine server: run side by side, the
# end-to-end test's boxes lose the race for them. One at a time they take
# about a minute.
native_test_jobs=$jobs
asan_test_jobs=$jobs
win_test_jobs=1
fuzz_test_jobs=$jobs

failed_steps=()
tests_total=0
tests_failed=0
xvfb_pid=
wineserver=

banner() { printf '\n===== %s\n' "$*"; }

# step <name> <command>...: runs the command and remembers a failure.
step() {
  local name=$1
  shift
  banner "$name"
  if ! "$@"; then
    failed_steps+=("$name")
    return 1
  fi
}

cache_value() { # cache_value <build dir> <variable>
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# <build>_environment: sets up what the build's tests need from outside
# (paths, options, servers) just before its CTest run. Add there what new
# tests need.
native_environment() { :; }
asan_environment() {
  export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
}
fuzz_environment() { asan_environment; }
win_environment() {
  # One Wine server for the prefix of the build's tests (MailshotTest.cmake),
  # kept up until the script ends, spares each test binary the start of the
  # prefix's background services.
  export WINEPREFIX
  WINEPREFIX=$(cache_value build/win MAILSHOT_WINEPREFIX)
  wineserver=$(dirname "$(cache_value build/win MAILSHOT_WINE)")/wineserver
  mkdir -p "$WINEPREFIX" && "$wineserver" -p >/dev/null 2>&1
}

cleanup() {
  if [[ -n $wineserver ]]; then
    "$wineserver" -k >/dev/null 2>&1
  fi
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
}

# Window-creating code (Wine's, the program's end-to-end runs) needs an X
# display; Xvfb picks a free one and writes its number when ready.
start_display() {
  local number_file number tries
  number_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
  xvfb_pid=$!
  for ((tries = 0; tries < 100; tries++)); do
    [[ -s $number_file ]] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  number=$(head -n1 "$number_file")
  rm -f "$number_file"
  if [[ -z $number ]]; then
    echo "Xvfb did not start"
    return 1
  fi
  export DISPLAY=:$number
  echo "DISPLAY=$DISPLAY"
}

# add_counts <ctest output> <registered tests>: adds one CTest run to the
# totals: its own summary when it printed one, otherwise (CTest stopped
# half-way) every registered test that did not pass counts as failed.
# Returns non-zero in that second case.
add_counts() {
  local log=$1 registered=$2 summary passed
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
  if [[ $summary =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    tests_failed=$((tests_failed + BASH_REMATCH[1]))
    tests_total=$((tests_total + BASH_REMATCH[2]))
    return 0
  fi
  passed=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$' "$log")
  tests_failed=$((tests_failed + registered - passed))
  tests_total=$((tests_total + registered))
  return 1
}

# run_suite <build>: runs the build's tests and adds their counts.
run_suite() {
  local build=$1 log status registered
  local test_jobs="${build}_test_jobs"
  "${build}_environment" || return 1
  log=$(mktemp)
  (cd "build/$build" && ctest -j"${!test_jobs}" --output-on-failure --no-tests=error) 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  registered=$(cd "build/$build" && ctest -N | sed -n 's/^Total Tests: //p')
  add_counts "$log" "${registered:-0}" || status=1
  rm -f "$log"
  return "$status"
}

# The combined line keeps CTest's rounding: never 100 % with a failure.
print_summary() {
  local passed=$((tests_total - tests_failed)) percent=0
  if ((tests_total > 0)); then
    percent=$(((passed * 100 + tests_total / 2) / tests_total))
    if ((tests_failed > 0 && percent > 99)); then
      percent=99
    fi
  fi
  banner "all builds"
  if ((${#failed_steps[@]} > 0)); then
    printf 'failed step: %s\n' "${failed_steps[@]}"
  fi
  echo "$percent% tests passed, $tests_failed tests failed out of $tests_total"
}

# Succeeds only when every step did and tests ran.
all_passed() {
  ((${#failed_steps[@]} == 0 && tests_total > 0 && tests_failed == 0))
}

main() {
  cd "$root" || return 1
  trap cleanup EXIT
  if ! step setup scripts/setup.sh all; then
    print_summary
    return 1
  fi
  step display start_display
  step package scripts/package.sh

  local build configure target
  for build in "${builds[@]}"; do
    configure="${build}_configure[@]"
    target="${build}_target"
    if step "configure $build" cmake -S . -B "build/$build" -G Ninja "${!configure}"; then
      # -k 0: build what can be built, so the tests of the other areas still run.
      step "build $build" cmake --build "build/$build" -j"$jobs" --target "${!target}" -- -k 0
      step "test $build" run_suite "$build"
    fi
  done

  print_summary
  all_passed
}

# Sourced (by its own test), it only defines the functions.
if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  main
fi
