#!/usr/bin/env bash
# Installs the Debian packages linecast needs to build, test and benchmark, when missing.
set -euo pipefail

packages=(g++ cmake make pkg-config libmosquitto-dev libssl-dev mosquitto mosquitto-clients libgtest-dev
  clang libclang-rt-dev dpkg-dev file gzip mandoc groff-base valgrind gnuplot-nox time openssl
  tmux)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
