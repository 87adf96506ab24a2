# Debian packages Quorvex needs, sourced by the set-up and test commands.
# RUN_PACKAGES build and run Quorvex; PACKAGE_PACKAGES make its Debian package; TEST_PACKAGES
# add what the tests need.
RUN_PACKAGES="cmake g++ make pkg-config qt6-base-dev libjpeg62-turbo-dev libpng-dev zlib1g-dev \
libv4l-dev libgif-dev libidn2-dev libssl-dev fonts-noto-cjk fonts-ipafont-gothic qt6-translations-l10n"
PACKAGE_PACKAGES="dpkg-dev file"
TEST_PACKAGES="$RUN_PACKAGES $PACKAGE_PACKAGES desktop-file-utils googletest libgtest-dev libgmock-dev \
libbenchmark-dev dovecot-pop3d dovecot-imapd openssl python3-aiosmtpd python3-pil xvfb xauth imagemagick \
openbox trayer x11-utils"

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
  local policy=/usr/sbin/policy-rc.d own_policy=""
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null && $sudo chmod 755 "$policy" && own_policy=1
  fi
  local status=0
  $sudo apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
    status=$?
  [ -n "$own_policy" ] && $sudo rm -f "$policy"
  # A Dovecot installed just now may have been enabled all the same; it stays off. One that
  # was there before is the machine's own and is left alone.
  if [[ " ${missing[*]} " == *" dovecot-"* ]] && command -v systemctl >/dev/null 2>&1 &&
    [ -d /run/systemd/system ]; then
    $sudo systemctl disable --now dovecot.service dovecot.socket >/dev/null 2>&1 || true
  fi
  return $status
}
