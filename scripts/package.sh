#!/usr/bin/env bash
# Builds the Debian package of Quorvex from the release configuration (build/release/, shared
# with scripts/run.sh, built with Debian's build flags) and prints the package's path as the
# only line on standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
install_missing $RUN_PACKAGES $PACKAGE_PACKAGES >&2
configure_release
{
  cmake --build build/release -j"$(nproc)"
  rm -f build/release/quorvex_*.deb
  (cd build/release && cpack -G DEB)
} >&2
deb=$(ls "$PWD"/build/release/quorvex_*.deb)
# CPack gives every package with a library under usr/lib maintainer scripts that run ldconfig,
# also when, as here, the libraries are private ones in usr/lib/quorvex/ that the loader never
# looks at (they are found through RPATH $ORIGIN). The package needs no maintainer script at all.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
if grep -qE '^\./(postinst|postrm)$' <<<"$control"; then
  staging=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-deb-XXXXXX")
  trap 'rm -rf "$staging"' EXIT
  dpkg-deb -R "$deb" "$staging/root"
  rm -f "$staging/root/DEBIAN/postinst" "$staging/root/DEBIAN/postrm"
  dpkg-deb --root-owner-group -Zxz -b "$staging/root" "$deb" >&2
fi
echo "$deb"
