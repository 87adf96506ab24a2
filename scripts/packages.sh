# Debian packages Quorvex needs, sourced by the set-up and test commands.
# RUN_PACKAGES build and run Quorvex; TEST_PACKAGES add what the tests need.
RUN_PACKAGES="cmake g++ make pkg-config qt6-base-dev libjpeg62-turbo-dev libpng-dev zlib1g-dev \
libv4l-dev libgif-dev libidn2-dev libssl-dev fonts-ipafont-gothic"
TEST_PACKAGES="$RUN_PACKAGES googletest libgtest-dev libgmock-dev libbenchmark-dev \
dovecot-pop3d dovecot-imapd openssl python3-aiosmtpd python3-pil xvfb xauth"

# Installs the packages named in "$@" that are not installed yet.
install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
