#!/usr/bin/env bash
# Throughput over 200 generated 512x512 photographs, in images per second:
# one contours process per image, one contours-batch process for all of
# them, and contours-parallel with one job and with its default of one job
# per core. Generates the photographs from
# tests/data (no downloads), times each way with hyperfine and prints a
# Markdown table.
# THREADS, a list of CONTOURS_THREADS values (0 is one per core), times
# every way once per count, each row named with its count; unset, every way
# runs once with CONTOURS_THREADS as the caller's environment has it.
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
# The ways, once per thread count in THREADS (or once as the environment is).
ways=()
for t in ${THREADS:-.}; do
  if [ "$t" = . ]; then run=""; suffix=""
  else run="CONTOURS_THREADS=$t "; suffix=" [CONTOURS_THREADS=$t]"; fi
  ways+=(-n "contours: one process per image$suffix"
           "cd single && for f in ../photos/*.png; do $run'$build/contours' \"\$f\" > /dev/null; done"
         -n "contours-batch: one process$suffix"
           "$run'$build/contours-batch' out photos/*.png > /dev/null"
         -n "contours-parallel: 1 job$suffix"
           "$run'$root/scripts/contours-parallel' photos out --jobs 1 > /dev/null"
         -n "contours-parallel: $(nproc) jobs (default)$suffix"
           "$run'$root/scripts/contours-parallel' photos out > /dev/null")
done
hyperfine --runs "$runs" --warmup 1 --export-csv times.csv --style basic \
  --prepare "rm -rf out" "${ways[@]}"
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
