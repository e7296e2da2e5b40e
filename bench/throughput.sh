#!/usr/bin/env bash
# Throughput over 200 generated 512x512 photographs, in images per second:
# one contours process per image, one contours-batch process for all of
# them, and contours-parallel with one job and with its default of one job
# per core. Generates the photographs from
# tests/data (no downloads), times each way with hyperfine and prints a
# Markdown table.
# Usage: bench/throughput.sh [BUILD_DIR] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
runs=${2:-3}
count=200
for program in contours contours-batch; do
  [ -x "$build/$program" ] || { echo "build $build/$program first"; exit 1; }
done
command -v hyperfine > /dev/null || { echo "needs hyperfine (apt install hyperfine)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
read -r -a opencv <<<"$(pkg-config --cflags --libs opencv4)"
c++ -O2 -std=c++17 "$root/bench/throughput/make_photos.cpp" -o "$work/make_photos" \
  "${opencv[@]}"
mkdir "$work/photos" "$work/single"
"$work/make_photos" "$root/tests/data/astronaut.png" "$root/tests/data/coffee.png" \
  "$work/photos" "$count"

export CONTOURS_BATCH=$build/contours-batch
cd "$work"
hyperfine --runs "$runs" --warmup 1 --export-csv times.csv --style basic \
  --prepare "rm -rf out" \
  -n "contours: one process per image" \
    "cd single && for f in ../photos/*.png; do '$build/contours' \"\$f\" > /dev/null; done" \
  -n "contours-batch: one process" \
    "'$build/contours-batch' out photos/*.png > /dev/null" \
  -n "contours-parallel: 1 job" \
    "'$root/scripts/contours-parallel' photos out --jobs 1 > /dev/null" \
  -n "contours-parallel: $(nproc) jobs (default)" \
    "'$root/scripts/contours-parallel' photos out > /dev/null"

echo
echo "| way | seconds for $count images | images/s | vs. one process per image |"
echo "|---|---|---|---|"
awk -F, -v n="$count" 'NR == 1 { next }
  { name[NR] = $1; mean[NR] = $2; if (NR == 2) base = $2 }
  END { for (i = 2; i <= NR; i++)
          printf "| %s | %.2f | %.0f | %.1fx |\n", name[i], mean[i], n / mean[i], base / mean[i] }
' times.csv
echo
echo "$(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(date -u +%F)"
