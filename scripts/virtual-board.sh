#!/usr/bin/env bash
# Runs vesperbox through its real libftdi1 backend on a virtual FT2232H: a
# libusb-1.0 stand-in, loaded in front of the system's libusb, with the
# simulated board's chips behind the USB interfaces. No board is needed and
# nothing of the program is replaced.
#
#   scripts/virtual-board.sh [BOARD OPTION | PROGRAM OPTION]...
#
# Board options (the fitted NIM, chip faults, the stream source, unplug, a
# slow host) go to the virtual board; everything else to vesperbox, e.g.
#   scripts/virtual-board.sh --nim=sharp --ts-file=clip.ts
#   scripts/virtual-board.sh --unplug-after-ts-bytes=4000000 --do "BtnOpenB,GetTSBtn,wait 5000,Exit1"
#   scripts/virtual-board.sh --boards=2 --board=VB2232H2
# --help lists both. VESPER_BUILD_DIR picks another build (default build-run/,
# the one scripts/run.sh builds). Installed, this script is the command
# vesperbox-virtual-board: CMake swaps the part between the two marks for one
# that finds the installed program and library.
set -euo pipefail
# locate: begin
name="scripts/virtual-board.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VESPER_BUILD_DIR:-$root/build-run}"
exe="$build/vesperbox"
lib="$build/libvesper_vusb.so"
# Built every time (a no-op when nothing changed), so that a pulled or edited
# tree never runs stale binaries; progress goes to stderr, the program's
# lines alone to stdout.
if [ ! -f "$build/CMakeCache.txt" ]; then
  "$root/scripts/install-deps.sh" >&2
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESPER_TESTS=OFF \
    -DVESPER_BENCH=OFF -DVESPER_WERROR=OFF >&2
fi
cmake --build "$build" --target vesperbox vesper_vusb -j"$(nproc)" >&2
# locate: end

board=()
program=()
for arg in "$@"; do
  case "$arg" in
    --nim=*|--fault=*|--i2c-trace=*|--i2c-seed=*|--usb-latency-us=*|--usb-timing=*|--ts-rate=*|--ts-file=*|\
    --signal=*|--system=*|--modcod=*|--cn=*|--level=*|--ber=*|--carrier-offset=*|--symbol-rate=*|\
    --unplug-after-*|--slow-host-us=*|--serial=*|--next-board|--boards=*)
      # The board reads its options split at blanks.
      case "$arg" in *[[:space:]]*) echo "virtual-board: no blanks in board options: '$arg'" >&2; exit 2;; esac
      board+=("$arg");;
    --help|-h)
      "$exe" --help
      cat <<HELP

$name runs vesperbox as above, through the libftdi backend,
on a virtual FT2232H on USB (USB ID 0403:6010, serial VB2232H1). It takes the
simulated board's chip and stream options listed above, and these:
  --unplug-after-ms=MS       the board is unplugged MS ms after the first open
  --unplug-after-writes=N    ... after the N-th bulk write to channel A
  --unplug-after-ts-bytes=N  ... once channel B has sent N stream bytes
  --slow-host-us=US          every USB transfer completes US microseconds late
  --serial=TEXT              the EEPROM's serial number (VB2232H1)
  --next-board               one more board on the bus; the board options after
                             it are its own (serial VB2232H2, then ...H3, ...H4)
  --boards=N                 N boards in all (1 to 4), the last one given copied
With several boards, --board=SERIAL chooses the program's one.
HELP
      exit 0;;
    *) program+=("$arg");;
  esac
done

preload="$lib"
# A sanitizer build wants its runtime first in the preload list.
asan="$(ldd "$exe" | awk '/libasan\.so/ {print $3; exit}')"
if [ -n "$asan" ]; then preload="$asan:$preload"; fi

display=()
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  if ! command -v xvfb-run >/dev/null; then
    echo "virtual-board: no display found and xvfb-run is not installed (apt install xvfb xauth);" \
      "set QT_QPA_PLATFORM=offscreen to run without showing the window" >&2
    exit 1
  fi
  echo "virtual-board: no display found; starting on a virtual X server (xvfb-run)" >&2
  display=(xvfb-run -a -s "-screen 0 1280x1024x24")
fi
exec ${display[@]+"${display[@]}"} \
  env VESPER_VUSB_OPTIONS="${board[*]:-}" LD_PRELOAD="$preload" "$exe" ${program[@]+"${program[@]}"}
