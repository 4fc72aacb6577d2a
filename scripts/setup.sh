#!/usr/bin/env bash
# Installs every Debian package that the builds of mailshot and their tests
# need. Safe to run again: it asks apt for nothing when all are present.
set -euo pipefail

# Add a package here when a build, a test or a benchmark starts to need it.
packages=(
  # native build, unit tests, benchmarks
  cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev
  # the fuzz targets (build/fuzz, scripts/fuzz.sh): GCC has no libFuzzer,
  # Clang does, with its runtime in libclang-rt-dev
  clang libclang-rt-dev
  # TLS on POSIX (the program, and the test server's TLS side)
  libssl-dev
  # HTTPS to OAuth token endpoints on POSIX: libcurl's headers to build, the
  # library itself (OpenSSL flavour) loaded when a token is fetched
  libcurl4-openssl-dev libcurl4
  # JSON of token files and token endpoints (header-only; both builds)
  nlohmann-json3-dev
  # Windows build and running its binaries headless under Wine
  g++-mingw-w64-x86-64-posix wine64 xvfb xdotool imagemagick
  # helpers for test and benchmark scripts
  curl python3 time
  # the whole-program benchmark compares with swaks (bench/program_send.sh)
  swaks
  # delivery through Postfix, in plain text and over TLS with a test CA that
  # the system's trust store holds while the tests run, and with a login that
  # Dovecot checks (tests/e2e/postfix_test.py)
  postfix ca-certificates dovecot-core
  # the program's messages judged by a spam filter's local rules and read by
  # a second MIME parser, Perl's MIME-tools (tests/e2e/inbox_test.py)
  spamassassin libmime-tools-perl
  # packaging (scripts/package.sh) and its checks: the manual page from its
  # scdoc source, groff and man for its warnings, the .deb's dependencies
  # (dpkg-shlibdeps) and lint, the Windows program's resources read back
  scdoc groff-base man-db dpkg-dev lintian python3-pefile
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "setup: installing ${missing[*]}"
as_root=()
if ((EUID != 0)); then
  as_root=(sudo)
fi
# Postfix for loopback tests only: no questions, nothing delivered off the machine.
printf '%s\n' 'postfix postfix/main_mailer_type select Local only' \
  'postfix postfix/mailname string mailshot.test' | "${as_root[@]}" debconf-set-selections
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q "${missing[@]}" </dev/null
