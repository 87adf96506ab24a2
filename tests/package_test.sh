#!/usr/bin/env bash
# The Debian package on this machine: its file list, dependencies, description and metadata,
# lintian (no error, no warning), the AppStream metainfo, then installed with dpkg -i, the
# installed program run from /usr/bin (--version, --help, the manual pages, one mail check
# against the test mail servers, the bundled GIF converter, the per-user folder and the
# uninstall tool, which also disables an enabled user unit), the user unit verified and its
# sandboxing scored, and removed with dpkg -r, after which nothing of it is left in /usr.
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
-rw-r--r-- usr/share/doc/quorvex/changelog.gz
-rw-r--r-- usr/share/doc/quorvex/copyright
-rw-r--r-- usr/share/man/man1/Quorvex.1.gz
lrwxrwxrwx usr/share/man/man1/quorvex.1.gz -> Quorvex.1.gz
-rw-r--r-- usr/share/man/man1/quorvex-uninstall.1.gz
-rw-r--r-- usr/share/metainfo/com.halvorsk.quorvex.metainfo.xml
-rw-r--r-- usr/share/icons/hicolor/128x128/apps/quorvex.png
-rw-r--r-- usr/share/icons/hicolor/scalable/apps/quorvex.svg
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
# Every line of the description within 80 columns, naming the mail protocols it speaks.
description=$(dpkg-deb -f "$deb" Description)
awk 'NR == 1 { if (length("Description: " $0) > 80) bad = 1; next } length($0) > 80 { bad = 1 } END { exit bad }' \
  <<<"$description" || fail "a description line is longer than 80 columns: $description"
for word in POP3 IMAP TLS; do
  grep -qw "$word" <<<"$description" || fail "the description does not name $word"
done
# No maintainer scripts: the libraries are private (RPATH), so there is nothing for ldconfig.
scripts=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E 'inst$|rm$' || true)
[ -z "$scripts" ] || fail "the package has maintainer scripts: $scripts"
dpkg-deb -x "$deb" "$scratch/unpacked"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$scratch/unpacked/usr/share/applications/quorvex.desktop" || fail "desktop entry"
else
  echo "desktop-file-validate is not installed: the desktop entry was not validated"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net --pedantic "$scratch/unpacked/usr/share/metainfo/com.halvorsk.quorvex.metainfo.xml" ||
    fail "AppStream metainfo"
else
  echo "appstreamcli is not installed: the AppStream metainfo was not validated"
fi
grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
  "$scratch/unpacked/usr/share/doc/quorvex/copyright" || fail "the copyright file is not machine-readable"

echo "== lintian"
if command -v lintian >/dev/null; then
  lintian --allow-root --display-info --fail-on error,warning "$deb" >"$scratch/lintian" 2>&1 ||
    { cat "$scratch/lintian"; fail "lintian found errors or warnings"; }
  cat "$scratch/lintian"
  grep -qE '^[EW]: ' "$scratch/lintian" && fail "lintian found errors or warnings"
else
  echo "lintian is not installed: the package was not checked"
fi

