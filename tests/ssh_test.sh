#!/usr/bin/env bash
# contours-parallel over real ssh: the test starts an OpenSSH server of its own
# on 127.0.0.1 and a free port, with a throwaway host key and client key, and
# runs both multi-machine forms through it (two logins to it standing for two
# machines): the shared folder with --workdir ., and transfer-and-return with
# --trc. Every result, failed.txt and the status must be those of a local run,
# byte for byte. Where no server can be started, the test says why and exits
# 77, which CTest reports as skipped.
# Usage: ssh_test.sh CONTOURS_PARALLEL CONTOURS_BATCH DATA_DIR
set -euo pipefail
script=$(realpath "$1")
export CONTOURS_BATCH=$(realpath "$2")
data=$(realpath "$3")
work=$(mktemp -d)
sshd_pid=
cleanup() {
  [ -n "$sshd_pid" ] && kill "$sshd_pid" 2> /dev/null && wait "$sshd_pid" 2> /dev/null
  rm -rf -- "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
skip() { echo "SKIPPED: $*"; exit 77; }
cd "$work"
export HOME=$work/home  # GNU parallel keeps its files here, as in parallel_test.sh
mkdir "$HOME"

sshd=/usr/sbin/sshd  # sshd re-executes itself, so it needs its absolute path
[ -x "$sshd" ] || skip "no OpenSSH server ($sshd; Debian package openssh-server)"
for tool in ssh ssh-keygen rsync; do
  command -v "$tool" > /dev/null || skip "no $tool"
done
# Run as root, sshd wants its privilege separation folder, which the package
# makes at boot.
if [ "$(id -u)" -eq 0 ] && [ ! -d /run/sshd ]; then
  mkdir -m 755 /run/sshd 2> /dev/null || skip "cannot create /run/sshd"
fi

keys=$work/ssh
mkdir -m 700 "$keys"
ssh-keygen -q -t ed25519 -N '' -C contours-test-host -f "$keys/host_key"
ssh-keygen -q -t ed25519 -N '' -C contours-test-client -f "$keys/client_key"
cp "$keys/client_key.pub" "$keys/authorized_keys"
echo "contours-test $(cut -d' ' -f1,2 "$keys/host_key.pub")" > "$keys/known_hosts"
user=$(id -un)
remote_home=$work/remote-home
mkdir "$remote_home"
cat > "$keys/sshd_config" <<EOF
ListenAddress 127.0.0.1
HostKey $keys/host_key
PidFile none
AuthorizedKeysFile $keys/authorized_keys
AllowUsers $user
StrictModes no
UsePAM no
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
SetEnv HOME=$remote_home
LogLevel INFO
EOF

# A free port: try random ones until the server listens on one.
port=
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  candidate=$((20000 + RANDOM % 40000))
  "$sshd" -D -e -f "$keys/sshd_config" -o "Port=$candidate" 2> "$keys/sshd.log" &
  sshd_pid=$!
  for wait in $(seq 50); do
    grep -q 'Server listening' "$keys/sshd.log" && break
    kill -0 "$sshd_pid" 2> /dev/null || break
    sleep 0.1
  done
  if grep -q 'Server listening' "$keys/sshd.log"; then
    port=$candidate
    break
  fi
  kill "$sshd_pid" 2> /dev/null; wait "$sshd_pid" 2> /dev/null || true
  sshd_pid=
  grep -q 'Address already in use' "$keys/sshd.log" || break
done
[ -n "$port" ] || skip "sshd did not start: $(tr '\n' ' ' < "$keys/sshd.log")"

cat > "$keys/config" <<EOF
Host node1 node2
  HostName 127.0.0.1
  Port $port
  User $user
  HostKeyAlias contours-test
  UserKnownHostsFile $keys/known_hosts
  StrictHostKeyChecking yes
  IdentityFile $keys/client_key
  IdentitiesOnly yes
  BatchMode yes
  LogLevel ERROR
EOF
ssh -F "$keys/config" node1 true 2> login.txt ||
  skip "no login to the test's own sshd: $(tr '\n' ' ' < login.txt) $(tr '\n' ' ' < "$keys/sshd.log")"

# Distinct names (each machine numbers same-named results on its own), one
# with a space, one not an image.
mkdir -p "in/sub folder"
cp "$data/coffee.png" in/coffee.png
cp "$data/shapes.png" in/shapes.png
cp "$data/astronaut.png" "in/sub folder/astronaut copy.png"
echo "not an image" > in/notes.png

local_status=0
"$script" in local > local.txt 2>&1 || local_status=$?
[ "$local_status" -eq 1 ] || { cat local.txt; fail "local run: status $local_status"; }

ssh=(--ssh "ssh -F $keys/config" --sshlogin 1/node1,1/node2)
check() {  # the form's name, its output folder, its status
  [ "$3" -eq "$local_status" ] || { cat "$1.txt"; fail "$1: status $3, locally $local_status"; }
  diff -r local "$2" > /dev/null || { cat "$1.txt"; diff -r local "$2"; fail "$1: results differ"; }
}
status=0
"$script" in shared "${ssh[@]}" --workdir . > shared.txt 2>&1 || status=$?
check shared shared "$status"
status=0
"$script" in returned "${ssh[@]}" --workdir ... --trc returned/{/}.bmp > returned.txt 2>&1 ||
  status=$?
check returned returned "$status"
# Every job went through the server (the first login was the probe).
[ "$(grep -c 'Accepted publickey' "$keys/sshd.log")" -ge 3 ] || fail "the jobs did not log in"
[ -z "$(find "$remote_home" -type f)" ] || fail "transfer form left files remotely: $(find "$remote_home" -type f)"
echo "contours-parallel over ssh: ok"
