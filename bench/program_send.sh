#!/usr/bin/env bash
# The whole mailshot process against other SMTP senders, side by side in one
# run, each sending the same message to the same fast loopback SMTP sink, in
# alternating rounds that rotate the senders' order (so that a burst of load
# on a shared machine, or what ran just before, hits every sender alike):
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
rounds_of_size=(10 6 3)
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

# send <message> <sender>: one measured send of the small message or of the
# attachment of <message> MB.
send() {
  local message=$1 sender=$2
  case $sender in
    mailshot | before)
      local attachment=()
      [[ $message == small ]] || attachment=("/A:list$message.txt")
      measure "$message.$sender" "$(program_of "$sender")" "${switches[@]}" "${attachment[@]}" "/SMTP:127.0.0.1:$port"
      ;;
    curl)
      if [[ $message == small ]]; then
        measure small.curl curl -sS "smtp://127.0.0.1:$port" --mail-from s@x --mail-rcpt r@x --upload-file message.eml
      else
        measure "$message.curl" curl -sS "smtp://127.0.0.1:$port" --mail-from s@x --mail-rcpt r@x \
          -H "Subject: bench" -H "From: <s@x>" -H "To: r@x" -F "=Hello" -F "=@a$message.bin;encoder=base64"
      fi
      ;;
    swaks)
      measure small.swaks swaks --silent 2 --server "127.0.0.1:$port" --helo localhost --from s@x --to r@x \
        --data message.eml
      ;;
  esac
}

# rounds <message> <count> <sender>...: each round sends once per sender,
# starting one sender further on than the round before, so that no sender
# always follows the same one (what ran just before, a long upload that let
# freed memory go cold, say, affects how fast a process gets its memory).
rounds() {
  local message=$1 count=$2 i k
  shift 2
  local senders=("$@")
  start_sink $((count * ${#senders[@]}))
  for ((i = 0; i < count; i++)); do
    for ((k = 0; k < ${#senders[@]}; k++)); do send "$message" "${senders[(i + k) % ${#senders[@]}]}"; done
  done
  stop_sink
}

rounds small "$small_rounds" "${mailshots[@]}" curl swaks
for index in "${!sizes_mb[@]}"; do
  mb=${sizes_mb[index]}
  head -c $((mb * 1024 * 1024)) /dev/urandom > "a$mb.bin"
  printf 'a%s.bin\r\n' "$mb" > "list$mb.txt"
  rounds "$mb" "${rounds_of_size[index]}" "${mailshots[@]}" curl
  rm -f "a$mb.bin"
done


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
