#!/usr/bin/env bash
# scripts/packages.sh's install: the policy that keeps services from starting during the
# install goes again however the install ends (done, failed, killed by a signal), and a policy
# that was there before is left alone. apt-get, dpkg-query and sudo are stand-ins on PATH; the
# policy file is a scratch file (QUORVEX_POLICY_RC_D).
set -uo pipefail
cd "$(dirname "$0")/.."
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-packages-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"
# Every package is missing.
printf '#!/bin/sh\nexit 1\n' >"$scratch/bin/dpkg-query"
printf '#!/bin/sh\nexec "$@"\n' >"$scratch/bin/sudo"
# apt-get does what $APT_DOES says for "install": succeed, fail, or kill the install's shell.
cat >"$scratch/bin/apt-get" <<'SCRIPT'
#!/bin/bash
[ "$1" = update ] && exit 0
[ -e "$QUORVEX_POLICY_RC_D" ] && echo present >"$SEEN"
case "$APT_DOES" in
  succeed) exit 0 ;;
  fail) exit 100 ;;
  kill) kill -TERM "$PPID"; sleep 5; exit 0 ;;
esac
SCRIPT
chmod 755 "$scratch/bin/"*
export PATH="$scratch/bin:$PATH" QUORVEX_POLICY_RC_D="$scratch/policy-rc.d" SEEN="$scratch/seen"

failures=0
check() {
  local name=$1 expected_status=$2 preexisting=$3
  rm -f "$SEEN" "$QUORVEX_POLICY_RC_D"
  [ "$preexisting" = yes ] && echo "#!/bin/sh" >"$QUORVEX_POLICY_RC_D"
  status=0
  (. scripts/packages.sh && install_missing some-package >/dev/null) || status=$?
  local left=no
  [ -e "$QUORVEX_POLICY_RC_D" ] && left=yes
  if [ ! -e "$SEEN" ]; then
    echo "FAILED $name: no policy was in place during the install"; failures=$((failures + 1))
  elif [ "$left" != "$preexisting" ]; then
    echo "FAILED $name: the policy was left=$left (there before: $preexisting)"; failures=$((failures + 1))
  elif { [ "$expected_status" = 0 ] && [ "$status" != 0 ]; } || { [ "$expected_status" != 0 ] && [ "$status" = 0 ]; }; then
    echo "FAILED $name: status $status"; failures=$((failures + 1))
  else
    echo "ok $name"
  fi
}
export APT_DOES
APT_DOES=succeed check "install done" 0 no
APT_DOES=fail check "install failed" 1 no
APT_DOES=kill check "install killed" 1 no
APT_DOES=succeed check "a policy of the machine's own" 0 yes
echo "$((4 - failures)) passed, $failures failed"
[ "$failures" = 0 ]
