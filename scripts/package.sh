#!/usr/bin/env bash
# Builds the two packages of mailshot into dist/, each from a Release tree of
# its own:
#   dist/mailshot_<version>-<revision>_amd64.deb  (build/package-deb, cpack -G DEB)
#   dist/mailshot-<version>-win64.zip             (build/package-win, cpack -G ZIP)
#   dist/SHA256SUMS                               (both)
# The version is the CMake project version. scripts/setup.sh installs the tools.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${MAILSHOT_JOBS:-2}
dist=$root/dist

banner() { printf '\n===== %s\n' "$*"; }

# package <tree> <cmake arguments>...: configures and builds the program in
# build/<tree> and packs it with the generator that tree's CPack names.
package() {
  local tree=build/$1
  shift
  cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMAILSHOT_TESTS=OFF "$@" >/dev/null
  cmake --build "$tree" -j"$jobs"
  rm -rf "$tree/packages"
  (cd "$tree" && cpack -C Release >/dev/null)
}

banner "setup"
scripts/setup.sh all

banner "Debian package"
# Debian's hardening flags (stack protector, fortified calls, read-only
# relocations), as a package built by the Debian tools gets them.
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  package package-deb

banner "Windows zip"
package package-win "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-w64.cmake"

rm -rf "$dist"
mkdir -p "$dist"
cp build/package-deb/packages/*.deb build/package-win/packages/*.zip "$dist"/
(cd "$dist" && sha256sum -- *.deb *.zip >SHA256SUMS)

banner "dist"
ls -l "$dist"
cat "$dist/SHA256SUMS"
