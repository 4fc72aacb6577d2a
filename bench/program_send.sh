#!/usr/bin/env bash
# The whole mailshot process against other SMTP senders, side by side in one
# run, each sending the same message to the same fast loopback SMTP sink, in
# alternating rounds (so that a burst of load on a shared machine hits every
# sender alike):
#   small message (a few body lines): mailshot, curl's SMTP upload and swaks;
#   1 MB, 64 MB and 256 MB attachments: mailshot and curl's base64 MIME
#     upload of the same file.
# Prints the median wall and CPU time and the largest peak memory of every
# sender, and the ratios to curl. With MAILSHOT_BENCH_BASELINE naming another
# mailshot program (an earlier build, say), that one runs in every round too
# as "before".
#
# Fails when a target is missed: the small message at most 0.3 x curl's wall
# time; the 64 MB and 256 MB attachments at most 0.1 x curl's wall time and a
# peak of at most 1.5 x the attachment + 16 MB; with a baseline, the 64 MB
# attachment at most 0.6 x its wall time.
#
# Needs the benchmark build (see bench/lib.sh), curl, swaks and a C compiler.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

program=$bench_build/mailshot
baseline=${MAILSHOT_BENCH_BASELINE:-}
small_rounds=${MAILSHOT_BENCH_SMALL_ROUNDS:-20}
sizes_mb=(1 64 256)
rounds_of_size=(10 5 3)
require_tools "$program" "$sink_program" curl swaks
[[ -z $baseline ]] || require_tools "$baseline"

# The inputs, named relative to $work: a switch value cannot hold "/".
cd "$work"
printf 'Hello,\r\nthe figures are attached.\r\nRegards\r\n' > body.txt
printf 'r@x\r\n' > rcpt.txt
# What mailshot composes for the small message, for the senders that take a whole message.
printf 'From: <s@x>\r\nTo: r@x\r\nSubject: bench\r\nMime-Version: 1.0\r\nContent-Type: text/plain; charset=Windows-1251\r\n\r\n' > message.eml
cat body.txt >> message.eml
switches=(/B:body.txt /T:rcpt.txt /F:s@x /S:bench /U:localhost /NM /NE)

mailshots=(mailshot)
[[ -z $baseline ]] || mailshots+=(before)
program_of() { [[ $1 == before ]] && echo "$baseline" || echo "$program"; }

senders_per_round=$((${#mailshots[@]} + 2))
start_sink $((small_rounds * senders_per_round))
for ((i = 0; i < small_rounds; i++)); do
  for sender in "${mailshots[@]}"; do
    measure "small.$sender" "$(program_of "$sender")" "${switches[@]}" "/SMTP:127.0.0.1:$port"
  done
  measure small.curl curl -sS "smtp://127.0.0.1:$port" --mail-from s@x --mail-rcpt r@x --upload-file message.eml
  measure small.swaks swaks --silent 2 --server "127.0.0.1:$port" --helo localhost --from s@x --to r@x \
    --data message.eml
done
stop_sink

for index in "${!sizes_mb[@]}"; do
  mb=${sizes_mb[index]}
  rounds=${rounds_of_size[index]}
  head -c $((mb * 1024 * 1024)) /dev/urandom > "a$mb.bin"
  printf 'a%s.bin\r\n' "$mb" > "list$mb.txt"
  start_sink $((rounds * (${#mailshots[@]} + 1)))
  for ((i = 0; i < rounds; i++)); do
    for sender in "${mailshots[@]}"; do
      measure "$mb.$sender" "$(program_of "$sender")" "${switches[@]}" "/A:list$mb.txt" "/SMTP:127.0.0.1:$port"
    done
    measure "$mb.curl" curl -sS "smtp://127.0.0.1:$port" --mail-from s@x --mail-rcpt r@x \
      -H "Subject: bench" -H "From: <s@x>" -H "To: r@x" -F "=Hello" -F "=@a$mb.bin;encoder=base64"
  done
  stop_sink
  rm -f "a$mb.bin"
done

missed=0
# check <what> <value> <limit>: prints whether value <= limit.
check() {
  if awk -v v="$2" -v l="$3" 'BEGIN { exit !(v <= l) }'; then
    printf '%-58s %10.4f <= %10.4f kept\n' "$1" "$2" "$3"
  else
    printf '%-58s %10.4f >  %10.4f MISSED\n' "$1" "$2" "$3"
    missed=1
  fi
}

# report <message> <rounds> <sender>...
report() {
  local message=$1 rounds=$2 sender
  shift 2
  printf '\n%s (medians of %s alternating rounds)\n%-9s %12s %12s %10s %12s\n' "$message" "$rounds" sender \
    "wall s" "CPU s" "peak MB" "wall/curl"
  read -r cw _ < <(summary "$message.curl")
  for sender in "$@"; do
    read -r wall cpu peak < <(summary "$message.$sender")
    printf '%-9s %12s %12s %10s %12.3f\n' "$sender" "$wall" "$cpu" "$peak" "$(awk -v a="$wall" -v b="$cw" 'BEGIN { print a / b }')"
  done
}

report small "$small_rounds" "${mailshots[@]}" curl swaks
for index in "${!sizes_mb[@]}"; do report "${sizes_mb[index]}" "${rounds_of_size[index]}" "${mailshots[@]}" curl; done

printf '\ntargets\n'
read -r sw _ < <(summary small.mailshot)
read -r cw _ < <(summary small.curl)
check "small message: mailshot wall s <= 0.3 x curl" "$sw" "$(awk -v c="$cw" 'BEGIN { print 0.3 * c }')"
for mb in 64 256; do
  read -r lw _ lp < <(summary "$mb.mailshot")
  read -r cw _ < <(summary "$mb.curl")
  check "$mb MB attachment: mailshot wall s <= 0.1 x curl" "$lw" "$(awk -v c="$cw" 'BEGIN { print 0.1 * c }')"
  check "$mb MB attachment: mailshot peak MB <= 1.5 x $mb + 16" "$lp" "$(awk -v m="$mb" 'BEGIN { print 1.5 * m + 16 }')"
done
if [[ -n $baseline ]]; then
  read -r lw _ < <(summary 64.mailshot)
  read -r bw _ < <(summary 64.before)
  check "64 MB attachment: mailshot wall s <= 0.6 x before" "$lw" "$(awk -v b="$bw" 'BEGIN { print 0.6 * b }')"
fi
exit "$missed"