echo "== hardening of the packaged programs and libraries"
# Every ELF file: read-only relocations bound at start-up (RELRO, BIND_NOW); every program a
# position-independent executable. The program and the capture core, which parse mail, BMP
# files and camera data, use the stack protector and the checked libc calls (FORTIFY).
for file in $(find "$scratch/unpacked/usr/lib/quorvex" -type f); do
  head -c 4 "$file" | grep -q 'ELF' || continue
  name=${file#"$scratch/unpacked/"}
  readelf -lW "$file" | grep -q GNU_RELRO || fail "$name has no RELRO segment"
  readelf -dW "$file" | grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' || fail "$name is not bound at start-up (-z now)"
  if [ -x "$file" ]; then
    readelf -hW "$file" | grep -q 'Type:.*DYN' || fail "$name is not a position-independent executable"
    readelf -dW "$file" | grep -Eq '\(FLAGS_1\).*PIE' || fail "$name is not marked PIE"
  fi
done
for name in Quorvex libQXDVCore.so; do
  symbols=$(readelf --dyn-syms -W "$scratch/unpacked/usr/lib/quorvex/$name")
  grep -q '__stack_chk_fail' <<<"$symbols" || fail "$name is built without the stack protector"
  grep -Eq '__[a-z0-9_]+_chk' <<<"$symbols" || fail "$name is built without FORTIFY_SOURCE"
done
if command -v hardening-check >/dev/null; then
  hardening-check "$scratch/unpacked/usr/lib/quorvex/Quorvex" || fail "hardening-check Quorvex"
else
  echo "hardening-check (devscripts) is not installed: checked with readelf only"
fi

echo "== dpkg -i"
installed=1
dpkg -i "$deb"
# The program writes its per-user files into the scratch folder, never into this machine's home.
export XDG_CONFIG_HOME="$scratch/config"

echo "== Quorvex --version, --help and the manual pages from /usr"
version=$(/usr/bin/Quorvex --version) || fail "Quorvex --version: status $?"
[ "$version" = "Quorvex $(dpkg-deb -f "$deb" Version)" ] || fail "Quorvex --version says \"$version\""
[ "$(/usr/bin/quorvex -V)" = "$version" ] || fail "quorvex -V differs from Quorvex --version"
/usr/bin/Quorvex --help >"$scratch/help" || fail "Quorvex --help: status $?"
grep -q -- "--once" "$scratch/help" || fail "Quorvex --help does not list --once"
grep -q "^Exit status:" "$scratch/help" || fail "Quorvex --help does not list the exit statuses"
for page in Quorvex quorvex quorvex-uninstall; do
  file=/usr/share/man/man1/$page.1.gz
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 "$file" 2>"$scratch/man-warnings" |
    sed -e 's/.\x08//g' -e 's/\x1b\[[0-9;]*m//g' >"$scratch/man-$page" || fail "man -l $file"
  [ ! -s "$scratch/man-warnings" ] || fail "man -l $file: $(cat "$scratch/man-warnings")"
  grep -q "EXIT STATUS" "$scratch/man-$page" || fail "$file has no exit status"
done
for key in LogKeepDays DeviceName MailTimer PopServer SmtpSecurity TitleFiltText ColorNum QUORVEX_REGISTRY; do
  grep -q "$key" "$scratch/man-Quorvex" || fail "Quorvex(1) does not describe $key"
done

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
[ "$status" = 2 ] || fail "Quorvex --once without mail settings ended with status $status: $(cat "$scratch/once")"
grep -q "GIF converter: /usr/lib/quorvex/qvconvert" "$scratch/once" ||
  fail "the installed program does not use its own converter: $(cat "$scratch/once")"
grep -q "Quorvex --config set MailSettings.PopServer=" "$scratch/once" ||
  fail "Quorvex --once does not say how to set the mailbox: $(cat "$scratch/once")"
recorded=$(/usr/lib/quorvex/qvregistry get 'HKEY_CURRENT_USER\Software\Halvorsk\Quorvex' Directory) ||
  fail "no Directory in $(/usr/lib/quorvex/qvregistry path)"
[ "$recorded" = "$own" ] || fail "Directory is $recorded, not $own"
[ "$(stat -c %a "$own")" = 700 ] || fail "$own is not private"
ls "$own"/log/*.log >/dev/null 2>&1 || fail "no log file in $own/log: $(cat "$scratch/once")"
touch "$own/Quorvex.ini" "$own/MailList.dat"
# The user unit as systemctl --user enable leaves it; no user manager answers here, so the
# uninstall tool removes the link itself after asking systemctl.
wants="$XDG_CONFIG_HOME/systemd/user/default.target.wants"
mkdir -p "$wants"
ln -s /usr/lib/systemd/user/quorvex.service "$wants/quorvex.service"
printf '#!/bin/sh\necho "$*" >>"%s"\nexit 1\n' "$scratch/systemctl-calls" >"$scratch/systemctl"
chmod 755 "$scratch/systemctl"
QUORVEX_SYSTEMCTL="$scratch/systemctl" /usr/bin/quorvex-uninstall >"$scratch/uninstall" ||
  fail "quorvex-uninstall: $(cat "$scratch/uninstall")"
cat "$scratch/uninstall"
[ ! -e "$wants/quorvex.service" ] && [ ! -L "$wants/quorvex.service" ] || fail "quorvex-uninstall left the unit enabled"
[ "$(cat "$scratch/systemctl-calls")" = "--user disable --now quorvex.service" ] ||
  fail "quorvex-uninstall asked systemctl: $(cat "$scratch/systemctl-calls")"
grep -q "^Disabled the user unit quorvex.service" "$scratch/uninstall" || fail "quorvex-uninstall did not say it disabled the unit"
[ ! -e "$own/Quorvex.ini" ] && [ ! -e "$own/MailList.dat" ] || fail "quorvex-uninstall left the settings"
ls "$own"/log/*.log >/dev/null 2>&1 || fail "quorvex-uninstall removed the log files"
grep -q "^Removed the key" "$scratch/uninstall" || fail "quorvex-uninstall did not remove the product key"

echo "== the user unit"
if command -v systemd-analyze >/dev/null; then
  mkdir -m 0700 "$scratch/run"
  XDG_RUNTIME_DIR="$scratch/run" systemd-analyze --user verify /usr/lib/systemd/user/quorvex.service ||
    fail "systemd-analyze verify quorvex.service"
  unit=/usr/lib/systemd/user/quorvex.service
  grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" || fail "the unit does not reload with SIGHUP"
  grep -qx 'Documentation=man:Quorvex(1)' "$unit" || fail "the unit does not point to Quorvex(1)"
  XDG_RUNTIME_DIR="$scratch/run" systemd-analyze --user security --offline=true "$unit" >"$scratch/security" 2>&1 ||
    true
  score=$(sed -n 's/.*Overall exposure level for quorvex.service: \([0-9.]*\).*/\1/p' "$scratch/security")
  echo "systemd-analyze security: exposure $score"
  [ -n "$score" ] || fail "systemd-analyze security gave no score: $(cat "$scratch/security")"
  awk -v score="$score" 'BEGIN { exit !(score <= 5.0) }' || fail "the unit's exposure $score is above 5.0"
else
  echo "systemd-analyze is not installed (no systemd here): the unit was not verified"
fi

echo "== dpkg -r"
dpkg -r quorvex
quorvex_paths >"$scratch/after"
diff -u "$scratch/before" "$scratch/after" || fail "the package left files in /usr"
dpkg --purge quorvex
installed=0
state=$(dpkg-query -W -f='${db:Status-Status}' quorvex 2>/dev/null || true)
[ -z "$state" ] || [ "$state" = not-installed ] || fail "quorvex is still $state"
echo "package test passed"
