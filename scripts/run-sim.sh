#!/usr/bin/env bash
# Installs what is needed, builds, and runs nexo on the simulated board: sandbox, emulated FPGA,
# simulated timing and media-transport daemons. Arguments go to nexo-sim (see --help); with a
# terminal it opens the control prompt, with lines on standard input it sends each and prints
# each reply. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh >&2
cmake --preset release >&2
cmake --build --preset release --target nexo nexo-sim nexoctl nexo-nmos >&2
exec build/release/sim/nexo-sim "$@"
