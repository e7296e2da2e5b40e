#!/usr/bin/env bash
# contours-parallel over a small folder of good and bad images with two jobs:
# every good image gets its result (the bytes contours-batch writes), the bad
# ones are listed in failed.txt, the status says that some failed, and the
# images go to at most two contours-batch processes.
# Usage: parallel_test.sh CONTOURS_PARALLEL CONTOURS_BATCH DATA_DIR
set -euo pipefail
script=$(realpath "$1")
export CONTOURS_BATCH=$(realpath "$2")
data=$(realpath "$3")
fake_ssh=$(dirname "$(realpath "$0")")/fake_ssh.sh
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cd "$work"
# GNU parallel takes "--workdir ." relative to the home folder when the
# current folder lies beneath it, and keeps its own files there: a home of the
# test's own, beside the work folder, makes both the same wherever it runs.
export HOME=$work/home
mkdir "$HOME"

mkdir -p "in/sub folder" in/.cache
cp "$data/coffee.png" in/coffee.png
cp "$data/shapes.png" in/shapes.png
cp "$data/astronaut.png" "in/sub folder/astronaut copy.png"
cp "$data/shapes.png" "in/sub folder/shapes.png"
echo "not an image" > in/notes.png
head -c 1000 "$data/astronaut.png" > "in/sub folder/cut.png"
cp "$data/coffee.png" in/.hidden.png       # hidden: not an input
cp "$data/coffee.png" in/.cache/coffee.png # in a hidden folder: not an input

status=0
"$script" in "in/results" --jobs 2 --joblog joblog.txt > lines.txt 2>stderr.txt || status=$?
cat lines.txt
[ "$status" -eq 1 ] || { cat stderr.txt; fail "status $status when some images fail, expected 1"; }
out=in/results

printf '%s\n' "in/notes.png" "in/sub folder/cut.png" | sort > expected-failed.txt
sort "$out/failed.txt" | diff expected-failed.txt - || fail "failed.txt is wrong"

"$CONTOURS_BATCH" reference in/coffee.png in/shapes.png "in/sub folder/astronaut copy.png" \
  > /dev/null
cmp "$out/coffee.png.bmp" reference/coffee.png.bmp || fail "coffee result differs"
cmp "$out/astronaut copy.png.bmp" "reference/astronaut copy.png.bmp" ||
  fail "astronaut result differs"
# The two shapes.png inputs are the same image: both results, either order.
cmp "$out/shapes.png.bmp" reference/shapes.png.bmp || fail "shapes result differs"
cmp "$out/shapes.png.2.bmp" reference/shapes.png.bmp || fail "second shapes result differs"
[ "$(ls "$out" | sort | tr '\n' ' ')" = \
  "astronaut copy.png.bmp coffee.png.bmp failed.txt shapes.png.2.bmp shapes.png.bmp " ] ||
  fail "unexpected output files: $(ls "$out")"
[ "$(wc -l < lines.txt)" -eq 6 ] || fail "expected one line per input"

# Many images to each process: with two jobs, two contours-batch runs.
jobs=$(($(wc -l < joblog.txt) - 1))
[ "$jobs" -ge 1 ] && [ "$jobs" -le 2 ] || fail "$jobs contours-batch processes for 6 images"

# All good: status 0 and an empty failed.txt.
mkdir good
cp "$data/shapes.png" good/
"$script" good good-out --jobs 2 > /dev/null 2>&1 || fail "status $? with only good images"
[ -f good-out/shapes.png.bmp ] && [ ! -s good-out/failed.txt ] || fail "all-good run"

# A contours-batch that dies takes none of its images into the results: they
# are listed as failed.
CONTOURS_BATCH=false "$script" good dead-out > /dev/null 2>&1 && fail "status 0 from a dead batch"
[ "$(cat dead-out/failed.txt)" = good/shapes.png ] || fail "dead batch: $(cat dead-out/failed.txt)"

mv in/results first-results  # the first run's results are no inputs

# --sshlogin passes through: two "machines" reached through a stand-in for
# ssh, first sharing the file system...
export FAKE_REMOTE_HOME=$work/remote-home
mkdir "$FAKE_REMOTE_HOME"
ssh=(--ssh "$fake_ssh" --sshlogin 1/node1,1/node2)
"$script" in shared-out "${ssh[@]}" --workdir . > shared.txt 2>&1 &&
  fail "status 0 over ssh with bad images"
sort shared-out/failed.txt | diff expected-failed.txt - || { cat shared.txt; fail "failed.txt over ssh"; }
cmp shared-out/coffee.png.bmp reference/coffee.png.bmp || fail "result over ssh differs"
[ -z "$(ls "$FAKE_REMOTE_HOME")" ] || fail "shared file system form left files remotely"

