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
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good ffmpeg
    libcpp-httplib-dev nlohmann-json3-dev curl jq libssl-dev openssl
    python3-jsonschema  # the node's tests judge its bodies by the published schemas
    libavahi-client-dev avahi-daemon avahi-utils dbus
    # The node's control protocol endpoint (WebSocket): Boost.Beast and Boost.Asio, header-only,
    # so the board's build uses these headers too.
    libboost-dev
    # The NMOS node links these compiled libraries; the board's build takes them from
    # Debian's arm64 packages, installed beside the build machine's (multiarch).
    libcpp-httplib-dev:arm64 libavahi-client-dev:arm64 libssl-dev:arm64
    # The Debian packages: built with debhelper (cross for the board), manual pages with scdoc,
    # checked with lintian and in a throwaway Debian root made by mmdebstrap.
    debhelper crossbuild-essential-arm64 scdoc lintian mmdebstrap
)

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps: the arm64 architecture is needed for the board's libraries; run as root" >&2
        exit 1
    fi
    dpkg --add-architecture arm64
fi

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
    # Installing an arm64 library can pull its amd64 twin to the same version: both come
    # from the same update.
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
