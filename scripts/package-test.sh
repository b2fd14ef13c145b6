#!/usr/bin/env bash
# The Debian packages as the README builds and installs them: the board's (arm64, cross-built)
# and this machine's (amd64), built with warnings as errors, lintian-clean, the board's programs
# started under qemu, and this machine's installed into a throwaway Debian 12 root made with
# mmdebstrap from the Debian archive, where scripts/package-check.sh checks them, removes and
# purges them. Run as root (mmdebstrap's root mode), after scripts/install-deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/packages
rm -rf "$out"
version=$(dpkg-parsechangelog -S Version)
host=$(dpkg --print-architecture)

# The builds' output goes to a log, shown when a build fails.
build() {
    local log=build/packages-$1.log
    DEB_BUILD_OPTIONS=werror scripts/build-packages.sh "${@:2}" >"$log" 2>&1 ||
        { tail -n 60 "$log"; echo "package build failed ($1): see $log" >&2; return 1; }
}
t0=$SECONDS
build arm64  # the README's command
build "$host" --arch "$host" --out "$out"
t1=$SECONDS

lintian --fail-on error,warning "$out"/*.deb

# The board's programs, from its packages, start under qemu (the daemon's -h exits at once).
board=$(mktemp -d)
trap 'rm -rf "$board"' EXIT
for p in nexo nexoctl nexo-nmos; do
    dpkg-deb -x "$out/${p}_${version}_arm64.deb" "$board"
done
file "$board/usr/sbin/nexo" | grep -q 'ARM aarch64'
qemu-aarch64 -L /usr/aarch64-linux-gnu "$board/usr/sbin/nexo" -h
[ "$(qemu-aarch64 -L /usr/aarch64-linux-gnu "$board/usr/bin/nexoctl" --version)" = "nexoctl $version" ]
[ "$(qemu-aarch64 -L /usr/aarch64-linux-gnu "$board/usr/bin/nexo-nmos" --version)" = "nexo-nmos $version" ]
t2=$SECONDS

# A minimal Debian 12 with what the packages depend on and recommend already in it, so that the
# installation inside needs nothing from the network; the archive is the one this machine uses.
mirror=/etc/apt/sources.list.d/debian.sources
[ -f "$mirror" ] || mirror=http://deb.debian.org/debian
deps=systemd,man-db,libcpp-httplib0.11,libavahi-client3,libedit2,avahi-daemon
mmdebstrap --quiet --variant=apt --include="$deps" \
    --customize-hook="copy-in $out /tmp" \
    --customize-hook='mv "$1/tmp/packages" "$1/tmp/debs"' \
    --customize-hook='copy-in scripts/package-check.sh /tmp' \
    --customize-hook="chroot \"\$1\" sh /tmp/package-check.sh $version" \
    bookworm /dev/null "$mirror"
t3=$SECONDS
echo "packages: built in $((t1 - t0)) s, checked in $((t2 - t1)) s, installed and purged in $((t3 - t2)) s"
