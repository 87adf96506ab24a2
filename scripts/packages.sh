# Debian packages Quorvex needs, sourced by the set-up and test commands.
# RUN_PACKAGES build and run Quorvex; PACKAGE_PACKAGES make its Debian package; TEST_PACKAGES
# add what the tests need.
RUN_PACKAGES="cmake g++ make pkg-config qt6-base-dev libjpeg62-turbo-dev libpng-dev zlib1g-dev \
libv4l-dev libgif-dev libidn2-dev libssl-dev fonts-ipafont-gothic"
PACKAGE_PACKAGES="dpkg-dev file"
TEST_PACKAGES="$RUN_PACKAGES $PACKAGE_PACKAGES desktop-file-utils googletest libgtest-dev libgmock-dev \
libbenchmark-dev dovecot-pop3d dovecot-imapd openssl python3-aiosmtpd python3-pil xvfb xauth imagemagick"

# Installs the packages named in "$@" that are not installed yet. Services the packages bring
# (Dovecot's system-wide POP3 and IMAP servers) are neither started nor enabled: the tests run
# their own private servers.
install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "These Debian packages are missing: ${missing[*]}" >&2
      echo "Install them as root (apt-get install ${missing[*]}), or install sudo, then run this again." >&2
      return 1
    fi
    sudo="sudo"
  fi
  echo "Installing: ${missing[*]}"
  # A policy that refuses every service start during the install (invoke-rc.d asks it first).
  # It lives only as long as the subshell: it goes again however that ends (done, failed,
  # interrupted, killed by a signal that can be caught), so no later install is left unable to
  # start its services.
  local policy=${QUORVEX_POLICY_RC_D:-/usr/sbin/policy-rc.d}
  local status=0
  (
    if [ ! -e "$policy" ]; then
      trap '$sudo rm -f "$policy"' EXIT
      trap 'exit 130' INT TERM HUP
      printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null && $sudo chmod 755 "$policy"
    fi
    $sudo apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  ) || status=$?
  # A Dovecot installed just now may have been enabled all the same; it stays off. One that
  # was there before is the machine's own and is left alone.
  if [[ " ${missing[*]} " == *" dovecot-"* ]] && command -v systemctl >/dev/null 2>&1 &&
    [ -d /run/systemd/system ]; then
    $sudo systemctl disable --now dovecot.service dovecot.socket >/dev/null 2>&1 || true
  fi
  return $status
}
