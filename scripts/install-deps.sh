#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build needs and is missing.
# Extra package names may be given as arguments. Uses sudo only when not root.
set -euo pipefail

packages=(g++ cmake make pkg-config libopencv-dev "$@")
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
# What is installed here serves the build and the tests, and none of it is
# started as a service: openssh-server, for the multi-machine test, would
# otherwise start a system-wide sshd (the test starts its own). A policy-rc.d
# of this script's, only where there is none, denies service starts for the
# length of this install.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# Placed by contours scripts/install-deps.sh for one install.\nexit 101\n' |
    "${sudo[@]}" tee "$policy" >/dev/null
  "${sudo[@]}" chmod 755 "$policy"
  trap '"${sudo[@]}" rm -f "$policy"' EXIT
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
