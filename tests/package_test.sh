#!/usr/bin/env bash
# The Debian package on this machine: its file list and dependencies, then installed with
# dpkg -i, the installed program run from /usr/bin (--help, one mail check against the test mail
# servers, the per-user folder and the uninstall tool), the user unit verified, and removed with
# dpkg -r, after which nothing of it is left in /usr.
#
#   tests/package_test.sh [PACKAGE.deb]      (without a package: scripts/package.sh makes it)
#
# It changes /usr for its duration, so it runs only as root and only when no quorvex package is
# on the machine; the package goes again also when a step fails. Everything the program writes
# goes to a scratch folder.
set -euo pipefail
cd "$(dirname "$0")/.."

skip() {
  echo "package test skipped: $*"
  exit 0
}
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
command -v dpkg >/dev/null || skip "no dpkg on this machine"
state=$(dpkg-query -W -f='${db:Status-Status}' quorvex 2>/dev/null || true)
[ -z "$state" ] || [ "$state" = not-installed ] || skip "a quorvex package is on this machine ($state)"

deb=${1:-$(scripts/package.sh)}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-package-XXXXXX")
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then dpkg --purge quorvex >/dev/null 2>&1 || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap "exit 130" INT TERM
fail() {
  echo "package test FAILED: $*" >&2
  exit 1
}
# Every path in /usr that names Quorvex, to compare before and after.
quorvex_paths() { find /usr -xdev -iname '*quorvex*' 2>/dev/null | sort; }
quorvex_paths >"$scratch/before"

echo "== package $deb"
# The file list: mode, path and link target of everything but folders.
dialogs=""
[ -f dialogs/CMakeLists.txt ] && dialogs="-rw-r--r-- usr/lib/quorvex/libQXDVDlg.so"
sort >"$scratch/expected" <<EOF
lrwxrwxrwx usr/bin/Quorvex -> ../lib/quorvex/Quorvex
lrwxrwxrwx usr/bin/quorvex -> ../lib/quorvex/Quorvex
lrwxrwxrwx usr/bin/quorvex-uninstall -> ../lib/quorvex/quorvex-uninstall
-rwxr-xr-x usr/lib/quorvex/Quorvex
-rw-r--r-- usr/lib/quorvex/help/help.html
-rw-r--r-- usr/lib/quorvex/help/window.png
-rw-r--r-- usr/lib/quorvex/libQXDVCore.so
-rw-r--r-- usr/lib/quorvex/libUninstQV.so
-rwxr-xr-x usr/lib/quorvex/quorvex-uninstall
-rwxr-xr-x usr/lib/quorvex/qvconvert
-rwxr-xr-x usr/lib/quorvex/qvregistry
-rw-r--r-- usr/lib/systemd/user/quorvex.service
-rw-r--r-- usr/share/applications/quorvex.desktop
-rw-r--r-- usr/share/icons/hicolor/16x16/apps/quorvex.png
-rw-r--r-- usr/share/icons/hicolor/32x32/apps/quorvex.png
-rw-r--r-- usr/share/icons/hicolor/64x64/apps/quorvex.png
${dialogs}
EOF
sed -i '/^$/d' "$scratch/expected"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); $2 = $3 = $4 = $5 = ""; print }' |
  sed 's/  */ /g' | sort >"$scratch/listed"
diff -u "$scratch/expected" "$scratch/listed" || fail "the package holds other files than expected"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 libjpeg62-turbo libpng16-16 libssl3 "fonts-noto-cjk | fonts-ipafont-gothic" \
  qt6-translations-l10n; do
  case "$depends" in *"$needed"*) ;; *) fail "Depends lacks $needed: $depends" ;; esac
done
dpkg-deb -x "$deb" "$scratch/unpacked"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$scratch/unpacked/usr/share/applications/quorvex.desktop" || fail "desktop entry"
else
  echo "desktop-file-validate is not installed: the desktop entry was not validated"
fi

echo "== dpkg -i"
installed=1
dpkg -i "$deb"
# The program writes its per-user files into the scratch folder, never into this machine's home.
export XDG_CONFIG_HOME="$scratch/config"

echo "== Quorvex --help from /usr/bin"
/usr/bin/Quorvex --help >"$scratch/help" || fail "Quorvex --help: status $?"
grep -q -- "--once" "$scratch/help" || fail "Quorvex --help does not list --once"

echo "== Quorvex --once from /usr/bin against the test mail servers"
status=0
QUORVEX_PROGRAM=/usr/bin/Quorvex /usr/bin/python3 tests/e2e_test.py /usr/lib/quorvex \
  EndToEnd.test_once_answers_each_carrier_with_its_picture || status=$?
if [ "$status" = 77 ]; then
  echo "the test mail servers are missing: the mail check from /usr/bin was not run"
elif [ "$status" != 0 ]; then
  fail "Quorvex --once from /usr/bin"
fi

echo "== per-user folder and quorvex-uninstall"
own="$XDG_CONFIG_HOME/quorvex"
status=0
QUORVEX_TEST_DEVICES="Desk Cam" /usr/bin/Quorvex --once --timing-scale 0 >"$scratch/once" 2>&1 || status=$?
[ "$status" -le 2 ] || fail "Quorvex --once without settings ended with status $status: $(cat "$scratch/once")"
recorded=$(/usr/lib/quorvex/qvregistry get 'HKEY_CURRENT_USER\Software\Halvorsk\Quorvex' Directory) ||
  fail "no Directory in $(/usr/lib/quorvex/qvregistry path)"
[ "$recorded" = "$own" ] || fail "Directory is $recorded, not $own"
[ "$(stat -c %a "$own")" = 700 ] || fail "$own is not private"
ls "$own"/log/*.log >/dev/null 2>&1 || fail "no log file in $own/log: $(cat "$scratch/once")"
touch "$own/Quorvex.ini" "$own/MailList.dat"
/usr/bin/quorvex-uninstall >"$scratch/uninstall" || fail "quorvex-uninstall: $(cat "$scratch/uninstall")"
cat "$scratch/uninstall"
[ ! -e "$own/Quorvex.ini" ] && [ ! -e "$own/MailList.dat" ] || fail "quorvex-uninstall left the settings"
ls "$own"/log/*.log >/dev/null 2>&1 || fail "quorvex-uninstall removed the log files"
grep -q "^Removed the key" "$scratch/uninstall" || fail "quorvex-uninstall did not remove the product key"

echo "== the user unit"
if command -v systemd-analyze >/dev/null; then
  mkdir -m 0700 "$scratch/run"
  XDG_RUNTIME_DIR="$scratch/run" systemd-analyze --user verify /usr/lib/systemd/user/quorvex.service ||
    fail "systemd-analyze verify quorvex.service"
else
  echo "systemd-analyze is not installed (no systemd here): the unit was not verified"
fi

echo "== dpkg -r"
dpkg -r quorvex
quorvex_paths >"$scratch/after"
diff -u "$scratch/before" "$scratch/after" || fail "the package left files in /usr"
# The maintainer scripts (ldconfig) keep the package known as config-files until it is purged.
dpkg --purge quorvex
installed=0
state=$(dpkg-query -W -f='${db:Status-Status}' quorvex 2>/dev/null || true)
[ -z "$state" ] || [ "$state" = not-installed ] || fail "quorvex is still $state"
echo "package test passed"