# ...then copying each image there and its result back (distinct names only).
if command -v rsync > /dev/null; then
  mkdir distinct
  cp in/coffee.png in/notes.png "in/sub folder/astronaut copy.png" distinct/
  "$script" distinct returned "${ssh[@]}" --workdir ... \
      --transferfile {} --return returned/{/}.bmp --cleanup > /dev/null 2>&1 &&
    fail "status 0 from transfer form with a bad image"
  [ "$(cat returned/failed.txt)" = distinct/notes.png ] || fail "transfer form failed.txt"
  cmp returned/coffee.png.bmp reference/coffee.png.bmp || fail "returned result differs"
  cmp "returned/astronaut copy.png.bmp" "reference/astronaut copy.png.bmp" ||
    fail "returned result differs"
  [ -z "$(find "$FAKE_REMOTE_HOME" -type f)" ] || fail "transfer form left files remotely"
  # Returned results would replace each other: refused before any work.
  status=0
  "$script" in clash "${ssh[@]}" --transferfile {} --return clash/{/}.bmp > clash.txt 2>&1 ||
    status=$?
  [ "$status" -eq 2 ] && grep -qx shapes.png clash.txt && [ ! -e clash/shapes.png.bmp ] ||
    fail "same-named images in transfer form: status $status"
  status=0
  "$script" distinct returned "${ssh[@]}" --return returned/{/}.bmp > again.txt 2>&1 ||
    status=$?
  [ "$status" -eq 2 ] || fail "transfer form into a folder with results: status $status"
fi

# Inputs once left out or misread: a folder named like an option, and names
# with a tab, a line break, quotes, $, * or a leading dash are all analysed.
mkdir -- -odd
odd=($'tab\there.png' $'new\nline.png' "q'\"\$HOME*.png" -dash.png)
for name in "${odd[@]}"; do cp -- "$data/shapes.png" "-odd/$name"; done
echo "not an image" > $'-odd/bad\nname.png'
status=0
"$script" -odd odd-out > odd.txt 2>&1 || status=$?
[ "$status" -eq 1 ] || { cat odd.txt; fail "status $status with odd names and a bad image"; }
[ "$(cat odd-out/failed.txt)" = "\$'./-odd/bad\\nname.png'" ] ||
  fail "failed.txt with odd names: $(cat odd-out/failed.txt)"
for name in "${odd[@]}"; do
  cmp "odd-out/$name.bmp" reference/shapes.png.bmp || fail "result for $name"
done

# A folder that cannot be listed is a failure, not a silent skip. Root reads
# every folder, so then the run is made as nobody, in a tree of its own with
# its own copies of the programs. Where nobody can run nothing at all (a
# machine whose root folder only root may enter), the case says it is skipped.
mkdir -p locked/in/unreadable locked/home
cp "$data/shapes.png" locked/in/ok.png
cp "$data/shapes.png" locked/in/unreadable/
cp "$CONTOURS_BATCH" locked/contours-batch
cp "$script" locked/contours-parallel
chmod 000 locked/in/unreadable
as=()
if [ "$(id -u)" -eq 0 ]; then
  chown -R 65534:65534 locked
  chmod 755 "$work"
  as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
if ! (cd locked && "${as[@]}" env true) 2> /dev/null; then
  echo "SKIPPED: a folder that cannot be listed: user nobody cannot run programs here"
else
  status=0
  (cd locked && "${as[@]}" env HOME="$PWD/home" CONTOURS_BATCH="$PWD/contours-batch" \
     ./contours-parallel in out > ../locked.txt 2>&1) || status=$?
  chmod 755 locked/in/unreadable
  [ "$status" -eq 1 ] || { cat locked.txt; fail "status $status with a folder that cannot be listed"; }
  [ "$(cat locked/out/failed.txt)" = in/unreadable ] ||
    fail "failed.txt with a folder that cannot be listed: $(cat locked/out/failed.txt)"
  cmp locked/out/ok.png.bmp reference/shapes.png.bmp || fail "result beside an unreadable folder"
fi
chmod 755 locked/in/unreadable

# Wrong use.
status=0; "$script" in > usage.txt 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "one argument: status $status"
status=0; "$script" missing out > usage.txt 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "missing input folder: status $status"
status=0; "$script" good good/. > usage.txt 2>&1 || status=$?
[ "$status" -eq 2 ] && [ ! -e good/failed.txt ] || fail "results into the image folder: status $status"
echo "contours-parallel: ok"
