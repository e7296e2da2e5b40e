#!/usr/bin/env bash
# Builds the benchmarks, makes the test photographs and prints the
# performance table of the README:
#  1. per image, the analysis stage by stage beside the two Canny anchors, in
#     one single-threaded process (bench_stages: medians of REPS runs);
#  2. per image, contours and the floor process (decode + encode only) as
#     whole processes under hyperfine (medians of RUNS runs after warm-up);
#  3. per image, the GC time contours prints, median of COLD fresh processes
#     (what a user sees: page faults of new arrays included), beside the
#     in-process figure; both as ratios to the grey Canny of step 1;
#  4. per image, the peak resident memory of contours and of the floor
#     process (/usr/bin/time), in bytes per pixel, medians of three runs.
# CONTOURS_ISA (baseline, avx2, avx512) is passed on to every process, so
# CONTOURS_ISA=avx2 bench/run.sh measures the AVX2 build on any AVX2 machine.
# Usage: bench/run.sh [BUILD_DIR]   (default: build-bench)
# REPS, RUNS and IMAGES (a list of paths) may be set in the environment.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-bench}")
reps=${REPS:-7}
runs=${RUNS:-10}
cold=${COLD:-5}

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
declare -A analysis grey computed
for image in "${images[@]}"; do
  echo
  "$build/bench/bench_stages" "$image" "$reps" | tee stages.txt
  analysis[$image]=$(awk '/^analysis as main times it/{print $(NF-2)}' stages.txt)
  computed[$image]=$(sed -n 's/.*cells computed (\([0-9]*\)%).*/\1/p' stages.txt)
  grey[$image]=$(awk '/^grey Canny/{print $(NF-2)}' stages.txt)
done

median() { sort -n | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

echo
echo "# Summary. analysis: as contours times it, in-process median; whole process:"
echo "# hyperfine median of $runs runs after 3 warm-up runs; cold: GC time printed by"
echo "# contours, median of $cold fresh processes; peak RSS: median of 3 runs"
echo "# vector build: ${CONTOURS_ISA:-widest}; $(lscpu | sed -n 's/^Model name: *//p');" \
  "AVX-512: $(grep -q avx512f /proc/cpuinfo && echo yes || echo no)"
printf '%-26s %6s %5s %7s %8s %6s %5s %6s %6s %8s %7s %6s %8s %8s\n' image MP "comp%" "grey" \
  "analysis" "x grey" "ms/MP" "cold" "x grey" "contours" "floor" "ratio" "bytes/px" "floor"
for image in "${images[@]}"; do
  pixels=$("$build/contours" "$image" | awk '/^Width/{w=$4} /^Height/{h=$4} END{print w*h}')
  hyperfine -N -w 3 -r "$runs" --export-csv times.csv \
    "$build/bench/floor $image" "$build/contours $image" >/dev/null 2>&1
  floor=$(awk -F, 'NR==2{print $4*1000}' times.csv)
  whole=$(awk -F, 'NR==3{print $4*1000}' times.csv)
  rss=$(for i in 1 2 3; do /usr/bin/time -f %M "$build/contours" "$image" 2>&1 >/dev/null | tail -1; done | median)
  floorRss=$(for i in 1 2 3; do /usr/bin/time -f %M "$build/bench/floor" "$image" 2>&1 >/dev/null | tail -1; done | median)
  coldms=$(for ((i = 0; i < cold; ++i)); do
             "$build/contours" "$image" | sed -n 's/^GC time (ms): //p'; done | median)
  awk -v name="$(basename "$image")" -v px="$pixels" -v a="${analysis[$image]}" \
      -v g="${grey[$image]}" -v whole="$whole" -v floor="$floor" -v rss="$rss" \
      -v c="${computed[$image]}" -v cold="$coldms" -v floorRss="$floorRss" \
    'BEGIN{printf "%-26s %6.2f %5s %7.1f %8.1f %6.2f %5.2f %6.1f %6.2f %8.1f %7.1f %6.2f %8.1f %8.1f\n",
           name, px/1e6, c, g, a, a/g, a/(px/1e6), cold, cold/g, whole, floor, whole/floor,
           rss*1024/px, floorRss*1024/px}'
done
