#!/usr/bin/env bash
# Makes the benchmark images, all drawn by bench/make_image (no downloads):
#  - the dense photograph, tiled from tests/data/coffee.png: about 1, 4, 15 and
#    60 megapixels, 16:9, JPEG;
#  - smooth images of about 9 megapixels: a soft photograph (JPEG), gradients
#    with a few shapes and a flat-shaded graphic (PNG), and a wood-like
#    texture and a geometric pattern (WebP, about 17 megapixels);
#  - not made unless SETS names them: "sparse", a flat graphic of a few large
#    shapes where 1 to 3% of the pixels are computed (PNG, 2 and 8.7
#    megapixels), and "documents", a scanned page of text (JPEG, A4 at 150
#    and 300 dpi: 2.2 and 8.7 megapixels).
# Usage: bench/make-images.sh [BUILD_DIR]   (default: build-bench)
# SETS (default "dense smooth") lists the sets to make, from dense, smooth,
# sparse and documents. The images go to
# BUILD_DIR/bench-images; existing ones are kept. Prints their paths.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-bench}")
tool="$build/bench/make_image"
sets=${SETS:-dense smooth}
[ -x "$tool" ] || { echo "build $tool first (bench/run.sh does)"; exit 1; }
mkdir -p "$build/bench-images"
make() {  # NAME WIDTH HEIGHT KIND
  local out="$build/bench-images/$1"
  [ -f "$out" ] || "$tool" "$root/tests/data/coffee.png" "$2" "$3" "$out" "$4"
  echo "$out"
}
if [[ " $sets " == *" dense "* ]]; then
  for size in 1280x720 2560x1440 5120x2880 10240x5760; do
    make "coffee-$size.jpg" "${size%x*}" "${size#*x}" photo
  done
fi
if [[ " $sets " == *" smooth "* ]]; then
  make soft-4000x2300.jpg 4000 2300 soft
  make gradients-3840x2260.png 3840 2260 gradients
  make flat-3840x2260.png 3840 2260 flat
  make texture-5472x3072.webp 5472 3072 texture
  make pattern-5472x3072.webp 5472 3072 pattern
fi
if [[ " $sets " == *" sparse "* ]]; then
  make sparse-1920x1080.png 1920 1080 sparse
  make sparse-3840x2260.png 3840 2260 sparse
fi
if [[ " $sets " == *" documents "* ]]; then
  make document-1240x1754.jpg 1240 1754 document
  make document-2480x3508.jpg 2480 3508 document
fi
