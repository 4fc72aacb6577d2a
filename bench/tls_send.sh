#!/usr/bin/env bash
# The whole mailshot process over TLS from the first byte (/ENCRYPT:TLS) to
# a fast loopback TLS sink that presents a certificate of a test CA, which
# both senders trust through a CA file:
#   a 64 MB attachment: mailshot and curl's smtps:// base64 MIME upload of
#     the same file, side by side in alternating rounds;
#   the same attachment by mailshot in plain text, for its peak memory;
#   a small message over TLS and in plain text: the difference of the
#     medians is what the TLS session costs (handshake, certificate check,
#     close), the handshake's share measured in-process by tls_bench.
# Prints the median wall and CPU time and the largest peak memory of each.
#
# Fails when a target is missed: over TLS the 64 MB attachment at most
# 0.5 x curl's wall time, and a peak of at most the plain-text peak + 16 MB.
#
# Needs the benchmark build with the tests (see bench/lib.sh; its
# scripted_server makes the certificates), curl and a C compiler.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

program=$bench_build/mailshot
certificate_maker=$bench_build/tests/support/scripted_server
size_mb=64
large_rounds=${MAILSHOT_BENCH_TLS_ROUNDS:-5}
small_rounds=${MAILSHOT_BENCH_SMALL_ROUNDS:-20}
require_tools "$program" "$sink_program" "$certificate_maker" curl

# The inputs, named relative to $work: a switch value cannot hold "/".
cd "$work"
mkdir pki
"$certificate_maker" --make-certs pki
cp pki/ca.pem ca.pem
tls=(--tls pki/trusted.pem pki/key.pem)
printf 'Hello,\r\nthe figures are attached.\r\nRegards\r\n' > body.txt
printf 'r@x\r\n' > rcpt.txt
printf 'From: <s@x>\r\nTo: r@x\r\nSubject: bench\r\n\r\nHello\r\n' > message.eml
head -c $((size_mb * 1024 * 1024)) /dev/urandom > attachment.bin
printf 'attachment.bin\r\n' > list.txt
switches=(/B:body.txt /T:rcpt.txt /F:s@x /S:bench /U:localhost /NM /NE)
over_tls=(/ENCRYPT:TLS /CAFILE:ca.pem)

# send <message> <sender>: one measured send of the small message or of the
# attachment, over TLS unless the sender is plain.
send() {
  local message=$1 sender=$2 attachment=()
  [[ $message == small ]] || attachment=(/A:list.txt)
  case $sender in
    mailshot) measure "$message.$sender" "$program" "${switches[@]}" "${attachment[@]}" "${over_tls[@]}" \
      "/SMTP:localhost:$port" ;;
    plain) measure "$message.$sender" "$program" "${switches[@]}" "${attachment[@]}" "/SMTP:localhost:$port" ;;
    curl)
      if [[ $message == small ]]; then
        measure small.curl curl -sS "smtps://localhost:$port" --cacert ca.pem --mail-from s@x --mail-rcpt r@x \
          --upload-file message.eml
      else
        measure large.curl curl -sS "smtps://localhost:$port" --cacert ca.pem --mail-from s@x --mail-rcpt r@x \
          -H "Subject: bench" -H "From: <s@x>" -H "To: r@x" -F "=Hello" -F "=@attachment.bin;encoder=base64"
      fi
      ;;
  esac
}

# rounds <message> <count> <sink options> -- <sender>...: each round sends
# once per sender, starting one sender further on than the round before.
rounds() {
  local message=$1 count=$2 i k sink_options=()
  shift 2
  while [[ $1 != -- ]]; do sink_options+=("$1"); shift; done
  shift
  local senders=("$@")
  start_sink $((count * ${#senders[@]})) "${sink_options[@]}"
  for ((i = 0; i < count; i++)); do
    for ((k = 0; k < ${#senders[@]}; k++)); do send "$message" "${senders[(i + k) % ${#senders[@]}]}"; done
  done
  stop_sink
}

rounds small "$small_rounds" "${tls[@]}" -- mailshot curl
rounds small "$small_rounds" -- plain
rounds large "$large_rounds" "${tls[@]}" -- mailshot curl
rounds large "$large_rounds" -- plain

printf '%-30s %10s %10s %10s\n' "sender (medians)" "wall s" "CPU s" "peak MB"
line() { printf '%-30s %10s %10s %10s\n' "$1" $(summary "$2"); }
line "small, mailshot over TLS" small.mailshot
line "small, mailshot plain text" small.plain
line "small, curl over TLS" small.curl
line "$size_mb MB, mailshot over TLS" large.mailshot
line "$size_mb MB, mailshot plain text" large.plain
line "$size_mb MB, curl over TLS" large.curl

read -r small_tls _ < <(summary small.mailshot)
read -r small_plain _ < <(summary small.plain)
read -r tls_wall _ tls_peak < <(summary large.mailshot)
read -r _ _ plain_peak < <(summary large.plain)
read -r curl_wall _ < <(summary large.curl)
awk -v t="$small_tls" -v p="$small_plain" 'BEGIN { printf "\nTLS session of a small message: %.1f ms\n", (t - p) * 1000 }'

printf '\ntargets\n'
check "$size_mb MB over TLS: mailshot wall s <= 0.5 x curl" "$tls_wall" "$(awk -v c="$curl_wall" 'BEGIN { print 0.5 * c }')"
check "$size_mb MB over TLS: peak MB <= plain-text peak + 16" "$tls_peak" "$(awk -v p="$plain_peak" 'BEGIN { print p + 16 }')"
exit "$missed"
