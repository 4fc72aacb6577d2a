#!/usr/bin/env bash
# A message with a 64 MB attachment sent to a fast loopback SMTP sink, once
# through TQxSMTP and once as curl's base64 MIME upload of the same file, in
# the same run. Prints wall time, CPU time and peak memory of both sending
# processes and the ratios; fails when TQxSMTP is slower than curl or its
# peak memory reaches 3 times the attachment plus 16 MB.
#
# Needs the benchmark build (MAILSHOT_BENCH_BUILD, as scripts/bench.sh sets
# it; default build/bench), curl and GNU time (/usr/bin/time).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${MAILSHOT_BENCH_BUILD:-$root/build/bench}
program=$build/bench/smtp_send_bench
size_mb=64
for tool in "$program" /usr/bin/time curl; do
  command -v "$tool" > /dev/null || { echo "smtp_send.sh: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
sink_pid=
cleanup() {
  [[ -n $sink_pid ]] && kill "$sink_pid" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

head -c $((size_mb * 1024 * 1024)) /dev/urandom > "$work/attachment.bin"

# One sink for both senders, in a process of its own.
"$program" --sink 2 > "$work/port" &
sink_pid=$!
for _ in $(seq 100); do [[ -s $work/port ]] && break; sleep 0.05; done
port=$(head -n 1 "$work/port")

/usr/bin/time -v -o "$work/ours.time" "$program" --send "$work/attachment.bin" "$port" > "$work/ours.out"
/usr/bin/time -v -o "$work/curl.time" curl -sS "smtp://127.0.0.1:$port" --mail-from s@x --mail-rcpt r@x \
  -H "Subject: bench" -H "From: <s@x>" -H "To: r@x" \
  -F "=Hello" -F "=@$work/attachment.bin;encoder=base64" > "$work/curl.out"
wait "$sink_pid" || true
sink_pid=

# Fields of GNU time's verbose report.
wall() { awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' "$1"; }
cpu() { awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { printf "%.2f", u + s }' "$1"; }
peak_mb() { awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$1"; }

printf '%s\n' "$(cat "$work/ours.out")"
printf '%-8s %10s %10s %12s\n' sender "wall s" "CPU s" "peak MB"
printf '%-8s %10s %10s %12s\n' TQxSMTP "$(wall "$work/ours.time")" "$(cpu "$work/ours.time")" "$(peak_mb "$work/ours.time")"
printf '%-8s %10s %10s %12s\n' curl "$(wall "$work/curl.time")" "$(cpu "$work/curl.time")" "$(peak_mb "$work/curl.time")"

awk -v ow="$(wall "$work/ours.time")" -v cw="$(wall "$work/curl.time")" \
    -v oc="$(cpu "$work/ours.time")" -v cc="$(cpu "$work/curl.time")" \
    -v op="$(peak_mb "$work/ours.time")" -v cp="$(peak_mb "$work/curl.time")" -v mb="$size_mb" 'BEGIN {
  printf "ratio TQxSMTP/curl: wall %.2f, CPU %.2f, peak %.2f\n", ow / cw, oc / cc, op / cp
  limit = 3 * mb + 16
  printf "peak limit %d MB: %s\n", limit, (op < limit ? "kept" : "EXCEEDED")
  if (op >= limit || ow > cw) exit 1
}'
