#!/usr/bin/env bash
# Shows mailshot at work on this machine: installs what building and running
# it needs (scripts/setup.sh build; not what only the tests need), builds the
# program, starts the bundled capture server (an SMTP sink on 127.0.0.1 that
# accepts everything and records what it receives), sends a sample message
# with an attachment, prints the message as the server received it and the
# program's exit code, and stops the server.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${MAILSHOT_JOBS:-2}
build=build/native

banner() { printf '\n===== %s\n' "$*"; }

banner "setup"
scripts/setup.sh build

banner "build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs" --target mailshot scripted_server

work=$(mktemp -d)
server_pid=
cleanup() {
  if [[ -n $server_pid ]] && kill -0 "$server_pid" 2>/dev/null; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

banner "capture server"
# One client, at most a minute; the first line it prints is its port.
"$build/tests/support/scripted_server" --sink --deadline 60000 --received "$work/received.txt" >"$work/port" &
server_pid=$!
for _ in $(seq 100); do
  [[ -s $work/port ]] && break
  sleep 0.05
done
port=$(head -n1 "$work/port")
echo "listening on 127.0.0.1:$port"

# The sample message. Switch values cannot hold "/" (it starts the next
# switch), so the files are named relative to the folder the program runs in.
printf 'Hello,\r\n\r\nthe quarterly figures are attached.\r\n.\r\nRegards\r\n' >"$work/body.txt"
printf 'Ann Example <ann@example.com>\r\nbob@example.com\r\n' >"$work/recipients.txt"
printf 'quarter;revenue\r\nQ1;1200\r\nQ2;1350\r\n' >"$work/figures.csv"
printf 'figures.csv\r\n' >"$work/attachments.txt"

banner "mailshot"
command=(mailshot /B:body.txt /T:recipients.txt /F:demo@example.com "/S:Quarterly figures"
         /U:demo.example.com "/SMTP:127.0.0.1:$port" /A:attachments.txt)
printf '%q ' "${command[@]}"; echo
status=0
(cd "$work" && "$root/$build/mailshot" "${command[@]:1}") || status=$?

wait "$server_pid" || true
server_pid=

banner "what the server received"
cat "$work/received.txt"

banner "exit code"
echo "$status"
