#!/usr/bin/env bash
# Installs what is needed and runs every check, including every command the README shows:
# formatting; the dev build (AddressSanitizer and UBSan) with every test (unit, end to end in
# the sandbox, fuzz corpora); the release build with its unit tests, the simulated board and
# the benchmark; the cross build for the board, started under qemu and installed into a staging
# directory; the libFuzzer targets, each run briefly. Warnings are errors in every build here.
# Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

scripts/check-format.sh

cmake --preset dev
cmake --build --preset dev
ctest --preset dev

# The node's threads and the client library's exchange under ThreadSanitizer.
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan

# The release build as a user makes it, held to warnings as errors here (the preset does not
# do that for users and packagers, whose compilers may warn differently).
cmake --preset release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build --preset release
build/release/tests/nexo_unit --gtest_brief=1

# The simulated board as the README runs it: options, lines on standard input, the demo.
scripts/run-sim.sh --help >/dev/null
printf 'GET PTP_TIME\nGET NOTHING\n:alert timing 2059_FRA_CHANGED\n' | scripts/run-sim.sh -v \
    >"$scratch/sim.out"
grep -q '^RGET PTP_TIME ' "$scratch/sim.out"
scripts/run-sim.sh --script scripts/demo.nexo >/dev/null
scripts/run-sim.sh --streams --script scripts/stream-demo.nexo >/dev/null
# The NMOS session of the README: the node on the simulated board, curl beside it. The board
# runs until its standard input closes.
mkfifo "$scratch/sim.in"
scripts/run-sim.sh --nmos 8080 <"$scratch/sim.in" >"$scratch/nmos-sim.out" 2>&1 &
sim=$!
exec 7>"$scratch/sim.in"
scripts/nmos-demo.sh 8080 >"$scratch/nmos.out"
grep -q '"multicast_ip":"239.10.0.1"' "$scratch/nmos.out"
exec 7>&-
wait "$sim"
printf 'GET NOTHING\n:quit\n' | script -qec scripts/run-sim.sh /dev/null >"$scratch/prompt.out"
grep -q '^nexo> GET NOTHING' "$scratch/prompt.out"  # the prompt, on a terminal

# The benchmark's three forms, briefly: they must run, not measure.
build/release/tools/nexo-bench --iterations 200 --warmup 20 >/dev/null
build/release/tools/nexo-bench --emulated-nodes --iterations 200 --warmup 20 >/dev/null
build/release/tools/nexo-bench --count-allocs >/dev/null

# The board is aarch64: the daemon, the control client and the NMOS node must build for it and
# start there (-h exits at once), and install as the README deploys them.
cmake --preset aarch64 -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build --preset aarch64
for f in src/nexo nmos/nexo-nmos; do
    file "build/aarch64/$f" | grep -q 'ARM aarch64'
done
qemu-aarch64 -L /usr/aarch64-linux-gnu build/aarch64/src/nexo -h
qemu-aarch64 -L /usr/aarch64-linux-gnu build/aarch64/tools/nexoctl --help >/dev/null
qemu-aarch64 -L /usr/aarch64-linux-gnu build/aarch64/nmos/nexo-nmos --help >/dev/null
DESTDIR="$scratch/stage" cmake --install build/aarch64 --prefix /usr >/dev/null
for f in usr/sbin/nexo usr/bin/nexoctl usr/bin/nexo-nmos usr/lib/systemd/system/nexo.service \
    usr/lib/systemd/system/nexo-nmos.service; do
    test -f "$scratch/stage/$f" || { echo "not installed: $f" >&2; exit 1; }
done

# The fuzz targets must keep building with clang; a short run of each over its corpus. New
# inputs go to the first corpus directory, so that is a scratch one: the checked-in corpus is
# only read. A crashing input is kept in build/fuzz.
cmake --preset fuzz
cmake --build --preset fuzz
for f in build/fuzz/fuzz/*_fuzz; do
    name=$(basename "$f")
    mkdir "$scratch/$name"
    "$f" -runs=20000 -max_len=2048 -artifact_prefix="build/fuzz/$name-" "$scratch/$name" \
        "fuzz/corpus/$name" >/dev/null 2>&1 \
        || { echo "fuzz smoke run failed: $name (see build/fuzz/$name-*)" >&2; exit 1; }
done
echo "all tests passed"
