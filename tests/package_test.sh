#!/usr/bin/env bash
# Builds the Debian packages from the build tree with one cpack call and
# checks their names, metadata and contents, runs lintian on them, lets apt
# resolve their dependencies, then runs the packaged programs and the packaged
# Python module from an unpacked copy.
# Usage: package_test.sh BUILD_DIR VERSION DATA_DIR
set -euo pipefail
build=$(realpath "$1")
version=$2
data=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
packages=(contours libcontours-dev)
# The Python package exists where the build made the module.
compgen -G "$build/python/site/contours/_contours*.so" >/dev/null && packages+=(python3-contours)

(cd "$work" && cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" \
  >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
made=$(cd "$work/out" && ls -- *.deb | sort)
expected=$(for package in "${packages[@]}"; do echo "${package}_${version}_$arch.deb"; done | sort)
[ "$made" = "$expected" ] || fail "cpack made: $made; expected: $expected"

# has_all PACKAGE PATH... : the package holds each path.
has_all() {
  local contents
  contents=$(dpkg-deb --contents "$work/out/$1_${version}_$arch.deb" | awk '{print $6}')
  shift
  for path in "$@"; do
    grep -qxF "./$path" <<<"$contents" || fail "package lacks $path"
  done
}
# depends_on PACKAGE NAME... : each name is in the package's Depends.
depends_on() {
  local depends
  depends=$(dpkg-deb --field "$work/out/$1_${version}_$arch.deb" Depends)
  shift
  for name in "$@"; do
    [[ ", $depends," == *", $name"[\ ,]* ]] || fail "Depends lacks $name: $depends"
  done
}

for package in "${packages[@]}"; do
  deb=$work/out/${package}_${version}_$arch.deb
  dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
  field() { dpkg-deb --field "$deb" "$1"; }
  [ "$(field Package)" = "$package" ] || fail "$package: wrong package name"
  [ "$(field Version)" = "$version" ] || fail "$package: wrong version"
  [ "$(field Architecture)" = "$arch" ] || fail "$package: wrong architecture"
  [ "$(field Source)" = contours ] || fail "$package: wrong source"
  [ -n "$(field Maintainer)" ] || fail "$package: no maintainer"
  has_all "$package" "usr/share/doc/$package/copyright" "usr/share/doc/$package/changelog.gz"
  contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
  if grep -qv '^\./usr/' <<<"$contents"; then
    fail "$package installs outside /usr: $(grep -v '^\./usr/' <<<"$contents" | head -3)"
  fi
done

has_all contours usr/bin/contours usr/bin/contours-batch usr/bin/contours-parallel \
  usr/share/man/man1/contours.1.gz usr/share/man/man1/contours-batch.1.gz \
  usr/share/man/man1/contours-parallel.1.gz
depends_on contours libopencv-core406 libopencv-imgcodecs406 parallel
dpkg-deb --contents "$work/out/contours_${version}_$arch.deb" |
  awk '$6 ~ /^\.\/usr\/bin\/./ && $1 !~ /x/ {bad = 1} END {exit bad}' ||
  fail "a program in usr/bin is not executable"

has_all libcontours-dev usr/include/contours/contours.hpp \
  "usr/lib/$triplet/libcontours_core.a" "usr/lib/$triplet/cmake/contours/contoursConfig.cmake" \
  "usr/lib/$triplet/pkgconfig/contours.pc"
depends_on libcontours-dev libopencv-dev

# Only the development package names a development package, and each file
# is in exactly one package.
for package in "${packages[@]}"; do
  [ "$package" = libcontours-dev ] && continue
  depends=$(dpkg-deb --field "$work/out/${package}_${version}_$arch.deb" Depends)
  [[ $depends != *-dev* ]] || fail "$package depends on a development package: $depends"
done
duplicates=$(for deb in "$work"/out/*.deb; do dpkg-deb --contents "$deb"; done |
  awk '$1 !~ /^d/ {print $6}' | sort | uniq -d)
[ -z "$duplicates" ] || fail "files in more than one package: $duplicates"

if [[ " ${packages[*]} " == *" python3-contours "* ]]; then
  site=usr/lib/python3/dist-packages
  module=$(dpkg-deb --contents "$work/out/python3-contours_${version}_$arch.deb" |
    awk '{print $6}' | grep -x "\./$site/contours/_contours\.cpython-.*\.so") ||
    fail "python3-contours lacks the compiled module in $site/contours"
  has_all python3-contours "$site/contours/__init__.py" "$site/contours/_contours.pyi" \
    "$site/contours/py.typed"
  depends_on python3-contours python3-numpy python3 libopencv-core406 libopencv-imgcodecs406
  # Its byte-compiled files are made on install and removed before removal.
  for script in postinst:py3compile prerm:py3clean; do
    dpkg-deb --info "$work/out/python3-contours_${version}_$arch.deb" "${script%:*}" |
      grep -q "${script#*:} -p python3-contours" || fail "python3-contours ${script%:*} lacks ${script#*:}"
  done
fi

# Debian's package checker finds no error in any package.
command -v lintian >/dev/null || fail "lintian is not installed (apt install lintian)"
lintian --tag-display-limit 0 "$work"/out/*.deb >"$work/lintian.log" 2>&1 || true
grep -v 'running with root privileges' "$work/lintian.log" || true
! grep -q '^E: ' "$work/lintian.log" || fail "lintian reports errors"

# apt can resolve every dependency of the packages on this system.
apt-get install --simulate --no-install-recommends "$work"/out/*.deb >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt cannot install the packages"; }

# The packaged programs and module work from the unpacked tree, and agree.
for deb in "$work"/out/*.deb; do dpkg-deb -x "$deb" "$work/root"; done
mkdir "$work/run"
(cd "$work/run" && "$work/root/usr/bin/contours" "$data/shapes.png" >/dev/null) ||
  fail "packaged contours failed"
"$work/root/usr/bin/contours-batch" "$work/batch" "$data/shapes.png" >/dev/null ||
  fail "packaged contours-batch failed"
cmp -s "$work/run/GC_res.bmp" "$work/batch/shapes.png.bmp" ||
  fail "packaged contours and contours-batch disagree"
if [ -n "${module:-}" ]; then
  PYTHONPATH=$work/root/$site /usr/bin/python3 -c '
import sys, numpy, contours
assert contours.__file__.startswith(sys.argv[1]), contours.__file__
result = contours.analyse(contours.read(sys.argv[2]))
assert numpy.array_equal(result.mask, contours.read(sys.argv[3])[..., 0])
' "$work/root" "$data/shapes.png" "$work/run/GC_res.bmp" ||
    fail "packaged Python module failed or disagrees with contours"
fi
echo "packages: ok"
