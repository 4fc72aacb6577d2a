# Shared by the whole-process benchmark scripts (sourced, not run): the
# build to measure, a work folder removed on exit, the fast loopback SMTP
# sink and a helper that measures one process.
#
# Sets: bench_name, bench_build (MAILSHOT_BENCH_BUILD, as scripts/bench.sh
# sets it; default build/bench), sink_program, work, port (after start_sink).

bench_name=$(basename "$0")
bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_build=${MAILSHOT_BENCH_BUILD:-$bench_root/build/bench}
sink_program=$bench_build/bench/smtp_send_bench

# require_tools <tool>...: stops the script when one is missing.
require_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" > /dev/null || { echo "$bench_name: $tool is missing" >&2; exit 1; }
  done
}

work=$(mktemp -d)
sink_pid=
bench_cleanup() {
  [[ -n $sink_pid ]] && kill "$sink_pid" 2> /dev/null || true
  rm -rf "$work"
}
trap bench_cleanup EXIT

# start_sink <connections> [--tls <certificate> <key>]: a sink that serves
# that many clients one after the other (in TLS from the first byte with
# --tls), then ends; sets port.
start_sink() {
  "$sink_program" --sink "$@" > "$work/port" &
  sink_pid=$!
  for _ in $(seq 100); do [[ -s $work/port ]] && break; sleep 0.05; done
  port=$(head -n 1 "$work/port")
  : > "$work/port"
}
stop_sink() {
  wait "$sink_pid" || true
  sink_pid=
}

# GNU time counts CPU in hundredths of a second, too coarse for a small
# send, and a forking interpreter would lend the child its own memory and
# page-table work; this small helper forks, execs and reads wait4's figures.
# It prints "wall user system peak-KB"; the child's standard output is dropped.
cat > "$work/measure.c" << 'EOF_C'
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
int main(int argc, char** argv) {
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open("/dev/null", O_WRONLY), 1);
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  clock_gettime(CLOCK_MONOTONIC, &end);
  printf("%.6f %.6f %.6f %ld\n", (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9,
         usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6, usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6,
         usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
EOF_C
require_tools cc
cc -O2 -o "$work/measure" "$work/measure.c"

# measure <name> <command>...: one run; appends "wall user system peak-KB"
# to $work/<name>. A failing command stops the script with its errors.
measure() {
  local name=$1
  shift
  "$work/measure" "$@" >> "$work/$name" 2>> "$work/errors" \
    || { echo "$bench_name: $name failed:" >&2; cat "$work/errors" >&2; exit 1; }
}

# summary <name>: "median-wall-s median-CPU-s largest-peak-MB" over the runs
# measured under name.
summary() {
  sort -n -k1,1 "$work/$1" | awk '{ w[NR] = $1 } END { printf "%.5f ", (NR % 2) ? w[(NR + 1) / 2] : (w[NR / 2] + w[NR / 2 + 1]) / 2 }'
  awk '{ print $2 + $3 }' "$work/$1" | sort -n | awk '{ c[NR] = $1 } END { printf "%.5f ", (NR % 2) ? c[(NR + 1) / 2] : (c[NR / 2] + c[NR / 2 + 1]) / 2 }'
  awk '{ if ($4 > p) p = $4 } END { printf "%.1f\n", p / 1024 }' "$work/$1"
}

# check <what> <value> <limit>: prints whether value <= limit; a miss sets
# missed to 1 (the script's exit status).
missed=0
check() {
  if awk -v v="$2" -v l="$3" 'BEGIN { exit !(v <= l) }'; then
    printf '%-58s %10.4f <= %10.4f kept\n' "$1" "$2" "$3"
  else
    printf '%-58s %10.4f >  %10.4f MISSED\n' "$1" "$2" "$3"
    missed=1
  fi
}
