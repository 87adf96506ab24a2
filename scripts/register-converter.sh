#!/usr/bin/env bash
# Registers a picture converter for Quorvex's GIF reply pictures:
#   scripts/register-converter.sh PATH/TO/qvconvert
# Writes the open command "PATH" "%1" as the default value of
# HKEY_CLASSES_ROOT\IrfanView\shell\open\command in Quorvex's registry file
# ($QUORVEX_REGISTRY, else ~/.config/quorvex/registry.reg), through the qvregistry tool that
# is built beside qvconvert.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 PATH/TO/qvconvert" >&2
  exit 1
fi
converter=$1
if [ ! -f "$converter" ] || [ ! -x "$converter" ]; then
  echo "register-converter: $converter is not an executable program" >&2
  exit 1
fi
converter="$(cd "$(dirname "$converter")" && pwd)/$(basename "$converter")"
case "$converter" in
  *'"'*) echo "register-converter: a path with a double quote cannot be registered: $converter" >&2; exit 1 ;;
esac
registry_tool="$(dirname "$converter")/qvregistry"
if [ ! -x "$registry_tool" ]; then
  echo "register-converter: $registry_tool is missing; build the qvregistry target first" >&2
  exit 1
fi
"$registry_tool" set 'HKEY_CLASSES_ROOT\IrfanView\shell\open\command' @ "\"$converter\" \"%1\""
echo "Registered $converter as the picture converter in $("$registry_tool" path)"
