#!/usr/bin/env bash
# Installs what is needed, builds, and starts vesperbox on the simulated board.
# Extra arguments go to vesperbox, e.g. scripts/run.sh --nim=sharp
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESPER_TESTS=OFF -DVESPER_BENCH=OFF
cmake --build build --target vesperbox -j"$(nproc)"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run: no display found; starting on a virtual X server (xvfb-run)" >&2
  exec xvfb-run -a -s "-screen 0 1280x1024x24" build/vesperbox --simulate "$@"
fi
exec build/vesperbox --simulate "$@"
