#!/usr/bin/env bash
# Builds the benchmarks, makes the test photographs and prints the
# performance tables of the README:
#  1. per image, the analysis stage by stage on 1, 2 and all threads (and
#     every count in THREADS) beside the Canny anchors: grey on one thread and
#     on OpenCV's default thread count, colour on one thread; in one process
#     (bench_stages: medians of REPS interleaved runs);
#  2. per image, the analysis as a whole on each of those thread counts, in
#     ms and as ratios to both grey Cannys of step 1, and the speed-up of 2
#     threads over 1;
#  3. per image and per thread count in THREADS (passed to contours as
#     CONTOURS_THREADS): the GC time contours prints, median of COLD fresh
#     processes (what a user sees: page faults of new arrays included), as
#     ratios to both grey Cannys; contours and the floor process (decode +
#     encode only) as whole processes under hyperfine (medians of RUNS runs
#     after warm-up); the peak resident memory of contours and of the floor
#     process (/usr/bin/time), in bytes per pixel, medians of three runs.
# CONTOURS_ISA (baseline, avx2, avx512) is passed on to every process, so
# CONTOURS_ISA=avx2 bench/run.sh measures the AVX2 build on any AVX2 machine.
# Usage: bench/run.sh [BUILD_DIR]   (default: build-bench)
# REPS, RUNS, COLD, IMAGES (a list of paths), SETS (the image sets, see
# make-images.sh) and THREADS (CONTOURS_THREADS values for step 3, default
# "1"; 0 is one per core) may be set in the environment.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-bench}")
reps=${REPS:-7}
runs=${RUNS:-10}
cold=${COLD:-5}
read -r -a threads <<<"${THREADS:-1}"
# bench_stages' counts: 1, 2 and all, then THREADS' others.
stageThreads=$(printf '%s\n' 1 2 0 "${threads[@]}" | awk '!seen[$0]++' | paste -sd, -)
label() { [ "$1" = 0 ] && echo all || echo "$1"; }

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

machine="vector build: ${CONTOURS_ISA:-widest}; $(lscpu | sed -n 's/^Model name: *//p');\
 AVX-512: $(grep -q avx512f /proc/cpuinfo && echo yes || echo no); $(nproc) cores"

echo "# Stages, one process, threads $stageThreads (medians of $reps runs; the thread counts interleaved)"
declare -A stages
for image in "${images[@]}"; do
  echo
  "$build/bench/bench_stages" "$image" "$reps" "$stageThreads" | tee "$work/stages.txt"
  stages[$image]=$(cat "$work/stages.txt")
done

# A figure of bench_stages' output: ROW (start of the measurement's name),
# THREADS (its label), FIELD from the right (0: speed-up, 4: ms).
figure() {
  awk -v row="$2" -v t="$3" -v f="$4" 'index($0, row) == 1 && $(NF-5) == t { print $(NF-f) }' \
    <<<"${stages[$1]}"
}
median() { sort -n | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

echo
echo "# In-process analysis (the stages summed, median ms) on 1, 2 and all threads;"
echo "# x grey1, x greyD: ratios to grey Canny on 1 thread and on OpenCV's default"
echo "# threads; 2/1: speed-up of 2 threads over 1. $machine"
printf '%-26s %6s %5s %7s %7s' image MP "comp%" grey1 greyD
for t in 1 2 0; do printf ' %8s %7s %7s' "ms@$(label $t)" "x grey1" "x greyD"; done
printf ' %5s\n' "2/1"
for image in "${images[@]}"; do
  printf '%-26s %6s %5s %7s %7s' "$(basename "$image")" \
    "$(sed -n 's/.* = \([0-9.]*\) MP;.*/\1/p' <<<"${stages[$image]}")" \
    "$(sed -n 's/.*cells computed (\([0-9]*\)%).*/\1/p' <<<"${stages[$image]}")" \
    "$(figure "$image" "grey Canny" 1 4)" "$(figure "$image" "grey Canny" default 4)"
  for t in 1 2 0; do
    printf ' %8s %7s %7s' "$(figure "$image" "analysis, the stages" "$(label $t)" 4)" \
      "$(figure "$image" "analysis, the stages" "$(label $t)" 2)" \
      "$(figure "$image" "analysis, the stages" "$(label $t)" 1)"
  done
  printf ' %5s\n' "$(figure "$image" "analysis, the stages" 2 0)"
done

echo
echo "# Whole processes, CONTOURS_THREADS = ${threads[*]}. cold: GC time printed by contours,"
echo "# median of $cold fresh processes; contours, floor: hyperfine median of $runs runs after"
echo "# 3 warm-up runs; peak RSS: median of 3 runs. $machine"
printf '%-26s %7s %6s %7s %7s %6s %7s %7s %8s %7s %6s %8s %8s\n' image threads MP grey1 greyD \
  "cold" "x grey1" "x greyD" contours floor ratio "bytes/px" "floor"
for image in "${images[@]}"; do
  pixels=$("$build/contours" "$image" | awk '/^Width/{w=$4} /^Height/{h=$4} END{print w*h}')
  for t in "${threads[@]}"; do
    export CONTOURS_THREADS=$t
    hyperfine -N -w 3 -r "$runs" --export-csv times.csv \
      "$build/bench/floor $image" "$build/contours $image" >/dev/null 2>&1
    floor=$(awk -F, 'NR==2{print $4*1000}' times.csv)
    whole=$(awk -F, 'NR==3{print $4*1000}' times.csv)
    rss=$(for i in 1 2 3; do /usr/bin/time -f %M "$build/contours" "$image" 2>&1 >/dev/null | tail -1; done | median)
    floorRss=$(for i in 1 2 3; do /usr/bin/time -f %M "$build/bench/floor" "$image" 2>&1 >/dev/null | tail -1; done | median)
    coldms=$(for ((i = 0; i < cold; ++i)); do
               "$build/contours" "$image" | sed -n 's/^GC time (ms): //p'; done | median)
    unset CONTOURS_THREADS
    awk -v name="$(basename "$image")" -v t="$(label "$t")" -v px="$pixels" \
        -v g="$(figure "$image" "grey Canny" 1 4)" -v gd="$(figure "$image" "grey Canny" default 4)" \
        -v whole="$whole" -v floor="$floor" -v rss="$rss" -v cold="$coldms" -v floorRss="$floorRss" \
      'BEGIN{printf "%-26s %7s %6.2f %7.1f %7.1f %6.1f %7.2f %7.2f %8.1f %7.1f %6.2f %8.1f %8.1f\n",
             name, t, px/1e6, g, gd, cold, cold/g, cold/gd, whole, floor, whole/floor,
             rss*1024/px, floorRss*1024/px}'
  done
done
