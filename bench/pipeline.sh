#!/usr/bin/env bash
# The reply pictures of one cycle against ImageMagick: run from the repository root as
# `bench/run pipeline` (which builds build/bench and sets QUORVEX_BENCH_BIN).
# Set-up: a real photograph (EveningGlow, 2560 x 1600, from Debian's
# plasma-workspace-wallpapers) scaled to cover and cut to 640 x 480 and 1920 x 1080 24-bit
# BMP frames; pngquant for the quality comparison.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
install_missing plasma-workspace-wallpapers pngquant imagemagick
bin=${QUORVEX_BENCH_BIN:-$PWD/build/bench/bin}
photo=/usr/share/wallpapers/EveningGlow/contents/images/2560x1600.jpg
[ -f "$photo" ] || { echo "missing $photo" >&2; exit 1; }
frames=$(mktemp -d)
trap 'rm -rf "$frames"' EXIT
for size in 640x480 1920x1080; do
  convert "$photo" -resize "$size^" -gravity center -extent "$size" -type TrueColor \
    "BMP3:$frames/frame-$size.bmp"
done
"$bin/bench_pipeline" "$frames/frame-640x480.bmp" "$frames/frame-1920x1080.bmp" \
  --converter "$bin/qvconvert" "$@"
