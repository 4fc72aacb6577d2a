#!/usr/bin/env bash
# Installs the Debian packages that mailshot needs, in two sets:
#   scripts/setup.sh build   what building and running the program needs
#                            (scripts/demo.sh): a few hundred MB less to fetch
#   scripts/setup.sh         that, and what the tests, the benchmarks and the
#                            packages need (scripts/test.sh, scripts/bench.sh,
#                            scripts/package.sh, CI)
# Safe to run again: it asks apt for nothing when all are present.
set -euo pipefail

# Add a package to the first set that needs it.
build_packages=(
  # the native build; GoogleTest's sources, which configuring the project
  # reads even when only the program and the capture server are built
  cmake ninja-build g++ googletest
  # TLS on POSIX: OpenSSL's headers to build (the program loads the library
  # when a run uses TLS) and the trust store that checks servers
  libssl-dev ca-certificates
  # HTTPS to OAuth token endpoints on POSIX: libcurl's headers to build, the
  # library itself (OpenSSL flavour) loaded when a token is fetched
  libcurl4-openssl-dev libcurl4
  # JSON of token files and token endpoints (header-only; both builds)
  nlohmann-json3-dev
)
test_packages=(
  # unit tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # the fuzz targets (build/fuzz, scripts/fuzz.sh): GCC has no libFuzzer,
  # Clang does, with its runtime in libclang-rt-dev
  clang libclang-rt-dev
  # Windows build and running its binaries headless under Wine
  g++-mingw-w64-x86-64-posix wine64 xvfb xdotool imagemagick
  # helpers for test and benchmark scripts
  curl python3 time
  # the whole-program benchmark compares with swaks (bench/program_send.sh)
  swaks
  # delivery through Postfix, in plain text and over TLS with a test CA that
  # the system's trust store holds while the tests run, and with a login that
  # Dovecot checks (tests/e2e/postfix_test.py)
  postfix dovecot-core
  # the program's messages judged by a spam filter's local rules and read by
  # a second MIME parser, Perl's MIME-tools (tests/e2e/inbox_test.py)
  spamassassin libmime-tools-perl
  # packaging (scripts/package.sh) and its checks: the manual page from its
  # scdoc source, groff and man for its warnings, the .deb's dependencies
  # (dpkg-shlibdeps) and lint, the Windows program's resources read back
  scdoc groff-base man-db dpkg-dev lintian python3-pefile
  # the Windows installer built (wixl) and read back (msitools), the programs
  # and the installer signed and checked with a throw-away certificate
  # (osslsigncode), the winget and Scoop manifests written and checked
  # against their published schemas (python3-yaml, python3-jsonschema)
  wixl msitools osslsigncode python3-yaml python3-jsonschema
)

# The build set goes without the packages that its packages merely
# recommend (make for CMake, ...): the demo needs none of them.
case "${1:-all}" in
  build) packages=("${build_packages[@]}") apt_options=(--no-install-recommends) ;;
  all) packages=("${build_packages[@]}" "${test_packages[@]}") apt_options=() ;;
  *)
    echo "usage: scripts/setup.sh [build|all]" >&2
    exit 2
    ;;
esac

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
"${as_root[@]}" apt-get install -y -q "${apt_options[@]}" "${missing[@]}" </dev/null
