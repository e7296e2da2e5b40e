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
# (--retries, which begins like --return, is no reason to refuse a run.)
# A name too long for the folder with .bmp added is filed cut to fit, and
# that result counts (it was once listed as failed).
long=$(printf 'l%.0s' {1..251}).png
cp "$data/coffee.png" "good/$long"
"$script" good good-out --jobs 2 --retries 1 > /dev/null 2>&1 || fail "status $? with only good images"
[ -f good-out/shapes.png.bmp ] && [ ! -s good-out/failed.txt ] || fail "all-good run"
[ -f "good-out/${long:0:251}.bmp" ] || fail "long name: $(ls good-out)"
rm "good/$long"

# A contours-batch that dies takes none of its images into the results: they
# are listed as failed.
CONTOURS_BATCH=false "$script" good dead-out > /dev/null 2>&1 && fail "status 0 from a dead batch"
[ "$(cat dead-out/failed.txt)" = good/shapes.png ] || fail "dead batch: $(cat dead-out/failed.txt)"

# Links: one to an image is an input under its own name; one leading nowhere,
# to a folder (not entered) or to itself fails, where all were once skipped
# with status 0. An INPUT_DIR that is a link is read (it gave "no files").
# failed.txt is replaced, never written through a link: that once emptied
# the file the link led to.
mkdir links links-out
ln -s ../good/shapes.png links/image.png
ln -s missing.png links/dangling.png
ln -s ../good links/folder
ln -s loop links/loop
ln -s links links-dir
echo keep > precious.txt
ln -s ../precious.txt links-out/failed.txt
status=0
"$script" links-dir links-out > links.txt 2>&1 || status=$?
[ "$status" -eq 1 ] || { cat links.txt; fail "status $status with failing links"; }
[ "$(cat precious.txt)" = keep ] && [ ! -L links-out/failed.txt ] ||
  fail "failed.txt written through a link"
printf 'links-dir/%s\n' dangling.png folder loop | diff - links-out/failed.txt ||
  fail "failed.txt with links"
cmp links-out/image.png.bmp reference/shapes.png.bmp || fail "result of a link"

# Started with standard input, output or error closed, or with a reader that
# stops at once, a run is complete and puts nothing on standard error (tee
# once complained there of the closed output).
status=0
"$script" links closed-out <&- >&- 2> closed.txt || status=$?
[ "$status" -eq 1 ] && [ -f closed-out/image.png.bmp ] && ! grep -q 'descriptor' closed.txt ||
  fail "closed output: status $status, $(cat closed.txt)"
"$script" good closed-err <&- 2>&- > closed.txt || fail "closed input and error: status $?"
[ -f closed-err/shapes.png.bmp ] && [ "$(wc -l < closed.txt)" -eq 1 ] ||
  fail "closed input and error: $(cat closed.txt)"
status=0
"$script" good early-out 2> /dev/null | true || status=$?
[ "$status" -eq 0 ] && [ ! -s early-out/failed.txt ] ||
  fail "reader that stops early: status $status, failed.txt $(cat early-out/failed.txt)"

# SIGTERM once left GNU parallel and its contours-batch processes running,
# and failed.txt empty. Here each process analyses its first image and hangs:
# after the signal none may be left, failed.txt lists just the inputs without
# a result, and the status is that of SIGTERM.
mkdir slow
for name in a b c d; do cp "$data/shapes.png" slow/$name.png; done
printf '#!/bin/bash\necho $$ >> %q\n%q "$1" "$2"\nexec sleep 300\n' \
  "$work/hung" "$CONTOURS_BATCH" > hang.sh
chmod +x hang.sh
CONTOURS_BATCH=$work/hang.sh "$script" slow slow-out --jobs 2 > slow.txt 2>&1 &
pid=$!
for _ in $(seq 300); do
  [ "$(grep -c selected slow.txt)" -ge 2 ] && break
  sleep 0.1
done
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
left=0
for hung in $(cat hung); do
  ps -o stat= -p "$hung" | grep -qv Z && left=$((left + 1)) && kill -KILL "$hung"
done
[ "$left" -eq 0 ] || fail "$left contours-batch processes outlived SIGTERM"
[ "$status" -eq 143 ] && [ -s slow-out/failed.txt ] ||
  { cat slow.txt; fail "SIGTERM: status $status, failed.txt $(cat slow-out/failed.txt)"; }
for name in a b c d; do
  listed=$(grep -cx "slow/$name.png" slow-out/failed.txt || true)
  [ -e "slow-out/$name.png.bmp" ] && result=1 || result=0
  [ "$listed" -ne "$result" ] || fail "slow/$name.png: $listed in failed.txt, $result result"
done

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
  ln -s ../in/coffee.png distinct/linked.png  # goes as the image, not the link
  "$script" distinct returned "${ssh[@]}" --workdir ... \
      --transferfile {} --return returned/{/}.bmp --cleanup > /dev/null 2>&1 &&
    fail "status 0 from transfer form with a bad image"
  [ "$(cat returned/failed.txt)" = distinct/notes.png ] || fail "transfer form failed.txt"
  cmp returned/coffee.png.bmp reference/coffee.png.bmp || fail "returned result differs"
  cmp returned/linked.png.bmp reference/coffee.png.bmp || fail "returned result of a link"
  cmp "returned/astronaut copy.png.bmp" "reference/astronaut copy.png.bmp" ||
    fail "returned result differs"
  [ -z "$(find "$FAKE_REMOTE_HOME" -type f)" ] || fail "transfer form left files remotely"
  # A result reported but left on the other machine is no result (without
  # --return such a run once passed with an empty failed.txt).
  "$script" distinct kept-remotely "${ssh[@]}" --workdir ... --transferfile {} --cleanup \
      > /dev/null 2>&1 && fail "status 0 with the results left remotely"
  [ "$(wc -l < kept-remotely/failed.txt)" -eq 4 ] || fail "results left remotely: failed.txt"
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

# Every form in which GNU parallel takes --return or --trc is refused alike:
# an abbreviation, "+", a profile or PARALLEL once slipped past, and of two
# same-named images one result was lost, with status 0.
mkdir profiles
echo "--trc clash/{/}.bmp" > profiles/config
for form in "--retur clash/{/}.bmp" "--RETU=clash/{/}.bmp" "+trc clash/{/}.bmp" \
            "-J $work/profiles/config" "PARALLEL=--return clash/{/}.bmp" \
            "PARALLEL_HOME=$work/profiles"; do
  status=0
  case $form in
    -*|+*) read -ra words <<< "$form"
           "$script" in clash "${words[@]}" > clash.txt 2>&1 || status=$? ;;
    *) env "$form" "$script" in clash > clash.txt 2>&1 || status=$? ;;
  esac
  [ "$status" -eq 2 ] && [ ! -e clash/shapes.png.bmp ] || fail "$form: status $status"
done

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
