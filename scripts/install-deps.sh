#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and the machine
# lacks. Does nothing (and asks no registry) when everything is there.
set -euo pipefail
# The peers (libuv, Boost.Asio) build the embedding examples; doxygen builds the API reference;
# man-db and bash-completion check the installed man pages and completion.
packages=(g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev clang-format
          clang-tidy valgrind libuv1-dev libboost-dev doxygen man-db groff-base bash-completion
          libedit-dev "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
