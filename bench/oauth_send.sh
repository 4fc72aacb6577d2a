#!/usr/bin/env bash
# What OAuth costs a send: a small message over TLS from the first byte to
# the loopback TLS sink, logged in three ways in alternating rounds:
#   /PWF        the token in a password file (XOAUTH2), no OAuth at all;
#   cached      /OAUTH with a token file whose access token is good for an
#               hour: no HTTP exchange;
#   refresh     /OAUTH with an expired access token: one HTTPS exchange with
#               a loopback token endpoint (Python, the test CA), and the token
#               file written, before the connection.
# The token file is put back before each run (not measured). curl posting
# the same refresh form to the same endpoint gives the cost of one such
# exchange from a tool that does nothing else.
#
# Fails when a target is missed: the cached token's median wall time at most
# that of /PWF plus 5 % (the noise of two medians of the same work).
#
# Needs the benchmark build with the tests (see bench/lib.sh), python3, curl
# and a C compiler.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

program=$bench_build/mailshot
certificate_maker=$bench_build/tests/support/scripted_server
rounds=${MAILSHOT_BENCH_OAUTH_ROUNDS:-30}
require_tools "$program" "$sink_program" "$certificate_maker" python3 curl

# The inputs, named relative to $work: a switch value cannot hold "/".
cd "$work"
mkdir pki
"$certificate_maker" --make-certs pki
cp pki/ca.pem ca.pem
printf 'Hello\r\n' > body.txt
printf 'r@x\r\n' > rcpt.txt
printf 'acc3ss-cached\n' > token.txt

# The token endpoint: every refresh gets a fresh token, at once.
cat > endpoint.py << 'EOF_PY'
import http.server, json, ssl, sys
class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        self.rfile.read(int(self.headers["Content-Length"]))
        body = json.dumps({"access_token": "acc3ss-fresh", "token_type": "Bearer", "expires_in": 3600,
                           "refresh_token": "r3fresh-next"}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain("pki/trusted.pem", "pki/key.pem")
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
EOF_PY
python3 endpoint.py > endpoint.port &
endpoint_pid=$!
trap 'kill $endpoint_pid 2> /dev/null || true; bench_cleanup' EXIT
for _ in $(seq 100); do [[ -s endpoint.port ]] && break; sleep 0.05; done
endpoint=https://localhost:$(head -n 1 endpoint.port)/token

token_file() { # token_file <expires_at>
  printf '{"token_endpoint": "%s", "client_id": "bench", "refresh_token": "r3fresh-1",\n' "$endpoint"
  printf ' "access_token": "acc3ss-cached", "expires_at": %s}\n' "$1"
}
token_file $(($(date +%s) + 86400)) > cached.template
token_file 0 > refresh.template

switches=(/B:body.txt /T:rcpt.txt /F:s@x /S:bench /U:localhost /NM /NE /ENCRYPT:TLS /CAFILE:ca.pem /LOGIN:s@x)

send() { # send <kind>
  case $1 in
    pwf) measure pwf "$program" "${switches[@]}" /MECH:XOAUTH2 /PWF:token.txt "/SMTP:localhost:$port" ;;
    cached | refresh)
      cp "$1.template" token.json
      measure "$1" "$program" "${switches[@]}" /OAUTH:token.json "/SMTP:localhost:$port"
      ;;
    curl)
      measure curl curl -sS --cacert ca.pem -o /dev/null -d grant_type=refresh_token -d refresh_token=r3fresh-1 \
        -d client_id=bench "$endpoint"
      ;;
  esac
}

kinds=(pwf cached refresh)
start_sink $((rounds * ${#kinds[@]})) --tls pki/trusted.pem pki/key.pem
for ((i = 0; i < rounds; i++)); do
  for ((k = 0; k < ${#kinds[@]}; k++)); do send "${kinds[(i + k) % ${#kinds[@]}]}"; done
  send curl
done
stop_sink

printf '%-40s %10s %10s %10s\n' "small message over TLS (medians)" "wall s" "CPU s" "peak MB"
line() { printf '%-40s %10s %10s %10s\n' "$1" $(summary "$2"); }
line "token from /PWF" pwf
line "/OAUTH, cached token" cached
line "/OAUTH, refreshed first" refresh
line "curl: the refresh exchange alone" curl

read -r pwf_wall _ < <(summary pwf)
read -r cached_wall _ < <(summary cached)
read -r refresh_wall _ < <(summary refresh)
awk -v r="$refresh_wall" -v c="$cached_wall" \
  'BEGIN { printf "\nthe refresh adds %.1f ms (one HTTPS exchange and the token file written)\n", (r - c) * 1000 }'

printf '\ntargets\n'
check "cached token: wall s <= /PWF x 1.05" "$cached_wall" "$(awk -v p="$pwf_wall" 'BEGIN { print 1.05 * p }')"
exit "$missed"
