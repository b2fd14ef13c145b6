#!/usr/bin/env bash
# Installs what is needed, builds with AddressSanitizer and UBSan, runs every test (unit, end
# to end in the sandbox, fuzz corpora), cross-builds the daemon for the board and builds the
# libFuzzer targets. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake --preset dev
cmake --build --preset dev
ctest --preset dev

# The board is aarch64: the daemon and the control client must build for it and start there
# (-h exits at once).
cmake --preset aarch64
cmake --build --preset aarch64
file build/aarch64/src/nexo | grep -q 'ARM aarch64'
qemu-aarch64 -L /usr/aarch64-linux-gnu build/aarch64/src/nexo -h
qemu-aarch64 -L /usr/aarch64-linux-gnu build/aarch64/tools/nexoctl --help >/dev/null

# The fuzz targets must keep building with clang; a short run of each over its corpus.
cmake --preset fuzz
cmake --build --preset fuzz
for f in build/fuzz/fuzz/*_fuzz; do
    name=$(basename "$f")
    "$f" -runs=20000 -max_len=2048 "fuzz/corpus/$name" >/dev/null 2>&1 \
        || { echo "fuzz smoke run failed: $name" >&2; exit 1; }
done
echo "all tests passed"
