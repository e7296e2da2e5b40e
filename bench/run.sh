#!/usr/bin/env bash
# Builds the benchmarks, makes the test photographs and prints the
# performance table of the README:
#  1. per image, the analysis stage by stage beside the two Canny anchors, in
#     one single-threaded process (bench_stages: medians of REPS runs);
#  2. per image, contours and the floor process (decode + encode only) as
#     whole processes under hyperfine (medians of RUNS runs after warm-up);
#  3. per image, the peak resident memory of contours (/usr/bin/time), in
#     bytes per pixel, median of three runs.
# Usage: bench/run.sh [BUILD_DIR]   (default: build-bench)
# REPS, RUNS and IMAGES (a list of paths) may be set in the environment.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-bench}")
reps=${REPS:-7}
runs=${RUNS:-10}

for tool in hyperfine /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "needs $tool (Debian packages hyperfine, time)"; exit 1; }
done

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCONTOURS_BUILD_BENCH=ON \
  -DCONTOURS_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
mapfile -t images < <(if [ -n "${IMAGES:-}" ]; then printf '%s\n' $IMAGES;
                      else "$root/bench/make-images.sh" "$build"; fi)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "# Stages, one process, one thread (median of $reps runs)"
declare -A analysis grey
for image in "${images[@]}"; do
  echo
  "$build/bench/bench_stages" "$image" "$reps" | tee stages.txt
  analysis[$image]=$(awk '/^analysis as main times it/{print $(NF-2)}' stages.txt)
  grey[$image]=$(awk '/^grey Canny/{print $(NF-2)}' stages.txt)
done

median() { sort -n | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

echo
echo "# Summary. analysis: as contours times it, in-process median; whole process:"
echo "# hyperfine median of $runs runs after 3 warm-up runs; peak RSS: median of 3 runs"
printf '%-24s %7s %10s %9s %7s %8s %10s %9s %7s %9s\n' image MP "analysis" "ms/MP" "x grey" \
  "grey" "contours" "floor" "ratio" "bytes/px"
for image in "${images[@]}"; do
  pixels=$("$build/contours" "$image" | awk '/^Width/{w=$4} /^Height/{h=$4} END{print w*h}')
  hyperfine -N -w 3 -r "$runs" --export-csv times.csv \
    "$build/bench/floor $image" "$build/contours $image" >/dev/null 2>&1
  floor=$(awk -F, 'NR==2{print $4*1000}' times.csv)
  whole=$(awk -F, 'NR==3{print $4*1000}' times.csv)
  rss=$(for i in 1 2 3; do /usr/bin/time -f %M "$build/contours" "$image" 2>&1 >/dev/null | tail -1; done | median)
  awk -v name="$(basename "$image")" -v px="$pixels" -v a="${analysis[$image]}" \
      -v g="${grey[$image]}" -v whole="$whole" -v floor="$floor" -v rss="$rss" \
    'BEGIN{printf "%-24s %7.2f %10.1f %9.2f %7.2f %8.1f %10.1f %9.1f %7.2f %9.1f\n",
           name, px/1e6, a, a/(px/1e6), a/g, g, whole, floor, whole/floor, rss*1024/px}'
done
