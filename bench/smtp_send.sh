#!/usr/bin/env bash
# A message with a 64 MB attachment sent to a fast loopback SMTP sink, once
# through TQxSMTP (the SMTP component alone, without the program around it)
# and once as curl's base64 MIME upload of the same file, in the same run.
# Prints where TQxSMTP spends its time, the wall time, CPU time and peak
# memory of both sending processes and the ratios; fails when TQxSMTP is
# slower than curl or its peak memory reaches 32 MB (the attachment is read
# from its file while it is sent).
#
# Needs the benchmark build (see bench/lib.sh), curl and a C compiler.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

size_mb=64
require_tools "$sink_program" curl

head -c $((size_mb * 1024 * 1024)) /dev/urandom > "$work/attachment.bin"

start_sink 2
"$sink_program" --send "$work/attachment.bin" "$port" # its own figures, composition time included
measure ours "$sink_program" --send "$work/attachment.bin" "$port"
stop_sink
start_sink 1
measure curl curl -sS "smtp://127.0.0.1:$port" --mail-from s@x --mail-rcpt r@x \
  -H "Subject: bench" -H "From: <s@x>" -H "To: r@x" -F "=Hello" -F "=@$work/attachment.bin;encoder=base64"
stop_sink

read -r ow oc op < <(summary ours)
read -r cw cc cp < <(summary curl)
printf '%-8s %10s %10s %12s\n' sender "wall s" "CPU s" "peak MB"
printf '%-8s %10s %10s %12s\n' TQxSMTP "$ow" "$oc" "$op" curl "$cw" "$cc" "$cp"
awk -v ow="$ow" -v cw="$cw" -v oc="$oc" -v cc="$cc" -v op="$op" -v cp="$cp" -v mb="$size_mb" 'BEGIN {
  printf "ratio TQxSMTP/curl: wall %.2f, CPU %.2f, peak %.2f\n", ow / cw, oc / cc, op / cp
  limit = 32
  printf "peak limit %d MB: %s\n", limit, (op < limit ? "kept" : "EXCEEDED")
  if (op >= limit || ow > cw) exit 1
}'
