#!/usr/bin/env bash
# sign.sh <file>...: signs Windows programs and installers in place,
# Authenticode with SHA-256 (osslsigncode), with the certificate that the
# environment names:
#   MAILSHOT_SIGN_PFX              the PKCS#12 file: the key, its certificate and chain
#   MAILSHOT_SIGN_PASSWORD_FILE    the file that holds its password
#   MAILSHOT_SIGN_TIMESTAMP_URL    an RFC 3161 time-stamp server (optional)
# A file is replaced only once it is signed (and time-stamped, where asked):
# any failure leaves it as it was and exits non-zero.
set -euo pipefail

for variable in MAILSHOT_SIGN_PFX MAILSHOT_SIGN_PASSWORD_FILE; do
  if [[ ! -f ${!variable:-} ]]; then
    echo "sign.sh: $variable names no file ('${!variable:-}')" >&2
    exit 1
  fi
done

timestamp=()
if [[ -n ${MAILSHOT_SIGN_TIMESTAMP_URL:-} ]]; then
  timestamp=(-ts "$MAILSHOT_SIGN_TIMESTAMP_URL")
fi

for file; do
  signed=$file.signed
  rm -f "$signed"
  # The password from its file, never on a command line others can read.
  if ! osslsigncode sign -pkcs12 "$MAILSHOT_SIGN_PFX" -readpass "$MAILSHOT_SIGN_PASSWORD_FILE" \
    -h sha256 -n mailshot "${timestamp[@]}" -in "$file" -out "$signed" >/dev/null; then
    rm -f "$signed"
    echo "sign.sh: could not sign $file" >&2
    exit 1
  fi
  mv -f "$signed" "$file"
  echo "signed $(basename "$file")"
done
