#!/usr/bin/env bash
# Builds the packages of mailshot into dist/, each from a Release tree of its
# own:
#   dist/mailshot_<version>-<revision>_amd64.deb  (build/package-deb, cpack -G DEB)
#   dist/mailshot-<version>-win64.zip             (build/package-win: its installed
#   dist/mailshot-<version>-x64.msi                folder, packed and installed by wixl)
#   dist/winget/, dist/scoop/mailshot.json        (package managers' manifests)
#   dist/SHA256SUMS                               (every file above)
# The version is the CMake project version. scripts/setup.sh installs the tools.
#
# The Windows programs and the MSI are signed (Authenticode, SHA-256) when
# MAILSHOT_SIGN_PFX names a PKCS#12 file and MAILSHOT_SIGN_PASSWORD_FILE its
# password's; MAILSHOT_SIGN_TIMESTAMP_URL adds a time-stamp from that server.
# MAILSHOT_RELEASE_URL is where the manifests send downloads: "{version}"
# and "{file}" in it stand for the version and the file's name
# (default https://example.org/mailshot/releases/{version}/{file}).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${MAILSHOT_JOBS:-2}
dist=$root/dist

banner() { printf '\n===== %s\n' "$*"; }

# build <tree> <cmake arguments>...: configures and builds the program in
# build/<tree>.
build() {
  local tree=build/$1
  shift
  cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMAILSHOT_TESTS=OFF "$@" >/dev/null
  cmake --build "$tree" -j"$jobs"
}

# Debian's Python, which has python3-yaml (scripts/setup.sh).
python=/usr/bin/python3

# Signing is all or nothing: half the settings is a mistake, not a wish.
sign=packaging/windows/sign.sh
if [[ -z ${MAILSHOT_SIGN_PFX:-} ]]; then
  if [[ -n ${MAILSHOT_SIGN_PASSWORD_FILE:-}${MAILSHOT_SIGN_TIMESTAMP_URL:-} ]]; then
    echo "package.sh: MAILSHOT_SIGN_PASSWORD_FILE or MAILSHOT_SIGN_TIMESTAMP_URL is set without MAILSHOT_SIGN_PFX" >&2
    exit 1
  fi
  sign=
fi

banner "setup"
scripts/setup.sh all

banner "Debian package"
# Debian's hardening flags (stack protector, fortified calls, read-only
# relocations), as a package built by the Debian tools gets them.
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  build package-deb
rm -rf build/package-deb/packages
(cd build/package-deb && cpack -C Release >/dev/null)

banner "Windows zip and installer"
win=build/package-win
build package-win "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-w64.cmake"
stage=$win/stage
rm -rf "$stage"
cmake --install "$win" --prefix "$stage" >/dev/null
version=$($python -c 'import json, sys; print(json.load(open(sys.argv[1]))["version"])' "$win/release.json")
if [[ -z $sign ]]; then
  echo "unsigned: MAILSHOT_SIGN_PFX names no certificate, so the Windows programs and the MSI are not signed"
else
  "$sign" "$stage"/*.exe
fi

rm -rf "$dist"
mkdir -p "$dist"
cp build/package-deb/packages/*.deb "$dist"/
# The files at the top of the zip: unpacked into a folder, mailshot.exe is in it.
(cd "$stage" && cmake -E tar cf "$dist/mailshot-$version-win64.zip" --format=zip -- *)
msi=$dist/mailshot-$version-x64.msi
$python packaging/windows/msi.py --stage "$stage" --facts "$win/release.json" --output "$msi"
if [[ -n $sign ]]; then
  "$sign" "$msi"
fi
$python packaging/windows/manifests.py --facts "$win/release.json" --dist "$dist" \
  ${MAILSHOT_RELEASE_URL:+--release-url "$MAILSHOT_RELEASE_URL"}
sums=$(cd "$dist" && find . -type f -printf '%P\n' | LC_ALL=C sort | xargs -d '\n' sha256sum --)
printf '%s\n' "$sums" >"$dist/SHA256SUMS"

banner "dist"
(cd "$dist" && find . -type f -printf '%s\t%P\n' | LC_ALL=C sort -k2)
cat "$dist/SHA256SUMS"
