#!/usr/bin/env bash
# Builds the Debian packages nexo, nexoctl and nexo-nmos: for the board (arm64, cross-built with
# Debian's multiarch libraries) unless --arch names another architecture. The .deb files go to
# build/packages/ (or --out DIR). scripts/install-deps.sh installs what the build needs.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=arm64
out=build/packages
while [ $# -gt 0 ]; do
    case "$1" in
    --arch) arch=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -h | --help)
        echo "usage: scripts/build-packages.sh [--arch ARCH] [--out DIR]  (ARCH: arm64, the default, or $(dpkg --print-architecture))"
        exit 0 ;;
    *) echo "build-packages: unknown argument $1 (see --help)" >&2; exit 1 ;;
    esac
done

# dpkg-buildpackage writes its results beside the source tree, so the tree is copied to a place
# of its own under build/; the path stays the same from run to run, which lets ccache (where
# there is one) reuse the objects of an earlier run.
version=$(dpkg-parsechangelog -S Version)
work=build/deb-$arch
rm -rf "$work"
mkdir -p "$work/nexo-$version" "$out"
tar --exclude=./build --exclude=./.git --exclude=./.cache -cf - . | tar -xf - -C "$work/nexo-$version"

opts=(-b -us -uc)
checks=
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    # The cross compilers named, as dpkg-architecture expects; the package runs no tests (CI
    # runs them in its own builds), and the cross profile leaves out libedit, which the board's
    # nexoctl does without.
    triplet=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
    export CC=$triplet-gcc CXX=$triplet-g++
    opts+=(-a "$arch" -Pcross)
    checks=nocheck
fi
if command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
(cd "$work/nexo-$version" && DEB_BUILD_OPTIONS="parallel=2 $checks ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage "${opts[@]}")
for p in nexo nexoctl nexo-nmos; do
    cp "$work/${p}_${version}_$arch.deb" "$out/"
    echo "$out/${p}_${version}_$arch.deb"
done
