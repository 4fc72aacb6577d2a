#!/usr/bin/env bash
# The whole mailshot process against other SMTP senders, side by side in one
# run, each sending the same message to the same fast loopback SMTP sink:
#   small message (a few body lines): mailshot, curl's SMTP upload and swaks,
#     each run $runs times; the mean per run and the largest peak are shown;
#   64 MB attachment: mailshot and curl's base64 MIME upload of the same file.
# Prints wall time, CPU time and peak memory of every sending process and the
# ratios to curl. Fails when mailshot is slower than curl for either message,
# or when its peak memory for the large one reaches 3 times the attachment
# plus 16 MB.
#
# Needs the benchmark build (MAILSHOT_BENCH_BUILD, as scripts/bench.sh sets
# it; default build/bench) with the program, curl, swaks and a C compiler.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${MAILSHOT_BENCH_BUILD:-$root/build/bench}
program=$build/mailshot
sink_program=$build/bench/smtp_send_bench
runs=20
size_mb=64
for tool in "$program" "$sink_program" cc curl swaks; do
  command -v "$tool" > /dev/null || { echo "program_send.sh: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
sink_pid=
cleanup() {
  [[ -n $sink_pid ]] && kill "$sink_pid" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# start_sink <connections>: a sink that serves that many clients, then ends.
start_sink() {
  "$sink_program" --sink "$1" > "$work/port" &
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
# Prints "wall user system peak-KB".
cat > "$work/measure.c" <<'EOF_C'
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
cc -O2 -o "$work/measure" "$work/measure.c"

# measure <name> <command>...: one run; appends "wall user system peak-KB" to $work/<name>.
measure() {
  local name=$1
  shift
  "$work/measure" "$@" >> "$work/$name" 2>> "$work/errors" \
    || { echo "program_send.sh: $name failed:" >&2; cat "$work/errors" >&2; exit 1; }
}

# The inputs, named relative to $work: a switch value cannot hold "/".
cd "$work"
printf 'Hello,\r\nthe figures are attached.\r\nRegards\r\n' > body.txt
printf 'r@x\r\n' > rcpt.txt
printf 'attachment.bin\r\n' > list.txt
head -c $((size_mb * 1024 * 1024)) /dev/urandom > attachment.bin
# What mailshot composes for the small message, for the senders that take a whole message.
printf 'From: <s@x>\r\nTo: r@x\r\nSubject: bench\r\nMime-Version: 1.0\r\nContent-Type: text/plain; charset=Windows-1251\r\n\r\n' > message.eml
cat body.txt >> message.eml
switches=(/B:body.txt /T:rcpt.txt /F:s@x /S:bench /U:localhost /NM /NE)

start_sink $((3 * runs))
for ((i = 0; i < runs; i++)); do
  measure small.mailshot "$program" "${switches[@]}" "/SMTP:127.0.0.1:$port"
  measure small.curl curl -sS "smtp://127.0.0.1:$port" --mail-from s@x --mail-rcpt r@x --upload-file message.eml
  measure small.swaks swaks --silent 2 --server "127.0.0.1:$port" --helo localhost --from s@x --to r@x \
    --data message.eml
done
stop_sink

start_sink 2
measure large.mailshot "$program" "${switches[@]}" /A:list.txt "/SMTP:127.0.0.1:$port"
measure large.curl curl -sS "smtp://127.0.0.1:$port" --mail-from s@x --mail-rcpt r@x \
  -H "Subject: bench" -H "From: <s@x>" -H "To: r@x" -F "=Hello" -F "=@attachment.bin;encoder=base64"
stop_sink

# summary <file>: mean wall s, mean CPU s, largest peak MB over the runs in file.
summary() {
  awk '{ w += $1; c += $2 + $3; if ($4 > p) p = $4; n++ } END { printf "%.5f %.5f %.1f\n", w / n, c / n, p / 1024 }' "$1"
}

report() { # report <message> <sender>...
  local message=$1
  shift
  printf '\n%s\n%-9s %12s %12s %10s\n' "$message" sender "wall s" "CPU s" "peak MB"
  for sender in "$@"; do
    read -r wall cpu peak < <(summary "$work/$message.$sender")
    printf '%-9s %12s %12s %10s\n' "$sender" "$wall" "$cpu" "$peak"
  done
}

report small mailshot curl swaks
report large mailshot curl

read -r sw sc sp < <(summary "$work/small.mailshot")
read -r cw cc cp < <(summary "$work/small.curl")
read -r kw kc kp < <(summary "$work/small.swaks")
read -r lw lc lp < <(summary "$work/large.mailshot")
read -r mw mc mp < <(summary "$work/large.curl")
awk -v sw="$sw" -v sc="$sc" -v sp="$sp" -v cw="$cw" -v cc="$cc" -v cp="$cp" -v kw="$kw" -v kc="$kc" -v kp="$kp" \
    -v lw="$lw" -v lc="$lc" -v lp="$lp" -v mw="$mw" -v mc="$mc" -v mp="$mp" -v mb="$size_mb" -v runs="$runs" 'BEGIN {
  printf "\nsmall (mean of %d runs): mailshot/curl wall %.2f, CPU %.2f, peak %.2f; mailshot/swaks wall %.2f, CPU %.2f, peak %.2f\n",
    runs, sw / cw, sc / cc, sp / cp, sw / kw, sc / kc, sp / kp
  printf "large (%d MB attachment): mailshot/curl wall %.2f, CPU %.2f, peak %.2f\n", mb, lw / mw, lc / mc, lp / mp
  limit = 3 * mb + 16
  printf "small message no slower than curl: %s\n", (sw <= cw ? "kept" : "MISSED")
  printf "large message no slower than curl: %s\n", (lw <= mw ? "kept" : "MISSED")
  printf "large message peak below %d MB: %s\n", limit, (lp < limit ? "kept" : "EXCEEDED")
  if (sw > cw || lw > mw || lp >= limit) exit 1
}'
