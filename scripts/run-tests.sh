#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three
# times: the default build, a build under AddressSanitizer and
# UndefinedBehaviorSanitizer, and an -O3 -march=native build that must give
# the same bits as the default one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

# parallel runs contours-parallel (rsync for its tests of the multi-machine
# form), dpkg-dev gives cpack dpkg-shlibdeps.
"$root/scripts/install-deps.sh" libgtest-dev parallel rsync dpkg-dev

build_and_test() {
  local dir=$1; shift
  echo "== $dir"
  cmake -S "$root" -B "$root/$dir" "$@" >/dev/null
  cmake --build "$root/$dir" -j "$jobs" >/dev/null
  (cd "$root/$dir" && ctest --output-on-failure -j "$jobs")
}

build_and_test build
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build_and_test build-sanitize -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" \
    -DCONTOURS_SANITIZE=address,undefined,float-cast-overflow
build_and_test build-native -DCMAKE_BUILD_TYPE=Release \
  "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -march=native -DNDEBUG"
