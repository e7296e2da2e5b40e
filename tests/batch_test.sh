#!/usr/bin/env bash
# contours-batch must give, for every image, the very bytes a single contours
# run writes to GC_res.bmp, report read errors as contours does without
# stopping, keep same-named inputs apart, never replace an existing file,
# find its own results again on a rerun, and fit long names to the folder.
# Usage: batch_test.sh CONTOURS CONTOURS_BATCH DATA_DIR
set -euo pipefail
contours=$(realpath "$1")
batch=$(realpath "$2")
data=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cd "$work"

# Inputs: good images, two different images that share a file name, and
# files contours cannot read.
mkdir -p in/a in/b
cp "$data/coffee.png" in/a/photo.png
cp "$data/shapes.png" in/b/photo.png
cp "$data/astronaut.png" in/astronaut.png
head -c 2000 "$data/coffee.png" > in/truncated.png
echo "not an image" > in/text.png
: > in/empty.png
mkdir in/folder.png
inputs=(in/a/photo.png in/text.png in/b/photo.png in/missing.png in/truncated.png
        in/astronaut.png in/empty.png in/folder.png)

status=0
"$batch" out "${inputs[@]}" > lines.txt || status=$?
cat lines.txt
[ "$status" -eq 1 ] || fail "status $status when some images fail, expected 1"
[ "$(wc -l < lines.txt)" -eq ${#inputs[@]} ] || fail "not one line per image"

# What each input must come to: the result file, or a read error.
expect=(out/photo.png.bmp error out/photo.png.2.bmp error error
        out/astronaut.png.bmp error error)
for i in "${!inputs[@]}"; do
  input=${inputs[$i]}
  line=$(sed -n "$((i + 1))p" lines.txt)
  mkdir -p "single/$i"
  single=0
  (cd "single/$i" && "$contours" "$work/$input" > console.txt) || single=$?
  if [ "${expect[$i]}" = error ]; then
    [ "$line" = "$input"$'\terror: cannot read or decode the image' ] ||
      fail "line for $input: $line"
    [ "$single" -eq 254 ] || fail "contours gave $single on $input, the test expects a read error"
    continue
  fi
  [ "$single" -eq 0 ] || fail "contours failed on $input"
  result=${expect[$i]}
  IFS=$'\t' read -r path size ms selected written <<<"$line"
  [ "$path" = "$input" ] && [ "$written" = "$result" ] ||
    fail "line for $input: $line (expected the result in $result)"
  width=$(sed -n 's/^Width of image: //p' "single/$i/console.txt")
  height=$(sed -n 's/^Height of image: //p' "single/$i/console.txt")
  [ "$size" = "${width}x${height}" ] || fail "size $size for $input, contours says ${width}x${height}"
  [[ $ms =~ ^[0-9]+\ ms$ && $selected =~ ^[1-9][0-9]*\ selected$ ]] ||
    fail "malformed time or count in: $line"
  cmp "single/$i/GC_res.bmp" "$result" || fail "$result differs from contours' result for $input"
done

# A rerun into the same folder (after an interruption, say) finds its results
# filed already: the same lines, no new file, the first run's files untouched.
cp -p out/photo.png.bmp first-run.bmp
ls -A out > first-files.txt
"$batch" out "${inputs[@]}" > lines2.txt || true
[ "$(cut -f1,2,4,5 lines2.txt)" = "$(cut -f1,2,4,5 lines.txt)" ] ||
  fail "a rerun reported: $(cat lines2.txt)"
[ "$(ls -A out)" = "$(cat first-files.txt)" ] || fail "a rerun left: $(ls -A out)"
cmp -s first-run.bmp out/photo.png.bmp || fail "a rerun changed a first-run result"
[ -z "$(find out -name '.*' -type f)" ] || fail "temporary files left behind"

# Same-named inputs with identical results still get a file each in one run
# (and a rerun of them still makes none).
mkdir -p in/c
cp in/b/photo.png in/c/photo.png
for run in 1 2; do
  "$batch" twins in/b/photo.png in/c/photo.png > twins.txt || fail "run $run of twins failed"
  [ "$(cut -f5 twins.txt | tr '\n' ' ')" = 'twins/photo.png.bmp twins/photo.png.2.bmp ' ] ||
    fail "twins, run $run, filed as: $(cut -f5 twins.txt | tr '\n' ' ')"
done
[ "$(ls -A twins | wc -l)" -eq 2 ] || fail "twins left: $(ls -A twins)"

# A base name too long for ".bmp" (up to 255 bytes) is cut to fit, on a
# character boundary when it is UTF-8, and holds contours' result all the same.
long=$(printf 'x%.0s' {1..251}).png                       # 255 bytes
euro=$(printf '\xe2\x82\xac%.0s' {1..85})                  # 255 bytes, 3 a character
mkdir -p in/long1 in/long2
cp in/b/photo.png "in/long1/$long"
cp in/b/photo.png "in/long2/$long"
cp in/b/photo.png "in/long1/$euro"
"$batch" long "in/long1/$long" "in/long1/$euro" "in/long2/$long" > long.txt ||
  fail "long names: $(cat long.txt)"
stem=$(printf 'x%.0s' {1..251})
expected=("long/$stem.bmp" "long/$(printf '\xe2\x82\xac%.0s' {1..83}).bmp"
          "long/${stem:0:249}.2.bmp")
[ "$(cut -f5 long.txt)" = "$(printf '%s\n' "${expected[@]}")" ] ||
  fail "long names filed as: $(cut -f5 long.txt)"
for result in "${expected[@]}"; do
  cmp -s single/2/GC_res.bmp "$result" || fail "$result differs from contours' result"
done

# An existing file that is not ours, and a dangling symbolic link, are left
# alone as well.
mkdir taken
echo keep > taken/photo.png.bmp
ln -s nowhere taken/photo.png.2.bmp
"$batch" taken in/b/photo.png > lines3.txt || fail "run into a folder with taken names failed"
[ "$(cut -f5 lines3.txt)" = taken/photo.png.3.bmp ] || fail "filed as $(cut -f5 lines3.txt)"
[ "$(cat taken/photo.png.bmp)" = keep ] && [ -L taken/photo.png.2.bmp ] &&
  [ ! -e nowhere ] || fail "an existing name was overwritten"

# All good: status 0; the output folder is created, parents included.
"$batch" new/deeper in/astronaut.png > /dev/null || fail "status $? with only good images"
cmp -s new/deeper/astronaut.png.bmp out/astronaut.png.bmp || fail "result differs in a new folder"

# A reader that stops after the first line stops no work: every result is
# written and the status is that of a full run.
status=("$("$batch" piped in/astronaut.png in/a/photo.png in/b/photo.png | head -n 1 > /dev/null
          echo "${PIPESTATUS[0]}")")
[ "$status" -eq 0 ] || fail "status $status when the reader leaves early"
[ "$(ls piped | tr '\n' ' ')" = "astronaut.png.bmp photo.png.2.bmp photo.png.bmp " ] ||
  fail "results when the reader leaves early: $(ls -A piped)"

# A file-size limit fails each write (its error line, status 1) and leaves no
# temporary file.
status=0
(ulimit -f 8; exec "$batch" limited in/astronaut.png in/b/photo.png) > limited.txt || status=$?
[ "$status" -eq 1 ] || fail "status $status under a file-size limit"
[ "$(grep -c $'\terror: cannot write the result in limited' limited.txt)" -eq 2 ] ||
  fail "lines under a file-size limit: $(cat limited.txt)"
[ -z "$(ls -A limited)" ] || fail "left under a file-size limit: $(ls -A limited)"

# Results get the permissions of a plainly created file.
(umask 027; "$batch" masked in/astronaut.png > /dev/null) || fail "run under umask 027"
[ "$(stat -c %a masked/astronaut.png.bmp)" = 640 ] ||
  fail "mode $(stat -c %a masked/astronaut.png.bmp) under umask 027"

# Nothing of OpenCV's own log reaches standard error.
"$batch" quiet in/missing.png in/text.png > /dev/null 2> quiet.txt || true
[ ! -s quiet.txt ] || fail "standard error: $(cat quiet.txt)"

# Every thread count files the same bytes.
for threads in 2 0; do
  CONTOURS_THREADS=$threads "$batch" "threads$threads" in/astronaut.png in/b/photo.png > /dev/null ||
    fail "CONTOURS_THREADS=$threads failed"
  cmp "threads$threads/astronaut.png.bmp" out/astronaut.png.bmp &&
    cmp "threads$threads/photo.png.bmp" out/photo.png.2.bmp ||
    fail "CONTOURS_THREADS=$threads changed a result"
done

# Wrong use.
status=0; "$batch" out > usage.txt || status=$?
[ "$status" -eq 2 ] && grep -q '^Usage: contours-batch OUTPUT_DIR IMAGE\.\.\.$' usage.txt ||
  fail "no image: status $status, $(cat usage.txt)"
status=0; CONTOURS_ISA=sse9 "$batch" isa in/astronaut.png > isa.txt || status=$?
[ "$status" -eq 2 ] && [ ! -e isa ] &&
  grep -qx 'contours-batch: CONTOURS_ISA=sse9: no such vector build (baseline, avx2, avx512)' isa.txt ||
  fail "unknown vector build: status $status, $(cat isa.txt)"
status=0; CONTOURS_THREADS=2x "$batch" threads in/astronaut.png > threads.txt || status=$?
[ "$status" -eq 2 ] && [ ! -e threads ] &&
  grep -qx 'contours-batch: CONTOURS_THREADS=2x: not a thread count: 0 for every core, or 1 to 1024' threads.txt ||
  fail "bad thread count: status $status, $(cat threads.txt)"
status=0; "$batch" in/text.png in/astronaut.png > notdir.txt || status=$?
[ "$status" -eq 3 ] || fail "output folder is a file: status $status"
echo "contours-batch: ok"
