#!/usr/bin/env bash
# Installs what is needed and runs every check, including every command the README shows:
# formatting; the dev build (AddressSanitizer and UBSan) with every test (unit, end to end in
# the sandbox, fuzz corpora); the release build with its unit tests, the simulated board and
# the benchmark; the Debian packages for the board and for this machine (scripts/package-test.sh);
# the libFuzzer targets, each run briefly. Warnings are errors in every build here.
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
# The receiver health demo: nexoctl status in the sandbox after each step.
scripts/run-sim.sh --script scripts/health-demo.nexo 2>"$scratch/health.err" >/dev/null
grep -q '^20:1 *Healthy *AllUp *Healthy *Healthy *Healthy' "$scratch/health.err"
grep -q 'but configured for YCR422 10 P 1920 1080 59.94' "$scratch/health.err"
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
# The same with HTTPS and access tokens, and the README's curl session against it.
mkfifo "$scratch/secure.in"
scripts/run-sim.sh --nmos 8443 --tls --auth --pki "$scratch/pki" <"$scratch/secure.in" \
    >"$scratch/secure-sim.out" 2>&1 &
sim=$!
exec 7>"$scratch/secure.in"
scripts/nmos-secure-demo.sh 8443 "$scratch/pki" >"$scratch/secure.out"
grep -q '^HTTP/1.1 401' "$scratch/secure.out"
grep -q '"code":403' "$scratch/secure.out"
grep -q '^{"master_enable":false}' "$scratch/secure.out"
grep -q 'upgrade without a token: 401' "$scratch/secure.out"
grep -q 'upgrade with the controller.s token: 101' "$scratch/secure.out"
exec 7>&-
wait "$sim"
printf 'GET NOTHING\n:quit\n' | script -qec scripts/run-sim.sh /dev/null >"$scratch/prompt.out"
grep -q '^nexo> GET NOTHING' "$scratch/prompt.out"  # the prompt, on a terminal

# The benchmark's three forms, briefly: they must run, not measure.
build/release/bench/nexo-bench --iterations 200 --warmup 20 >/dev/null
build/release/bench/nexo-bench --emulated-nodes --iterations 200 --warmup 20 >/dev/null
build/release/bench/nexo-bench --count-allocs >/dev/null
build/release/bench/nexo-nmos-bench --clients 5 --requests 20 --rounds 2 >/dev/null

# The board's Debian packages as the README builds them, and this machine's: lintian, the
# board's programs under qemu, and an installation, removal and purge in a fresh Debian root.
scripts/package-test.sh

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
