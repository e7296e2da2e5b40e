#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks the installed tree, and
# builds and runs the example consumer against it, once through the CMake
# package and once through the pkg-config file.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
data=$source/tests/data
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

prefix=$work/prefix
# The library folder the build installs into (lib, or Debian's lib/<triplet>).
lib=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
cmake --install "$build" --prefix "$prefix" >/dev/null

# Everything lands where users, CMake and pkg-config look for it.
for program in contours contours-batch contours-parallel; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program missing or not executable"
  [ -f "$prefix/share/man/man1/$program.1.gz" ] || fail "man page $program.1.gz missing"
done
# The manual pages format without a warning, and carry the project's version.
version=$(pkg-config --modversion "$prefix/$lib/pkgconfig/contours.pc")
for page in "$prefix"/share/man/man1/*.1.gz; do
  zgrep -q "^\.TH .* \"contours $version\"" "$page" || fail "$page lacks version $version"
  if command -v groff > /dev/null; then
    warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
  fi
done
for header in "$source"/include/contours/*.hpp "$build"/include/contours/version.hpp; do
  cmp -s "$header" "$prefix/include/contours/$(basename "$header")" ||
    fail "header $(basename "$header") not installed in include/contours"
done
# The installed headers are the contract alone: each compiles on its own, and
# none declares one of the pipeline's internal forms.
for header in "$prefix"/include/contours/*.hpp; do
  echo "#include <contours/$(basename "$header")>" |
    c++ -std=c++17 -fsyntax-only -x c++ - -I"$prefix/include" \
      $(pkg-config --cflags opencv4) || fail "$(basename "$header") does not compile alone"
done
internals='processBlocks|surfaceRow|calcFineContoursFromImage|QuarterMaxima|summariseQuarters|startQuarters|summariseQuarterRows|searchThreshold|findThreshold|StageTimes|stageTimes|tickCountFrom|elapsedTicks|std::function'
if grep -nE "\b($internals)\b" "$prefix"/include/contours/*.hpp; then
  fail "installed headers declare internals of the pipeline"
fi
for file in $lib/libcontours_core.a $lib/pkgconfig/contours.pc \
    $lib/cmake/contours/contoursConfig.cmake \
    $lib/cmake/contours/contoursConfigVersion.cmake \
    $lib/cmake/contours/contoursTargets.cmake; do
  [ -f "$prefix/$file" ] || fail "$file missing"
done
# Neither does the exported target link the codecs.
if grep -q imgcodecs "$prefix/$lib/cmake/contours/"*.cmake; then
  fail "the CMake package links the codecs"
fi
# The installed package must not point back into the source or build tree.
if grep -rqF -e "$source" -e "$build" \
    "$prefix/$lib/cmake" "$prefix/$lib/pkgconfig"; then
  fail "installed package files refer to the source or build tree"
fi

# The installed program gives the result the build tree's does.
mkdir "$work/run"
(cd "$work/run" && "$prefix/bin/contours" "$data/coffee.png" >/dev/null) ||
  fail "installed contours failed"
[ -f "$work/run/GC_res.bmp" ] || fail "installed contours wrote no result"

# The Python package, where the build made it, imports from the prefix and
# gives the installed program's result.
if compgen -G "$build/python/site/contours/_contours*.so" >/dev/null; then
  cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
  python_site=$(cached CONTOURS_PYTHON_INSTALL_DIR)
  for file in __init__.py py.typed _contours.pyi; do
    [ -f "$prefix/$python_site/contours/$file" ] || fail "$python_site/contours/$file missing"
  done
  compgen -G "$prefix/$python_site/contours/_contours*.so" >/dev/null ||
    fail "$python_site/contours lacks the compiled module"
  PYTHONPATH=$prefix/$python_site "$(cached Python3_EXECUTABLE)" -c '
import sys, numpy, contours
assert contours.__file__.startswith(sys.argv[1]), contours.__file__
assert numpy.array_equal(contours.analyse_file(sys.argv[2]).mask,
                         contours.read(sys.argv[3])[..., 0])
' "$prefix" "$data/coffee.png" "$work/run/GC_res.bmp" ||
    fail "installed Python package failed or disagrees with contours"
fi

# The example, built through find_package(contours).
cmake -S "$source/examples" -B "$work/example" \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "example does not configure"; }
cmake --build "$work/example" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; fail "example does not build"; }
line=$("$work/example/contours_example" "$data/coffee.png" "$work/example.bmp") ||
  fail "example failed: $line"
echo "$line"
[[ $line == *": 600x400, "* ]] || fail "example reported the wrong size"
selected=$(echo "$line" | sed -E 's/.*, ([0-9]+) contour pixels \(([0-9]+) in.*/\1 \2/')
read -r reported counted <<<"$selected"
[ "$reported" = "$counted" ] || fail "reported $reported contour pixels, result has $counted"
cmp -s "$work/example.bmp" "$work/run/GC_res.bmp" ||
  fail "example result differs from the installed contours' result"

# The example again, compiled by hand from the pkg-config file, which names
# OpenCV's core alone: the example brings the codecs it uses itself.
export PKG_CONFIG_PATH=$prefix/$lib/pkgconfig
read -r -a flags <<<"$(pkg-config --cflags --libs contours)"
[[ " ${flags[*]} " != *imgcodecs* ]] || fail "pkg-config names the codecs: ${flags[*]}"
c++ -std=c++17 "$source/examples/analyse.cpp" -o "$work/example-pc" "${flags[@]}" \
    -lopencv_imgcodecs ||
  fail "example does not build with pkg-config's flags"
line_pc=$("$work/example-pc" "$data/coffee.png") || fail "pkg-config example failed"
[ "${line_pc%, * ms}" = "${line%, * ms}" ] || fail "pkg-config example reported: $line_pc"
[ "$(pkg-config --modversion contours)" = "$(sed -nE 's/.*PACKAGE_VERSION "(.*)".*/\1/p' \
    "$prefix/$lib/cmake/contours/contoursConfigVersion.cmake" | head -1)" ] ||
  fail "pkg-config and CMake package versions differ"
# Consumers include the headers as <contours/...> alone: a bare <surface.hpp>
# is on neither pkg-config's nor the CMake package's include path. The
# headers' version and the library's are the package's.
if echo '#include <surface.hpp>' |
    c++ -std=c++17 -fsyntax-only -x c++ - "${flags[@]}" 2>/dev/null; then
  fail "<surface.hpp> is found without contours/"
fi
if grep -E 'INTERFACE_INCLUDE_DIRECTORIES.*/contours[";]' \
    "$prefix/$lib/cmake/contours/"contoursTargets*.cmake; then
  fail "the CMake package puts include/contours on the include path"
fi
printf '#include <contours/contours.hpp>\n#include <cstdio>\nint main() { %s }\n' \
    'std::printf("%s %s\n", CONTOURS_VERSION, contours::version());' |
  c++ -std=c++17 -x c++ - -x none -o "$work/version" "${flags[@]}" ||
  fail "a program of <contours/contours.hpp> does not build"
[ "$("$work/version")" = "$version $version" ] ||
  fail "versions $("$work/version") are not the package's $version"
echo "installed tree and example: ok"
