#!/usr/bin/env bash
# Builds the Debian package from the build tree and checks its name, its
# metadata and its contents, then runs the packaged programs from an unpacked
# copy.
# Usage: package_test.sh BUILD_DIR VERSION DATA_DIR
set -euo pipefail
build=$(realpath "$1")
version=$2
data=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$work" && cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" \
  >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$work/out/contours_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$work/out"; fail "no package named $(basename "$deb")"; }

info=$(dpkg-deb --info "$deb")
echo "$info"
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = contours ] || fail "wrong package name"
[ "$(field Version)" = "$version" ] || fail "wrong version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "wrong architecture"
[ -n "$(field Maintainer)" ] || fail "no maintainer"
depends=$(field Depends)
for library in libopencv-core406 libopencv-imgcodecs406 parallel; do
  [[ ", $depends," == *", $library"[\ ,]* ]] || fail "Depends lacks $library: $depends"
done
[[ $depends != *-dev* ]] || fail "Depends names a development package: $depends"

contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for path in ./usr/bin/contours ./usr/bin/contours-batch ./usr/bin/contours-parallel \
    ./usr/share/man/man1/contours.1 ./usr/share/man/man1/contours-batch.1 \
    ./usr/share/man/man1/contours-parallel.1 \
    ./usr/include/contours/contours.hpp ./usr/lib/libcontours_core.a \
    ./usr/lib/cmake/contours/contoursConfig.cmake ./usr/lib/pkgconfig/contours.pc; do
  grep -qxF "$path" <<<"$contents" || fail "package lacks $path"
done
if grep -qv '^\./usr/' <<<"$contents"; then
  fail "package installs outside /usr: $(grep -v '^\./usr/' <<<"$contents" | head -3)"
fi
dpkg-deb --contents "$deb" | awk '$6 ~ /^\.\/usr\/bin\/./ && $1 !~ /x/ {bad = 1} END {exit bad}' ||
  fail "a program in usr/bin is not executable"

# The packaged programs work from the unpacked tree.
dpkg-deb -x "$deb" "$work/root"
mkdir "$work/run"
(cd "$work/run" && "$work/root/usr/bin/contours" "$data/shapes.png" >/dev/null) ||
  fail "packaged contours failed"
"$work/root/usr/bin/contours-batch" "$work/batch" "$data/shapes.png" >/dev/null ||
  fail "packaged contours-batch failed"
cmp -s "$work/run/GC_res.bmp" "$work/batch/shapes.png.bmp" ||
  fail "packaged contours and contours-batch disagree"
echo "package: ok"
