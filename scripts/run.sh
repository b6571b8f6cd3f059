#!/usr/bin/env bash
# Installs what is needed, builds, and starts vesperbox on the simulated board.
# The program runs in the current directory, so recordings land where you
# started it. Extra arguments go to vesperbox, e.g. scripts/run.sh --nim=sharp
# The build is build-run/ in the repository, apart from the test command's.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-run"
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVESPER_TESTS=OFF -DVESPER_BENCH=OFF -DVESPER_WERROR=OFF -DVESPER_SANITIZE=OFF
cmake --build "$build" --target vesperbox -j"$(nproc)"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  # Over SSH or on a console there is no screen for the window: the board
  # check answers without one and ends with its verdict.
  cat >&2 <<MSG
run: no display (neither DISPLAY nor WAYLAND_DISPLAY is set), so no window:
run: running 'vesperbox check --simulate' instead, which ends with its verdict.
run: for a picture of the window:
run:   xvfb-run -a bash $root/scripts/run.sh --do "TestI2CBtn,TestEardaBtn,wait 1000,Exit1" --screenshot=window.png
MSG
  exec "$build/vesperbox" check --simulate "$@"
fi
exec "$build/vesperbox" --simulate "$@"
