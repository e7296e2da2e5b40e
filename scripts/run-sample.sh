#!/usr/bin/env bash
# Installs what is missing, builds, and analyses the sample image (or the image
# given as the first argument). The result goes to out/GC_res.bmp.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
image=$(realpath "${1:-$root/samples/shapes.png}")

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCONTOURS_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build" -j "$(nproc)" >/dev/null

mkdir -p "$root/out"
cd "$root/out"
"$root/build/contours" "$image"
echo "Result written to $root/out/GC_res.bmp"
