# Debian packages Quorvex needs, sourced by the set-up and test commands.
# RUN_PACKAGES build and run Quorvex; PACKAGE_PACKAGES make its Debian package; TEST_PACKAGES
# add what the tests need.
RUN_PACKAGES="cmake ninja-build g++ make pkg-config dpkg-dev qt6-base-dev libjpeg62-turbo-dev libpng-dev \
zlib1g-dev libv4l-dev libgif-dev libidn2-dev libssl-dev libcurl4-openssl-dev fonts-noto-cjk fonts-ipafont-gothic \
qt6-translations-l10n"
PACKAGE_PACKAGES="dpkg-dev file"
TEST_PACKAGES="$RUN_PACKAGES $PACKAGE_PACKAGES desktop-file-utils googletest libgtest-dev libgmock-dev \
libbenchmark-dev dovecot-pop3d dovecot-imapd openssl python3-aiosmtpd python3-pil xvfb xauth imagemagick \
lintian appstream man-db groff-base openbox trayer x11-utils"

# Configures the release build (build/release/, shared by scripts/run.sh and scripts/package.sh)
# as a Debian package build is configured: Debian's build flags from dpkg-buildflags, with every
# hardening feature, and /usr as the prefix. Ninja where the folder is new (a no-op build then
# takes a fraction of a second); a folder made earlier keeps its generator. Output goes to
# standard error.
configure_release() {
  local generator=()
  [ -f build/release/CMakeCache.txt ] || ! command -v ninja >/dev/null || generator=(-G Ninja)
  local cflags="" cxxflags="" ldflags=""
  if command -v dpkg-buildflags >/dev/null; then
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
    cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
    ldflags=$(dpkg-buildflags --get LDFLAGS)
  fi
  cmake -S . -B build/release "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DQUORVEX_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" >&2
}

# Installs the packages named in "$@" that are not installed yet. Services the packages bring
# (Dovecot's system-wide POP3 and IMAP servers) are neither started nor enabled: the tests run
# their own private servers.
install_missing() {
  local missing=() p
  # One dpkg-query for all of them: a start with nothing to install stays quick.
  local installed
  installed=$(dpkg-query -W -f='${Package} ${Status}\n' "$@" 2>/dev/null | awk '/ install ok installed$/ { print $1 }')
  for p in "$@"; do
    grep -qx -- "$p" <<<"$installed" || missing+=("$p")
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
