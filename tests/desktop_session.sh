#!/bin/sh
# Runs a command on a private 1280 x 720 X server as a desktop user sees it: a window manager
# (openbox) and a notification area (trayer, a 28-pixel panel along the bottom that the work
# area leaves out). Exits with the command's status.
#
# Usage: tests/desktop_session.sh COMMAND [ARGUMENT...]
set -eu
if [ -z "${QUORVEX_DESKTOP_SESSION:-}" ]; then
  export QUORVEX_DESKTOP_SESSION=1
  exec xvfb-run -a -s "-screen 0 1280x720x24 -nolisten tcp" "$0" "$@"
fi

state=$(mktemp -d)
wm=""
tray=""
cleanup() {
  [ -n "$tray" ] && kill "$tray" 2>/dev/null
  [ -n "$wm" ] && kill "$wm" 2>/dev/null
  rm -rf "$state"
}
trap cleanup EXIT

# Waits (at most 10 s, in tenths) until the shell test "$1" holds; $2 names what is awaited.
await() {
  tries=0
  until eval "$1"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
      echo "desktop_session: $2 did not come up" >&2
      exit 1
    fi
    sleep 0.1
  done
}

openbox --sm-disable --startup "touch $state/openbox" >"$state/openbox.log" 2>&1 &
wm=$!
await '[ -e "$state/openbox" ]' "openbox"

trayer --edge bottom --align right --height 28 --widthtype request --SetDockType true \
  --SetPartialStrut true --transparent false --tint 0xd0d0d0 >"$state/trayer.log" 2>&1 &
tray=$!
# The panel is up once the window manager has taken its height out of the work area.
await 'xprop -root _NET_WORKAREA 2>/dev/null | grep -q ", 692"' "the trayer panel"

status=0
"$@" || status=$?
exit "$status"
