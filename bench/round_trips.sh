#!/usr/bin/env bash
# Round trips of a whole send over a distant link: a delay proxy on loopback
# holds each direction 25 ms (a 50 ms round trip, as to a provider in
# another region) in front of the sink, which offers STARTTLS and
# PIPELINING. mailshot (/ENCRYPT:STARTTLS) and curl (--ssl-reqd) send a
# small message to 10 and to 1,000 recipients, mailshot also to 20,000; a
# round trip is the wall time divided by 50 ms. curl asks for one recipient
# per round trip: its time for 20,000 (over 15 minutes) is extrapolated
# from its 10 and 1,000, not measured.
#
# As root, the same proxy also stands in front of the tests' real Postfix
# (its TLS instance, started by tests/e2e/postfix_test.py --hold, STARTTLS
# on its submission port) for the 10-recipient send of mailshot and curl:
# Postfix's own work adds to the floor the sink shows.
#
# Fails when a target is missed: 10 recipients in at most 9 round trips
# (9.5 through Postfix), 1,000 in at most 10, 20,000 in at most 1/100 of
# curl's time.
#
#   round_trips.sh --postfix OUT: the Postfix leg alone, its medians to OUT
#   (what postfix_test.py --hold runs).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

program=$bench_build/mailshot
certificate_maker=$bench_build/tests/support/scripted_server
proxy=$bench_root/bench/delay_proxy.py
rounds=${MAILSHOT_BENCH_RTT_ROUNDS:-3}
round_trip=0.050
require_tools "$program" "$sink_program" "$certificate_maker" curl python3

cd "$work"
mkdir pki
"$certificate_maker" --make-certs pki
cp pki/ca.pem ca.pem
printf 'Hello,\r\nthe figures are ready.\r\nRegards\r\n' > body.txt
printf 'From: <s@x>\r\nTo: r@x\r\nSubject: bench\r\n\r\nHello\r\n' > message.eml
printf 'r@x\r\n' > to.txt
for count in 10 1000 20000; do
  for ((i = 0; i < count; i++)); do printf 'reader%05d@example.com\r\n' "$i"; done > "rcpt$count.txt"
done

# through <count> <sender> [<port> <ca>]: one measured send to count
# recipients through a fresh proxy, to a fresh sink or to the server at port
# whose certificate ca vouches for.
through() {
  local count=$1 sender=$2 proxy_port ca=ca.pem
  if (($# > 2)); then
    port=$3 ca=$4
  else
    start_sink 1 --starttls pki/trusted.pem pki/key.pem
  fi
  python3 "$proxy" --target "$port" --delay-ms 25 > proxy.port &
  local proxy_pid=$!
  for _ in $(seq 100); do [[ -s proxy.port ]] && break; sleep 0.05; done
  proxy_port=$(head -n 1 proxy.port)
  case $sender in
    mailshot)
      measure "$count.mailshot" "$program" /B:body.txt /T:to.txt "/RCPT:rcpt$count.txt" /F:s@x /S:bench \
        /U:localhost /NM /NE /ENCRYPT:STARTTLS "/CAFILE:$ca" "/SMTP:localhost:$proxy_port" ;;
    curl)
      mapfile -t recipients < "rcpt$count.txt"
      measure "$count.curl" curl -sS "smtp://localhost:$proxy_port" --ssl-reqd --cacert "$ca" --mail-from s@x \
        $(printf -- '--mail-rcpt %s ' "${recipients[@]%$'\r'}") --upload-file message.eml ;;
  esac
  wait "$proxy_pid" || true
  (($# > 2)) || stop_sink
}

trips() { awk -v w="$1" -v t="$round_trip" 'BEGIN { printf "%.1f", w / t }'; }

if [[ ${1:-} == --postfix ]]; then
  # Postfix's CA file is the root's to read: a copy for the program.
  cp "$POSTFIX_CA" postfix-ca.pem
  for ((r = 0; r < rounds; r++)); do
    through 10 mailshot "$POSTFIX_TLS_PORT" postfix-ca.pem
    through 10 curl "$POSTFIX_TLS_PORT" postfix-ca.pem
  done
  read -r mailshot_wall _ < <(summary 10.mailshot)
  read -r curl_wall _ < <(summary 10.curl)
  echo "$mailshot_wall $curl_wall" > "$2"
  exit 0
fi

for ((r = 0; r < rounds; r++)); do
  through 10 mailshot
  through 10 curl
  through 1000 mailshot
  through 20000 mailshot
done
through 1000 curl

postfix_figures=
if ((EUID == 0)); then
  python3 "$bench_root/tests/e2e/postfix_test.py" --program "$program" --native-server "$certificate_maker" \
    --hold "$bench_root/bench/round_trips.sh" --postfix "$work/postfix.figures" > "$work/postfix.out" 2>&1 \
    && postfix_figures=$(cat "$work/postfix.figures") \
    || { echo "$bench_name: the Postfix leg failed:" >&2; tail -n 20 "$work/postfix.out" >&2; missed=1; }
fi

printf '%-34s %10s %12s\n' "sender, recipients (medians)" "wall s" "round trips"
line() {
  local wall
  read -r wall _ < <(summary "$2")
  printf '%-34s %10.3f %12s\n' "$1" "$wall" "$(trips "$wall")"
}
line "mailshot, 10" 10.mailshot
line "curl, 10" 10.curl
line "mailshot, 1,000" 1000.mailshot
line "curl, 1,000" 1000.curl
line "mailshot, 20,000" 20000.mailshot

read -r wall10 _ < <(summary 10.mailshot)
read -r wall1000 _ < <(summary 1000.mailshot)
read -r wall20000 _ < <(summary 20000.mailshot)
read -r curl10 _ < <(summary 10.curl)
read -r curl1000 _ < <(summary 1000.curl)
curl20000=$(awk -v a="$curl10" -v b="$curl1000" 'BEGIN { print a + (b - a) * (20000 - 10) / (1000 - 10) }')
printf '%-34s %10.3f %12s (extrapolated)\n' "curl, 20,000" "$curl20000" "$(trips "$curl20000")"

if [[ -n $postfix_figures ]]; then
  read -r postfix_mailshot postfix_curl <<< "$postfix_figures"
  printf '%-34s %10.3f %12s\n' "mailshot, 10, through Postfix" "$postfix_mailshot" "$(trips "$postfix_mailshot")"
  printf '%-34s %10.3f %12s\n' "curl, 10, through Postfix" "$postfix_curl" "$(trips "$postfix_curl")"
fi

printf '\ntargets\n'
check "10 recipients: round trips <= 9" "$(trips "$wall10")" 9
[[ -z $postfix_figures ]] || check "10 recipients through Postfix: round trips <= 9.5" "$(trips "$postfix_mailshot")" 9.5
check "1,000 recipients: round trips <= 10" "$(trips "$wall1000")" 10
check "20,000 recipients: wall s <= curl's / 100" "$wall20000" "$(awk -v c="$curl20000" 'BEGIN { print c / 100 }')"
exit "$missed"
