#!/usr/bin/env bash
# Installs what building, running and testing nexo needs on Debian 12 (as root).
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config
    libgtest-dev googletest
    umockdev libumockdev-dev
    libcli11-dev libedit-dev
    iproute2 file
    g++-aarch64-linux-gnu qemu-user
    clang-14 libclang-rt-14-dev
    clang-format git
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    libcpp-httplib-dev nlohmann-json3-dev curl jq
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps: missing packages (${missing[*]}); run as root" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
