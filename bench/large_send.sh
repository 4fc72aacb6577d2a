#!/usr/bin/env bash
# Attachments of 64 MB, 256 MB and 1 GB sent by the whole mailshot process
# to a fast loopback sink, in plain text and over TLS from the first byte,
# beside curl's base64 MIME upload of the same file (smtp:// and smtps://).
# Prints the median wall time and the largest peak memory of each.
#
# Fails when a target is missed: a peak under 32 MB at every size, 256 MB in
# plain text in at most 0.1 x curl's time, 64 MB over TLS in at most 0.15 x
# curl's smtps time.
#
# Rounds per size: MAILSHOT_BENCH_LARGE_ROUNDS (default "3 2 1").
# Needs the benchmark build with the tests (see bench/lib.sh; its
# scripted_server makes the certificates), curl and a C compiler.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

program=$bench_build/mailshot
certificate_maker=$bench_build/tests/support/scripted_server
sizes=(64 256 1024)
read -r -a rounds <<< "${MAILSHOT_BENCH_LARGE_ROUNDS:-3 2 1}"
require_tools "$program" "$sink_program" "$certificate_maker" curl

# The inputs, named relative to $work: a switch value cannot hold "/".
cd "$work"
mkdir pki
"$certificate_maker" --make-certs pki
cp pki/ca.pem ca.pem
printf 'Hello,\r\nthe figures are attached.\r\n' > body.txt
printf 'r@x\r\n' > rcpt.txt
printf 'attachment.bin\r\n' > list.txt
switches=(/B:body.txt /T:rcpt.txt /F:s@x /S:bench /U:localhost /A:list.txt /NM /NE)

# send <label> <sender> <scheme>: one measured send of attachment.bin.
send() {
  local label=$1 sender=$2 scheme=$3
  if [[ $sender == mailshot ]]; then
    local tls=()
    [[ $scheme == smtps ]] && tls=(/ENCRYPT:TLS /CAFILE:ca.pem)
    measure "$label" "$program" "${switches[@]}" "${tls[@]}" "/SMTP:localhost:$port"
  else
    measure "$label" curl -sS "$scheme://localhost:$port" --cacert ca.pem --mail-from s@x --mail-rcpt r@x \
      -H "Subject: bench" -H "From: <s@x>" -H "To: r@x" -F "=Hello" -F "=@attachment.bin;encoder=base64"
  fi
}

printf '%-34s %10s %10s\n' "sender (medians)" "wall s" "peak MB"
for i in "${!sizes[@]}"; do
  size=${sizes[$i]}
  count=${rounds[$i]:-1}
  head -c $((size * 1024 * 1024)) /dev/urandom > attachment.bin
  for scheme in smtp smtps; do
    sink_options=()
    [[ $scheme == smtps ]] && sink_options=(--tls pki/trusted.pem pki/key.pem)
    start_sink $((count * 2)) "${sink_options[@]}"
    for ((r = 0; r < count; r++)); do
      # Alternating who goes first, so that neither always finds a warm cache.
      if ((r % 2 == 0)); then
        send "$size.$scheme.mailshot" mailshot "$scheme"; send "$size.$scheme.curl" curl "$scheme"
      else
        send "$size.$scheme.curl" curl "$scheme"; send "$size.$scheme.mailshot" mailshot "$scheme"
      fi
    done
    stop_sink
    for sender in mailshot curl; do
      read -r wall _ peak < <(summary "$size.$scheme.$sender")
      printf '%-34s %10.3f %10.1f\n' "$size MB $scheme, $sender" "$wall" "$peak"
    done
  done
done
rm -f attachment.bin

ratio() { # ratio <size> <scheme>: mailshot's median wall time / curl's
  read -r ours _ < <(summary "$1.$2.mailshot")
  read -r theirs _ < <(summary "$1.$2.curl")
  awk -v o="$ours" -v t="$theirs" 'BEGIN { print o / t }'
}
printf '\ntargets\n'
for size in "${sizes[@]}"; do
  for scheme in smtp smtps; do
    read -r _ _ peak < <(summary "$size.$scheme.mailshot")
    check "$size MB $scheme: mailshot peak MB < 32" "$peak" 31.99
  done
done
check "256 MB plain: mailshot wall / curl <= 0.1" "$(ratio 256 smtp)" 0.1
check "64 MB over TLS: mailshot wall / curl smtps <= 0.15" "$(ratio 64 smtps)" 0.15
exit "$missed"
