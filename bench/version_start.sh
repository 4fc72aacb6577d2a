#!/usr/bin/env bash
# The start of the program: `mailshot --version` against `curl --version`
# in alternating rounds of the same run, medians of wall and CPU time. Also
# the installed program of the Debian package when MAILSHOT_BENCH_DEB names
# one (dist/mailshot_<version>_amd64.deb, unpacked with dpkg -x).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_tools curl

rounds=${MAILSHOT_BENCH_ROUNDS:-200}
programs=(mailshot curl)
mailshot_command=("$bench_build/mailshot" --version)
curl_command=(curl --version)
if [[ -n ${MAILSHOT_BENCH_DEB:-} ]]; then
  dpkg -x "$MAILSHOT_BENCH_DEB" "$work/root"
  programs+=(packaged)
  packaged_command=("$work/root/usr/bin/mailshot" --version)
fi

for ((round = 0; round < rounds; round++)); do
  for program in "${programs[@]}"; do
    command="${program}_command[@]"
    measure "$program" "${!command}"
  done
done

printf '%-10s %12s %12s\n' program "wall ms" "CPU ms"
for program in "${programs[@]}"; do
  read -r wall cpu _ < <(summary "$program")
  printf '%-10s %12.3f %12.3f\n' "$program" "$(awk -v v="$wall" 'BEGIN { print v * 1000 }')" \
    "$(awk -v v="$cpu" 'BEGIN { print v * 1000 }')"
done
