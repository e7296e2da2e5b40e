#!/usr/bin/env bash
# Makes the benchmark photographs from tests/data/coffee.png: about 1, 4, 15
# and 60 megapixels, 16:9, as JPEG (quality 95).
# Usage: bench/make-images.sh [BUILD_DIR]   (default: build-bench)
# The images go to BUILD_DIR/bench-images; existing ones are kept.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-bench}")
tool="$build/bench/make_image"
[ -x "$tool" ] || { echo "build $tool first (bench/run.sh does)"; exit 1; }
mkdir -p "$build/bench-images"
for size in 1280x720 2560x1440 5120x2880 10240x5760; do
  out="$build/bench-images/coffee-$size.jpg"
  [ -f "$out" ] || "$tool" "$root/tests/data/coffee.png" "${size%x*}" "${size#*x}" "$out"
  echo "$out"
done
