#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite four
# times: the default build, a build under AddressSanitizer and
# UndefinedBehaviorSanitizer, an -O3 -march=native build and a clang build,
# each of which must give the same bits as the default one (every build runs
# the reference and differential tests once per vector build the processor
# has, and on 1, 2, 3 and 7 threads). Then the library's tests once more under
# ThreadSanitizer. Last, it builds the libFuzzer harnesses
# with clang and runs each for a bounded time from the committed seed corpus.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

# clang and its runtime build the fuzzers; parallel runs contours-parallel
# (rsync for its tests of the multi-machine form, and an OpenSSH server and
# client for the test that runs it over real ssh); dpkg-dev gives cpack
# dpkg-shlibdeps, which needs file; the Python package is built with pybind11
# and numpy for Debian's interpreter and tested with pytest (PIL images as
# input, a Dask cluster of its own, pip install . into a fresh virtual
# environment with the system's setuptools and wheel); lintian checks the
# packages.
"$root/scripts/install-deps.sh" libgtest-dev clang libclang-rt-14-dev parallel rsync \
  dpkg-dev file openssh-server openssh-client pybind11-dev python3-dev python3-numpy \
  python3-pytest python3-pil python3-distributed python3-venv python3-setuptools \
  python3-wheel python3-pip lintian

passed=0
# build_and_test DIR CMAKE_ARGS...: every target and every test, or only the
# target build_target names and the tests test_regex matches.
build_and_test() {
  local dir=$1; shift
  echo "== $dir"
  cmake -S "$root" -B "$root/$dir" -DCONTOURS_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$root/$dir" -j "$jobs" ${build_target:+--target "$build_target"} >/dev/null
  (cd "$root/$dir" &&
    ctest --output-on-failure --no-tests=error -j "$jobs" ${test_regex:+-R "$test_regex"}) |
    tee "$root/$dir/ctest.log"
  # set -o pipefail has already stopped the script if any test failed.
  local count
  count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$root/$dir/ctest.log")
  passed=$((passed + ${count:-0}))
}

build_and_test build
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build_and_test build-sanitize -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" \
    -DCONTOURS_SANITIZE=address,undefined,float-cast-overflow
build_and_test build-native -DCMAKE_BUILD_TYPE=Release \
  "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -march=native -DNDEBUG"
build_and_test build-clang -DCMAKE_CXX_COMPILER=clang++
# The analysis runs its stages in bands on OpenCV's parallel runtime: the
# library's tests (the reference and differential ones on 1, 2, 3 and 7
# threads among them) must find no data race.
build_target=contours_tests test_regex='^[A-Za-z/]+\.' \
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
  build_and_test build-tsan -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" \
    -DCONTOURS_SANITIZE=thread -DCONTOURS_BUILD_PYTHON=OFF

# Each fuzzer runs for fuzz_seconds (FUZZ_SECONDS overrides it); new inputs go
# to a working corpus inside the build tree, never into the committed seeds.
# The outer timeout only guards against a hang that libFuzzer itself misses.
fuzz_seconds=${FUZZ_SECONDS:-30}
echo "== build-fuzz"
cmake -S "$root" -B "$root/build-fuzz" -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCONTOURS_BUILD_FUZZERS=ON \
  -DCONTOURS_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build-fuzz" -j "$jobs" >/dev/null
for fuzzer in decode pixels; do
  work="$root/build-fuzz/corpus/$fuzzer"
  log="$root/build-fuzz/$fuzzer.log"
  mkdir -p "$work"
  if ! timeout $((fuzz_seconds + 120)) "$root/build-fuzz/fuzz/${fuzzer}_fuzzer" \
      -seed=1 -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$root/build-fuzz/$fuzzer-" \
      "$work" "$root/fuzz/corpus/$fuzzer" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "${fuzzer}_fuzzer failed; full log in $log, crashing input in $root/build-fuzz/"
    exit 1
  fi
  echo "${fuzzer}_fuzzer: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)"
  passed=$((passed + 1))
done

echo
echo "contours: $passed passed, 0 failed"
